#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include "childprocess.h"
#endif
#include "utils/calendar.h"
#include "utils/errors.h"

namespace {

struct Date {
    int y, m, d;
    bool operator==(const Date&) const = default;
};

std::string slashed(const Date& date, int yearDigits = 4)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*d/%02d/%02d", yearDigits, date.y, date.m, date.d);
    return buffer;
}

int gregorianMonthLength(int y, int m)
{
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : lengths[m - 1];
}

// The reference Solar calendar: six months of 31 days, five of 30, and the
// last of 29 or, in a leap year, 30.
int solarMonthLength(int y, int m)
{
    if (m <= 6) return 31;
    if (m <= 11) return 30;
    return IsSolarLeapYear(static_cast<std::uint16_t>(y)) ? 30 : 29;
}

template <typename MonthLength>
Date nextDay(Date date, MonthLength length)
{
    if (++date.d > length(date.y, date.m)) {
        date.d = 1;
        if (++date.m > 12) {
            date.m = 1;
            ++date.y;
        }
    }
    return date;
}

template <typename MonthLength>
Date previousDay(Date date, MonthLength length)
{
    if (--date.d < 1) {
        if (--date.m < 1) {
            date.m = 12;
            --date.y;
        }
        date.d = length(date.y, date.m);
    }
    return date;
}

std::string toSolar(const Date& g)
{
    return GregorianToSolarText(static_cast<std::uint16_t>(g.y), static_cast<std::uint16_t>(g.m),
                                static_cast<std::uint16_t>(g.d));
}

std::string toGregorian(const Date& s, char separator = '/')
{
    return SolarToGregorianText(static_cast<std::uint16_t>(s.y), static_cast<std::uint16_t>(s.m),
                                static_cast<std::uint16_t>(s.d), separator);
}

bool expectDateEncodeError(std::uint16_t y, std::uint16_t m, std::uint16_t d)
{
    try {
        const std::string text = SolarToGregorianText(y, m, d, '/');
        ADD_FAILURE() << y << "/" << m << "/" << d << " gave " << text;
        return false;
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Invalid argument to date encode");
        return true;
    }
}

TEST(LeapYears, GregorianCenturyRule)
{
    EXPECT_FALSE(IsGregorianLeapYear(1900));
    EXPECT_FALSE(IsGregorianLeapYear(2100));
    EXPECT_FALSE(IsGregorianLeapYear(2023));
    EXPECT_TRUE(IsGregorianLeapYear(2000));
    EXPECT_TRUE(IsGregorianLeapYear(2012));
    EXPECT_TRUE(IsGregorianLeapYear(0));
}

TEST(LeapYears, SolarThirtyThreeYearRule)
{
    for (int y : {1370, 1375, 1379, 1383, 1387, 1391, 1395, 1399, 1403, 1408})
        EXPECT_TRUE(IsSolarLeapYear(static_cast<std::uint16_t>(y))) << y;
    for (int y : {1374, 1388, 1407, 1400, 1401})
        EXPECT_FALSE(IsSolarLeapYear(static_cast<std::uint16_t>(y))) << y;

    // From year 22 on: eight leap years in every 33, at fixed remainders.
    for (int y = 22; y < 65536; ++y) {
        const int r = y % 33;
        const bool expected =
            r == 1 || r == 5 || r == 9 || r == 13 || r == 17 || r == 22 || r == 26 || r == 30;
        ASSERT_EQ(IsSolarLeapYear(static_cast<std::uint16_t>(y)), expected) << y;
    }
    // Below 22 the negative truncating remainder is used unchanged.
    EXPECT_TRUE(IsSolarLeapYear(18));   // r = -4
    EXPECT_TRUE(IsSolarLeapYear(2));    // r = -20
    EXPECT_FALSE(IsSolarLeapYear(0));   // r = -22
    EXPECT_FALSE(IsSolarLeapYear(21));  // r = -1
}

TEST(GregorianToSolar, WorkedExamples)
{
    struct Case {
        Date gregorian;
        const char* solar;
    };
    const Case cases[] = {
        {{2009, 3, 15}, "1387/12/25"},
        {{2009, 3, 20}, "1387/12/30"},
        {{2009, 3, 21}, "1388/01/01"},
        {{2009, 10, 15}, "1388/07/23"},
        {{2009, 1, 1}, "1387/10/12"},
        {{2010, 1, 1}, "1388/10/11"},
        {{1996, 3, 20}, "1375/01/01"},
        {{1992, 3, 20}, "1370/12/30"},
        {{1993, 3, 21}, "1372/01/01"},
        // The full year is kept from 1400 on.
        {{2021, 3, 21}, "1400/01/01"},
        {{2024, 3, 20}, "1403/01/01"},
        // 2100 counts as leap here: 28 February and 1 March are two days apart.
        {{2100, 2, 28}, "1478/12/09"},
        {{2100, 3, 1}, "1478/12/11"},
    };
    for (const Case& c : cases) EXPECT_EQ(toSolar(c.gregorian), c.solar) << slashed(c.gregorian);
}

TEST(SolarToGregorian, WorkedExamplesAndOutOfRangeArguments)
{
    struct Case {
        Date solar;
        const char* gregorian;
    };
    const Case cases[] = {
        {{1388, 1, 1}, "2009/03/21"},
        {{1391, 1, 1}, "2012/03/20"},
        {{1388, 7, 23}, "2009/10/15"},
        {{1388, 10, 11}, "2010/01/01"},
        {{1387, 12, 30}, "2009/03/20"},
        // Unchecked arguments run through the same arithmetic.
        {{1388, 12, 30}, "2010/03/21"},
        {{1388, 13, 1}, "2010/03/22"},
        {{1388, 1, 0}, "2009/03/20"},
        // Four-digit year, two-digit month and day, even for small values.
        {{1, 1, 1}, "0622/03/21"},
        {{9378, 1, 1}, "9999/03/21"},
    };
    for (const Case& c : cases) EXPECT_EQ(toGregorian(c.solar), c.gregorian) << slashed(c.solar);
}

TEST(SolarToGregorian, UsesTheGivenSeparator)
{
    EXPECT_EQ(SolarToGregorianText(1388, 10, 11, '-'), "2010-01-01");
    EXPECT_EQ(SolarToGregorianText(1388, 10, 11, '.'), "2010.01.01");
    // The other direction always uses "/".
    EXPECT_EQ(GregorianToSolarText(2010, 1, 1), "1388/10/11");
}

TEST(SolarToGregorian, FailsOnlyForDayZeroOrAYearBeyond9999)
{
    // Month 0 ends the walk on day 0 for day 31 - s.
    EXPECT_TRUE(expectDateEncodeError(1388, 0, 11));  // s = 20
    EXPECT_TRUE(expectDateEncodeError(1391, 0, 12));  // s = 19
    EXPECT_EQ(toGregorian({1391, 0, 11}).size(), 10u);
    EXPECT_EQ(toGregorian({1388, 0, 12}), "2009/03/01");

    EXPECT_TRUE(expectDateEncodeError(9379, 1, 1));
    EXPECT_TRUE(expectDateEncodeError(9378, 10, 11));  // passes the Gregorian new year
    EXPECT_EQ(toGregorian({9378, 10, 10}), "9999/12/31");
    EXPECT_TRUE(expectDateEncodeError(9999, 12, 29));
    // The year wraps in 16 bits: far beyond 9999 it comes round to small years.
    EXPECT_EQ(toGregorian({65535, 12, 29}), "0621/03/19");
    // Wrapped to Gregorian year 0, which does not exist.
    EXPECT_TRUE(expectDateEncodeError(64915, 1, 1));
}

TEST(SolarToGregorian, AnyOtherArgumentsGiveARealDate)
{
    auto check = [](int y, int m, int d) {
        const std::string text = toGregorian({y, m, d});
        ASSERT_EQ(text.size(), 10u) << y << "/" << m << "/" << d;
        const int gy = std::atoi(text.substr(0, 4).c_str());
        const int gm = std::atoi(text.substr(5, 2).c_str());
        const int gd = std::atoi(text.substr(8, 2).c_str());
        ASSERT_TRUE(IsValidGregorianDate(gy, gm, gd)) << y << "/" << m << "/" << d << " gave " << text;
    };
    for (int y = 1; y <= 9300; y += 7)
        for (int m = 1; m <= 14; ++m)
            for (int d = 1; d <= 40; ++d) check(y, m, d);
    for (int m : {100, 1000, 65535})
        for (int d : {1, 31, 1000, 65535}) check(1400, m, d);
}

// Walks the reference calendars day by day, anchored at 1388/01/01 =
// 2009-03-21, and compares both conversions with them over the ranges in
// which the rules agree with the reference; between 1964-03-21 and
// 2021-03-20 each conversion is then the inverse of the other.
TEST(Conversions, AgreeWithTheReferenceCalendarAndInvertEachOther)
{
    const auto gLength = [](int y, int m) { return gregorianMonthLength(y, m); };
    const auto sLength = [](int y, int m) { return solarMonthLength(y, m); };

    Date g{2009, 3, 21};
    Date s{1388, 1, 1};
    while (!(g == Date{1960, 3, 21})) {
        g = previousDay(g, gLength);
        s = previousDay(s, sLength);
    }
    EXPECT_EQ(s, (Date{1339, 1, 1}));

    int compared = 0;
    for (; !(g == Date{2096, 3, 20}); g = nextDay(g, gLength), s = nextDay(s, sLength)) {
        const bool toSolarHolds = !(g.y > 2029 || (g.y == 2029 && (g.m > 3 || (g.m == 3 && g.d > 19))));
        if (toSolarHolds) {
            ASSERT_EQ(toSolar(g), slashed(s)) << slashed(g);
        }
        if (s.y >= 1343) {
            ASSERT_EQ(toGregorian(s), slashed(g)) << slashed(s);
        }
        ++compared;
    }
    EXPECT_EQ(s, (Date{1475, 1, 1}));
    EXPECT_GT(compared, 49000);
}

TEST(RegionalSeparator, ReadFromTheLocaleDateFormat)
{
    EXPECT_EQ(DateSeparatorOfFormat("%m/%d/%y"), '/');
    EXPECT_EQ(DateSeparatorOfFormat("%d.%m.%Y"), '.');
    EXPECT_EQ(DateSeparatorOfFormat("%Y-%m-%d"), '-');
    EXPECT_EQ(DateSeparatorOfFormat("%a %d %b %Y"), '/');
    EXPECT_EQ(DateSeparatorOfFormat("%Ey/%Om/%d"), '/');
    EXPECT_EQ(DateSeparatorOfFormat("%e-%-m-%Y"), '-');
    EXPECT_EQ(DateSeparatorOfFormat("%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5"), '/');
    EXPECT_EQ(DateSeparatorOfFormat(""), '/');
}

#ifndef _WIN32
// The user's locale comes from the environment on POSIX systems.
// Runs `probe` in a child process with the given environment variables set
// and returns what it printed, so the test process keeps its own
// environment. The child leaves with _exit (the C library keeps the locale
// path of LOCPATH for good, which a leak checker would otherwise report).
std::string runWithEnvironment(const std::vector<std::pair<std::string, std::string>>& env,
                               std::string (*probe)())
{
    return TextFromChild([&] {
               for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
               return probe();
           })
        .value_or("child failed");
}

std::string probeSeparator()
{
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::string out(1, RegionalDateSeparator());
    out += " " + SolarToGregorianText(1388, 10, 11) + " " + GregorianToSolarText(2010, 1, 1);
    if (std::string(std::setlocale(LC_ALL, nullptr)) != before) out += " locale changed";
    return out;
}

TEST(RegionalSeparator, FallsBackToSlash)
{
    EXPECT_EQ(runWithEnvironment({{"LC_ALL", "C"}}, probeSeparator), "/ 2010/01/01 1388/10/11");
    EXPECT_EQ(runWithEnvironment({{"LC_ALL", "no_SUCH.locale"}}, probeSeparator), "/ 2010/01/01 1388/10/11")
        << "an unknown locale falls back to '/'";
}

// A German locale writes dates as 11.01.2010; one is compiled into a private
// directory so the test does not depend on which locales the machine has.
TEST(RegionalSeparator, FollowsTheUserLocaleAndLeavesTheProgramLocaleAlone)
{
    if (std::system("command -v localedef >/dev/null 2>&1") != 0 ||
        !std::filesystem::exists("/usr/share/i18n/locales/de_DE"))
        GTEST_SKIP() << "localedef or its locale sources are not installed";
    char pattern[] = "/tmp/locale-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string command = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    const int built = std::system(command.c_str());
    const std::string out = runWithEnvironment({{"LOCPATH", dir}, {"LC_ALL", "de_DE.UTF-8"}}, probeSeparator);
    std::filesystem::remove_all(dir);

    ASSERT_EQ(built, 0) << command;
    EXPECT_EQ(out, ". 2010.01.01 1388/10/11");
}
#endif

}  // namespace
