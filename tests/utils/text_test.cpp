#include <gtest/gtest.h>

#include <string>

#include "utils/errors.h"
#include "utils/text.h"

namespace {

TEST(Padding, RepeatCharAndPadLeft)
{
    EXPECT_EQ(RepeatChar('0', 0), "");
    EXPECT_EQ(RepeatChar('x', 3), "xxx");
    EXPECT_EQ(RepeatChar('0', 255).size(), 255u);

    EXPECT_EQ(PadLeft("7", 2, '0'), "07");
    EXPECT_EQ(PadLeft("123", 2, '0'), "123") << "a text longer than the width is never cut";
    EXPECT_EQ(PadLeft("12", 2, '0'), "12");
    EXPECT_EQ(PadLeft("", 3, '0'), "000");
    EXPECT_EQ(PadLeft("12345", 10, '0'), "0000012345");
    EXPECT_EQ(PadLeft("1", 0, '0'), "1");
    EXPECT_EQ(PadLeft(std::string(300, 'a'), 255, '0'), std::string(300, 'a'));
}

TEST(Trim, RemovesBlanksAndControlCharactersAtBothEnds)
{
    EXPECT_EQ(Trim("  12 \t"), "12");
    EXPECT_EQ(Trim(std::string("\x01\r\n3\x1f ", 6)), "3");
    EXPECT_EQ(Trim("1 2"), "1 2");
    EXPECT_EQ(Trim(" \t\r\n"), "");
    EXPECT_EQ(Trim(""), "");
    // Bytes above 0x7F (code page letters) are text, not blanks.
    EXPECT_EQ(Trim("\xc7 "), "\xc7");
}

TEST(SubText, TakesTheCharactersThatExist)
{
    const std::string s = "abcdef";
    EXPECT_EQ(SubText(s, 1, 2), "ab");
    EXPECT_EQ(SubText(s, 3, 3), "c");
    EXPECT_EQ(SubText(s, 5, 10), "ef");
    EXPECT_EQ(SubText(s, 7, 8), "");
    EXPECT_EQ(SubText(s, 0, 2), "ab");
    EXPECT_EQ(SubText(s, -5, 100), "abcdef");
    EXPECT_EQ(SubText(s, 4, 3), "");
    EXPECT_EQ(SubText("", 1, 1), "");
    EXPECT_EQ(SubText(s, INT32_MIN, INT32_MAX), "abcdef");
    EXPECT_EQ(SubText(s, INT32_MAX, INT32_MAX), "");
}

TEST(StrictConversion, AcceptsDecimalAndHexForms)
{
    struct Case {
        const char* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"  42", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"$1F", 31},
        {"x1f", 31},
        {"X10", 16},
        {"0x10", 16},
        {"0XfF", 255},
        {"-$10", -16},
        {"  -0x7FFFFFFF", -2147483647},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"$7FFFFFFF", 2147483647},
        {"-$80000000", INT32_MIN},
        {"00000000000000000012", 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
        std::int32_t value = 0;
        EXPECT_TRUE(TryStrToInt(c.text, value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(StrToIntDef(c.text, -99), c.value) << c.text;
    }
}

TEST(StrictConversion, RejectsJunkAndOverflowWithTheStandardText)
{
    const char* bad[] = {
        "",      " ",          "+",           "-",           "12 ",       "1a",         "a1",  "1.5",
        "1,000", "$",          "0x",          "x",           "$G",        "--1",        "+-1", "- 1",
        "\t1",   "2147483648", "-2147483649", "99999999999", "$80000000", "0x1FFFFFFFF"};
    for (const char* text : bad) {
        std::int32_t value = 1234;
        EXPECT_FALSE(TryStrToInt(text, value)) << text;
        EXPECT_EQ(value, 1234) << "untouched on failure: " << text;
        EXPECT_EQ(StrToIntDef(text, -7), -7) << text;
        try {
            StrToInt(text);
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid integer value");
        }
    }
}

TEST(LenientConversion, KeepsTheLeadingDigitsOfCardNumbers)
{
    struct Case {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"00012345", 12345},
        {"0012A456", 12},
        {"00000000", 0},
        {"        ", 0},
        {"", 0},
        {"ABCDEFGH", 0},
        {"  123", 123},
        {"123  ", 123},
        {"-123", -123},
        {"-12A", 12},  // a sign counts only for a text converted to its end
        {"+77", 77},
        {"-", 0},
        {"4294967296", 4294967296},  // ten digits above 2^31 keep their digits
        {"9999999999", 9999999999},
        {"2147483648", 2147483648},
        {"$1F", 31},
        {"0x1G", 1},
        {"0x", 0},
        {"99999999999999999999999", INT64_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(LenientStrToInt64(c.text), c.value) << c.text;
}

}  // namespace
