// StripPointerReply on arbitrary replies, both buses: never crashes and
// never returns more than the reply held.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "clocklink/clocklink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    for (bool rs232 : {true, false}) {
        const std::string value = StripPointerReply(rs232, reply);
        if (value.size() > reply.size()) std::abort();
        if (!value.empty() && reply.find(value) == std::string::npos) std::abort();
    }
    return 0;
}
