#include "tools/clocksim/records.h"

#include "tools/clocksim/protocol.h"
#include "tools/clocksim/random.h"

#include <algorithm>
#include <cstdio>

namespace clocksim {

namespace {

// Records of one day are spread over working hours, 06:00 to 20:00.
constexpr int kFirstMinute = 6 * 60;
constexpr int kMinutesPerDay = 14 * 60;
// Made records aim at about this many per day, so a date search finds
// several records on each date.
constexpr std::uint32_t kRecordsPerDay = 6;
constexpr int kCardPool = 50;
// Longest payload whose reply frame fits the 50 bytes the program collects.
constexpr std::size_t kMaxPayload = 50 - 8;
// How far back the date search places AUR: to the start of a block.
constexpr std::size_t kIndexBlock = 64;

std::string twoDigits(int v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v % 100);
    return buf;
}

std::string dateKey(const Date& d) { return twoDigits(d.year) + twoDigits(d.month) + twoDigits(d.day); }

// First day the records may carry.
Date earliestDay(const RecordSettings& s)
{
    if (s.layout == Layout::Vireo) {
        Date d = s.clockDate;
        for (int i = 0; i < 364; ++i) d = previousDay(s.calendar, d);
        return d;
    }
    // A four-digit date takes the clock's year, or the year before for
    // months 11 and 12 while the clock is in month 1 or 2.
    if (s.clockDate.month <= 2) return Date{s.clockDate.year - 1, 11, 1};
    return Date{s.clockDate.year, 1, 1};
}

// The cards that punch at a clock.
std::vector<std::uint64_t> cardPool(const RecordSettings& s, SplitMix64& rng)
{
    std::vector<std::uint64_t> cards;
    const std::uint64_t cardLimit = s.layout == Layout::Standard ? 100000000ULL : 2000000000ULL;
    for (int i = 0; i < kCardPool; ++i) cards.push_back(1 + rng.below(cardLimit - 1));
    return cards;
}

// One record of a card from `cards` on day `d` at `minute` past midnight.
Record madeRecord(const RecordSettings& s, const Date& d, int minute, const std::vector<std::uint64_t>& cards,
                  SplitMix64& rng)
{
    const std::uint64_t card = cards[rng.below(cards.size())];
    std::string payload;
    if (s.layout == Layout::Standard) {
        payload = zeroPadded(card, 8) + twoDigits(d.month) + twoDigits(d.day);
    } else {
        payload = zeroPadded(card, 10) + dateKey(d);
    }
    payload += twoDigits(minute / 60) + twoDigits(minute % 60);
    payload += "0" + std::to_string(rng.below(4));           // type
    payload += twoDigits(static_cast<int>(rng.below(100)));  // extra
    payload += std::to_string(rng.below(10));                // last
    Record r;
    r.payload = std::move(payload);
    r.dateKey = dateKey(d);
    r.flagged = s.flaggedRate > 0 && rng.unit() < s.flaggedRate;
    return r;
}

}  // namespace

bool isLeapYear(Calendar calendar, int year)
{
    if (calendar == Calendar::Gregorian) return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int r = (year - 22) % 33;
    return r == 0 || (r % 4 == 0 && r != 32);
}

int daysInMonth(Calendar calendar, int year, int month)
{
    if (calendar == Calendar::Gregorian) {
        static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (month == 2 && isLeapYear(calendar, year)) return 29;
        return kDays[month - 1];
    }
    if (month <= 6) return 31;
    if (month <= 11) return 30;
    return isLeapYear(calendar, year) ? 30 : 29;
}

bool isValidDate(Calendar calendar, const Date& d)
{
    return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
           d.day <= daysInMonth(calendar, d.year, d.month);
}

Date previousDay(Calendar calendar, Date d)
{
    if (--d.day >= 1) return d;
    if (--d.month < 1) {
        d.month = 12;
        --d.year;
    }
    d.day = daysInMonth(calendar, d.year, d.month);
    return d;
}

namespace {

// Days since 1970-01-01 of a Gregorian date (proleptic calendar).
long long gregorianDayNumber(const Date& d)
{
    const int y = d.year - (d.month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153LL * (d.month + (d.month > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long long solarDayNumber(const Date& d)
{
    static const long long kEpoch = gregorianDayNumber(Date{2009, 3, 21});  // Solar 1388/01/01
    long long n = kEpoch;
    for (int y = 1388; y < d.year; ++y) n += isLeapYear(Calendar::Solar, y) ? 366 : 365;
    for (int y = d.year; y < 1388; ++y) n -= isLeapYear(Calendar::Solar, y) ? 366 : 365;
    for (int m = 1; m < d.month; ++m) n += daysInMonth(Calendar::Solar, d.year, m);
    return n + d.day - 1;
}

}  // namespace

int weekday(Calendar calendar, const Date& date)
{
    const long long n = calendar == Calendar::Gregorian ? gregorianDayNumber(date) : solarDayNumber(date);
    // 1970-01-01 was a Thursday: 5 days after Saturday.
    return static_cast<int>(((n + 5) % 7 + 7) % 7);
}

std::optional<Date> parseDate(std::string_view text, Calendar calendar)
{
    if (text.size() != 8 || !allDigits(text)) return std::nullopt;
    Date d{std::stoi(std::string(text.substr(0, 4))), std::stoi(std::string(text.substr(4, 2))),
           std::stoi(std::string(text.substr(6, 2)))};
    if (!isValidDate(calendar, d)) return std::nullopt;
    return d;
}

std::vector<Record> makeRecords(const RecordSettings& s, int clock)
{
    std::vector<Record> out;
    if (s.count == 0) return out;
    SplitMix64 rng(s.seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(clock));

    // The days the records fall on, oldest first, ending at the clock date.
    const Date earliest = earliestDay(s);
    const std::uint32_t wanted = std::max<std::uint32_t>(1, (s.count + kRecordsPerDay - 1) / kRecordsPerDay);
    std::vector<Date> days{s.clockDate};
    while (days.size() < wanted) {
        Date before = previousDay(s.calendar, days.back());
        if (before < earliest) break;
        days.push_back(before);
    }
    std::reverse(days.begin(), days.end());

    const std::vector<std::uint64_t> cards = cardPool(s, rng);
    const std::uint64_t n = s.count;
    const std::uint64_t dayCount = days.size();
    out.reserve(s.count);
    std::uint64_t index = 0;
    for (std::uint64_t day = 0; day < dayCount; ++day) {
        // Records index .. end-1 fall on this day.
        std::uint64_t end = ((day + 1) * n + dayCount - 1) / dayCount;
        end = std::min(end, n);
        const std::uint64_t onDay = end - index;
        for (std::uint64_t j = 0; j < onDay; ++j, ++index) {
            const int minute = kFirstMinute + static_cast<int>(j * kMinutesPerDay / onDay);
            out.push_back(madeRecord(s, days[day], minute, cards, rng));
        }
    }
    return out;
}

Record makePunch(const RecordSettings& s, int clock, std::uint64_t serial)
{
    // The clock's cards, as its made records have them; then a generator of
    // this punch's own, so punches do not depend on each other.
    SplitMix64 poolRng(s.seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(clock));
    const std::vector<std::uint64_t> cards = cardPool(s, poolRng);
    SplitMix64 rng((s.seed + serial + 1) * 0xD1B54A32D192ED03ULL + static_cast<std::uint64_t>(clock));
    const int minute = static_cast<int>(serial % (24 * 60));
    return madeRecord(s, s.clockDate, minute, cards, rng);
}

std::string dateKeyOf(std::string_view payload, const RecordSettings& s)
{
    if (s.layout == Layout::Vireo)
        return std::string(payload.substr(std::min<std::size_t>(10, payload.size()), 6));
    const std::string mmdd(payload.substr(std::min<std::size_t>(8, payload.size()), 4));
    const std::string clockMmdd = twoDigits(s.clockDate.month) + twoDigits(s.clockDate.day);
    const int year = mmdd > clockMmdd ? s.clockDate.year - 1 : s.clockDate.year;
    return twoDigits(year) + mmdd;
}

LoadResult parseRecordLines(std::string_view text, const RecordSettings& s)
{
    LoadResult result;
    SplitMix64 rng(s.seed * 0x9E3779B97F4A7C15ULL);
    std::size_t lineNo = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        Record r;
        if (line.front() == '!') {
            r.flagged = true;
            line.remove_prefix(1);
        }
        const auto fail = [&](const std::string& why) -> LoadResult {
            result.error = "record line " + std::to_string(lineNo) + ": " + why;
            return std::move(result);
        };
        if (line.find_first_of(std::string_view("\x01\x02\x0D", 3)) != std::string_view::npos)
            return fail("a payload cannot hold SOH, STX or CR");
        if (line.size() > kMaxPayload)
            return fail("longer than " + std::to_string(kMaxPayload) + " characters");
        const std::uint8_t check = xorOf(line);
        if (check == 0x01 || check == 0x02 || check == 0x0D)
            return fail("its check byte would be " + hexBytes(std::string(1, static_cast<char>(check))) +
                        ", which no reader can take apart from the frame");
        r.payload = std::string(line);
        r.dateKey = dateKeyOf(line, s);
        if (!r.flagged && s.flaggedRate > 0 && rng.unit() < s.flaggedRate) r.flagged = true;
        result.records.push_back(std::move(r));
        if (result.records.size() > kRingSize) {
            result.error = "more records than the ring holds (" + std::to_string(kRingSize) + ")";
            return result;
        }
    }
    return result;
}

RecordRing::RecordRing(std::vector<Record> records, std::uint32_t ari)
    : m_records(std::make_move_iterator(records.begin()), std::make_move_iterator(records.end())),
      m_ari(ari % kRingSize),
      m_aur(m_ari)
{
}

std::uint32_t RecordRing::add(Record record)
{
    const std::uint32_t position = awi();
    if (m_records.size() >= kRingSize) {
        m_records.pop_front();
        m_ari = (m_ari + 1) % kRingSize;
    }
    m_records.push_back(std::move(record));
    return position;
}

const Record* RecordRing::at(std::uint32_t position) const
{
    const std::uint32_t offset = (position % kRingSize + kRingSize - m_ari) % kRingSize;
    if (offset >= m_records.size()) return nullptr;
    return &m_records[offset];
}

void RecordRing::positionAtDate(std::string_view yymmdd)
{
    std::size_t target = m_records.size();
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        if (std::string_view(m_records[i].dateKey) >= yymmdd) {
            target = i;
            break;
        }
    }
    setAur(positionOf(target - target % kIndexBlock));
}

void setApartFrom(std::vector<Record>& records, std::uint32_t ari, const RecordRing& old, bool keepFlagged)
{
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record* before = old.at(static_cast<std::uint32_t>((ari + i) % kRingSize));
        if (!before) continue;
        Record& r = records[i];
        if (keepFlagged)
            r.flagged = before->flagged;
        else if (r.flagged && before->flagged)
            r.flagged = false;
        if (!r.flagged && !before->flagged && r.payload == before->payload && !r.payload.empty()) {
            char& last = r.payload.back();
            if (last >= '0' && last <= '9') last = static_cast<char>('0' + (last - '0' + 1) % 10);
        }
    }
}

}  // namespace clocksim
