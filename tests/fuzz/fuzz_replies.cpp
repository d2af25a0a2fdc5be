// The readings of collected replies: record counter, pointer labels and the
// "OK" / "???" tests never crash, and their results keep their promised forms.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "clocklink/clocklink.h"
#include "utils/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    if (RecordCounterValue(reply) < 0) std::abort();
    const std::string label = PointerLabelText(reply);
    std::int32_t value = 0;
    if (!TryStrToInt(label, value) || std::to_string(value) != label) std::abort();
    (void)HasOk(reply);
    (void)IsFlaggedRecord(reply);
    return 0;
}
