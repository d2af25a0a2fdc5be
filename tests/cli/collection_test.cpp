// Scheduled collection on values: the position file's form, where a run
// reads from what the clock's pointers say, and the pointer replies.
#include <gtest/gtest.h>

#include "collection.h"
#include "positionfile.h"

using namespace cli;

namespace {

constexpr std::int32_t R = 253579;

}  // namespace

TEST(PositionFile, ReadsWhatItWritesAndWhatAPersonTypes)
{
    Positions positions;
    positions.dumpSize = 52830;
    positions.Set({{"COM1", true, 1}, 1200, 0});
    positions.Set({{"/dev/ttyUSB0", false, 12}, 253000, 100});
    positions.Set({{"COM1", true, 1}, 1300, 5});  // replaces the line
    const Positions back = ParsePositions(FormatPositions(positions), "P");
    EXPECT_EQ(back.dumpSize, 52830u);
    EXPECT_FALSE(back.badRecordsSize.has_value());
    ASSERT_EQ(back.clocks.size(), 2u);
    EXPECT_EQ(back.Find({"COM1", true, 1})->next, 1300);
    EXPECT_EQ(back.Find({"COM1", true, 1})->ari, 5);
    EXPECT_EQ(back.Find({"/dev/ttyUSB0", false, 12})->next, 253000);
    EXPECT_EQ(back.Find({"COM1", false, 1}), nullptr);

    // Tabs, CR LF line ends from a Windows editor, comments and blank lines.
    const Positions typed =
        ParsePositions("# mine\r\n\r\n  size\tBadRecs.Txt 7\r\nCOM3  rs485\t32 next=0 ari=253578\r\n", "P");
    EXPECT_EQ(typed.badRecordsSize, 7u);
    EXPECT_EQ(typed.Find({"COM3", false, 32})->ari, 253578);
}

TEST(PositionFile, RefusesDamageNamingFileAndLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"COM1 rs232 1 next=12", "line 1: expected \"PORT BUS"},
        {"\nCOM1 rs232 1 next=x ari=0", "line 2: 'next=x' is not a ring position"},
        {"COM1 rs232 1 next=253579 ari=0", "'next=253579'"},
        {"COM1 rs232 1 next=-1 ari=0", "'next=-1'"},
        {"COM1 rs232 1 ari=0 next=1", "expected next="},
        {"COM1 usb 1 next=1 ari=0", "'usb'"},
        {"COM1 rs485 33 next=1 ari=0", "'33' is not a clock number"},
        {"COM1 rs485 0 next=1 ari=0", "'0'"},
        {"COM1 rs232 1 next=1 ari=0\nCOM1 rs232 1 next=2 ari=0", "line 2: a second line for COM1 rs232 1"},
        {"size Dump.Txt 12\nsize Dump.Txt 13", "line 2: a second size"},
        {"size Dump.txt 12", "'Dump.txt' is neither"},
        {"size Dump.Txt 1e3", "'1e3' is not a number of bytes"},
        {"size Dump.Txt", "expected \"size"},
        {std::string("COM1 rs232 1 next=1\0\0 ari=0", 27), "control characters"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            ParsePositions(text, "/out/Positions.Txt");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const PositionFileError& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind("/out/Positions.Txt line ", 0), 0u) << what;
            EXPECT_NE(what.find(expected), std::string::npos) << what;
        }
    }
}

TEST(ReadPlan, FromTheSavedPositionOrAriUpToAwiAndWhatTheRingLost)
{
    struct Case {
        const char* name;
        RingState ring;
        std::optional<SavedPosition> saved;
        std::optional<std::int32_t> origin;
        std::int32_t start;
        std::int64_t count, overwritten;
        bool gone;
    };
    const ClockKey k{"COM1", true, 1};
    const Case cases[] = {
        {"first run: from ARI", {100, 600, 500}, {}, {}, 100, 500, 0, false},
        {"first run, empty clock", {7, 7, 0}, {}, {}, 7, 0, 0, false},
        {"first run, full ring", {40, 40, R}, {}, {}, 40, R, 0, false},
        {"new records since", {0, 900, 900}, SavedPosition{k, 600, 0}, {}, 600, 300, 0, false},
        {"nothing new", {0, 600, 600}, SavedPosition{k, 600, 0}, {}, 600, 0, 0, false},
        {"across the ring end", {R - 10, 20, 30}, SavedPosition{k, R - 5, R - 10}, {}, R - 5, 25, 0, false},
        {"origin", {0, 900, 900}, SavedPosition{k, 600, 0}, 100, 100, 800, 0, false},
        {"origin at ARI of a full ring", {40, 40, R}, {}, 40, 40, R, 0, false},
        // The ring filled and overwrote 50 old records already read: none lost.
        {"full, old records overwritten",
         {50, 50, R},
         SavedPosition{k, 1000, 0},
         {},
         1000,
         R - 950,
         0,
         false},
        // Filled exactly up to the saved position: the whole ring is new.
        {"full exactly up to it", {1000, 1000, R}, SavedPosition{k, 1000, 0}, {}, 1000, R, 0, false},
        // 1050 overwritten, 1000 of them read before: 50 new ones lost.
        {"wrapped past the position", {1050, 1050, R}, SavedPosition{k, 1000, 0}, {}, 1050, R, 50, false},
        // Full at the save and all read (next = ARI): it moves in step.
        {"full ring, all read, 30 new", {530, 530, R}, SavedPosition{k, 500, 500}, {}, 500, 30, 0, false},
        {"full ring, all read, none new", {500, 500, R}, SavedPosition{k, 500, 500}, {}, 500, 0, 0, false},
        {"cleared clock", {0, 40, 40}, SavedPosition{k, 5000, 0}, {}, 0, 40, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadPlan plan = PlanNewRecords(c.ring, c.saved ? &*c.saved : nullptr, c.origin);
        EXPECT_EQ(plan.start, c.start);
        EXPECT_EQ(plan.count, c.count);
        EXPECT_EQ(plan.overwritten, c.overwritten);
        EXPECT_EQ(plan.savedPositionGone, c.gone);
    }
}

TEST(PointerReply, EveryDigitOnBothBuses)
{
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
        {"00042\r", 42},
        {"253578\r", 253578},
        {"\x01\x01\x01"
         "00123"
         "3\r",
         123},
        {"\x01\x01\x01"
         "0250000"
         "5\r",
         250000},
        {"\x01\x01\x01"
         "25000"
         "0\r",
         25000},  // a check byte that is a digit
        {"253579\r", std::nullopt},
        {"12a4\r", std::nullopt},
        {"00042", std::nullopt},
        {"\r", std::nullopt},
        {"\x01\x01\x01\r", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [reply, value] : cases) EXPECT_EQ(PointerReplyValue(reply), value) << reply;
}
