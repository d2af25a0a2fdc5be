// The kinds of bad text an operator can type or paste into a field of the
// window, and the messages they lead to, shared by the operation tests and
// the window tests.
#pragma once

#include <string>
#include <vector>

struct BadText {
    std::string name;  // names the case in failure messages
    std::string text;
};

// Every kind of bad text, built around `good`, a text the field accepts:
// some cases wrap it in characters that trimming removes ("\t" good "\r"),
// others spoil it ("good" NUL "1"), so a test can tell the two apart.
std::vector<BadText> BadTexts(const std::string& good);

// The messages the operator sees for a port that cannot be opened (no such
// device) and for a count or date field that is refused.
inline constexpr char kOpenError[] = "Unable to open com port (win error code: 2)";
inline constexpr char kBadCount[] = "تعداد صحيح نمي باشد";
inline constexpr char kBadFromDate[] = "تاريخ شروع صحيح نمي باشد";
inline constexpr char kBadToDate[] = "تاريخ پايان صحيح نمي باشد";

// Printable bytes, as a test failure can show them: control characters and
// bytes above 0x7E as \xNN, at most 40 characters of a long text.
std::string Printable(const std::string& text);
