// Solar Hijri and Gregorian calendar rules.
//
// Fixed arithmetic rules, not a general calendar: years, months and days are
// 16-bit unsigned and the conversions wrap modulo 65536 like the clocks'
// own firmware arithmetic, so out-of-range input yields a date rather than
// an error (see SolarToGregorianText for the one exception).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

bool IsGregorianLeapYear(std::uint16_t year);

// 33-year rule: leap when (year - 22) rem 33 is 0, or a multiple of 4 other than 32.
bool IsSolarLeapYear(std::uint16_t year);

// Whether year/month/day is a real date of the Gregorian calendar.
bool IsValidGregorianDate(int year, int month, int day);

// The Gregorian date of a Solar Hijri date, as yyyy<sep>mm<sep>dd with the
// regional date separator. Raises EConvertError "Invalid argument to date
// encode" exactly when the arithmetic arrives at a date that cannot exist:
// day 0, a year above 9999, or year 0 (a Solar year above 64914 wraps there).
std::string SolarToGregorianText(std::uint16_t year, std::uint16_t month, std::uint16_t day);

// As above with a given separator instead of the regional one.
std::string SolarToGregorianText(std::uint16_t year, std::uint16_t month, std::uint16_t day, char separator);

// The Solar Hijri date of a valid Gregorian date, as yyyy/mm/dd (always "/").
// The year is given in full (2021-03-21 gives 1400/01/01).
std::string GregorianToSolarText(std::uint16_t year, std::uint16_t month, std::uint16_t day);

// The date separator of the user's regional settings (the C library's locale
// date format); '/' when there is none.
char RegionalDateSeparator();

// The separator of a C library date format such as "%d.%m.%Y": the first
// ASCII punctuation character after a conversion; '/' when there is none.
char DateSeparatorOfFormat(std::string_view format);
