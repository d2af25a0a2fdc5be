// The Telnet layer of RFC 2217 ports takes what a converter sends, split
// into reads at drawn places, with the port's own requests in between: it
// never crashes, never gives more data than it was given, keeps its buffers
// within their limits, and always gives the line back: data sent after any
// input comes through once a subnegotiation's worth of bytes has passed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "serial/telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    telnet::Session session;
    std::string sent = session.Greeting();
    std::string data;
    std::size_t fed = 0;
    // Each read: one byte tells its length (and, now and then, a request of
    // the port that goes out before it).
    while (!input.empty()) {
        const auto control = static_cast<std::uint8_t>(input[0]);
        input.remove_prefix(1);
        if (control % 16 == 0)
            sent += session.SetLine(9600u + control, 8, telnet::ParityNone, telnet::StopOne);
        if (control % 16 == 1) sent += session.Purge(telnet::PurgeBoth);
        const std::size_t length = std::min<std::size_t>(input.size(), control % 64 + 1);
        const std::size_t before = data.size();
        session.Receive(input.substr(0, length), data);
        fed += length;
        input.remove_prefix(length);
        // Data never outgrows the bytes given (a purge may only shrink it).
        if (data.size() > before + length || data.size() > fed) std::abort();
        if (session.SubnegotiationSize() > telnet::kMaxSubnegotiation) std::abort();
        if (session.PendingReplies() > telnet::kMaxPendingReplies) std::abort();
        if (control % 16 == 2) (void)session.TakeReplies();
    }
    // The line comes back: filler longer than any subnegotiation, then a
    // marker that must arrive whole.
    std::string after(telnet::kMaxSubnegotiation + 3, 'A');
    after += "MARK";
    data.clear();
    session.Receive(after, data);
    if (data.size() < 4 || data.compare(data.size() - 4, 4, "MARK") != 0) std::abort();

    // Escaped data reads back as itself on a fresh session.
    const std::string payload(reinterpret_cast<const char*>(bytes), size);
    telnet::Session reader;
    std::string back;
    reader.Receive(telnet::Session::Escape(payload), back);
    if (back != payload) std::abort();
    return 0;
}
