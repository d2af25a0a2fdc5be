// ExtractReplyPayload on arbitrary replies: never crashes, and whatever it
// accepts is a payload free of markers and CR whose XOR check held.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "clocklink/clocklink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const std::string payload = ExtractReplyPayload(reply);
    if (payload.empty()) return 0;
    std::uint8_t check = 0;
    for (char c : payload) {
        if (c == SOH || c == STX || c == CR) std::abort();
        check ^= static_cast<std::uint8_t>(c);
    }
    if (reply.find(std::string(payload) + static_cast<char>(check) + CR) == std::string::npos) std::abort();
    return 0;
}
