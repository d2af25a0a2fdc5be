#include "utils/text.h"

#include <algorithm>
#include <limits>
#include <sstream>

#include "utils/errors.h"

namespace {

bool isTrimmable(char c) { return static_cast<unsigned char>(c) <= 0x20; }

int digitValue(char c, bool hex)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where the digits of a number text start: after leading blanks, an optional
// sign and an optional hexadecimal prefix. Both conversions share this so that
// they agree on what a number looks like.
struct NumberStart {
    std::size_t pos = 0;
    bool negative = false;
    bool hex = false;
};

NumberStart scanNumberStart(std::string_view s)
{
    NumberStart start;
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        start.negative = s[i] == '-';
        ++i;
    }
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        start.hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        start.hex = true;
        i += 2;
    }
    start.pos = i;
    return start;
}

// The strict conversion without the error: the value of `s` when the whole
// text is one number that fits 32 bits signed. `value` is written only then.
bool parseStrict(std::string_view s, std::int32_t& value)
{
    const NumberStart start = scanNumberStart(s);
    if (start.pos >= s.size()) return false;
    const std::uint64_t base = start.hex ? 16 : 10;
    // The magnitude of INT32_MIN is one more than INT32_MAX.
    const std::uint64_t limit = start.negative ? 2147483648ULL : 2147483647ULL;
    std::uint64_t magnitude = 0;
    for (std::size_t i = start.pos; i < s.size(); ++i) {
        const int digit = digitValue(s[i], start.hex);
        if (digit < 0) return false;
        magnitude = magnitude * base + static_cast<std::uint64_t>(digit);
        if (magnitude > limit) return false;
    }
    value = start.negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                           : static_cast<std::int32_t>(magnitude);
    return true;
}

}  // namespace

std::string RepeatChar(char ch, std::uint8_t count) { return std::string(count, ch); }

std::string PadLeft(std::string_view s, std::uint8_t width, char pad)
{
    // Signed so that a text longer than the width gives no padding instead of
    // a huge unsigned count.
    const long long missing = static_cast<long long>(width) - static_cast<long long>(s.size());
    std::string result;
    if (missing > 0) result = RepeatChar(pad, static_cast<std::uint8_t>(missing));
    result.append(s);
    return result;
}

std::string Trim(std::string_view s)
{
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && isTrimmable(s[first])) ++first;
    while (last > first && isTrimmable(s[last - 1])) --last;
    return std::string(s.substr(first, last - first));
}

std::string SubText(std::string_view s, int first, int last)
{
    // Clamp in 64 bits so extreme positions cannot overflow.
    const long long from = std::max<long long>(first, 1);
    const long long to = std::min<long long>(last, static_cast<long long>(s.size()));
    if (from > to) return {};
    return std::string(s.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - from + 1)));
}

std::int32_t StrToInt(std::string_view s)
{
    std::int32_t value = 0;
    if (!parseStrict(s, value)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
    return value;
}

std::int32_t StrToIntDef(std::string_view s, std::int32_t fallback)
{
    std::int32_t value = 0;
    return parseStrict(s, value) ? value : fallback;
}

bool TryStrToInt(std::string_view s, std::int32_t& value) { return parseStrict(s, value); }

std::int64_t LenientStrToInt64(std::string_view s)
{
    const NumberStart start = scanNumberStart(s);
    const std::uint64_t base = start.hex ? 16 : 10;
    constexpr std::uint64_t maxMagnitude =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    std::size_t i = start.pos;
    for (; i < s.size(); ++i) {
        const int digit = digitValue(s[i], start.hex);
        if (digit < 0) break;
        const auto d = static_cast<std::uint64_t>(digit);
        magnitude = magnitude > (maxMagnitude - d) / base ? maxMagnitude : magnitude * base + d;
    }
    // The sign applies only to a text that was a number to its end; a stop
    // part-way keeps the plain value of the digits read.
    const bool convertedToEnd = i == s.size() && i > start.pos;
    const auto value = static_cast<std::int64_t>(magnitude);
    return start.negative && convertedToEnd ? -value : value;
}

std::string CountOf(std::int64_t n, std::string_view singular, std::string_view plural)
{
    std::string text = std::to_string(n) + " ";
    if (n == 1 || n == -1) return text.append(singular);
    if (plural.empty()) return text.append(singular) + "s";
    return text.append(plural);
}

std::size_t DisplayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC0 ? 2
                                                  : 1;
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        const bool combining = (code >= 0x0300 && code <= 0x036F) || (code >= 0x064B && code <= 0x065F) ||
                               code == 0x0670 || (code >= 0x06D6 && code <= 0x06ED) ||
                               (code >= 0x200B && code <= 0x200F) || code == 0xFEFF;
        const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                          (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                          (code >= 0xFF00 && code <= 0xFF60) || (code >= 0x1F300 && code <= 0x1FAFF);
        if (code < 0x20 || combining) continue;
        width += wide ? 2 : 1;
    }
    return width;
}

std::optional<std::string> SettingsFileText(std::string_view bytes)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
    const bool little = bytes.substr(0, 2) == "\xFF\xFE", big = bytes.substr(0, 2) == "\xFE\xFF";
    if (!little && !big) return std::string(bytes);
    if (bytes.size() % 2 != 0) return std::nullopt;
    const auto unit = [&](std::size_t at) {
        const auto first = static_cast<unsigned char>(bytes[at]),
                   second = static_cast<unsigned char>(bytes[at + 1]);
        return little ? static_cast<std::uint32_t>(first | second << 8)
                      : static_cast<std::uint32_t>(first << 8 | second);
    };
    std::string text;
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        std::uint32_t code = unit(at);
        if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;
        if (code >= 0xD800 && code <= 0xDBFF) {
            at += 2;
            if (at >= bytes.size()) return std::nullopt;
            const std::uint32_t low = unit(at);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | code >> 6);
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | code >> 12);
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | code >> 18);
            text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

std::vector<SettingsLine> SettingsLines(const std::string& text)
{
    std::vector<SettingsLine> lines;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        SettingsLine entry{number, line, {}};
        for (std::string word; words >> word;) entry.words.push_back(word);
        if (!entry.words.empty()) lines.push_back(std::move(entry));
    }
    return lines;
}
