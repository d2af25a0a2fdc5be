// The strict and lenient number conversions and the text helpers on
// arbitrary input: no crash, no signed overflow, and the strict forms agree.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "utils/errors.h"
#include "utils/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::int32_t tried = 0;
    const bool ok = TryStrToInt(text, tried);
    bool threw = false;
    std::int32_t strict = 0;
    try {
        strict = StrToInt(text);
    } catch (const EConvertError&) {
        threw = true;
    }
    if (ok == threw || (ok && strict != tried)) std::abort();
    if (StrToIntDef(text, -7) != (ok ? tried : -7)) std::abort();
    (void)LenientStrToInt64(text);
    const std::string trimmed = Trim(text);
    if (!trimmed.empty() && (static_cast<unsigned char>(trimmed.front()) <= 0x20 ||
                             static_cast<unsigned char>(trimmed.back()) <= 0x20))
        std::abort();
    if (size >= 2) {
        const int first = static_cast<std::int8_t>(data[0]);
        const int last = static_cast<std::int8_t>(data[1]);
        if (SubText(text, first, last).size() > text.size()) std::abort();
    }
    return 0;
}
