// The collection below the command line: read planning, the punch store and
// publishing, on real SQLite files in temporary folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sqlite3.h>

#include "clocklink/clocklink.h"
#include "collect/durablefile.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "collect/readplan.h"
#include "collect/storewriter.h"
#include "tempdir.h"
#include "utils/errors.h"

namespace {

using namespace collect;
namespace fs = std::filesystem;
constexpr std::int32_t R = kRingSize;

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Sql(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(ReadPlan, FromTheSavedPositionOrAriUpToAwiAndWhatTheRingLost)
{
    struct Case {
        const char* name;
        RingState ring;
        std::optional<ClockPosition> saved;
        std::optional<std::int32_t> origin;
        std::int32_t start;
        std::int64_t count, overwritten;
        bool gone;
        std::int64_t firstSerial;
    };
    const Case cases[] = {
        {"first run: from ARI", {100, 600, 500}, {}, {}, 100, 500, 0, false, 100},
        {"first run, empty clock", {7, 7, 0}, {}, {}, 7, 0, 0, false, 7},
        {"first run, full ring", {40, 40, R}, {}, {}, 40, R, 0, false, 40},
        {"new records since", {0, 900, 900}, ClockPosition{600, 0}, {}, 600, 300, 0, false, 600},
        {"nothing new", {0, 600, 600}, ClockPosition{600, 0}, {}, 600, 0, 0, false, 600},
        // Serials go on counting across the ring's end: the next lap.
        {"across the ring end",
         {R - 10, 20, 30},
         ClockPosition{R - 5, R - 10},
         {},
         R - 5,
         25,
         0,
         false,
         R - 5},
        {"on the next lap", {5, 30, 25}, ClockPosition{R + 10, 5}, {}, 10, 20, 0, false, R + 10},
        {"origin", {0, 900, 900}, ClockPosition{600, 0}, 100, 100, 800, 0, false, R + 100},
        {"origin at ARI of a full ring", {40, 40, R}, {}, 40, 40, R, 0, false, 40},
        // The ring filled and overwrote 50 old records already read: none lost.
        {"full, old records overwritten",
         {50, 50, R},
         ClockPosition{1000, 0},
         {},
         1000,
         R - 950,
         0,
         false,
         1000},
        // Filled exactly up to the saved position: the whole ring is new.
        {"full exactly up to it", {1000, 1000, R}, ClockPosition{1000, 0}, {}, 1000, R, 0, false, 1000},
        // 1050 overwritten, 1000 of them read before: 50 new ones lost.
        {"wrapped past the position", {1050, 1050, R}, ClockPosition{1000, 0}, {}, 1050, R, 50, false, 1050},
        // Full at the save and all read (next = ARI): it moves in step.
        {"full ring, all read, 30 new", {530, 530, R}, ClockPosition{500, 500}, {}, 500, 30, 0, false, 500},
        {"full ring, all read, none new", {500, 500, R}, ClockPosition{500, 500}, {}, 500, 0, 0, false, 500},
        {"cleared clock", {0, 40, 40}, ClockPosition{5000, 0}, {}, 0, 40, 0, true, R},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadPlan plan = PlanNewRecords(c.ring, c.saved, c.origin);
        EXPECT_EQ(plan.start, c.start);
        EXPECT_EQ(plan.count, c.count);
        EXPECT_EQ(plan.overwritten, c.overwritten);
        EXPECT_EQ(plan.savedPositionGone, c.gone);
        EXPECT_EQ(FirstSerial(c.saved, plan.start), c.firstSerial);
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
    for (const auto& [reply, value] : cases)
        EXPECT_EQ(PointerReplyValue(reply, PointerRule::RingPosition), value) << reply;
}

TEST(DurableFile, AFailedWriteLeavesNothingAndARenameNeverReplacesAFile)
{
    TempDir dir;
    fs::create_directories(PathFromUtf8(dir / "Blocked.Txt") / "inside");
    EXPECT_THROW(WriteFileDurably(dir / "Blocked.Txt", "text\r\n"), EInOutError);
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(dir / "Blocked.Txt") / "inside"));
    EXPECT_FALSE(RenameFile(dir / "absent", dir / "Dump-1-1.Txt"));
    EXPECT_FALSE(fs::exists(PathFromUtf8(dir / "Dump-1-1.Txt")));
    WriteFileDurably(dir / "a", "text");
    EXPECT_TRUE(RenameFile(dir / "a", dir / "b"));
    EXPECT_EQ(ReadWhole(dir / "b"), "text");

    // A rename that replaced would lose a published file the importer has
    // not taken yet.
    WriteFileDurably(dir / "c", "new");
    try {
        RenameFile(dir / "c", dir / "b");
        ADD_FAILURE() << "replaced";
    } catch (const EInOutError& error) {
        EXPECT_NE(std::string(error.what()).find(dir / "c"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(dir / "b" + " already exists"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(ReadWhole(dir / "b"), "text");
    EXPECT_EQ(ReadWhole(dir / "c"), "new");
#ifndef _WIN32
    // Both names on one file, as a kill between link and unlink leaves them:
    // the rename ends instead of failing for ever.
    fs::create_hard_link(PathFromUtf8(dir / "c"), PathFromUtf8(dir / "d"));
    EXPECT_TRUE(RenameFile(dir / "c", dir / "d"));
    EXPECT_FALSE(fs::exists(PathFromUtf8(dir / "c")));
    EXPECT_EQ(ReadWhole(dir / "d"), "new");
#endif
}

TEST(FolderLock, HoldsWhateverBecomesOfTheLockFile)
{
    // A lock on the lock file alone is lost with it, letting a second run in.
    TempDir dir;
    FolderLock held;
    ASSERT_TRUE(held.Acquire(dir / "Punches.lock", 0, {}));
    std::error_code refusedOnWindows;
    fs::remove(PathFromUtf8(dir / "Punches.lock"), refusedOnWindows);
    FolderLock second;
    EXPECT_FALSE(second.Acquire(dir / "Punches.lock", 0, {}));
}

TEST(DurableFile, ALocalFolderIsNoNetworkFileSystem)
{
    TempDir dir;
    EXPECT_EQ(NetworkFileSystemOf(dir.path()), std::nullopt);
#ifdef _WIN32
    EXPECT_EQ(NetworkFileSystemOf("\\\\server\\share\\ClockReader"), "network share");
    EXPECT_EQ(NetworkFileSystemOf("//server/share/ClockReader"), "network share");
    EXPECT_EQ(NetworkFileSystemOf("\\\\?\\UNC\\server\\share"), "network share");
#else
    EXPECT_EQ(NetworkFileSystemOf("/proc"), std::nullopt);
    EXPECT_EQ(NetworkFileSystemOf("/dev/shm"), std::nullopt);
#endif
}

TEST(PunchStore, RefusesWhatIsNotAPunchStoreBeforeWritingAnything)
{
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        StoreError::Kind kind;
        const char* says;
    };
    const Case cases[] = {
        {"another program's database",
         [](const std::string& path) { Sql(path, "CREATE TABLE invoices (id INTEGER)"); },
         StoreError::NotAStore, "another program's database"},
        {"a newer punch store",
         [](const std::string& path) {
             PunchStore{path, PunchStore::Access::Collect};
             Sql(path, "PRAGMA user_version = 9");
         },
         StoreError::NotAStore, "newer version"},
        {"a damaged file",
         [](const std::string& path) {
             std::ofstream(PathFromUtf8(path), std::ios::binary) << std::string(8192, 'x');
         },
         StoreError::NotAStore, "not a punch store, or damaged"},
        {"a read-only store",
         [](const std::string& path) {
             PunchStore{path, PunchStore::Access::Collect};
             fs::permissions(PathFromUtf8(path), fs::perms::owner_read | fs::perms::group_read);
         },
         StoreError::ReadOnly, "read-only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir / kStoreFileName;
        c.make(path);
        const std::string before = ReadWhole(path);
        try {
            PunchStore store(path, PunchStore::Access::Collect);
            // Root (and Wine's user) may write a file without write permission.
            if (c.kind != StoreError::ReadOnly) ADD_FAILURE() << "accepted";
        } catch (const StoreError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
            EXPECT_EQ(ReadWhole(path), before);
        }
    }
}

// A store with one clock and a writer into it, publishing into the folder.
struct Collection {
    TempDir dir;
    PunchStore store{dir / kStoreFileName, PunchStore::Access::Collect};
    Publisher publisher{store, dir.path()};
    StoreWriter writer{store, publisher, store.StartRun("standard", "test")};

    // The published files of `prefix` in name order, their lines joined.
    std::string Published(const std::string& prefix) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(PathFromUtf8(dir.path()))) {
            const std::string name = Utf8FromPath(entry.path().filename());
            if (name.rfind(prefix + "-", 0) == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        std::string text;
        for (const std::string& name : names) text += ReadWhole(dir / name);
        return text;
    }
};

TEST(PunchStore, KeepsEachRecordWithItsClockLapAndPositionAndTheClocksNextPosition)
{
    Collection c;
    const std::int64_t one = c.store.ClockId({"COM1", false, 1}), two = c.store.ClockId({"COM1", false, 2});
    EXPECT_EQ(c.store.ClockId({"COM1", false, 1}), one);
    EXPECT_FALSE(c.store.Position(one));
    // Clock 1 read across the ring's end, then clock 2.
    c.writer.BeginClock(one, R - 1, 7, "COM1 rs485 clock 1");
    c.writer.ClockDate(true, "1405/09/16");
    c.writer.Good(0, "p1", "line 1");
    c.writer.Flagged(1, "???");
    c.writer.Undecodable(2, "p3", "bad date");
    c.writer.BeginClock(two, 40, 40, "COM1 rs485 clock 2");
    c.writer.Good(0, "p4", "line 4");
    c.writer.Commit();

    EXPECT_EQ(c.store.Position(one)->nextSerial, R + 2);
    EXPECT_EQ(c.store.Position(one)->ari, 7);
    EXPECT_EQ(c.store.Position(two)->nextSerial, 41);
    std::vector<std::string> seen;
    c.store.ForEachRecord({}, [&](const StoredRecord& r) {
        seen.push_back(std::to_string(r.clock) + " " + std::to_string(r.serial) + " " +
                       (r.flagged ? "F " : "") + r.raw + " | " + r.line + " | " + r.calendar);
    });
    EXPECT_EQ(
        seen,
        (std::vector<std::string>{
            "1 " + std::to_string(R - 1) + " p1 | line 1 | solar",
            "1 " + std::to_string(R) + " F ??? | ??? | solar",
            "1 " + std::to_string(R + 1) +
                " F p3 | COM1 rs485 clock 1, position 1: the date does not decode (bad date): p3 | solar",
            "2 40 p4 | line 4 | ",
        }));
    EXPECT_EQ(c.Published("Dump"), "line 1\r\nline 4\r\n");
    EXPECT_EQ(c.Published("BadRecs"),
              "???\r\nCOM1 rs485 clock 1, position 1: the date does not decode (bad date): p3\r\n");
    EXPECT_TRUE(fs::exists(PathFromUtf8(c.dir / "Dump-0000000001-0000000004.Txt")));

    // The importer's view names lap and position.
    sqlite3* db = nullptr;
    sqlite3_open((c.dir / kStoreFileName).c_str(), &db);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT clock, lap, position, flagged, layout FROM punches WHERE record_id = 2",
                       -1, &query, nullptr);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(query, 1), 1);
    EXPECT_EQ(sqlite3_column_int(query, 2), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(query, 4))), "standard");
    sqlite3_finalize(query);
    sqlite3_close(db);
}

TEST(Publisher, EveryRecordReachesExactlyOnePublishedFileWhereverARunStopped)
{
    // Each case leaves a batch as a run stopped at some step would, with the
    // importer having taken what was published by then; Recover must end with
    // every record published once.
    struct Case {
        const char* name;
        Batch::State state;     // the store's word at the stop
        bool temporaryFiles;    // written under their temporary names
        bool partialTemporary;  // ... the Dump one cut short
        bool renamed;           // and renamed to their final names
        bool importerTook;      // and taken by the importer
    };
    const Case cases[] = {
        {"committed, nothing written", Batch::Committed, false, false, false, false},
        {"committed, a temporary file cut short", Batch::Committed, true, true, false, false},
        {"committed, temporary files whole", Batch::Committed, true, false, false, false},
        {"written, not renamed", Batch::Written, true, false, false, false},
        {"written, renamed", Batch::Written, true, false, true, false},
        {"written, renamed and taken away", Batch::Written, true, false, true, true},
        {"published and taken away", Batch::Published, true, false, true, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Collection c;
        const std::int64_t clock = c.store.ClockId({"COM1", true, 1});
        std::vector<NewRecord> records = {{clock, 0, false, "a", "A"}, {clock, 1, true, "?", "?"}};
        const Batch batch = *c.store.Commit(1, records, {});
        const std::string dump = DumpFileName(batch), bad = BadRecordsFileName(batch);
        if (k.temporaryFiles) {
            std::ofstream(PathFromUtf8(c.dir / ("." + dump + ".part")), std::ios::binary)
                << (k.partialTemporary ? "A" : "A\r\n");
            std::ofstream(PathFromUtf8(c.dir / ("." + bad + ".part")), std::ios::binary) << "?\r\n";
        }
        if (k.renamed) {
            fs::rename(PathFromUtf8(c.dir / ("." + dump + ".part")), PathFromUtf8(c.dir / dump));
            fs::rename(PathFromUtf8(c.dir / ("." + bad + ".part")), PathFromUtf8(c.dir / bad));
        }
        TempDir imported;
        if (k.importerTook) {
            fs::rename(PathFromUtf8(c.dir / dump), PathFromUtf8(imported / dump));
            fs::rename(PathFromUtf8(c.dir / bad), PathFromUtf8(imported / bad));
        }
        c.store.SetBatchState(batch.id, k.state);

        c.publisher.Recover();
        EXPECT_TRUE(c.store.UnpublishedBatches().empty());
        const std::string here = c.Published("Dump") + c.Published("BadRecs");
        EXPECT_EQ(here + ReadWhole(imported / dump) + ReadWhole(imported / bad), "A\r\n?\r\n");
        for (const auto& entry : fs::directory_iterator(PathFromUtf8(c.dir.path())))
            EXPECT_NE(entry.path().extension(), ".part") << "left behind: " << entry.path();
    }
}

TEST(Publisher, AFileUnderAFinalNameIsNeverReplacedAndItsBatchStaysUnpublished)
{
    Collection c;
    const std::int64_t clock = c.store.ClockId({"COM1", true, 1});
    const Batch batch = *c.store.Commit(1, {{clock, 0, false, "a", "A"}, {clock, 1, true, "?", "?"}}, {});
    const std::string bad = BadRecordsFileName(batch);
    std::ofstream(PathFromUtf8(c.dir / bad), std::ios::binary) << "the importer's\r\n";

    EXPECT_THROW(c.publisher.Publish(batch), EInOutError);
    EXPECT_EQ(ReadWhole(c.dir / bad), "the importer's\r\n");
    EXPECT_EQ(ReadWhole(c.dir / ("." + bad + ".part")), "?\r\n");
    // Marked published before its files were, the batch's flagged record
    // would never reach the importer.
    const std::vector<Batch> unpublished = c.store.UnpublishedBatches();
    ASSERT_EQ(unpublished.size(), 1u);
    EXPECT_EQ(unpublished[0].id, batch.id);
    EXPECT_EQ(unpublished[0].state, Batch::Written);
}

}  // namespace
