#include "utils/calendar.h"

#include <array>
#include <cctype>

#include "utils/errors.h"
#include "utils/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <locale.h>
#endif

namespace {

using u16 = std::uint16_t;

// Month lengths from January, February without its leap day.
constexpr std::array<std::uint8_t, 12> kMonthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The decimal digits of `value`, with leading zeros up to `width`.
std::string zeroPadded(u16 value, std::uint8_t width) { return PadLeft(std::to_string(value), width, '0'); }

}  // namespace

bool IsGregorianLeapYear(std::uint16_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool IsSolarLeapYear(std::uint16_t year)
{
    // C++ remainder truncates toward zero, so years below 22 give a negative
    // remainder that is tested as it is.
    const int r = (static_cast<int>(year) - 22) % 33;
    return r == 0 || (r % 4 == 0 && r != 32);
}

bool IsValidGregorianDate(int year, int month, int day)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    int length = kMonthDays[static_cast<std::size_t>(month - 1)];
    if (month == 2 && IsGregorianLeapYear(static_cast<u16>(year))) ++length;
    return day <= length;
}

std::string SolarToGregorianText(std::uint16_t year, std::uint16_t month, std::uint16_t day, char separator)
{
    // All arithmetic wraps in 16 bits, as the clocks' own firmware does, so
    // every input gives some date; index 1..12 of `table` is January..December.
    std::array<u16, 13> table{};
    for (std::size_t i = 1; i <= 12; ++i) table[i] = kMonthDays[i - 1];
    table[2] = IsGregorianLeapYear(static_cast<u16>(year + 622)) ? 29 : 28;

    // The nearest earlier year that is leap in either calendar decides whether
    // the Solar year starts on March 21 or March 20. An 8-bit counter is
    // enough: leap years are never more than a few years apart.
    std::uint8_t k = 1;
    while (!IsSolarLeapYear(static_cast<u16>(year - k)) &&
           !IsGregorianLeapYear(static_cast<u16>(year + 622 - k)))
        ++k;
    const u16 marchOffset = IsSolarLeapYear(static_cast<u16>(year - k)) ? 20 : 19;

    const u16 dayOfYear =
        month <= 7 ? static_cast<u16>(31 * (month - 1) + day) : static_cast<u16>(30 * (month - 1) + day + 6);

    u16 v = static_cast<u16>(dayOfYear + marchOffset);
    std::size_t i = 3;
    bool wrapped = false;
    while (table[i] < v) {
        v = static_cast<u16>(v - table[i]);
        ++i;
        if (i == 13) {
            i = 1;
            wrapped = true;
        }
    }

    const u16 gregorianYear = static_cast<u16>(year + (wrapped ? 622 : 621));
    // The walk always ends on a real day of month i except for v = 0, which
    // only a wrapped day of year can produce. Year 0 (from a wrapped 16-bit
    // year) does not exist either.
    if (v == 0 || gregorianYear == 0 || gregorianYear > 9999)
        throw EConvertError("Invalid argument to date encode");

    return zeroPadded(gregorianYear, 4) + separator + zeroPadded(static_cast<u16>(i), 2) + separator +
           zeroPadded(v, 2);
}

std::string SolarToGregorianText(std::uint16_t year, std::uint16_t month, std::uint16_t day)
{
    return SolarToGregorianText(year, month, day, RegionalDateSeparator());
}

std::string GregorianToSolarText(std::uint16_t year, std::uint16_t month, std::uint16_t day)
{
    u16 n = day;
    for (std::size_t m = 1; m < month && m <= 12; ++m) n = static_cast<u16>(n + kMonthDays[m - 1]);
    // Divisibility by 4 alone: the century rule is deliberately not applied.
    if (year % 4 == 0 && month > 2) ++n;

    u16 solarYear = 0;
    if (year >= 1994) {
        const u16 lastDayOfOldYear = year % 4 == 0 ? 19 : 20;
        if (month < 3 || (month == 3 && day <= lastDayOfOldYear)) {
            solarYear = static_cast<u16>(year - 622);
            n = static_cast<u16>(n + (year % 4 == 1 ? 287 : 286));
        } else {
            solarYear = static_cast<u16>(year - 621);
            n = static_cast<u16>(n - 79);
        }
    } else {
        // Before 1994 the new year is always taken as March 21.
        if (month < 3 || (month == 3 && day <= 20)) {
            solarYear = static_cast<u16>(year - 622);
            n = static_cast<u16>(n + 286);
        } else {
            solarYear = static_cast<u16>(year - 621);
            n = static_cast<u16>(n - (year % 4 == 0 ? 80 : 79));
        }
    }

    u16 solarMonth = 0;
    u16 solarDay = 0;
    if (n > 186) {
        n = static_cast<u16>(n - 186);
        if (n % 30 != 0) {
            solarMonth = static_cast<u16>(n / 30 + 7);
            solarDay = n % 30;
        } else {
            solarMonth = static_cast<u16>(n / 30 + 6);
            solarDay = 30;
        }
    } else if (n % 31 != 0) {
        solarMonth = static_cast<u16>(n / 31 + 1);
        solarDay = n % 31;
    } else {
        solarMonth = static_cast<u16>(n / 31);
        solarDay = 31;
    }

    // The year is kept in full, so dates from 1400 on stay distinct from
    // those a century earlier.
    return zeroPadded(solarYear, 2) + "/" + zeroPadded(solarMonth, 2) + "/" + zeroPadded(solarDay, 2);
}

char DateSeparatorOfFormat(std::string_view format)
{
    // The first punctuation character after a conversion ("%d", "%Ey", ...).
    // Anything else, such as a letter or a byte of a multi-byte character,
    // cannot stand as a one-byte separator.
    bool seenField = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c == '%') {
            ++i;
            while (i < format.size() &&
                   (format[i] == 'E' || format[i] == 'O' || format[i] == '-' || format[i] == '_' ||
                    format[i] == '0' || format[i] == '^' || format[i] == '#'))
                ++i;
            seenField = true;
            continue;
        }
        if (seenField && std::ispunct(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80)
            return c;
    }
    return '/';
}

char RegionalDateSeparator()
{
#ifdef _WIN32
    char buffer[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDATE, buffer, sizeof buffer) > 0 && buffer[0] != '\0')
        return buffer[0];
    return '/';
#else
    // A private locale object built from the environment, so the program's
    // global locale stays as it is.
    locale_t regional = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (regional == static_cast<locale_t>(nullptr)) return '/';
    const char* format = nl_langinfo_l(D_FMT, regional);
    const char separator = format != nullptr ? DateSeparatorOfFormat(format) : '/';
    freelocale(regional);
    return separator;
#endif
}
