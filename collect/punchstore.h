// The punch store: every record scheduled collection has read, kept in
// Punches.db (SQLite) in the output folder, the record of truth that the
// importer's files are made from.
//
// A clock is known by what it holds, not by how its port is spelled. Each
// clock row keeps the names it was reached under (a port resolved to its
// device, or a converter's normalised URL, with its bus and address) and a
// fingerprint: the raw bytes of the last two good records read, with their
// serials. A flagged answer ("???") is no fingerprint: it says nothing of
// which clock sent it, and its bytes may differ from one read to the next.
// A run reads the fingerprint back before it trusts a saved position;
// other bytes mean another clock, or this one cleared or reset, and the
// clock begins a new life, decided in the commit of its first records.
//
// A record is kept once, under its clock and its serial: lap * 253579 +
// ring position, where the lap counts how often the clock's reading went
// round the ring, so a position read again after the ring wrapped is a new
// record; a new life begins on a lap above every serial of the lives
// before. Each clock's next serial moves in the same transaction as the
// records read up to it, so a kill or a power cut at any instant either
// keeps both or neither. The records of one commit form a batch with
// consecutive record ids; batches are published to the importer as whole
// files (publisher.h), and each batch's state tells how far that went.
//
// The file is WAL-journalled with full synchronisation: a commit that
// returned is on the disk. It carries an application id and a schema
// version, so a file that is not a punch store, or a newer one, is refused
// before anything is written; a store of the previous version is upgraded in
// place after a copy is kept beside it. Each record row carries a checksum
// of its values, checked when a run or a reader opens the store and whenever
// the row is read to be published, exported or pushed, so bytes changed on
// the disk inside a record are found as surely as a broken page; a store
// made before records had checksums gets them from the next download --new
// (AddChecksums), and is read as before until then. Damage found at open or
// by any statement later is refused (StoreError::Damaged) and nothing more
// is written. Readers (export) work while a collection commits, and from a
// read-only folder. One PunchStore is one connection: use it from one
// thread.
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
// Held by a --new run in its output folder, and by whatever changes what
// the folder's store publishes as (site --new-identity).
inline constexpr const char* kLockFileName = "Punches.lock";

// Why a store cannot be used.
class StoreError : public std::runtime_error {
public:
    enum Kind {
        NotAStore,  // another program's database, a newer schema, an empty file
        Damaged,    // a punch store whose pages fail SQLite's checks, or records their checksums
        ReadOnly,   // the file or its folder cannot be written
        Failed,     // the disk is full, or any other failure of the store
    };
    StoreError(Kind kind, const std::string& what) : std::runtime_error(what), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// A name a clock is reached under: the port's resolved key and its
// spelling, the bus and the clock's address on it.
struct ClockName {
    std::string key;   // the device behind the port, or the normalised URL
    std::string port;  // as the operator spelled it: "COM1", a path, a URL
    bool rs232 = true;
    int number = 1;  // 1..32
};

// Where a clock's next run begins.
struct ClockPosition {
    std::int64_t nextSerial = 0;  // lap * ring size + ring position
    std::int32_t ari = 0;         // the clock's read index when this was saved
};

// A record the store remembers a clock by: a good one, never a flagged one.
struct Mark {
    std::int64_t serial = 0;
    std::string raw;  // the payload
};

// A clock the store knows.
struct KnownClock {
    std::int64_t id = 0;
    bool rs232 = true;
    int number = 1;
    int life = 1;
    std::optional<ClockPosition> position;  // none before its first collection in this life
    std::int64_t lifeBase = 0;              // the serial of ring position 0 on the life's first lap
    std::vector<Mark> marks;                // newest first
    std::string port;                       // the name it was last collected under
    std::string lastKey;                    // and that name's key
    std::string layout;                     // "standard" or "vireo"; empty: not known yet in this life
    // A new life decided by this run and not committed yet: `life` and
    // `lifeBase` are the new life's, and the store still holds the old one
    // until the commit that saves the new life's first position.
    bool lifeBegins = false;
};

// A record read, before it is committed.
struct NewRecord {
    std::int64_t clockId = 0;
    std::int64_t serial = 0;
    bool flagged = false;  // flagged by the clock, or a date that does not decode
    std::string raw;       // the record's payload, or the whole answer of a flagged one
    std::string line;      // the line of Dump-*.Txt, or of BadRecs-*.Txt when flagged
};

// The records of one commit and how far their publication went. A batch
// that was written out belongs to a file, which may hold the records of
// several consecutive batches.
struct Batch {
    // Withheld: committed while publication was off and left out when it
    // was turned on again; never published, still pushed and exported.
    enum State { Committed = 0, Written = 1, Published = 2, Withheld = 3 };
    std::int64_t id = 0;
    std::int64_t firstRecord = 0, lastRecord = 0;
    std::int64_t flagged = 0;
    State state = Committed;
    std::string fileStem;     // once written: its files' names without "Dump-" and ".Txt"
    std::string collectedAt;  // ISO 8601, UTC
};

// Where a store lives: the computer (MachineIdentity(), empty when the
// system keeps none) and the absolute folder of its file.
struct StoreHome {
    std::string machine;
    std::string folder;
};

// Which records an export takes; an empty field takes all.
struct Selection {
    std::string port;
    int clock = 0;
    std::int64_t afterId = 0;  // only records with a higher id
    std::int64_t limit = -1;   // at most this many; -1: all
};

// One stored record as an export reads it.
struct StoredRecord {
    std::int64_t id = 0;
    std::int64_t clockId = 0;  // the clock's id in this store
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

// What the store knows of a clock for `clocks`.
struct ClockSummary {
    KnownClock clock;
    std::vector<std::string> names;  // "COM1 (/dev/ttyS0)", newest first
    std::int64_t records = 0;
    std::string lastCollected;  // ISO 8601, UTC; empty before the first
    // How the last run that asked it went (NoteOutcomes); all empty when
    // no run noted one.
    std::string lastAsked;   // ISO 8601, UTC
    std::string lastResult;  // as the status file says it: "complete", "communication error", ...
    std::string lastError;   // the last error said about it then; empty when none
};

// How a run's attempt at a clock went, by the name it was asked under.
struct ClockOutcome {
    ClockName name;
    std::string result;     // as the status file says it
    std::string lastError;  // empty when none
};

class PunchStore {
public:
    // Collect: read and written by a run. Read: read only, checked first.
    // Inspect: read only and not checked, for verify to say what is wrong.
    enum class Access { Collect, Read, Inspect };

    // Opens the store at `path`. For Collect it is created only when no file
    // is there and must be writable; for Read it must exist, and it is read
    // without writing anything, from a read-only folder too. Checks the file
    // (SQLite's quick check, and every record against its checksum) before
    // anything else. Waits up to `busyMs` for another writer. Raises
    // StoreError naming the file.
    PunchStore(const std::string& path, Access access, int busyMs = 5000);
    ~PunchStore();
    // Whether the file at `path` is a store whose making was cut short: the
    // empty file SQLite creates, or the bare header the write-ahead log
    // writes, with nothing committed after it. The schema, the identity and
    // the application id are committed together, so such a file never held
    // a record.
    static bool Unmade(const std::string& path);
    PunchStore(const PunchStore&) = delete;
    PunchStore& operator=(const PunchStore&) = delete;

    const std::string& Path() const { return m_path; }
    // The store's identity, made with it: a UUID, and its first eight
    // characters, which the published file names carry.
    const std::string& Identity() const { return m_identity; }
    std::string ShortIdentity() const { return m_identity.substr(0, 8); }
    // The name of the site the store collects for: the computer's name
    // when the store was made, until NameSite gives another.
    const std::string& SiteName() const { return m_siteName; }
    void NameSite(const std::string& name);
    // Where the store was made, or last said to be moved to (MoveHomeHere);
    // a store of an earlier program takes the place it is first opened in
    // for collection as its home. Empty when it was opened read-only
    // before it had one.
    const StoreHome& Home() const { return m_home; }
    // Where it lies now.
    StoreHome Here() const;
    // Whether it lies at its home. One found elsewhere was copied there or
    // moved, which only the operator can tell apart; a copy must not push
    // as the same site as its original.
    bool AtHome() const;
    // The records the store's identity holds are those after this id; the
    // ones up to it were collected under the identity of the store this one
    // was copied from (0: every record is the identity's own).
    std::int64_t OwnRecordsAfter() const { return m_ownRecordsAfter; }
    // Makes a copy of another site's store a site of its own: a new
    // identity named `siteName`, at home here, whose own records are those
    // collected since the store was first opened for collection away from
    // its home (else from now on); the ones before are the original's,
    // which pushes them. Returns the identity it had before.
    std::string TakeNewIdentity(const std::string& siteName);
    // Takes the place the store lies in now as its home: it was moved here.
    void MoveHomeHere();
    // The highest record id the store holds (0 when it holds none).
    std::int64_t LastRecordId();

    // Publication of Dump-*.Txt and BadRecs-*.Txt files, which a site that
    // feeds only the central database turns off. While it is off, records
    // after the returned id are committed, pushed and exported as ever,
    // and not published (publisher.h); nothing when it is on. A store that
    // never turned it off has no table for it, and a program that does not
    // know the table publishes as before.
    std::optional<std::int64_t> PublicationOffAfter();
    // The records committed while publication is off and not published.
    std::int64_t RecordsNotPublishedWhileOff();
    // Turns publication off for the records collected from now on; false
    // when it was off already.
    bool TurnPublicationOff();
    // Turns it on again, in one transaction: the records collected while
    // it was off go out with the next publication (`backlog`), or never
    // (their batches are Withheld). Returns how many records that is.
    std::int64_t TurnPublicationOn(bool backlog);

    // Records a new run and returns its id: the layout it decodes with
    // ("standard" or "vireo") and the program that runs it.
    std::int64_t StartRun(const std::string& layout, const std::string& program);

    // The clock last collected under `name`, if any.
    std::optional<KnownClock> ClockNamed(const ClockName& name);
    // The clocks on the same bus and address as `name` other than `except`
    // whose fingerprint could be read back, last collected first.
    std::vector<KnownClock> ClockCandidates(const ClockName& name, std::int64_t except);
    // A new clock reached under `name`; returns it.
    KnownClock AddClock(const ClockName& name);
    // Remembers that `name` reaches clock `clockId` (a clock known before
    // under another name, or another clock now under this one).
    void NameClock(const ClockName& name, std::int64_t clockId);
    // The clock's next life, as a new life would make it, without writing
    // anything: no saved position and no fingerprint, and serials on a lap
    // above all before. Commit stores it with the life's first position
    // (ClockUpdate::beginsLife), so a run that fails before leaves the
    // clock as it was.
    KnownClock NextLife(std::int64_t clockId);
    // The names it was reached under, newest first, as "spelling" or
    // "spelling (key)".
    std::vector<std::string> NamesOf(std::int64_t clockId);
    // A stored record decoded again in another layout.
    struct Redecoded {
        std::int64_t id = 0;
        bool flagged = false;
        std::string line;
    };
    // In one transaction: the records' new lines and flags (and their
    // batches' counts of flagged records), `layout` as the clocks'
    // remembered layout, and a row a clock in the log of such changes.
    void Redecode(const std::vector<std::int64_t>& clockIds, const std::string& layout,
                  const std::vector<Redecoded>& records);
    // The raw record a clock holds at `serial`, if stored.
    std::optional<std::string> RawAt(std::int64_t clockId, std::int64_t serial);

    // In one transaction: `records` (in reading order), the clocks' new
    // positions, calendars and fingerprints, and the batch that holds the
    // records when there are any. Returns that batch.
    struct ClockUpdate {
        std::int64_t clockId = 0;
        ClockPosition position;
        std::string calendar, clockDate;
        std::string port;         // the name the records were read under
        std::vector<Mark> marks;  // newest first; empty: the fingerprint stays
        // A new life begins with this commit (KnownClock::lifeBegins): its
        // number and base; 0: none.
        int beginsLife = 0;
        std::int64_t lifeBase = 0;
        std::string layout{};  // the layout its records proved; empty: as it was
    };
    std::optional<Batch> Commit(std::int64_t runId, const std::vector<NewRecord>& records,
                                const std::vector<ClockUpdate>& clocks);

    // Batches whose publication has not ended, oldest first.
    std::vector<Batch> UnpublishedBatches();
    // Marks the batches in one transaction: written to the files named by
    // `fileStem`, or published.
    void SetBatchState(const std::vector<std::int64_t>& batchIds, Batch::State state,
                       const std::string& fileStem = "");
    // The lines of a batch's records in id order, flagged or not. A record
    // that fails its checksum raises StoreError::Damaged, as it does in
    // ForEachRecord.
    void ForEachLine(const Batch& batch,
                     const std::function<void(bool flagged, const std::string& line)>& take);

    // Every stored record the selection takes, in id order.
    void ForEachRecord(const Selection& selection, const std::function<void(const StoredRecord&)>& take);
    // How many records have an id above `id`.
    std::int64_t RecordsAfter(std::int64_t id);
    // The highest record id the central database with the identity
    // `schema` acknowledged (0 before its first push), and noting a new one.
    std::int64_t PushedThrough(const std::string& schema);
    void SetPushedThrough(const std::string& schema, std::int64_t id);

    // Every clock the store knows, in the order they were first seen.
    std::vector<ClockSummary> Clocks();
    // Keeps, in one transaction, how this run went with each clock, for
    // the health rows a push sends: the clock last collected under the
    // name (else under its spelling, bus and address, as when its device
    // went away). A clock the store does not know yet is left out.
    void NoteOutcomes(const std::vector<ClockOutcome>& outcomes);
    // The ports as its records and clocks were named, sorted; and whether a
    // Selection's `port` names one of them or the device behind one.
    std::vector<std::string> Ports();
    bool KnowsPort(const std::string& port);

    // Whether the store's records carry checksums (every store made since
    // they do, and every store AddChecksums upgraded).
    bool RecordsChecksummed() const { return m_checksummed; }
    // Gives the records of a store made before checksums theirs, in one
    // transaction, after a copy of the store as it was is kept beside it as
    // Punches.db.v2 (none when an upgrade of its schema kept one as it
    // opened). For Collect. Returns whether it did.
    bool AddChecksums();

    // SQLite's full integrity check, then every record against its
    // checksum: nothing when the store is sound, else what was found, one
    // problem a line (at most 100, and how many more records failed).
    std::vector<std::string> IntegrityProblems();
    // Seconds `sql` takes to run through all its rows (for benchmarks).
    double TimeQuery(const std::string& sql);
    // A consistent copy of the store in `path` (which must not exist),
    // through SQLite's online backup, while a run commits if need be.
    void BackUp(const std::string& path);

private:
    void Open(Access access, int busyMs);
    void Upgrade();
    // Whether the store holds the table `name`: one a later version adds
    // when first needed, which earlier programs leave alone.
    bool HasTable(const char* name);
    // The ids of the records whose checksum does not match their values, in
    // order, at most `limit` of them (-1: all).
    std::vector<std::int64_t> RecordsFailingChecksums(std::int64_t limit);
    // The store's identity, made once, with the store or its upgrade.
    void AddIdentity();
    // Keeps the store as it is beside it, as Punches.db`suffix`, before
    // changing it (`before` says how, for the failure's message).
    void KeepCopy(const std::string& suffix, const std::string& before);
    // Adds the home and the start of the own records to a store made
    // without them, gives a store without a home the place it is opened in
    // (for collection only), and reads both.
    void OpenHome(Access access);
    void Execute(const char* sql);
    // Runs `write` as one transaction: one commit (one sync of the log)
    // instead of one a statement, and nothing of it kept when it fails.
    void Atomically(const std::function<void()>& write);
    // The statements of NameClock, inside a transaction of the caller's.
    void WriteClockName(const ClockName& name, std::int64_t clockId);
    [[noreturn]] void Fail(const std::string& doing);
    KnownClock ReadClock(std::int64_t clockId);
    // The clock table's columns as ClockOf reads them.
    std::string ClockColumns() const;

    std::string m_path;
    std::string m_identity;
    std::string m_siteName;
    // The column that remembers a clock's layout, or NULL in a store that a
    // reader opens before any collection added it.
    std::string m_layoutColumn = "layout";
    StoreHome m_home;
    std::int64_t m_ownRecordsAfter = 0;
    bool m_checksummed = false;  // the record rows have the column checksum
    bool m_copyKept = false;     // an upgrade kept a copy of the store as it opened
    sqlite3* m_db = nullptr;
};

}  // namespace collect
