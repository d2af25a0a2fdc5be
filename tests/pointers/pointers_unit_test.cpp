// The search's rules on plain values, and the date checks that must stop a
// search before it touches a port.
#include <gtest/gtest.h>

#include "fakewindow.h"
#include "pointers/pointers.h"

TEST(RecordsBetween, CountsForwardOrAcrossTheEndOfTheRing)
{
    EXPECT_EQ(RecordsBetween(100, 250), 150);
    EXPECT_EQ(RecordsBetween(253000, 500), 1079);
    // Equal positions are read as the whole ring, not as nothing.
    EXPECT_EQ(RecordsBetween(4711, 4711), 253579);
    // A position stepped past the ring's end is not reduced first.
    EXPECT_EQ(RecordsBetween(253570, 253600), 30);
}

// Offsets from the oldest held record: 0 is the oldest, `held` the end of
// the newest. Cases: {AWI, held, pointer, passes, offset}.
TEST(HeldRecordOffset, StaysWithinTheRecordsTheClockHolds)
{
    struct Case {
        std::int64_t awi, held, pointer, passes, offset;
    };
    const Case cases[] = {
        {876, 876, 320, 12, 332},        // inside
        {876, 876, 832, 100, 876},       // walked past the newest record
        {876, 876, 876, 100, 876},       // placed at AWI: nothing on or after the date
        {876, 876, 832, 44, 876},        // stopped exactly at AWI
        {1500, 500, 1000, 0, 0},         // the oldest record already on or after the date
        {1500, 500, 900, 30, 0},         // placed where the ring holds nothing, before the oldest
        {1421, 3000, 252000, 100, 100},  // across the end of the ring
        {1421, 3000, 1400, 50, 3000},    // walked past the newest, across the end
        {7, 253579, 7, 0, 0},            // full ring: placed on the oldest, which fits
        {7, 253579, 7, 100, 253579},     // full ring: placed at AWI, nothing fits
        {7, 253579, 253570, 5, 253568},  // full ring, inside
        {0, 0, 0, 100, 0},               // holds nothing
    };
    for (const Case& c : cases)
        EXPECT_EQ(HeldRecordOffset(c.awi, c.held, c.pointer, c.passes), c.offset)
            << c.awi << " " << c.held << " " << c.pointer << " " << c.passes;
}

TEST(IsOnOrAfterDate, ComparesBytesAsUnsignedCharacters)
{
    EXPECT_TRUE(IsOnOrAfterDate("880101", "880101"));
    EXPECT_TRUE(IsOnOrAfterDate("880102", "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("871231", "880101"));
    // A date text shorter than the record's date matches every record date
    // that begins with it.
    EXPECT_TRUE(IsOnOrAfterDate("880101", "8801"));
    EXPECT_FALSE(IsOnOrAfterDate("8712", "8801"));
    // A record whose frame was bad has no date and sorts before any date.
    EXPECT_FALSE(IsOnOrAfterDate("", "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("8801", "880101"));
    // Bytes above 0x7F sort after the digits, as they would unsigned.
    EXPECT_TRUE(
        IsOnOrAfterDate("\xC8"
                        "80101",
                        "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("880101",
                                 "\xC8"
                                 "80101"));
}

TEST(IsAcceptedDateText, TakesAnyIntegerButMinusOne)
{
    EXPECT_TRUE(IsAcceptedDateText("880101"));
    EXPECT_TRUE(IsAcceptedDateText("8801"));
    EXPECT_TRUE(IsAcceptedDateText("-2"));
    EXPECT_FALSE(IsAcceptedDateText("-1"));
    EXPECT_FALSE(IsAcceptedDateText(""));
    EXPECT_FALSE(IsAcceptedDateText("88/01/01"));
    EXPECT_FALSE(IsAcceptedDateText("99999999999"));
}

// A refused date ends the search before a port, a panel or a button is touched.
TEST(DateRangeSearchDates, RefusedDateShowsOnlyItsMessage)
{
    struct Case {
        std::string from, to, message;
    };
    const Case cases[] = {
        {"abc", "880501", "تاريخ شروع صحيح نمي باشد"}, {" -1 ", "880501", "تاريخ شروع صحيح نمي باشد"},
        {"abc", "xyz", "تاريخ شروع صحيح نمي باشد"},    {"880101", "", "تاريخ پايان صحيح نمي باشد"},
        {"880101", "-1", "تاريخ پايان صحيح نمي باشد"},
    };
    for (const Case& c : cases) {
        FakeWindow window;
        window.fromDate = c.from;
        window.toDate = c.to;
        // Were a port used, opening this one would fail and add an error report.
        window.portName = "/nonexistent/port";
        RunDateRangeSearch(window);
        ASSERT_EQ(window.messages.size(), 1u) << c.from << " / " << c.to;
        EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorDialog);
        EXPECT_EQ(window.messages[0].text, c.message);
        EXPECT_FALSE(window.waitPanelVisible);
        EXPECT_EQ(window.processMessagesCalls, 0);
        EXPECT_EQ(window.start, "0");
        EXPECT_EQ(window.count, "19500");
    }
}
