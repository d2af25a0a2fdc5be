// The punch store: every record scheduled collection has read, kept in
// Punches.db (SQLite) in the output folder, the record of truth that the
// importer's files are made from.
//
// A record is kept once, under its clock (port, bus, clock number) and its
// serial: lap * 253579 + ring position, where the lap counts how often the
// clock's reading went round the ring, so a position read again after the
// ring wrapped is a new record. Each clock's next serial moves in the same
// transaction as the records read up to it, so a kill or a power cut at any
// instant either keeps both or neither: nothing is lost and nothing is read
// twice. The records of one commit form a batch with consecutive record ids;
// a batch is published to the importer as whole files (publisher.h), and its
// state tells how far that went.
//
// The file is WAL-journalled with full synchronisation: a commit that
// returned is on the disk. It carries an application id and a schema
// version, so a file that is not a punch store, or a newer one, is refused
// before anything is written. Readers (export) work while a collection
// commits. One PunchStore is one connection: use it from one thread.
//
// Importers that read SQL directly use the view "punches" (see kSchema in
// punchstore.cpp); its column names stay as they are.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace collect {

inline constexpr const char* kStoreFileName = "Punches.db";

// Why a store cannot be used.
class StoreError : public std::runtime_error {
public:
    enum Kind {
        NotAStore,  // another program's database, a newer schema, a damaged file
        ReadOnly,   // the file or its folder cannot be written
        Failed,     // the disk is full, or any other failure of the store
    };
    StoreError(Kind kind, const std::string& what) : std::runtime_error(what), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

struct ClockIdentity {
    std::string port;  // "COM1", a device path or a network address
    bool rs232 = true;
    int number = 1;  // 1..32
};

// Where a clock's next run begins.
struct ClockPosition {
    std::int64_t nextSerial = 0;  // lap * ring size + ring position
    std::int32_t ari = 0;         // the clock's read index when this was saved
};

// A record read, before it is committed.
struct NewRecord {
    std::int64_t clockId = 0;
    std::int64_t serial = 0;
    bool flagged = false;  // flagged by the clock, or a date that does not decode
    std::string raw;       // the record's payload, or the whole answer of a flagged one
    std::string line;      // the line of Dump-*.Txt, or of BadRecs-*.Txt when flagged
};

// The records of one commit and how far their publication went.
struct Batch {
    enum State { Committed = 0, Written = 1, Published = 2 };
    std::int64_t id = 0;
    std::int64_t firstRecord = 0, lastRecord = 0;
    std::int64_t flagged = 0;
    State state = Committed;
};

// Which records an export takes; an empty field takes all.
struct Selection {
    std::string port;
    int clock = 0;
};

// One stored record as an export reads it.
struct StoredRecord {
    std::int64_t id = 0;
    std::string port;
    bool rs232 = true;
    int clock = 0;
    std::int64_t serial = 0;
    bool flagged = false;
    std::string raw, line;
    std::string collectedAt;  // ISO 8601, UTC
    std::string calendar;     // the clock's calendar when collected: "solar" or "gregorian"
    std::string clockDate;    // the clock's date then, yyyy/mm/dd in its calendar
};

class PunchStore {
public:
    enum class Access { Collect, Read };

    // Opens the store at `path`. For Collect it is created when missing
    // (or empty) and must be writable; for Read it must exist. Waits up to
    // `busyMs` for another writer. Raises StoreError naming the file.
    PunchStore(const std::string& path, Access access, int busyMs = 5000);
    ~PunchStore();
    PunchStore(const PunchStore&) = delete;
    PunchStore& operator=(const PunchStore&) = delete;

    const std::string& Path() const { return m_path; }

    // Records a new run and returns its id: the layout it decodes with
    // ("standard" or "vireo") and the program that runs it.
    std::int64_t StartRun(const std::string& layout, const std::string& program);

    // The clock's id, adding the clock when it is new, and its saved
    // position, if any.
    std::int64_t ClockId(const ClockIdentity& clock);
    std::optional<ClockPosition> Position(std::int64_t clockId);

    // In one transaction: `records` (in reading order), the clocks' new
    // positions and calendars, and the batch that holds the records when
    // there are any. Returns that batch.
    struct ClockUpdate {
        std::int64_t clockId = 0;
        ClockPosition position;
        std::string calendar, clockDate;
    };
    std::optional<Batch> Commit(std::int64_t runId, const std::vector<NewRecord>& records,
                                const std::vector<ClockUpdate>& clocks);

    // Batches whose publication has not ended, oldest first.
    std::vector<Batch> UnpublishedBatches();
    void SetBatchState(std::int64_t batchId, Batch::State state);
    // The lines of the batch's records in id order, flagged or not.
    void ForEachLine(const Batch& batch,
                     const std::function<void(bool flagged, const std::string& line)>& take);

    // Every stored record the selection takes, in id order.
    void ForEachRecord(const Selection& selection, const std::function<void(const StoredRecord&)>& take);

private:
    void Open(Access access, int busyMs);
    void Execute(const char* sql);
    [[noreturn]] void Fail(const std::string& doing);

    std::string m_path;
    sqlite3* m_db = nullptr;
};

}  // namespace collect
