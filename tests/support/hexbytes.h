// Bytes written as hex in tests, so a frame on the wire reads as the byte
// values a protocol table gives.
#pragma once

#include <string>
#include <string_view>

// "01 41 AE" -> the three bytes; spaces are optional. Throws on an odd count
// of digits or a character that is no hex digit.
std::string Hex(std::string_view spaced);
// The bytes as "01 41 AE", for readable comparisons and failures.
std::string ToHex(std::string_view bytes);
