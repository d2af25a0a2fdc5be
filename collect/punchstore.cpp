#include "punchstore.h"

#include <sqlite3.h>

#include <filesystem>

#include "utils/utf8path.h"

namespace collect {
namespace {

// "ClRd": tells a punch store from any other SQLite file.
constexpr int kApplicationId = 0x436c5264;
constexpr int kSchemaVersion = 1;

// A record row keeps only what differs from record to record. The records
// of one clock read one after the other form a segment, which gives their
// clock and serials; the records of one commit form a batch, which says
// when they were collected, by which run, and how far their publication
// went. The view "punches" joins it all under names importers rely on.
const char* const kSchema = R"(
CREATE TABLE clock (
    id INTEGER PRIMARY KEY,
    port TEXT NOT NULL,
    bus TEXT NOT NULL,              -- 'rs232' or 'rs485'
    number INTEGER NOT NULL,        -- 1..32
    next_serial INTEGER,            -- where the next run begins: lap * 253579 + position
    ari INTEGER,                    -- the clock's read index when next_serial was saved
    calendar TEXT,                  -- 'solar' or 'gregorian', as last seen
    clock_date TEXT,                -- the clock's date then, yyyy/mm/dd in its calendar
    UNIQUE (port, bus, number));
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
    state INTEGER NOT NULL);        -- 0 committed, 1 files written, 2 published
CREATE INDEX batch_unpublished ON batch (state) WHERE state < 2;
CREATE TABLE segment (
    id INTEGER PRIMARY KEY,
    batch_id INTEGER NOT NULL REFERENCES batch (id),
    clock_id INTEGER NOT NULL REFERENCES clock (id),
    first_record INTEGER NOT NULL,  -- records first_record..last_record, read in a row
    last_record INTEGER NOT NULL,
    first_serial INTEGER NOT NULL,  -- the first one's lap * 253579 + position
    UNIQUE (clock_id, first_serial));
CREATE TABLE record (
    id INTEGER PRIMARY KEY,
    flagged INTEGER NOT NULL,       -- 1: in BadRecs-*.Txt, else in Dump-*.Txt
    raw BLOB NOT NULL,              -- the payload, or the whole answer when flagged
    line TEXT NOT NULL);            -- the line as the published file has it, without CR LF
CREATE VIEW punches AS
SELECT r.id AS record_id, c.port AS port, c.bus AS bus, c.number AS clock,
       (s.first_serial + r.id - s.first_record) / 253579 AS lap,
       (s.first_serial + r.id - s.first_record) % 253579 AS position,
       r.raw AS raw, r.line AS line, r.flagged AS flagged,
       b.collected_at AS collected_at, b.run_id AS run, u.layout AS layout
FROM segment s
JOIN record r ON r.id BETWEEN s.first_record AND s.last_record
JOIN clock c ON c.id = s.clock_id
JOIN batch b ON b.id = s.batch_id
JOIN run u ON u.id = b.run_id;
)";

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

StoreError::Kind KindOf(int code)
{
    switch (code & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return StoreError::NotAStore;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM: return StoreError::ReadOnly;
    default: return StoreError::Failed;
    }
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
    const std::string& path = m_path;
    std::error_code error;
    if (access == Access::Read && !std::filesystem::exists(PathFromUtf8(path), error))
        throw StoreError(
            StoreError::Failed,
            path + ": there is no punch store here (no download --new collected into this folder)");
    const int flags =
        access == Access::Collect ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        if (!m_db)
            throw StoreError(StoreError::Failed, path + ": cannot open the punch store (out of memory)");
        Fail("open it");
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, busyMs);
    if (access == Access::Collect && sqlite3_db_readonly(m_db, "main") == 1)
        throw StoreError(StoreError::ReadOnly, path + ": the punch store is read-only");

    // The header says whose file this is; a damaged one fails right here.
    std::int64_t applicationId = 0, version = 0, objects = 0;
    {
        Statement query(m_db,
                        "SELECT (SELECT application_id FROM pragma_application_id),"
                        " (SELECT user_version FROM pragma_user_version),"
                        " (SELECT count(*) FROM sqlite_schema)");
        if (query.Step() != SQLITE_ROW) Fail("read it");
        applicationId = query.Integer(0);
        version = query.Integer(1);
        objects = query.Integer(2);
    }
    if (applicationId == 0 && version == 0 && objects == 0) {
        if (access == Access::Read)
            throw StoreError(StoreError::NotAStore, path + ": the punch store is empty");
        Execute("PRAGMA journal_mode = WAL");
        Execute("BEGIN IMMEDIATE");
        Execute(kSchema);
        Execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        Execute("COMMIT");
    } else if (applicationId != kApplicationId) {
        throw StoreError(StoreError::NotAStore, path + ": not a punch store (another program's database)");
    } else if (version > kSchemaVersion) {
        throw StoreError(StoreError::NotAStore, path + ": a punch store of a newer version (schema " +
                                                    std::to_string(version) + "); this program reads " +
                                                    std::to_string(kSchemaVersion));
    }
    if (access == Access::Collect) {
        Execute("PRAGMA journal_mode = WAL");
        // A commit that returned survives a power cut.
        Execute("PRAGMA synchronous = FULL");
    }
}

PunchStore::~PunchStore() { sqlite3_close_v2(m_db); }

void PunchStore::Fail(const std::string& doing)
{
    const int code = sqlite3_extended_errcode(m_db);
    std::string reason = sqlite3_errmsg(m_db);
    if ((code & 0xff) == SQLITE_NOTADB || (code & 0xff) == SQLITE_CORRUPT)
        reason = "not a punch store, or damaged";
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

std::int64_t PunchStore::StartRun(const std::string& layout, const std::string& program)
{
    Statement insert(m_db,
                     "INSERT INTO run (started_at, layout, program)"
                     " VALUES (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?1, ?2)");
    if (insert.Bind(1, layout).Bind(2, program).Step() != SQLITE_DONE) Fail("record the run");
    return sqlite3_last_insert_rowid(m_db);
}

std::int64_t PunchStore::ClockId(const ClockIdentity& clock)
{
    const std::string bus = clock.rs232 ? "rs232" : "rs485";
    Statement insert(m_db,
                     "INSERT INTO clock (port, bus, number) VALUES (?1, ?2, ?3)"
                     " ON CONFLICT DO NOTHING");
    if (insert.Bind(1, clock.port).Bind(2, bus).Bind(3, clock.number).Step() != SQLITE_DONE)
        Fail("add the clock");
    Statement query(m_db, "SELECT id FROM clock WHERE port = ?1 AND bus = ?2 AND number = ?3");
    if (query.Bind(1, clock.port).Bind(2, bus).Bind(3, clock.number).Step() != SQLITE_ROW)
        Fail("read the clock");
    return query.Integer(0);
}

std::optional<ClockPosition> PunchStore::Position(std::int64_t clockId)
{
    Statement query(m_db, "SELECT next_serial, ari FROM clock WHERE id = ?1");
    if (query.Bind(1, clockId).Step() != SQLITE_ROW) Fail("read the clock's position");
    if (query.IsNull(0)) return std::nullopt;
    return ClockPosition{query.Integer(0), static_cast<std::int32_t>(query.Integer(1))};
}

std::optional<Batch> PunchStore::Commit(std::int64_t runId, const std::vector<NewRecord>& records,
                                        const std::vector<ClockUpdate>& clocks)
{
    if (records.empty() && clocks.empty()) return std::nullopt;
    Execute("BEGIN IMMEDIATE");
    try {
        std::optional<Batch> batch;
        if (!records.empty()) {
            Statement insert(m_db, "INSERT INTO record (flagged, raw, line) VALUES (?1, ?2, ?3)");
            batch.emplace();
            struct Segment {
                std::int64_t clockId, firstRecord, lastRecord, firstSerial, lastSerial;
            };
            std::vector<Segment> segments;
            for (const NewRecord& record : records) {
                insert.Bind(1, record.flagged ? 1 : 0).Bind(2, record.raw, true).Bind(3, record.line);
                if (insert.Step() != SQLITE_DONE) Fail("store a record");
                insert.Reset();
                const std::int64_t id = sqlite3_last_insert_rowid(m_db);
                if (batch->firstRecord == 0) batch->firstRecord = id;
                batch->lastRecord = id;
                batch->flagged += record.flagged ? 1 : 0;
                if (!segments.empty() && segments.back().clockId == record.clockId &&
                    segments.back().lastSerial + 1 == record.serial && segments.back().lastRecord + 1 == id) {
                    segments.back().lastRecord = id;
                    segments.back().lastSerial = record.serial;
                } else {
                    segments.push_back({record.clockId, id, id, record.serial, record.serial});
                }
            }
            // One writer at a time, so the ids of one commit follow each other.
            if (batch->lastRecord - batch->firstRecord + 1 != static_cast<std::int64_t>(records.size()))
                throw StoreError(StoreError::Failed,
                                 m_path + ": the record ids of one commit are not consecutive");
            Statement add(
                m_db,
                "INSERT INTO batch (run_id, collected_at, first_record, last_record, flagged, state)"
                " VALUES (?1, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?2, ?3, ?4, 0)");
            add.Bind(1, runId).Bind(2, batch->firstRecord).Bind(3, batch->lastRecord).Bind(4, batch->flagged);
            if (add.Step() != SQLITE_DONE) Fail("store the batch");
            batch->id = sqlite3_last_insert_rowid(m_db);
            Statement addSegment(m_db,
                                 "INSERT INTO segment (batch_id, clock_id, first_record, last_record,"
                                 " first_serial) VALUES (?1, ?2, ?3, ?4, ?5)");
            for (const Segment& segment : segments) {
                addSegment.Bind(1, batch->id).Bind(2, segment.clockId).Bind(3, segment.firstRecord);
                addSegment.Bind(4, segment.lastRecord).Bind(5, segment.firstSerial);
                // A serial stored twice would be a record read twice.
                if (addSegment.Step() != SQLITE_DONE) Fail("store the records' clock and positions");
                addSegment.Reset();
            }
        }
        Statement update(
            m_db,
            "UPDATE clock SET next_serial = ?2, ari = ?3, calendar = coalesce(nullif(?4, ''), calendar),"
            " clock_date = coalesce(nullif(?5, ''), clock_date)"
            " WHERE id = ?1");
        for (const ClockUpdate& clock : clocks) {
            update.Bind(1, clock.clockId).Bind(2, clock.position.nextSerial).Bind(3, clock.position.ari);
            update.Bind(4, clock.calendar).Bind(5, clock.clockDate);
            if (update.Step() != SQLITE_DONE) Fail("save the clock's position");
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
    Statement query(m_db,
                    "SELECT id, first_record, last_record, flagged, state FROM batch WHERE state < 2"
                    " ORDER BY id");
    std::vector<Batch> batches;
    int step;
    while ((step = query.Step()) == SQLITE_ROW)
        batches.push_back({query.Integer(0), query.Integer(1), query.Integer(2), query.Integer(3),
                           static_cast<Batch::State>(query.Integer(4))});
    if (step != SQLITE_DONE) Fail("read its batches");
    return batches;
}

void PunchStore::SetBatchState(std::int64_t batchId, Batch::State state)
{
    Statement update(m_db, "UPDATE batch SET state = ?2 WHERE id = ?1");
    if (update.Bind(1, batchId).Bind(2, state).Step() != SQLITE_DONE) Fail("mark a batch published");
}

void PunchStore::ForEachLine(const Batch& batch, const std::function<void(bool, const std::string&)>& take)
{
    Statement query(m_db, "SELECT flagged, line FROM record WHERE id BETWEEN ?1 AND ?2 ORDER BY id");
    query.Bind(1, batch.firstRecord).Bind(2, batch.lastRecord);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) take(query.Integer(0) != 0, query.Text(1));
    if (step != SQLITE_DONE) Fail("read a batch's records");
}

void PunchStore::ForEachRecord(const Selection& selection,
                               const std::function<void(const StoredRecord&)>& take)
{
    Statement query(m_db,
                    "SELECT r.id, c.port, c.bus, c.number, s.first_serial + r.id - s.first_record,"
                    " r.flagged, r.raw, r.line, b.collected_at, coalesce(c.calendar, ''),"
                    " coalesce(c.clock_date, '')"
                    " FROM segment s JOIN record r ON r.id BETWEEN s.first_record AND s.last_record"
                    " JOIN clock c ON c.id = s.clock_id JOIN batch b ON b.id = s.batch_id"
                    " WHERE (?1 = '' OR c.port = ?1) AND (?2 = 0 OR c.number = ?2)"
                    " ORDER BY r.id");
    query.Bind(1, selection.port).Bind(2, selection.clock);
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
        take(record);
    }
    if (step != SQLITE_DONE) Fail("read its records");
}

}  // namespace collect
