#include "exportdates.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "utils/calendar.h"

namespace collect {
namespace {

// 1388/01/01, the Solar day that anchors the reference calendar.
const std::int64_t kSolarAnchor = DaysFromGregorian({2009, 3, 21});
constexpr int kAnchorYear = 1388;

bool SolarLeap(int year) { return IsSolarLeapYear(static_cast<std::uint16_t>(year)); }

int SolarMonthLength(int year, int month)
{
    return month <= 6 ? 31 : month <= 11 ? 30 : SolarLeap(year) ? 30 : 29;
}

bool IsSolarDay(const CalendarDay& d)
{
    return d.year >= 1200 && d.year <= 1599 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
           d.day <= SolarMonthLength(d.year, d.month);
}

bool Digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string Formatted(const char* pattern, const CalendarDay& d)
{
    char text[32];
    std::snprintf(text, sizeof text, pattern, d.year, d.month, d.day);
    return text;
}

const char* const kForms =
    "write yymmdd or yyyy/mm/dd (Solar Hijri, such as 1405/09/10) or yyyy-mm-dd (Gregorian, such as "
    "2026-12-01)";

// The day `text` names, or nothing with the reason in `why`. A yymmdd is
// taken in the century that puts it at most 20 years after today's Solar
// year; without a today, it must exist in 13yy or 14yy.
std::optional<std::int64_t> ReadDate(const std::string& text, std::optional<std::int64_t> today,
                                     std::string& why)
{
    why = "'" + text + "' is not a date: " + kForms;
    if (text.size() == 6 && Digits(text)) {
        const int yy = std::stoi(text.substr(0, 2));
        CalendarDay d{1400 + yy, std::stoi(text.substr(2, 2)), std::stoi(text.substr(4, 2))};
        if (today) {
            if (d.year > SolarFromDays(*today).year + 20) d.year -= 100;
        } else if (!IsSolarDay(d)) {
            d.year -= 100;
        }
        if (!IsSolarDay(d)) {
            why = "'" + text + "' is not a day of the Solar Hijri calendar (yymmdd)";
            return std::nullopt;
        }
        return DaysFromSolar(d);
    }
    // yyyy, a separator, one or two digits, the same separator, one or two.
    const std::size_t first = text.find_first_of("/-.");
    if (first != 4 || !Digits(text.substr(0, 4))) return std::nullopt;
    const std::size_t second = text.find(text[first], first + 1);
    if (second == std::string::npos) return std::nullopt;
    const std::string month = text.substr(first + 1, second - first - 1), day = text.substr(second + 1);
    if (!Digits(month) || !Digits(day) || month.size() > 2 || day.size() > 2) return std::nullopt;
    const CalendarDay d{std::stoi(text.substr(0, 4)), std::stoi(month), std::stoi(day)};
    if (d.year >= 1200 && d.year <= 1599) {
        if (IsSolarDay(d)) return DaysFromSolar(d);
        why = "'" + text + "' is not a day of the Solar Hijri calendar";
        return std::nullopt;
    }
    if (d.year >= 1900 && d.year <= 2199) {
        if (IsValidGregorianDate(d.year, d.month, d.day)) return DaysFromGregorian(d);
        why = "'" + text + "' is not a day of the Gregorian calendar";
        return std::nullopt;
    }
    why = "'" + text + "': a year from 1200 to 1599 is Solar Hijri, from 1900 to 2199 Gregorian";
    return std::nullopt;
}

std::int64_t FirstOfMonth(int year, int month)
{
    if (month < 1) return DaysFromSolar({year - 1, 12, 1});
    if (month > 12) return DaysFromSolar({year + 1, 1, 1});
    return DaysFromSolar({year, month, 1});
}

}  // namespace

std::int64_t DaysFromGregorian(const CalendarDay& date)
{
    // Days from 1 March of year 0 by eras of 400 years, then moved to 1970.
    const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CalendarDay GregorianFromDays(std::int64_t days)
{
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0)), month,
            static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1)};
}

std::int64_t DaysFromSolar(const CalendarDay& date)
{
    std::int64_t days = kSolarAnchor;
    for (int y = kAnchorYear; y < date.year; ++y) days += SolarLeap(y) ? 366 : 365;
    for (int y = date.year; y < kAnchorYear; ++y) days -= SolarLeap(y) ? 366 : 365;
    const int dayOfYear = date.month <= 6 ? 31 * (date.month - 1) : 186 + 30 * (date.month - 7);
    return days + dayOfYear + date.day - 1;
}

CalendarDay SolarFromDays(std::int64_t days)
{
    int year = kAnchorYear + static_cast<int>((days - kSolarAnchor) * 10000 / 3652422);
    while (DaysFromSolar({year, 1, 1}) > days) --year;
    while (DaysFromSolar({year + 1, 1, 1}) <= days) ++year;
    int dayOfYear = static_cast<int>(days - DaysFromSolar({year, 1, 1}));
    int month = 1;
    while (dayOfYear >= SolarMonthLength(year, month)) dayOfYear -= SolarMonthLength(year, month++);
    return {year, month, dayOfYear + 1};
}

std::string SolarText(std::int64_t days) { return Formatted("%04d/%02d/%02d", SolarFromDays(days)); }
std::string IsoText(std::int64_t days) { return Formatted("%04d-%02d-%02d", GregorianFromDays(days)); }

std::string SolarOfIso(const std::string& iso)
{
    if (iso.size() != 10 || iso[4] != '-' || iso[7] != '-' ||
        !Digits(iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2)))
        return {};
    const CalendarDay d{std::stoi(iso.substr(0, 4)), std::stoi(iso.substr(5, 2)),
                        std::stoi(iso.substr(8, 2))};
    return IsValidGregorianDate(d.year, d.month, d.day) ? SolarText(DaysFromGregorian(d)) : std::string();
}

std::int64_t LocalToday()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    // The Windows C library keeps the result per thread.
    local = *std::localtime(&now);
#else
    localtime_r(&now, &local);
#endif
    return DaysFromGregorian({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
}

std::string ExportDateProblem(const std::string& text)
{
    if (text == "today" || text == "yesterday") return {};
    std::string why;
    return ReadDate(text, std::nullopt, why) ? std::string() : why;
}

ExportSpan ResolveExportDates(const ExportDates& dates, std::int64_t today)
{
    const auto day = [&](const std::string& option, const std::string& text) {
        std::string why;
        const std::optional<std::int64_t> read = ReadDate(text, today, why);
        if (!read) throw std::invalid_argument(option + ": " + why);
        return *read;
    };
    if (!dates.day.empty()) {
        const std::int64_t first = dates.day == "today"       ? today
                                   : dates.day == "yesterday" ? today - 1
                                                              : day("--day", dates.day);
        return {SolarText(first), SolarText(first + 1)};
    }
    if (!dates.month.empty()) {
        CalendarDay month = SolarFromDays(today);
        if (dates.month == "last") {
            --month.month;
        } else if (dates.month != "this") {
            const std::string& m = dates.month;
            const std::size_t slash = m.find_first_of("/-.");
            if (slash != 4 || !Digits(m.substr(0, 4)) || !Digits(m.substr(5)) || m.size() > 7)
                throw std::invalid_argument("--month: '" + m +
                                            "' is not this, last or a Solar Hijri month yyyy/mm");
            month = {std::stoi(m.substr(0, 4)), std::stoi(m.substr(5)), 1};
            if (month.year < 1200 || month.year > 1599 || month.month < 1 || month.month > 12)
                throw std::invalid_argument("--month: '" + m +
                                            "' is not a month of the Solar Hijri calendar");
        }
        return {SolarText(FirstOfMonth(month.year, month.month)),
                SolarText(FirstOfMonth(month.year, month.month + 1))};
    }
    ExportSpan span;
    std::optional<std::int64_t> from, to;
    if (!dates.from.empty()) span.from = SolarText(*(from = day("--from", dates.from)));
    if (!dates.to.empty()) span.to = SolarText(*(to = day("--to", dates.to)));
    // Each date also as the Solar day it was taken for, where written otherwise.
    const auto shown = [](const std::string& given, const std::string& solar) {
        return given == solar ? given : given + " (" + solar + ")";
    };
    if (from && to && *from >= *to)
        throw std::invalid_argument("--from: " + shown(dates.from, span.from) + " is not before --to " +
                                    shown(dates.to, span.to) + "; the range ends before --to");
    return span;
}

}  // namespace collect
