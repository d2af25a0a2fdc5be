// The clock's record store: a ring of 253579 positions with three pointers.
//
// ARI is the position of the oldest record, AWI the position the next record
// will be written to, AUR the user read pointer that each "next record"
// command reads from and then moves on by one. Records occupy ARI .. AWI - 1,
// wrapping at the end of the ring. Every record carries the date it was made
// (yymmdd in the clock's calendar), and dates rise with position, which is
// what lets the clock place AUR at a date.
//
// New records (punches) are written at AWI. Once the ring is full, each new
// record overwrites the oldest one and ARI moves on with AWI.
//
// Records are made from a seed (deterministic, so a test can compare a
// download with them) or loaded from a file. Made records use only digits
// and have an odd length (21 or 25), so the XOR check byte of their reply
// frame lies in 0x30..0x3F and can never be SOH, STX or CR.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clocksim {

inline constexpr std::uint32_t kRingSize = 253579;

enum class Layout { Standard, Vireo };
enum class Calendar { Solar, Gregorian };

struct Date {
    int year = 0;
    int month = 0;
    int day = 0;
    auto operator<=>(const Date&) const = default;
};

// Leap years as the program's conversions see them: Gregorian 4/100/400,
// Solar Hijri the 33-year rule (leap when (y - 22) mod 33 is a multiple of 4
// other than 32).
bool isLeapYear(Calendar calendar, int year);
int daysInMonth(Calendar calendar, int year, int month);
bool isValidDate(Calendar calendar, const Date& date);
Date previousDay(Calendar calendar, Date date);
// 0 = Saturday .. 6 = Friday; the weekday of the Gregorian date for either
// calendar (Solar 1388/01/01 was Saturday 21 March 2009).
int weekday(Calendar calendar, const Date& date);
// "yyyymmdd" text to a date, or nothing when it is not one.
std::optional<Date> parseDate(std::string_view text, Calendar calendar);

struct Record {
    std::string payload;
    bool flagged = false;
    std::string dateKey;  // yymmdd in the clock's calendar, for date positioning
};

struct RecordSettings {
    std::uint32_t count = 1000;
    Layout layout = Layout::Standard;
    Calendar calendar = Calendar::Solar;
    Date clockDate;
    std::uint64_t seed = 1;
    double flaggedRate = 0.0;
};

// Records made for one clock. Dates run up to the clock date; for the
// standard layout (mmdd only) they stay inside the span the program dates
// correctly from the clock's date: the clock's own year, plus November and
// December of the year before while the clock is in month 1 or 2.
std::vector<Record> makeRecords(const RecordSettings& settings, int clock);

// The record of a punch made while the clock runs: dated the clock date, in
// the layout of made records, its time and card drawn from `serial` (the
// punch's number on this clock) so a seed always gives the same punches.
Record makePunch(const RecordSettings& settings, int clock, std::uint64_t serial);

// Records from the lines of a file's text: one payload a line; a line that
// starts with "!" is a flagged record (its payload follows the "!"). Blank
// lines are skipped. Returns an error text on the first line whose reply
// frame could not be read (a SOH, STX or CR in it, a check byte equal to one
// of them, or too long for a 50-byte reply).
struct LoadResult {
    std::vector<Record> records;
    std::string error;
};
LoadResult parseRecordLines(std::string_view text, const RecordSettings& settings);

// The date key of a payload: characters 11-16 in the Vireo layout; for the
// standard layout the clock's year with the record's mmdd, a year earlier
// when that would lie after the clock date.
std::string dateKeyOf(std::string_view payload, const RecordSettings& settings);

class RecordRing {
public:
    RecordRing(std::vector<Record> records, std::uint32_t ari);

    std::uint32_t ari() const { return m_ari; }
    std::uint32_t awi() const { return (m_ari + static_cast<std::uint32_t>(m_records.size())) % kRingSize; }
    std::uint32_t aur() const { return m_aur; }
    std::uint32_t count() const { return static_cast<std::uint32_t>(m_records.size()); }

    // Writes a record at AWI; a full ring loses its oldest record to it.
    // Returns the position written.
    std::uint32_t add(Record record);

    void setAur(std::uint32_t position) { m_aur = position % kRingSize; }
    void advanceAur() { m_aur = (m_aur + 1) % kRingSize; }
    // The record at a position, or nothing when the position holds none.
    const Record* at(std::uint32_t position) const;
    const std::deque<Record>& records() const { return m_records; }
    std::uint32_t positionOf(std::size_t index) const
    {
        return static_cast<std::uint32_t>((m_ari + index) % kRingSize);
    }

    // Places AUR at or before the first record whose date is not earlier
    // than yymmdd (AWI when there is none), at most 100 records before it:
    // at the start of the block of 64 records that holds it, the way a
    // clock that indexes its ring by blocks would.
    void positionAtDate(std::string_view yymmdd);

private:
    std::deque<Record> m_records;
    std::uint32_t m_ari;
    std::uint32_t m_aur;
};

// Makes made records that are to fill a ring from `ari` answer otherwise
// than the records `old` holds at the same positions, so a reader that reads
// one record back tells the two rings apart: a payload equal to the old one
// gets another last digit (made payloads are digits only), and a record
// that both would answer with "???" is not flagged. `keepFlagged`: flagged
// exactly where the old ring is instead, so only the good records tell the
// two apart.
void setApartFrom(std::vector<Record>& records, std::uint32_t ari, const RecordRing& old,
                  bool keepFlagged = false);

}  // namespace clocksim
