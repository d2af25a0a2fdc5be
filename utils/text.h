// Text and number helpers.
//
// Texts are byte strings, one byte per character, indexed from 1 where a
// position is given. Nothing here keeps state or touches the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// `count` copies of `ch`; empty for 0.
std::string RepeatChar(char ch, std::uint8_t count);

// `s` with `pad` put in front until it is `width` long; never shortens `s`.
std::string PadLeft(std::string_view s, std::uint8_t width, char pad);

// `s` without leading and trailing blanks and control characters (bytes <= 0x20).
std::string Trim(std::string_view s);

// Characters `first` to `last` of `s`, both 1-based and inclusive. Positions
// outside `s` are simply not there: the result holds the characters that
// exist, possibly none. Never fails.
std::string SubText(std::string_view s, int first, int last);

// Strict conversion to a 32-bit signed integer: leading blanks, an optional
// sign, then decimal digits, or hexadecimal digits after "$", "x", "X", "0x"
// or "0X"; nothing may follow and the value must fit. Raises EConvertError
// with "'<s>' is not a valid integer value".
std::int32_t StrToInt(std::string_view s);

// As StrToInt, but yields `fallback` instead of raising.
std::int32_t StrToIntDef(std::string_view s, std::int32_t fallback);

// As StrToInt, but reports success instead of raising; `value` is set only on success.
bool TryStrToInt(std::string_view s, std::int32_t& value);

// Lenient conversion used for card numbers: leading blanks, optional sign,
// then the digits up to the first character that is not one. The value of the
// digits read so far is the result; the stop is not an error. A sign counts
// only when the text converted to its end. No digit gives 0. 64-bit so that
// ten-digit card numbers keep their digits; values beyond 64 bits saturate.
std::int64_t LenientStrToInt64(std::string_view s);

// `n` and the noun that agrees with it in number: "1 record", "3 records".
// The plural is `singular` + "s" unless given.
std::string CountOf(std::int64_t n, std::string_view singular, std::string_view plural = {});

// The columns a UTF-8 text takes on a terminal: one a character, none for
// combining marks and format characters (the joiners of Persian script),
// two for the wide East Asian ones.
std::size_t DisplayWidth(std::string_view text);

// A settings file a person wrote (a site file, ports.txt) as UTF-8: UTF-8
// with or without a byte-order mark, or UTF-16 little- or big-endian with
// its mark, as Notepad saves "Unicode". Nothing when UTF-16 text is cut
// short or holds a half of a surrogate pair.
std::optional<std::string> SettingsFileText(std::string_view bytes);

// The lines of a settings file's text that hold something once a "#"
// comment is cut off: each with its number (from 1), that text, and its
// words.
struct SettingsLine {
    int number = 0;
    std::string text;
    std::vector<std::string> words;
};
std::vector<SettingsLine> SettingsLines(const std::string& text);
