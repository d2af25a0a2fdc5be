// Made records, the ring and its pointers, and date positioning.
#include "tools/clocksim/clock.h"
#include "tools/clocksim/protocol.h"
#include "tools/clocksim/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace clocksim;

namespace {

RecordSettings settings(Layout layout, Calendar calendar, Date date, std::uint32_t count)
{
    RecordSettings s;
    s.layout = layout;
    s.calendar = calendar;
    s.clockDate = date;
    s.count = count;
    return s;
}

bool isDigits(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

TEST(Calendar, FollowsTheProgramsLeapRulesAndMonthLengths)
{
    EXPECT_TRUE(isLeapYear(Calendar::Solar, 1403));
    EXPECT_TRUE(isLeapYear(Calendar::Solar, 1375));
    EXPECT_FALSE(isLeapYear(Calendar::Solar, 1374));  // remainder 32
    EXPECT_FALSE(isLeapYear(Calendar::Solar, 1404));
    EXPECT_EQ(previousDay(Calendar::Solar, Date{1405, 1, 1}), (Date{1404, 12, 29}));
    EXPECT_EQ(previousDay(Calendar::Solar, Date{1404, 1, 1}), (Date{1403, 12, 30}));
    EXPECT_EQ(previousDay(Calendar::Solar, Date{1405, 7, 1}), (Date{1405, 6, 31}));
    EXPECT_EQ(previousDay(Calendar::Gregorian, Date{2024, 3, 1}), (Date{2024, 2, 29}));
    EXPECT_EQ(previousDay(Calendar::Gregorian, Date{2100, 3, 1}), (Date{2100, 2, 28}));
    EXPECT_FALSE(parseDate("14041230", Calendar::Solar).has_value());
    EXPECT_TRUE(parseDate("14031230", Calendar::Solar).has_value());
    // Solar 1388/01/01 and 2009-03-21 are the same Saturday.
    EXPECT_EQ(weekday(Calendar::Solar, Date{1388, 1, 1}), 0);
    EXPECT_EQ(weekday(Calendar::Gregorian, Date{2009, 3, 21}), 0);
    EXPECT_EQ(weekday(Calendar::Solar, Date{1405, 9, 16}), weekday(Calendar::Gregorian, Date{2026, 12, 7}));
}

TEST(MadeRecords, AreReadableDatedInOrderAndDatableByTheProgram)
{
    struct Case {
        Layout layout;
        Calendar calendar;
        Date date;
    } cases[] = {
        {Layout::Standard, Calendar::Solar, Date{1405, 9, 16}},
        {Layout::Standard, Calendar::Gregorian, Date{2026, 12, 7}},
        {Layout::Standard, Calendar::Solar, Date{1405, 2, 3}},
        {Layout::Vireo, Calendar::Solar, Date{1405, 1, 10}},
        {Layout::Vireo, Calendar::Gregorian, Date{2026, 12, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.date.year) + "/" + std::to_string(c.date.month));
        const RecordSettings s = settings(c.layout, c.calendar, c.date, 5000);
        const std::vector<Record> records = makeRecords(s, 1);
        ASSERT_EQ(records.size(), 5000u);
        std::set<std::string> days;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const Record& r = records[i];
            ASSERT_EQ(r.payload.size(), c.layout == Layout::Standard ? 21u : 25u);
            ASSERT_TRUE(isDigits(r.payload)) << r.payload;
            if (i > 0) {
                ASSERT_LE(records[i - 1].dateKey, r.dateKey) << i;
            }
            days.insert(r.dateKey);
            const std::string mm = r.dateKey.substr(2, 2);
            if (c.layout == Layout::Vireo) {
                EXPECT_EQ(r.payload.substr(10, 6), r.dateKey);
            } else {
                EXPECT_EQ(r.payload.substr(8, 4), r.dateKey.substr(2));
                // The program gives a mmdd date the clock's year, or the year
                // before only for months 11 and 12 read in month 1 or 2.
                const bool sameYear = r.dateKey.substr(0, 2) == std::to_string(c.date.year).substr(2);
                if (!sameYear) {
                    EXPECT_LE(c.date.month, 2);
                    EXPECT_TRUE(mm == "11" || mm == "12") << r.dateKey;
                }
            }
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02d%02d%02d", c.date.year % 100, c.date.month, c.date.day);
            EXPECT_LE(r.dateKey, std::string(buf));
        }
        // Several records a day, so a date search has something to step over.
        EXPECT_LT(days.size(), 5000u / 3);
        EXPECT_EQ(records.back().dateKey.substr(2),
                  (c.date.month < 10 ? "0" : "") + std::to_string(c.date.month) +
                      (c.date.day < 10 ? "0" : "") + std::to_string(c.date.day));
    }
    // Each clock has records of its own; a seed always gives the same ones.
    const RecordSettings s = settings(Layout::Standard, Calendar::Solar, Date{1405, 9, 16}, 100);
    EXPECT_NE(makeRecords(s, 1).front().payload, makeRecords(s, 2).front().payload);
    EXPECT_EQ(makeRecords(s, 1).back().payload, makeRecords(s, 1).back().payload);
}

TEST(RecordRing, WrapsAroundTheEndAndAnswersEmptyPositions)
{
    const RecordSettings s = settings(Layout::Standard, Calendar::Solar, Date{1405, 9, 16}, 20);
    std::vector<Record> records = makeRecords(s, 1);
    SimClock clock(1, Calendar::Solar, s.clockDate, RecordRing(records, kRingSize - 5));
    EXPECT_EQ(clock.ring().awi(), 15u);
    EXPECT_EQ(*clock.answer("AWI?", Bus::Rs232), "00015\r");
    EXPECT_EQ(*clock.answer("ARI?", Bus::Rs232), "253574\r");
    EXPECT_EQ(*clock.answer("\x0E", Bus::Rs485), "20\r");

    // "AUR=" positions beyond the ring wrap, as the program may send the
    // unreduced result of a date search.
    EXPECT_EQ(*clock.answer("AUR=" + std::to_string(kRingSize + 3), Bus::Rs232), "OK\r");
    EXPECT_EQ(clock.ring().aur(), 3u);
    EXPECT_EQ(*clock.answer("\x15", Bus::Rs232), replyFrame(records[8].payload));
    EXPECT_EQ(clock.ring().aur(), 4u);

    clock.answer("AUR=253578", Bus::Rs232);
    EXPECT_EQ(*clock.answer("\x15", Bus::Rs485), replyFrame(records[4].payload));
    EXPECT_EQ(*clock.answer("\x15", Bus::Rs485), replyFrame(records[5].payload));
    EXPECT_EQ(*clock.answer("AUR?", Bus::Rs485), pointerReply(Bus::Rs485, 1));

    // Past the last record: a frame with an empty payload, AUR still moves.
    clock.answer("AUR=15", Bus::Rs232);
    EXPECT_EQ(*clock.answer("\x15", Bus::Rs232), replyFrame(""));
    EXPECT_EQ(clock.ring().aur(), 16u);

    EXPECT_FALSE(clock.answer("AUR=12x", Bus::Rs232).has_value());
    EXPECT_FALSE(clock.answer("HELLO", Bus::Rs232).has_value());
    EXPECT_FALSE(clock.answer("X", Bus::Rs232).has_value());
}

TEST(RecordRing, PunchesMoveAwiAndAFullRingOverwritesItsOldest)
{
    const RecordSettings s = settings(Layout::Standard, Calendar::Solar, Date{1405, 9, 16}, 0);
    // A ring two short of full whose records run across the end of the ring.
    std::vector<Record> records(kRingSize - 2, Record{"000000010916080000001", false, "050916"});
    SimClock clock(1, Calendar::Solar, s.clockDate, RecordRing(records, 10));
    RecordRing& ring = clock.ring();
    const Record punch = makePunch(s, 1, 0);
    EXPECT_EQ(punch.dateKey, "050916");
    EXPECT_EQ(punch.payload.size(), 21u);
    EXPECT_NE(makePunch(s, 1, 1).payload, punch.payload);
    EXPECT_EQ(makePunch(s, 1, 1).payload, makePunch(s, 1, 1).payload);

    EXPECT_EQ(ring.add(punch), 8u);
    EXPECT_EQ(ring.add(punch), 9u);
    EXPECT_EQ(ring.count(), kRingSize);
    EXPECT_EQ(ring.awi(), 10u);
    EXPECT_EQ(ring.ari(), 10u);
    // Full: the next punch takes the oldest record's place and ARI moves on.
    Record newest = makePunch(s, 1, 2);
    EXPECT_EQ(ring.add(newest), 10u);
    EXPECT_EQ(ring.ari(), 11u);
    EXPECT_EQ(ring.awi(), 11u);
    EXPECT_EQ(*clock.answer("\x0E", Bus::Rs232), std::to_string(kRingSize) + "\r");
    EXPECT_EQ(*clock.answer("ARI?", Bus::Rs485), pointerReply(Bus::Rs485, 11));
    clock.answer("AUR=10", Bus::Rs232);
    EXPECT_EQ(*clock.answer("\x15", Bus::Rs232), replyFrame(newest.payload));
}

TEST(RecordRing, PositionAtDateHonoursTheContractForEveryDate)
{
    // For every date from before the first record to after the last, AUR
    // lands at or before the first record not earlier than the date, and
    // at most 100 records before it.
    for (std::uint32_t ari : {0u, kRingSize - 700}) {
        RecordSettings s = settings(Layout::Vireo, Calendar::Solar, Date{1405, 3, 10}, 3000);
        const std::vector<Record> records = makeRecords(s, 3);
        SimClock clock(3, Calendar::Solar, s.clockDate, RecordRing(records, ari));
        Date d{1405, 3, 12};
        for (int i = 0; i < 420; ++i, d = previousDay(Calendar::Solar, d)) {
            char key[8];
            std::snprintf(key, sizeof key, "%02d%02d%02d", d.year % 100, d.month, d.day);
            ASSERT_EQ(*clock.answer(std::string("AURD=") + key, Bus::Rs485), okReply(Bus::Rs485));
            const auto first = std::find_if(records.begin(), records.end(),
                                            [&](const Record& r) { return r.dateKey >= std::string(key); });
            const std::uint32_t firstIndex = static_cast<std::uint32_t>(first - records.begin());
            const std::uint32_t aurIndex = (clock.ring().aur() + kRingSize - ari) % kRingSize;
            ASSERT_LE(aurIndex, firstIndex) << key;
            ASSERT_LE(firstIndex - aurIndex, 100u) << key;
        }
    }
}

TEST(RecordRing, DateCommandAnswersIWhenTheDateIsNotSixDigits)
{
    const RecordSettings s = settings(Layout::Vireo, Calendar::Solar, Date{1405, 9, 16}, 50);
    SimClock clock(1, Calendar::Solar, s.clockDate, RecordRing(makeRecords(s, 1), 0));
    clock.answer("AUR=7", Bus::Rs485);
    for (const char* bad : {"AURD=8801", "AURD=8801011", "AURD=88O101", "AURD="})
        EXPECT_EQ(*clock.answer(bad, Bus::Rs485), "I") << bad;
    EXPECT_EQ(clock.ring().aur(), 7u);
}

TEST(RecordFile, LoadsPayloadsAndRefusesFramesNoReaderCanTakeApart)
{
    RecordSettings s = settings(Layout::Vireo, Calendar::Solar, Date{1405, 9, 16}, 0);
    LoadResult ok = parseRecordLines("0000054321030214090513117\r\n\n!0000054321030215090513117\n", s);
    ASSERT_TRUE(ok.error.empty()) << ok.error;
    ASSERT_EQ(ok.records.size(), 2u);
    EXPECT_FALSE(ok.records[0].flagged);
    EXPECT_TRUE(ok.records[1].flagged);
    EXPECT_EQ(ok.records[1].payload, "0000054321030215090513117");
    EXPECT_EQ(ok.records[0].dateKey, "030214");

    // "1<" XORs to 0x0D, which would read as the frame's end.
    EXPECT_NE(parseRecordLines("12\n1<\n", s).error.find("line 2"), std::string::npos);
    EXPECT_FALSE(parseRecordLines(std::string("12\x02"
                                              "3\n"),
                                  s)
                     .error.empty());
    EXPECT_FALSE(parseRecordLines(std::string(43, '1') + "\n", s).error.empty());

    // A standard mmdd date later in the year than the clock is last year's.
    s.layout = Layout::Standard;
    EXPECT_EQ(dateKeyOf("000123451220081501075", s), "041220");
    EXPECT_EQ(dateKeyOf("000123450820081501075", s), "050820");
}
