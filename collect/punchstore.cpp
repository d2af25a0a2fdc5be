#include "punchstore.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string_view>

#include "durablefile.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// "ClRd": tells a punch store from any other SQLite file.
constexpr int kApplicationId = 0x436c5264;
constexpr int kSchemaVersion = 2;

// A record row keeps its clock and serial (the unique index that makes a
// record stored twice impossible, and lets a run read back a record), the
// raw record and its line. What many records share is kept once: the
// segment (a clock's records of one commit) says under which name they were
// read and the clock's calendar and date then; the batch (the records of
// one commit) says when, by which run, and how far their publication went.
// The view "punches" joins it all under names importers rely on; it is
// driven by the record ids, so "record_id > N" reads only the records
// after N.
const char* const kSchema = R"(
CREATE TABLE store (
    identity TEXT NOT NULL,         -- a UUID, made with the store
    name TEXT NOT NULL DEFAULT '',
    created_at TEXT NOT NULL);      -- ISO 8601, UTC
CREATE TABLE clock (
    id INTEGER PRIMARY KEY,
    bus TEXT NOT NULL,              -- 'rs232' or 'rs485'
    number INTEGER NOT NULL,        -- 1..32
    port TEXT NOT NULL,             -- the name it was last collected under
    last_key TEXT NOT NULL,         -- and that name's key (see clock_name)
    life INTEGER NOT NULL DEFAULT 1,    -- counts the times it was found replaced, cleared or reset
    life_base INTEGER NOT NULL DEFAULT 0, -- the serial of position 0 on the life's first lap
    next_serial INTEGER,            -- where the next run begins: lap * 253579 + position
    ari INTEGER,                    -- the clock's read index when next_serial was saved
    calendar TEXT,                  -- 'solar' or 'gregorian', as last seen
    clock_date TEXT,                -- the clock's date then, yyyy/mm/dd in its calendar
    mark_serial INTEGER,            -- the fingerprint: the last record read
    mark_raw BLOB,
    mark2_serial INTEGER,           -- and the one before it
    mark2_raw BLOB,
    collected_at TEXT,              -- its last collection, ISO 8601, UTC
    layout TEXT);                   -- 'standard' or 'vireo', proved by its first records in this life
CREATE TABLE clock_name (
    key TEXT NOT NULL,              -- the device behind the port, or the normalised URL
    bus TEXT NOT NULL,
    number INTEGER NOT NULL,
    port TEXT NOT NULL,             -- as last spelled
    clock_id INTEGER NOT NULL REFERENCES clock (id),
    named_at TEXT NOT NULL,
    PRIMARY KEY (key, bus, number)) WITHOUT ROWID;
CREATE TABLE run (
    id INTEGER PRIMARY KEY,
    started_at TEXT NOT NULL,       -- ISO 8601, UTC
    layout TEXT NOT NULL,           -- 'standard' or 'vireo'
    program TEXT NOT NULL);
CREATE TABLE batch (
    id INTEGER PRIMARY KEY,
    run_id INTEGER NOT NULL REFERENCES run (id),
    collected_at TEXT NOT NULL,     -- ISO 8601, UTC
    first_record INTEGER NOT NULL,  -- the batch's records: ids first_record..last_record
    last_record INTEGER NOT NULL,
    flagged INTEGER NOT NULL,       -- how many of them are flagged
    state INTEGER NOT NULL,         -- 0 committed, 1 files written, 2 published, 3 withheld
    file_stem TEXT);                -- once written: the files' names without "Dump-" and ".Txt"
CREATE INDEX batch_unpublished ON batch (state) WHERE state < 2;
CREATE TABLE segment (
    id INTEGER PRIMARY KEY,
    batch_id INTEGER NOT NULL REFERENCES batch (id),
    clock_id INTEGER NOT NULL REFERENCES clock (id),
    port TEXT NOT NULL,             -- the name the records were read under
    calendar TEXT,                  -- the clock's calendar and date when they were read
    clock_date TEXT);
CREATE TABLE record (
    id INTEGER PRIMARY KEY,
    segment_id INTEGER NOT NULL REFERENCES segment (id),
    clock_id INTEGER NOT NULL REFERENCES clock (id),
    serial INTEGER NOT NULL,        -- lap * 253579 + position
    flagged INTEGER NOT NULL,       -- 1: in BadRecs-*.Txt, else in Dump-*.Txt
    raw BLOB NOT NULL,              -- the payload, or the whole answer when flagged
    line TEXT NOT NULL,             -- the line as the published file has it (no CR LF)
    checksum INTEGER);              -- of the row's values: RecordChecksum
CREATE UNIQUE INDEX record_serial ON record (clock_id, serial);
)";

const char* const kView = R"(
CREATE VIEW punches AS
SELECT r.id AS record_id, s.port AS port, c.bus AS bus, c.number AS clock,
       r.serial / 253579 AS lap, r.serial % 253579 AS position,
       r.raw AS raw, r.line AS line, r.flagged AS flagged,
       b.collected_at AS collected_at, b.run_id AS run, u.layout AS layout,
       c.id AS clock_id, s.calendar AS calendar, s.clock_date AS clock_date
FROM record r
JOIN segment s ON s.id = r.segment_id
JOIN clock c ON c.id = s.clock_id
JOIN batch b ON b.id = s.batch_id
JOIN run u ON u.id = b.run_id;
)";

// The previous version kept a record's clock and serial in ranges of
// record ids (segments) and knew a clock by its port's spelling. Its rows
// move into the tables above; each clock keeps its spelling as its one
// name and gets the records at its saved position as its fingerprint.
const char* const kUpgradeFrom1 = R"(
DROP VIEW punches;
ALTER TABLE clock RENAME TO old_clock;
ALTER TABLE segment RENAME TO old_segment;
ALTER TABLE record RENAME TO old_record;
DROP INDEX batch_unpublished;
ALTER TABLE batch RENAME TO old_batch;
ALTER TABLE run RENAME TO old_run;
)";
const char* const kUpgradeFrom1Rows = R"(
INSERT INTO clock (id, bus, number, port, last_key, next_serial, ari, calendar, clock_date)
    SELECT id, bus, number, port, port, next_serial, ari, calendar, clock_date FROM old_clock;
INSERT INTO clock_name (key, bus, number, port, clock_id, named_at)
    SELECT port, bus, number, port, id, strftime('%Y-%m-%dT%H:%M:%SZ', 'now') FROM old_clock;
INSERT INTO run SELECT id, started_at, layout, program FROM old_run;
INSERT INTO batch (id, run_id, collected_at, first_record, last_record, flagged, state, file_stem)
    SELECT id, run_id, collected_at, first_record, last_record, flagged, state,
           CASE WHEN state = 1 THEN printf('%010d-%010d', first_record, last_record) END
    FROM old_batch;
INSERT INTO segment (id, batch_id, clock_id, port, calendar, clock_date)
    SELECT s.id, s.batch_id, s.clock_id, c.port, c.calendar, c.clock_date
    FROM old_segment s JOIN old_clock c ON c.id = s.clock_id;
INSERT INTO record (id, segment_id, clock_id, serial, flagged, raw, line)
    SELECT r.id, s.id, s.clock_id, s.first_serial + r.id - s.first_record, r.flagged, r.raw, r.line
    FROM old_segment s JOIN old_record r ON r.id BETWEEN s.first_record AND s.last_record;
UPDATE clock SET collected_at = (SELECT max(b.collected_at) FROM segment s JOIN batch b ON b.id = s.batch_id
                                 WHERE s.clock_id = clock.id),
                 mark_serial = next_serial - 1,
                 mark_raw = (SELECT raw FROM record WHERE clock_id = clock.id AND serial = clock.next_serial - 1),
                 mark2_serial = next_serial - 2,
                 mark2_raw = (SELECT raw FROM record WHERE clock_id = clock.id AND serial = clock.next_serial - 2);
UPDATE clock SET mark_serial = NULL WHERE mark_raw IS NULL;
UPDATE clock SET mark2_serial = NULL WHERE mark2_raw IS NULL;
DROP TABLE old_record;
DROP TABLE old_segment;
DROP TABLE old_clock;
DROP TABLE old_batch;
DROP TABLE old_run;
)";

std::string NewIdentity()
{
    std::random_device random;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string text;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
        int value = digit(random);
        if (i == 12) value = 4;                // version 4: random
        if (i == 16) value = 8 | (value & 3);  // the variant of RFC 4122
        text += "0123456789abcdef"[value];
    }
    return text;
}

// The checksum of a record row, over its values in one layout: each number
// as 8 bytes, then raw and line, each as its length and its bytes in
// 8-byte words (least significant first, the last one filled up with
// zeroes). Each word goes into the sum by xor, a multiplication by an odd
// constant and a rotation, each of them one-to-one: a change inside any one
// word always changes the sum, and changes in several leave it as it was
// about once in 2^64. Bytes changed on the disk inside a row leave its page
// well formed, and so pass SQLite's own checks; they do not pass this one.
//
// SQLite's checksum VFS (a checksum on every page) cannot serve here: with
// the write-ahead log, it writes a page's checksum into the page after
// SQLite summed the page for the log's frame, so each frame fails SQLite's
// check when the log is recovered after a kill or a power cut, and every
// commit since the last checkpoint is lost.
std::int64_t RecordChecksum(std::int64_t id, std::int64_t segment, std::int64_t clock, std::int64_t serial,
                            std::int64_t flagged, std::string_view raw, std::string_view line)
{
    std::uint64_t sum = 0;
    const auto add = [&](std::uint64_t word) {
        sum = (sum ^ word) * 0x9e3779b97f4a7c15u;
        sum = sum << 31 | sum >> 33;
    };
    const auto addBytes = [&](std::string_view bytes) {
        add(bytes.size());
        for (std::size_t at = 0; at < bytes.size(); at += 8) {
            std::uint64_t word = 0;
            for (std::size_t i = 0; i < 8 && at + i < bytes.size(); ++i)
                word |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
            add(word);
        }
    };
    for (const std::int64_t value : {id, segment, clock, serial, flagged})
        add(static_cast<std::uint64_t>(value));
    addBytes(raw);
    addBytes(line);
    return static_cast<std::int64_t>(sum);
}

// The columns RecordChecksum sums, in its order.
constexpr const char* kSummedColumns = "id, segment_id, clock_id, serial, flagged, raw, line";

// record_checksum(id, segment_id, clock_id, serial, flagged, raw, line) in SQL.
void RecordChecksumFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    const auto bytes = [&](int i) {
        const void* data = sqlite3_value_blob(values[i]);
        return std::string_view(static_cast<const char*>(data),
                                data ? static_cast<std::size_t>(sqlite3_value_bytes(values[i])) : 0);
    };
    sqlite3_result_int64(context,
                         RecordChecksum(sqlite3_value_int64(values[0]), sqlite3_value_int64(values[1]),
                                        sqlite3_value_int64(values[2]), sqlite3_value_int64(values[3]),
                                        sqlite3_value_int64(values[4]), bytes(5), bytes(6)));
}

// A prepared statement, finalised on every way out.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) m_statement = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_statement != nullptr; }
    Statement& Bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Statement& BindNull(int index)
    {
        sqlite3_bind_null(m_statement, index);
        return *this;
    }
    Statement& Bind(int index, const std::string& text, bool blob = false)
    {
        if (blob)
            sqlite3_bind_blob(m_statement, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        else
            sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return m_statement ? sqlite3_step(m_statement) : sqlite3_errcode(m_db); }
    void Reset()
    {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    std::string Text(int column) const
    {
        const void* data = sqlite3_column_blob(m_statement, column);
        return data ? std::string(static_cast<const char*>(data),
                                  static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)))
                    : std::string();
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

// A record whose checksum does not match its values, refused while `doing`.
[[noreturn]] void RefuseRecord(const std::string& path, const std::string& doing, std::int64_t id)
{
    throw StoreError(StoreError::Damaged, path + ": cannot " + doing +
                                              ": the punch store is damaged (record " + std::to_string(id) +
                                              " does not match its checksum); nothing more was written to it."
                                              " See clockreader-cli verify");
}

// Whether column `column` of `row` holds `sum`.
bool Holds(const Statement& row, int column, std::int64_t sum)
{
    return !row.IsNull(column) && row.Integer(column) == sum;
}

StoreError::Kind KindOf(int code)
{
    switch (code & 0xff) {
    case SQLITE_NOTADB: return StoreError::NotAStore;
    case SQLITE_CORRUPT: return StoreError::Damaged;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM: return StoreError::ReadOnly;
    default: return StoreError::Failed;
    }
}

const char* BusName(bool rs232) { return rs232 ? "rs232" : "rs485"; }

constexpr const char* kClockColumns =
    "id, bus, number, life, life_base, next_serial, ari, mark_serial, mark_raw, mark2_serial, mark2_raw, "
    "port, last_key";

KnownClock ClockOf(const Statement& row)
{
    KnownClock clock;
    clock.id = row.Integer(0);
    clock.rs232 = row.Text(1) == "rs232";
    clock.number = static_cast<int>(row.Integer(2));
    clock.life = static_cast<int>(row.Integer(3));
    clock.lifeBase = row.Integer(4);
    if (!row.IsNull(5))
        clock.position = ClockPosition{row.Integer(5), static_cast<std::int32_t>(row.Integer(6))};
    if (!row.IsNull(7)) clock.marks.push_back({row.Integer(7), row.Text(8)});
    if (!row.IsNull(9)) clock.marks.push_back({row.Integer(9), row.Text(10)});
    clock.port = row.Text(11);
    clock.lastKey = row.Text(12);
    clock.layout = row.Text(13);
    return clock;
}

}  // namespace

PunchStore::PunchStore(const std::string& path, Access access, int busyMs) : m_path(path)
{
    // A refused store is closed again: its destructor does not run.
    try {
        Open(access, busyMs);
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

void PunchStore::Open(Access access, int busyMs)
{
    namespace fs = std::filesystem;
    const std::string& path = m_path;
    std::error_code error;
    const fs::path file = PathFromUtf8(path);
    const bool exists = fs::exists(file, error);
    if (access != Access::Collect && !exists)
        throw StoreError(
            StoreError::Failed,
            path + ": there is no punch store here (no download --new collected into this folder)");
    // A store is made only where there is none: an empty file is what a
    // copy that failed, or a disk that lost the file's data, leaves.
    if (exists && fs::is_regular_file(file, error) && fs::file_size(file, error) == 0)
        throw StoreError(StoreError::NotAStore,
                         path +
                             ": the punch store is an empty file; restore it from a backup, or remove it"
                             " to begin a new store (every record the clocks hold is then collected and"
                             " published again)");
    const bool readOnly = access != Access::Collect;
    int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    std::string name = path;
    for (int attempt = 0;; ++attempt) {
        if (sqlite3_open_v2(name.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            if (!m_db)
                throw StoreError(StoreError::Failed, path + ": cannot open the punch store (out of memory)");
            Fail("open it");
        }
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, busyMs);
        // A reader in a folder it may not write (a read-only medium, a
        // copy for an audit) cannot make the shared-memory file a WAL
        // store needs; with no write-ahead log waiting there, the file
        // alone is the whole store, and it is read as one that nothing
        // changes.
        Statement probe(m_db, "SELECT count(*) FROM sqlite_schema");
        const int step = probe.Step();
        if (step == SQLITE_ROW || attempt > 0 || !readOnly ||
            ((step & 0xff) != SQLITE_CANTOPEN && (step & 0xff) != SQLITE_READONLY))
            break;
        if (fs::exists(PathFromUtf8(path + "-wal"), error) &&
            fs::file_size(PathFromUtf8(path + "-wal"), error) > 0)
            Fail("read it from a folder it may not write while its write-ahead log (" + path +
                 "-wal) holds records; copy the folder where it may be written");
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        name = Utf8FromPath(fs::absolute(file, error));
        // file:///home/... here, file:///C:/... on Windows.
        std::string uri = name.starts_with("/") ? "file://" : "file:///";
        for (char c : name) {
            if (c == '?' || c == '#' || c == '%') {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
                uri += escaped;
            } else {
                uri += c == '\\' ? '/' : c;
            }
        }
        name = uri + "?immutable=1";
        flags |= SQLITE_OPEN_URI;
    }
    if (access == Access::Collect && sqlite3_db_readonly(m_db, "main") == 1)
        throw StoreError(StoreError::ReadOnly, path + ": the punch store is read-only");
    if (sqlite3_create_function(m_db, "record_checksum", 7, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                RecordChecksumFunction, nullptr, nullptr) != SQLITE_OK)
        Fail("open it");

    // The header says whose file this is; a damaged one fails right here.
    std::int64_t applicationId = 0, version = 0, objects = 0;
    {
        Statement query(m_db,
                        "SELECT (SELECT application_id FROM pragma_application_id),"
                        " (SELECT user_version FROM pragma_user_version),"
                        " (SELECT count(*) FROM sqlite_schema),"
                        " (SELECT count(*) FROM pragma_table_info('record') WHERE name = 'checksum')");
        if (query.Step() != SQLITE_ROW) Fail("read it");
        applicationId = query.Integer(0);
        version = query.Integer(1);
        objects = query.Integer(2);
        m_checksummed = query.Integer(3) == 1;
    }
    if (applicationId == 0 && version == 0 && objects == 0) {
        if (access != Access::Collect)
            throw StoreError(StoreError::NotAStore, path + ": the punch store is empty");
        Execute("PRAGMA journal_mode = WAL");
        Execute("BEGIN IMMEDIATE");
        Execute(kSchema);
        Execute(kView);
        AddIdentity();
        Execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        Execute("COMMIT");
        version = kSchemaVersion;
        m_checksummed = true;
    } else if (applicationId != kApplicationId) {
        throw StoreError(StoreError::NotAStore, path + ": not a punch store (another program's database)");
    } else if (version > kSchemaVersion) {
        throw StoreError(StoreError::NotAStore, path + ": a punch store of a newer version (schema " +
                                                    std::to_string(version) + "); this program reads " +
                                                    std::to_string(kSchemaVersion));
    }
    if (access != Access::Inspect) {
        // Pages that fail SQLite's own checks are refused before a run
        // writes into them or an export trusts them.
        Statement check(m_db, "PRAGMA quick_check(1)");
        const int step = check.Step();
        if (step != SQLITE_ROW) Fail("check it");
        if (check.Text(0) != "ok")
            throw StoreError(StoreError::Damaged, path + ": the punch store is damaged (" + check.Text(0) +
                                                      "); nothing was written to it. See clockreader-cli"
                                                      " verify");
        // And rows whose bytes changed inside well-formed pages.
        if (const std::vector<std::int64_t> unsound = RecordsFailingChecksums(1); !unsound.empty())
            throw StoreError(StoreError::Damaged, path + ": the punch store is damaged (record " +
                                                      std::to_string(unsound[0]) +
                                                      " does not match its checksum); nothing was written to"
                                                      " it. See clockreader-cli verify");
    }
    if (version < kSchemaVersion) {
        if (access == Access::Inspect) return;
        if (access != Access::Collect)
            throw StoreError(StoreError::NotAStore, path + ": a punch store of an earlier version (schema " +
                                                        std::to_string(version) +
                                                        "); a download --new into its folder upgrades it");
        Upgrade();
    }
    if (access == Access::Collect) {
        Execute("PRAGMA journal_mode = WAL");
        // A commit that returned survives a power cut.
        Execute("PRAGMA synchronous = FULL");
    }
    // Each clock's layout is remembered since this version: the column is
    // added to a store made before, whose clocks prove their layout again;
    // a reader of such a store reads every layout as not known yet.
    bool layoutKept = false;
    {
        Statement layout(m_db, "SELECT count(*) FROM pragma_table_info('clock') WHERE name = 'layout'");
        if (layout.Step() != SQLITE_ROW) Fail("read it");
        layoutKept = layout.Integer(0) == 1;
    }
    if (!layoutKept) {
        if (access == Access::Collect)
            Execute("ALTER TABLE clock ADD COLUMN layout TEXT");
        else
            m_layoutColumn = "NULL";
    }
    Statement identity(m_db, "SELECT identity, name FROM store");
    if (identity.Step() != SQLITE_ROW) Fail("read its identity");
    m_identity = identity.Text(0);
    m_siteName = identity.Text(1);
    OpenHome(access);
}

bool PunchStore::Unmade(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(PathFromUtf8(path), error);
    if (error) return false;
    if (size == 0) {
        // A log with frames beside an empty file is not a making cut short.
        const std::uintmax_t log = fs::file_size(PathFromUtf8(path + "-wal"), error);
        return error || log == 0;
    }
    sqlite3* db = nullptr;
    bool unmade = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) ==
        SQLITE_OK) {
        Statement query(db,
                        "SELECT (SELECT application_id FROM pragma_application_id) = 0"
                        " AND (SELECT user_version FROM pragma_user_version) = 0"
                        " AND (SELECT count(*) FROM sqlite_schema) = 0");
        unmade = query.Step() == SQLITE_ROW && query.Integer(0) == 1;
    }
    sqlite3_close_v2(db);
    return unmade;
}

void PunchStore::NameSite(const std::string& name)
{
    if (name == m_siteName) return;
    Statement rename(m_db, "UPDATE store SET name = ?1");
    if (rename.Bind(1, name).Step() != SQLITE_DONE) Fail("name its site");
    m_siteName = name;
}

void PunchStore::AddIdentity()
{
    Statement identity(m_db,
                       "INSERT INTO store (identity, name, created_at)"
                       " VALUES (?1, ?2, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))");
    if (identity.Bind(1, NewIdentity()).Bind(2, HostName()).Step() != SQLITE_DONE)
        Fail("give it its identity");
}

namespace {

// The store's home and where its identity's own records begin came after
// version 2 of the schema. They are columns added where they are missing,
// not a new version: programs that do not know them read and write the
// store as before.
constexpr const char* kHomeColumns[][2] = {
    {"home_machine", "TEXT"},                             // MachineIdentity() of its home
    {"home_folder", "TEXT"},                              // its home's absolute folder
    {"own_records_after", "INTEGER NOT NULL DEFAULT 0"},  // see OwnRecordsAfter()
    // The last record id when the store was first opened for collection
    // away from its home: the records after it were collected there.
    {"away_after", "INTEGER"},
};

}  // namespace

void PunchStore::OpenHome(Access access)
{
    const auto missing = [this] {
        std::vector<std::string> columns;
        for (const auto& [name, type] : kHomeColumns) {
            Statement query(m_db, "SELECT 1 FROM pragma_table_info('store') WHERE name = ?1");
            const int step = query.Bind(1, std::string(name)).Step();
            if (step == SQLITE_DONE) columns.push_back(std::string(name) + " " + type);
            if (step != SQLITE_DONE && step != SQLITE_ROW) Fail("read its home");
        }
        return columns;
    };
    const auto homeless = [this] {
        Statement query(m_db, "SELECT count(*) FROM store WHERE coalesce(home_folder, '') = ''");
        if (query.Step() != SQLITE_ROW) Fail("read its home");
        return query.Integer(0) > 0;
    };
    if (access == Access::Collect && (!missing().empty() || homeless())) {
        // Nothing tells whether a store without a home was copied before:
        // the place it is found in is taken as where it belongs.
        const StoreHome here = Here();
        Atomically([&] {
            // Looked at again inside the transaction: another run may have
            // added them since.
            for (const std::string& column : missing())
                Execute(("ALTER TABLE store ADD COLUMN " + column).c_str());
            Statement settle(m_db,
                             "UPDATE store SET home_machine = ?1, home_folder = ?2"
                             " WHERE coalesce(home_folder, '') = ''");
            if (settle.Bind(1, here.machine).Bind(2, here.folder).Step() != SQLITE_DONE)
                Fail("note its home");
        });
    }
    if (!missing().empty()) return;
    Statement home(m_db,
                   "SELECT coalesce(home_machine, ''), coalesce(home_folder, ''), own_records_after,"
                   " away_after IS NULL FROM store");
    if (home.Step() != SQLITE_ROW) Fail("read its home");
    m_home = {home.Text(0), home.Text(1)};
    m_ownRecordsAfter = home.Integer(2);
    // A copy is opened away from home before it collects anything of its
    // own: what it holds then is what the original holds too.
    if (access == Access::Collect && home.Integer(3) != 0 && !AtHome())
        Execute(
            "UPDATE store SET away_after = (SELECT coalesce(max(id), 0) FROM record)"
            " WHERE away_after IS NULL");
}

StoreHome PunchStore::Here() const
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::absolute(PathFromUtf8(m_path), error).parent_path();
    // Links resolved, so that a folder reached by another name is still home.
    fs::path canonical = fs::weakly_canonical(folder, error);
    if (error) canonical = folder.lexically_normal();
    return {MachineIdentity(), Utf8FromPath(canonical.make_preferred())};
}

bool PunchStore::AtHome() const
{
    if (m_home.folder.empty()) return true;
    const StoreHome here = Here();
    return SameFolderName(m_home.folder, here.folder) &&
           (m_home.machine.empty() || here.machine.empty() || m_home.machine == here.machine);
}

std::string PunchStore::TakeNewIdentity(const std::string& siteName)
{
    const std::string previous = m_identity, identity = NewIdentity();
    const StoreHome here = Here();
    std::int64_t after = 0;
    Atomically([&] {
        Statement update(
            m_db,
            "UPDATE store SET identity = ?1, name = ?2, home_machine = ?3, home_folder = ?4,"
            " own_records_after = coalesce(away_after, (SELECT coalesce(max(id), 0) FROM record)),"
            " away_after = NULL");
        update.Bind(1, identity).Bind(2, siteName).Bind(3, here.machine).Bind(4, here.folder);
        if (update.Step() != SQLITE_DONE) Fail("give it a new identity");
        Statement own(m_db, "SELECT own_records_after FROM store");
        if (own.Step() != SQLITE_ROW) Fail("give it a new identity");
        after = own.Integer(0);
    });
    m_identity = identity;
    m_siteName = siteName;
    m_home = here;
    m_ownRecordsAfter = after;
    return previous;
}

void PunchStore::MoveHomeHere()
{
    const StoreHome here = Here();
    Statement update(m_db, "UPDATE store SET home_machine = ?1, home_folder = ?2, away_after = NULL");
    if (update.Bind(1, here.machine).Bind(2, here.folder).Step() != SQLITE_DONE) Fail("note its home");
    m_home = here;
}

void PunchStore::KeepCopy(const std::string& suffix, const std::string& before)
{
    // The store as it was stays beside it until the operator removes it.
    const std::string copy = m_path + suffix;
    std::error_code error;
    std::filesystem::remove(PathFromUtf8(copy), error);
    Statement keep(m_db, "VACUUM INTO ?1");
    if (keep.Bind(1, copy).Step() != SQLITE_DONE) Fail("keep a copy of it as " + copy + " before " + before);
    m_copyKept = true;
}

void PunchStore::Upgrade()
{
    KeepCopy(".v1", "upgrading it");
    Execute("BEGIN IMMEDIATE");
    try {
        Execute(kUpgradeFrom1);
        Execute(kSchema);
        Execute(kUpgradeFrom1Rows);
        Execute(
            (std::string("UPDATE record SET checksum = record_checksum(") + kSummedColumns + ")").c_str());
        Execute(kView);
        AddIdentity();
        Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    m_checksummed = true;
}

bool PunchStore::AddChecksums()
{
    if (m_checksummed) return false;
    // Unless the upgrade of its schema kept a copy as it opened.
    if (!m_copyKept) KeepCopy(".v2", "giving its records checksums");
    // One transaction: a kill leaves every row with its checksum or none.
    Atomically([&] {
        Execute("ALTER TABLE record ADD COLUMN checksum INTEGER");
        Execute(
            (std::string("UPDATE record SET checksum = record_checksum(") + kSummedColumns + ")").c_str());
    });
    m_checksummed = true;
    return true;
}

std::vector<std::int64_t> PunchStore::RecordsFailingChecksums(std::int64_t limit)
{
    std::vector<std::int64_t> ids;
    if (!m_checksummed) return ids;
    // A row with no checksum fails too: every row has one from the moment
    // the column is there.
    Statement query(m_db, (std::string("SELECT id FROM record WHERE checksum IS NOT record_checksum(") +
                           kSummedColumns + ") ORDER BY id LIMIT ?1")
                              .c_str());
    query.Bind(1, limit);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) ids.push_back(query.Integer(0));
    if (step != SQLITE_DONE) Fail("check its records");
    return ids;
}

PunchStore::~PunchStore() { sqlite3_close_v2(m_db); }

void PunchStore::Fail(const std::string& doing)
{
    const int code = sqlite3_extended_errcode(m_db);
    std::string reason = sqlite3_errmsg(m_db);
    if ((code & 0xff) == SQLITE_NOTADB) reason = "not a punch store, or damaged";
    if ((code & 0xff) == SQLITE_CORRUPT)
        reason = "the punch store is damaged; nothing more was written to it. See clockreader-cli verify";
    if ((code & 0xff) == SQLITE_FULL) reason = "the disk is full";
    throw StoreError(KindOf(code), m_path + ": cannot " + doing + ": " + reason);
}

void PunchStore::Execute(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return;
    sqlite3_free(message);
    Fail("write it");
}

std::int64_t PunchStore::LastRecordId()
{
    Statement query(m_db, "SELECT coalesce(max(id), 0) FROM record");
    if (query.Step() != SQLITE_ROW) Fail("read it");
    return query.Integer(0);
}

// The setting lives in a table of its own, made when publication is first
// turned off: a row holds the last record id published as before; no row
// (or no table) means publication is on.
bool PunchStore::HasTable(const char* name)
{
    Statement table(m_db, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = ?1");
    if (table.Bind(1, std::string(name)).Step() != SQLITE_ROW) Fail("read its tables");
    return table.Integer(0) == 1;
}

std::optional<std::int64_t> PunchStore::PublicationOffAfter()
{
    if (!HasTable("publication")) return std::nullopt;
    Statement query(m_db, "SELECT off_after FROM publication");
    const int step = query.Step();
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) Fail("read its publication setting");
    return query.Integer(0);
}

std::int64_t PunchStore::RecordsNotPublishedWhileOff()
{
    const std::optional<std::int64_t> after = PublicationOffAfter();
    if (!after) return 0;
    Statement query(m_db,
                    "SELECT coalesce(sum(last_record - first_record + 1), 0) FROM batch"
                    " WHERE state = 0 AND first_record > ?1");
    if (query.Bind(1, *after).Step() != SQLITE_ROW) Fail("read its batches");
    return query.Integer(0);
}

bool PunchStore::TurnPublicationOff()
{
    bool turned = false;
    Atomically([&] {
        Execute("CREATE TABLE IF NOT EXISTS publication (off_after INTEGER NOT NULL)");
        if (PublicationOffAfter()) return;
        Statement insert(m_db, "INSERT INTO publication SELECT coalesce(max(id), 0) FROM record");
        if (insert.Step() != SQLITE_DONE) Fail("turn publication off");
        turned = true;
    });
    return turned;
}

std::int64_t PunchStore::TurnPublicationOn(bool backlog)
{
    std::int64_t records = 0;
    Atomically([&] {
        const std::optional<std::int64_t> after = PublicationOffAfter();
        if (!after) return;
        records = RecordsNotPublishedWhileOff();
        // Batches from before it was turned off that a run left
        // unpublished are published as ever, whichever way.
        if (!backlog) {
            Statement withhold(m_db, "UPDATE batch SET state = 3 WHERE state = 0 AND first_record > ?1");
            if (withhold.Bind(1, *after).Step() != SQLITE_DONE) Fail("turn publication on");
        }
        Execute("DELETE FROM publication");
    });
    return records;
}

std::int64_t PunchStore::StartRun(const std::string& layout, const std::string& program)
{
    Statement insert(m_db,
                     "INSERT INTO run (started_at, layout, program)"
                     " VALUES (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?1, ?2)");
    if (insert.Bind(1, layout).Bind(2, program).Step() != SQLITE_DONE) Fail("record the run");
    return sqlite3_last_insert_rowid(m_db);
}

std::string PunchStore::ClockColumns() const
{
    return std::string(kClockColumns) + ", coalesce(" + m_layoutColumn + ", '')";
}

KnownClock PunchStore::ReadClock(std::int64_t clockId)
{
    Statement query(m_db, ("SELECT " + ClockColumns() + " FROM clock WHERE id = ?1").c_str());
    if (query.Bind(1, clockId).Step() != SQLITE_ROW) Fail("read the clock");
    return ClockOf(query);
}

std::optional<KnownClock> PunchStore::ClockNamed(const ClockName& name)
{
    // By the port's key; a store of the previous version knows its clocks
    // by their spelling.
    Statement query(m_db,
                    "SELECT clock_id FROM clock_name WHERE bus = ?3 AND number = ?4 AND key IN (?1, ?2)"
                    " ORDER BY key = ?1 DESC LIMIT 1");
    query.Bind(1, name.key).Bind(2, name.port).Bind(3, std::string(BusName(name.rs232))).Bind(4, name.number);
    const int step = query.Step();
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) Fail("read its clocks");
    return ReadClock(query.Integer(0));
}

std::vector<KnownClock> PunchStore::ClockCandidates(const ClockName& name, std::int64_t except)
{
    Statement query(m_db,
                    ("SELECT " + ClockColumns() +
                     " FROM clock WHERE bus = ?1 AND number = ?2 AND id != ?3 AND mark_serial IS NOT NULL"
                     " AND next_serial IS NOT NULL ORDER BY collected_at DESC, id DESC")
                        .c_str());
    query.Bind(1, std::string(BusName(name.rs232))).Bind(2, name.number).Bind(3, except);
    std::vector<KnownClock> clocks;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) clocks.push_back(ClockOf(query));
    if (step != SQLITE_DONE) Fail("read its clocks");
    return clocks;
}

void PunchStore::Atomically(const std::function<void()>& write)
{
    Execute("BEGIN IMMEDIATE");
    try {
        write();
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

KnownClock PunchStore::AddClock(const ClockName& name)
{
    // The clock and its name in one commit: a clock is never stored
    // without the name that finds it again.
    std::int64_t id = 0;
    Atomically([&] {
        Statement insert(m_db, "INSERT INTO clock (bus, number, port, last_key) VALUES (?1, ?2, ?3, ?4)");
        if (insert.Bind(1, std::string(BusName(name.rs232)))
                .Bind(2, name.number)
                .Bind(3, name.port)
                .Bind(4, name.key)
                .Step() != SQLITE_DONE)
            Fail("add the clock");
        id = sqlite3_last_insert_rowid(m_db);
        WriteClockName(name, id);
    });
    return ReadClock(id);
}

void PunchStore::NameClock(const ClockName& name, std::int64_t clockId)
{
    Atomically([&] { WriteClockName(name, clockId); });
}

void PunchStore::WriteClockName(const ClockName& name, std::int64_t clockId)
{
    Statement upsert(
        m_db,
        "INSERT INTO clock_name (key, bus, number, port, clock_id, named_at)"
        " VALUES (?1, ?2, ?3, ?4, ?5, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))"
        " ON CONFLICT DO UPDATE SET port = excluded.port, clock_id = excluded.clock_id,"
        " named_at = CASE WHEN clock_id = excluded.clock_id THEN named_at ELSE excluded.named_at END");
    upsert.Bind(1, name.key).Bind(2, std::string(BusName(name.rs232))).Bind(3, name.number);
    upsert.Bind(4, name.port).Bind(5, clockId);
    if (upsert.Step() != SQLITE_DONE) Fail("name the clock");
    Statement last(m_db, "UPDATE clock SET last_key = ?2 WHERE id = ?1 AND last_key != ?2");
    if (last.Bind(1, clockId).Bind(2, name.key).Step() != SQLITE_DONE) Fail("name the clock");
    // A name of the previous version (its spelling) gives way to its key.
    if (name.key != name.port) {
        Statement old(m_db,
                      "DELETE FROM clock_name WHERE key = ?1 AND bus = ?2 AND number = ?3 AND clock_id = ?4");
        old.Bind(1, name.port)
            .Bind(2, std::string(BusName(name.rs232)))
            .Bind(3, name.number)
            .Bind(4, clockId);
        if (old.Step() != SQLITE_DONE) Fail("name the clock");
    }
}

KnownClock PunchStore::NextLife(std::int64_t clockId)
{
    // Serials of the new life begin on the lap above every serial stored
    // or saved for the clock.
    Statement query(m_db,
                    "SELECT life + 1, (max(coalesce(next_serial, 0), life_base,"
                    "   coalesce((SELECT max(serial) + 1 FROM record WHERE clock_id = ?1), 0)) / 253579 + 1)"
                    " * 253579 FROM clock WHERE id = ?1");
    if (query.Bind(1, clockId).Step() != SQLITE_ROW) Fail("begin a new life of the clock");
    KnownClock clock = ReadClock(clockId);
    clock.life = static_cast<int>(query.Integer(0));
    clock.lifeBase = query.Integer(1);
    clock.position.reset();
    clock.marks.clear();
    clock.layout.clear();
    clock.lifeBegins = true;
    return clock;
}

std::vector<std::string> PunchStore::NamesOf(std::int64_t clockId)
{
    Statement query(m_db,
                    "SELECT port, key FROM clock_name WHERE clock_id = ?1 ORDER BY named_at DESC, port");
    query.Bind(1, clockId);
    std::vector<std::string> names;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        const std::string port = query.Text(0), key = query.Text(1);
        names.push_back(port == key ? port : port + " (" + key + ")");
    }
    if (step != SQLITE_DONE) Fail("read the clock's names");
    return names;
}

void PunchStore::Redecode(const std::vector<std::int64_t>& clockIds, const std::string& layout,
                          const std::vector<Redecoded>& records)
{
    Atomically([&] {
        Execute(
            "CREATE TABLE IF NOT EXISTS layout_change ("
            " changed_at TEXT NOT NULL,"  // ISO 8601, UTC
            " clock_id INTEGER NOT NULL REFERENCES clock (id),"
            " life INTEGER NOT NULL,"
            " layout_before TEXT,"  // NULL: not known
            " layout TEXT NOT NULL,"
            " records INTEGER NOT NULL)");  // the records of the life decoded again
        // The checksum sums the row as it becomes.
        Statement line(m_db,
                       (std::string("UPDATE record SET flagged = ?2, line = ?3") +
                        (m_checksummed ? ", checksum = record_checksum(id, segment_id, clock_id, serial,"
                                         " ?2, raw, ?3)"
                                       : "") +
                        " WHERE id = ?1")
                           .c_str());
        for (const Redecoded& record : records) {
            line.Bind(1, record.id).Bind(2, record.flagged ? 1 : 0).Bind(3, record.line);
            if (line.Step() != SQLITE_DONE) Fail("store a record decoded again");
            line.Reset();
        }
        Statement log(m_db,
                      "INSERT INTO layout_change (changed_at, clock_id, life, layout_before, layout, records)"
                      " SELECT strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), id, life, layout, ?2,"
                      " (SELECT count(*) FROM record r WHERE r.clock_id = clock.id AND r.serial >= life_base)"
                      " FROM clock WHERE id = ?1");
        Statement remember(m_db, "UPDATE clock SET layout = ?2 WHERE id = ?1");
        Statement batches(m_db,
                          "UPDATE batch SET flagged = (SELECT count(*) FROM record r WHERE r.id BETWEEN"
                          " batch.first_record AND batch.last_record AND r.flagged)"
                          " WHERE id IN (SELECT batch_id FROM segment WHERE clock_id = ?1)");
        for (std::int64_t clockId : clockIds) {
            if (log.Bind(1, clockId).Bind(2, layout).Step() != SQLITE_DONE) Fail("log the change of layout");
            if (remember.Bind(1, clockId).Bind(2, layout).Step() != SQLITE_DONE)
                Fail("change the clock's layout");
            if (batches.Bind(1, clockId).Step() != SQLITE_DONE) Fail("count the batches' flagged records");
            log.Reset();
            remember.Reset();
            batches.Reset();
        }
    });
}

std::optional<std::string> PunchStore::RawAt(std::int64_t clockId, std::int64_t serial)
{
    Statement query(m_db, "SELECT raw FROM record WHERE clock_id = ?1 AND serial = ?2");
    const int step = query.Bind(1, clockId).Bind(2, serial).Step();
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) Fail("read a record");
    return query.Text(0);
}

std::optional<Batch> PunchStore::Commit(std::int64_t runId, const std::vector<NewRecord>& records,
                                        const std::vector<ClockUpdate>& clocks)
{
    if (records.empty() && clocks.empty()) return std::nullopt;
    Execute("BEGIN IMMEDIATE");
    try {
        std::optional<Batch> batch;
        if (!records.empty()) {
            batch.emplace();
            Statement add(
                m_db,
                "INSERT INTO batch (run_id, collected_at, first_record, last_record, flagged, state)"
                " VALUES (?1, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), 0, 0, 0, 0)");
            if (add.Bind(1, runId).Step() != SQLITE_DONE) Fail("store the batch");
            batch->id = sqlite3_last_insert_rowid(m_db);
            // One segment a clock: the name and calendar its records were read with.
            std::vector<std::pair<std::int64_t, std::int64_t>> segments;  // clock id, segment id
            Statement addSegment(m_db,
                                 "INSERT INTO segment (batch_id, clock_id, port, calendar, clock_date)"
                                 " SELECT ?1, id, coalesce(nullif(?2, ''), port),"
                                 " coalesce(nullif(?3, ''), calendar), coalesce(nullif(?4, ''), clock_date)"
                                 " FROM clock WHERE id = ?5");
            const auto segmentOf = [&](std::int64_t clockId) {
                for (const auto& [clock, segment] : segments)
                    if (clock == clockId) return segment;
                std::string port, calendar, clockDate;
                for (const ClockUpdate& update : clocks)
                    if (update.clockId == clockId) {
                        port = update.port;
                        calendar = update.calendar;
                        clockDate = update.clockDate;
                    }
                addSegment.Bind(1, batch->id)
                    .Bind(2, port)
                    .Bind(3, calendar)
                    .Bind(4, clockDate)
                    .Bind(5, clockId);
                if (addSegment.Step() != SQLITE_DONE || sqlite3_changes(m_db) != 1)
                    Fail("store the records' clock");
                addSegment.Reset();
                segments.emplace_back(clockId, sqlite3_last_insert_rowid(m_db));
                return segments.back().second;
            };
            Statement insert(m_db,
                             m_checksummed
                                 ? "INSERT INTO record (id, segment_id, clock_id, serial, flagged, raw, line,"
                                   " checksum) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
                                 : "INSERT INTO record (id, segment_id, clock_id, serial, flagged, raw, line)"
                                   " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
            // The ids of one commit follow the highest stored, one writer
            // at a time; each is known before its row, for its checksum.
            std::int64_t id = LastRecordId();
            for (const NewRecord& record : records) {
                const std::int64_t segment = segmentOf(record.clockId), flagged = record.flagged ? 1 : 0;
                insert.Bind(1, ++id).Bind(2, segment).Bind(3, record.clockId).Bind(4, record.serial);
                insert.Bind(5, flagged).Bind(6, record.raw, true).Bind(7, record.line);
                if (m_checksummed)
                    insert.Bind(8, RecordChecksum(id, segment, record.clockId, record.serial, flagged,
                                                  record.raw, record.line));
                // A serial stored twice would be a record read twice.
                if (insert.Step() != SQLITE_DONE) Fail("store a record");
                insert.Reset();
                if (batch->firstRecord == 0) batch->firstRecord = id;
                batch->lastRecord = id;
                batch->flagged += flagged;
            }
            Statement range(
                m_db, "UPDATE batch SET first_record = ?2, last_record = ?3, flagged = ?4 WHERE id = ?1");
            range.Bind(1, batch->id)
                .Bind(2, batch->firstRecord)
                .Bind(3, batch->lastRecord)
                .Bind(4, batch->flagged);
            if (range.Step() != SQLITE_DONE) Fail("store the batch");
        }
        // A new life replaces the old one only now, with its first
        // position; the life it follows must still be the one stored.
        Statement newLife(m_db,
                          "UPDATE clock SET life = ?2, life_base = ?3, mark_serial = NULL, mark_raw = NULL,"
                          " mark2_serial = NULL, mark2_raw = NULL, layout = NULL"
                          " WHERE id = ?1 AND life = ?2 - 1");
        for (const ClockUpdate& clock : clocks) {
            if (clock.beginsLife == 0) continue;
            newLife.Bind(1, clock.clockId).Bind(2, clock.beginsLife).Bind(3, clock.lifeBase);
            if (newLife.Step() != SQLITE_DONE) Fail("begin a new life of the clock");
            if (sqlite3_changes(m_db) != 1)
                throw StoreError(
                    StoreError::Failed,
                    m_path + ": cannot begin a new life of the clock: another run began one meanwhile");
            newLife.Reset();
        }
        Statement update(
            m_db,
            "UPDATE clock SET next_serial = ?2, ari = ?3, calendar = coalesce(nullif(?4, ''), calendar),"
            " clock_date = coalesce(nullif(?5, ''), clock_date), port = coalesce(nullif(?6, ''), port),"
            " collected_at = strftime('%Y-%m-%dT%H:%M:%SZ', 'now'),"
            " mark_serial = CASE WHEN ?7 THEN ?8 ELSE mark_serial END,"
            " mark_raw = CASE WHEN ?7 THEN ?9 ELSE mark_raw END,"
            " mark2_serial = CASE WHEN ?7 THEN ?10 ELSE mark2_serial END,"
            " mark2_raw = CASE WHEN ?7 THEN ?11 ELSE mark2_raw END,"
            " layout = coalesce(nullif(?12, ''), layout)"
            " WHERE id = ?1");
        for (const ClockUpdate& clock : clocks) {
            update.Bind(1, clock.clockId).Bind(2, clock.position.nextSerial).Bind(3, clock.position.ari);
            update.Bind(4, clock.calendar).Bind(5, clock.clockDate).Bind(6, clock.port);
            update.Bind(7, clock.marks.empty() ? 0 : 1).Bind(12, clock.layout);
            for (std::size_t i = 0; i < 2; ++i) {
                if (i < clock.marks.size())
                    update.Bind(8 + 2 * static_cast<int>(i), clock.marks[i].serial)
                        .Bind(9 + 2 * static_cast<int>(i), clock.marks[i].raw, true);
                else
                    update.BindNull(8 + 2 * static_cast<int>(i)).BindNull(9 + 2 * static_cast<int>(i));
            }
            if (update.Step() != SQLITE_DONE || sqlite3_changes(m_db) != 1) Fail("save the clock's position");
            update.Reset();
        }
        Execute("COMMIT");
        return batch;
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<Batch> PunchStore::UnpublishedBatches()
{
    Statement query(
        m_db,
        "SELECT id, first_record, last_record, flagged, state, coalesce(file_stem, ''), collected_at"
        " FROM batch WHERE state < 2 ORDER BY id");
    std::vector<Batch> batches;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        Batch batch;
        batch.id = query.Integer(0);
        batch.firstRecord = query.Integer(1);
        batch.lastRecord = query.Integer(2);
        batch.flagged = query.Integer(3);
        batch.state = static_cast<Batch::State>(query.Integer(4));
        batch.fileStem = query.Text(5);
        batch.collectedAt = query.Text(6);
        batches.push_back(batch);
    }
    if (step != SQLITE_DONE) Fail("read its batches");
    return batches;
}

void PunchStore::SetBatchState(const std::vector<std::int64_t>& batchIds, Batch::State state,
                               const std::string& fileStem)
{
    const std::string doing = state == Batch::Published ? "mark records published" : "mark records written";
    Execute("BEGIN IMMEDIATE");
    try {
        Statement update(
            m_db,
            "UPDATE batch SET state = ?2, file_stem = coalesce(nullif(?3, ''), file_stem) WHERE id = ?1");
        for (std::int64_t id : batchIds) {
            update.Bind(1, id).Bind(2, state).Bind(3, fileStem);
            if (update.Step() != SQLITE_DONE) Fail(doing);
            update.Reset();
        }
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void PunchStore::ForEachLine(const Batch& batch, const std::function<void(bool, const std::string&)>& take)
{
    Statement query(m_db,
                    (std::string("SELECT ") + kSummedColumns + ", " + (m_checksummed ? "checksum" : "NULL") +
                     " FROM record WHERE id BETWEEN ?1 AND ?2 ORDER BY id")
                        .c_str());
    query.Bind(1, batch.firstRecord).Bind(2, batch.lastRecord);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        const std::string raw = query.Text(5), line = query.Text(6);
        if (m_checksummed && !Holds(query, 7,
                                    RecordChecksum(query.Integer(0), query.Integer(1), query.Integer(2),
                                                   query.Integer(3), query.Integer(4), raw, line)))
            RefuseRecord(m_path, "read the records to publish", query.Integer(0));
        take(query.Integer(4) != 0, line);
    }
    if (step != SQLITE_DONE) Fail("read the records to publish");
}

void PunchStore::ForEachRecord(const Selection& selection,
                               const std::function<void(const StoredRecord&)>& take)
{
    Statement query(
        m_db,
        (std::string(
             "SELECT r.id, s.port, c.bus, c.number, r.serial, r.flagged, r.raw, r.line, b.collected_at,"
             " coalesce(s.calendar, ''), coalesce(s.clock_date, ''), c.id, r.segment_id, r.clock_id, ") +
         (m_checksummed ? "r.checksum" : "NULL") +
         " FROM record r JOIN segment s ON s.id = r.segment_id JOIN clock c ON c.id = s.clock_id"
         " JOIN batch b ON b.id = s.batch_id"
         " WHERE r.id > ?3 AND (?1 = '' OR s.port = ?1 OR EXISTS (SELECT 1 FROM clock_name n"
         "   WHERE n.clock_id = c.id AND (n.port = ?1 OR n.key = ?1))) AND (?2 = 0 OR c.number = ?2)"
         " ORDER BY r.id LIMIT ?4")
            .c_str());
    query.Bind(1, selection.port)
        .Bind(2, selection.clock)
        .Bind(3, selection.afterId)
        .Bind(4, selection.limit);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        StoredRecord record;
        record.id = query.Integer(0);
        record.port = query.Text(1);
        record.rs232 = query.Text(2) == "rs232";
        record.clock = static_cast<int>(query.Integer(3));
        record.serial = query.Integer(4);
        record.flagged = query.Integer(5) != 0;
        record.raw = query.Text(6);
        record.line = query.Text(7);
        record.collectedAt = query.Text(8);
        record.calendar = query.Text(9);
        record.clockDate = query.Text(10);
        record.clockId = query.Integer(11);
        if (m_checksummed && !Holds(query, 14,
                                    RecordChecksum(record.id, query.Integer(12), query.Integer(13),
                                                   record.serial, query.Integer(5), record.raw, record.line)))
            RefuseRecord(m_path, "read its records", record.id);
        take(record);
    }
    if (step != SQLITE_DONE) Fail("read its records");
}

std::int64_t PunchStore::RecordsAfter(std::int64_t id)
{
    Statement query(m_db, "SELECT count(*) FROM record WHERE id > ?1");
    if (query.Bind(1, id).Step() != SQLITE_ROW) Fail("count its records");
    return query.Integer(0);
}

// What each central database acknowledged lives in a table of its own,
// made by the first push: stores that never push do without it, and
// programs that do not know it leave it alone.
std::int64_t PunchStore::PushedThrough(const std::string& schema)
{
    Execute(
        "CREATE TABLE IF NOT EXISTS central ("
        " schema_identity TEXT PRIMARY KEY,"  // the central schema's identity
        " pushed_through INTEGER NOT NULL,"   // the highest record id it acknowledged
        " pushed_at TEXT NOT NULL)");
    Statement query(m_db, "SELECT pushed_through FROM central WHERE schema_identity = ?1");
    const int step = query.Bind(1, schema).Step();
    if (step == SQLITE_DONE) return 0;
    if (step != SQLITE_ROW) Fail("read what the central database acknowledged");
    return query.Integer(0);
}

void PunchStore::SetPushedThrough(const std::string& schema, std::int64_t id)
{
    // Two pushes at once may acknowledge out of order; the higher id holds.
    Statement update(m_db,
                     "INSERT INTO central VALUES (?1, ?2, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))"
                     " ON CONFLICT (schema_identity) DO UPDATE SET"
                     " pushed_through = max(pushed_through, excluded.pushed_through),"
                     " pushed_at = excluded.pushed_at");
    if (update.Bind(1, schema).Bind(2, id).Step() != SQLITE_DONE)
        Fail("note what the central database acknowledged");
}

std::vector<ClockSummary> PunchStore::Clocks()
{
    // The outcomes live in a table of their own, made by the first run that
    // notes one: programs that do not know it leave it alone.
    const bool outcomes = HasTable("clock_outcome");
    Statement query(
        m_db, ("SELECT " + ClockColumns() +
               ", coalesce(collected_at, ''), (SELECT count(*) FROM record r WHERE r.clock_id = clock.id)" +
               (outcomes ? ", coalesce(o.asked_at, ''), coalesce(o.result, ''), coalesce(o.last_error, '')"
                           " FROM clock LEFT JOIN clock_outcome o ON o.clock_id = clock.id"
                         : ", '', '', '' FROM clock") +
               " ORDER BY id")
                  .c_str());
    std::vector<ClockSummary> clocks;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        ClockSummary summary;
        summary.clock = ClockOf(query);
        summary.lastCollected = query.Text(14);
        summary.records = query.Integer(15);
        summary.lastAsked = query.Text(16);
        summary.lastResult = query.Text(17);
        summary.lastError = query.Text(18);
        clocks.push_back(std::move(summary));
    }
    if (step != SQLITE_DONE) Fail("read its clocks");
    for (ClockSummary& summary : clocks) summary.names = NamesOf(summary.clock.id);
    return clocks;
}

void PunchStore::NoteOutcomes(const std::vector<ClockOutcome>& outcomes)
{
    Atomically([&] {
        Execute(
            "CREATE TABLE IF NOT EXISTS clock_outcome ("
            " clock_id INTEGER PRIMARY KEY REFERENCES clock (id),"
            " asked_at TEXT NOT NULL,"      // ISO 8601, UTC
            " result TEXT NOT NULL,"        // as the status file says it
            " last_error TEXT NOT NULL)");  // '' when none
        // A port whose device changed (an adapter plugged in again) no longer
        // leads to the clock by its key; its spelling, bus and address still
        // name the clock the operator means.
        Statement note(m_db,
                       "INSERT INTO clock_outcome"
                       " SELECT id, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?5, ?6 FROM (SELECT coalesce("
                       " (SELECT clock_id FROM clock_name WHERE bus = ?3 AND number = ?4 AND key IN (?1, ?2)"
                       "  ORDER BY key = ?1 DESC LIMIT 1),"
                       " (SELECT id FROM clock WHERE port = ?2 AND bus = ?3 AND number = ?4"
                       "  ORDER BY collected_at DESC, id DESC LIMIT 1)) AS id) WHERE id IS NOT NULL"
                       " ON CONFLICT (clock_id) DO UPDATE SET asked_at = excluded.asked_at,"
                       " result = excluded.result, last_error = excluded.last_error");
        for (const ClockOutcome& outcome : outcomes) {
            note.Bind(1, outcome.name.key).Bind(2, outcome.name.port);
            note.Bind(3, std::string(BusName(outcome.name.rs232))).Bind(4, outcome.name.number);
            note.Bind(5, outcome.result).Bind(6, outcome.lastError);
            if (note.Step() != SQLITE_DONE) Fail("note how the run went with its clocks");
            note.Reset();
        }
    });
}

std::vector<std::string> PunchStore::Ports()
{
    Statement query(m_db, "SELECT port FROM segment UNION SELECT port FROM clock_name ORDER BY 1");
    std::vector<std::string> ports;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) ports.push_back(query.Text(0));
    if (step != SQLITE_DONE) Fail("read its ports");
    return ports;
}

bool PunchStore::KnowsPort(const std::string& port)
{
    Statement query(m_db,
                    "SELECT EXISTS (SELECT 1 FROM segment WHERE port = ?1) OR"
                    " EXISTS (SELECT 1 FROM clock_name WHERE port = ?1 OR key = ?1)");
    query.Bind(1, port);
    if (query.Step() != SQLITE_ROW) Fail("read its ports");
    return query.Integer(0) != 0;
}

std::vector<std::string> PunchStore::IntegrityProblems()
{
    Statement query(m_db, "PRAGMA integrity_check(100)");
    std::vector<std::string> problems;
    int step;
    while ((step = query.Step()) == SQLITE_ROW)
        if (const std::string text = query.Text(0); text != "ok") problems.push_back(text);
    if (step != SQLITE_DONE) {
        const int code = sqlite3_extended_errcode(m_db) & 0xff;
        if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB) Fail("check it");
        problems.push_back(sqlite3_errmsg(m_db));
        return problems;
    }
    // Then every record against its checksum.
    const std::vector<std::int64_t> unsound = RecordsFailingChecksums(-1);
    for (std::size_t i = 0; i < unsound.size(); ++i) {
        if (problems.size() == 100) {
            problems.push_back(std::to_string(unsound.size() - i) +
                               " more records do not match their checksums");
            break;
        }
        problems.push_back("record " + std::to_string(unsound[i]) + " does not match its checksum");
    }
    return problems;
}

double PunchStore::TimeQuery(const std::string& sql)
{
    const auto started = std::chrono::steady_clock::now();
    Statement query(m_db, sql.c_str());
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
    }
    if (step != SQLITE_DONE) Fail("run a query");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void PunchStore::BackUp(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::exists(PathFromUtf8(path), error))
        throw StoreError(StoreError::Failed, path + " exists already; a backup never replaces a file");
    // SQLite would say no more than "unable to open database file".
    if (const std::filesystem::path folder = PathFromUtf8(path).parent_path();
        !folder.empty() && !std::filesystem::is_directory(folder, error))
        throw StoreError(
            StoreError::Failed,
            path + ": cannot make the backup: " + Utf8FromPath(folder) +
                (std::filesystem::exists(folder, error) ? " is not a folder" : " does not exist"));
    sqlite3* copy = nullptr;
    if (sqlite3_open_v2(path.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string reason = copy ? sqlite3_errmsg(copy) : "out of memory";
        sqlite3_close_v2(copy);
        throw StoreError(StoreError::Failed, path + ": cannot make the backup: " + reason);
    }
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", m_db, "main");
    int step = SQLITE_ERROR;
    if (backup) {
        // In one step: one read transaction, a snapshot that a run going
        // on beside it (a WAL writer) neither blocks nor restarts.
        for (int tries = 0; (step = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || step == SQLITE_LOCKED;
             ++tries) {
            if (tries == 250) break;
            sqlite3_sleep(20);
        }
        sqlite3_backup_finish(backup);
    }
    const std::string reason = sqlite3_errmsg(copy);
    // The copy is a store of its own: a rollback journal, so it is one file.
    if (step == SQLITE_DONE) sqlite3_exec(copy, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
    sqlite3_close_v2(copy);
    if (step != SQLITE_DONE) {
        std::filesystem::remove(PathFromUtf8(path), error);
        throw StoreError(KindOf(step), path + ": cannot make the backup: " + reason);
    }
}

}  // namespace collect
