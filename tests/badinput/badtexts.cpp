#include "badtexts.h"

#include <cstdio>

std::vector<BadText> BadTexts(const std::string& good)
{
    const std::string nul(1, '\0');
    return {
        {"empty", ""},
        {"blanks", "   "},
        {"letters", "abc"},
        // Persian digit seven, as a Persian keyboard types it.
        {"persian digit", "\xDB\xB7"},
        {"sign only", "-"},
        {"plus sign", "+" + good},
        {"minus sign", "-" + good},
        {"dollar hexadecimal", "$10"},
        {"0x hexadecimal", "0x10"},
        {"above 32 bits", "99999999999"},
        {"below 32 bits", "-2147483649"},
        {"1000 characters", std::string(1000, '7')},
        {"tab before, CR after", "\t" + good + "\r"},
        {"NUL inside", good + nul + "1"},
        {"NUL after", good + nul},
        {"ESC after", good + "\x1b"},
        {"ESC inside", good.substr(0, 1) + "\x1b" + good.substr(1) + "0"},
        {"path up", "../../etc/passwd"},
        {"device path", "/dev/null"},
        {"number then path", "1/../../x"},
    };
}

std::string Printable(const std::string& text)
{
    std::string shown;
    for (const char c : text.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    if (text.size() > 40) shown += "... (" + std::to_string(text.size()) + " characters)";
    return shown;
}
