// clocksim's decoders on arbitrary line bytes: never crash, account for
// every byte they were fed, and recognise only commands they can log.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/clocksim/protocol.h"

using clocksim::BusFrameDecoder;
using clocksim::PlainCommandSplitter;
using clocksim::Received;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Feed in two pieces split at the first byte's value, as a line delivers them.
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    BusFrameDecoder frames;
    PlainCommandSplitter plain;
    for (std::string_view piece : {bytes.substr(0, cut), bytes.substr(cut)}) {
        for (const Received& r : frames.feed(piece)) {
            if (r.raw.empty() && r.kind != Received::Kind::Command) std::abort();
            if (r.kind == Received::Kind::Command && r.raw.size() < r.text.size() + 3) std::abort();
        }
        for (const Received& r : plain.feed(piece))
            if (r.kind == Received::Kind::Command && r.text.size() > r.raw.size()) std::abort();
    }
    return 0;
}
