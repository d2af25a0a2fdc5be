// The days an export takes, written as people write them, and the calendar
// arithmetic behind them.
//
// An export's range is a span of Solar Hijri days, the first included and
// the end not: records are compared by their Solar date, whatever calendar
// their clock kept, as the clocks here keep Solar Hijri dates. A day is
// written yymmdd (Solar, the century nearest today), yyyy/mm/dd or
// yyyy-mm-dd; a year from 1200 to 1599 makes it Solar Hijri, from 1900 to
// 2199 Gregorian (2026-12-01 is 1405/09/10). Named spans: the day today or
// yesterday, the month (Solar) this or last, or a month yyyy/mm. "Today" is
// the computer's local date, handed in so tests fix it.
//
// Days are counted from 1970-01-01 (day 0). The Solar Hijri calendar here
// is the reference of the 33-year rule (IsSolarLeapYear): months 1 to 6 of
// 31 days, 7 to 11 of 30, month 12 of 29, or 30 in a leap year, and
// 1388/01/01 on 21 March 2009. It agrees with the clocks' own conversion
// for Solar years 1343 to 1474.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace collect {

struct CalendarDay {
    int year = 0, month = 0, day = 0;
};

std::int64_t DaysFromGregorian(const CalendarDay& date);
CalendarDay GregorianFromDays(std::int64_t days);
std::int64_t DaysFromSolar(const CalendarDay& date);
CalendarDay SolarFromDays(std::int64_t days);

// yyyy/mm/dd (Solar) and yyyy-mm-dd (Gregorian) of a day.
std::string SolarText(std::int64_t days);
std::string IsoText(std::int64_t days);
// The Solar yyyy/mm/dd of a Gregorian yyyy-mm-dd; empty when it is no date.
std::string SolarOfIso(const std::string& iso);

// The computer's local date today.
std::int64_t LocalToday();

// Why `text` is no date an export takes, or empty when it reads. A yymmdd
// needs to exist in 13yy or 14yy here; its century is chosen against today.
std::string ExportDateProblem(const std::string& text);

// What the options of an export ask for: --from and --to, or --day, or
// --month (as given; empty when not).
struct ExportDates {
    std::string from, to, day, month;
};
// The span they name, as Solar yyyy/mm/dd texts, `to` not included; an
// empty end is open.
struct ExportSpan {
    std::string from, to;
};
// Raises std::invalid_argument naming the option: a date that does not
// exist, --from not before --to.
ExportSpan ResolveExportDates(const ExportDates& dates, std::int64_t today);

}  // namespace collect
