// The records of a "download --new" run on their way into the punch store.
//
// The download hands each record to the writer (it is the download's
// RecordSink); the writer keeps them in memory with the position they move
// their clock to and the clock's fingerprint, and commits them together
// with those at least once a second. Committed records are published to
// the importer when their clock is done (one pair of files a clock and
// run), or, in a long run, every 10 minutes or 50,000 records. A kill
// loses at most what was not committed yet, and the next run reads those
// records again from the saved position.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/download.h"
#include "publisher.h"
#include "punchstore.h"

namespace collect {

// A clock's records refused before any of them is stored: they are clearly
// implausible in the layout the run was given and plausible in the other.
class WrongLayout : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether `payload` has a plausible date and time in the Vireo layout
// (`vireo`) or the standard one.
bool PlausibleIn(bool vireo, const std::string& payload);

class StoreWriter : public RecordSink {
public:
    // How often records are committed while they arrive, and how long
    // committed records may wait for their file in a long run.
    static constexpr std::chrono::milliseconds kCommitInterval{1000};
    static constexpr std::chrono::minutes kPublishInterval{10};

    // How many of a clock's first records decide whether the layout the
    // run was given fits a clock whose layout the store does not know yet.
    static constexpr std::int64_t kRecordsJudged = 20;

    // `vireo`: the layout the run decodes with. A clock read in it for the
    // first time keeps it (KnownClock::layout) once its first records
    // prove it plausible; until then they are held back, and a clock whose
    // records fit the other layout instead stores none (WrongLayout).
    StoreWriter(PunchStore& store, Publisher& publisher, std::int64_t runId, bool vireo = false);

    // The clock about to be read, as identified (a new life it begins is
    // stored with its first commit): the serial of the first record of the
    // range and the read index the plan was made with. `name` (port, bus
    // and clock) names the clock, with the ring position, in the published
    // lines of flagged records and of those whose date does not decode;
    // `port` is the name it is read under.
    void BeginClock(const KnownClock& clock, std::int64_t firstSerial, std::int32_t ari, std::string name,
                    std::string port);
    // No clock: the counts below start again at 0.
    void EndClock()
    {
        m_current = {};
        m_records = m_flagged = 0;
    }
    // From now on a good record the store holds with the same bytes one
    // lap before (the writer passed its position before the reader reached
    // it) is not stored again; its position still counts. A flagged answer
    // equal to the one stored is stored again: equal "???" answers do not
    // make one record.
    void SkipRecordsStoredALapBefore() { m_skipStoredLapBefore = true; }
    // Moves the current clock's saved position without records: to the
    // range's start (nothing new, a new origin), with the plan's read index.
    void SavePosition();

    void Good(std::int64_t pass, const std::string& payload, const std::string& line) override;
    void Flagged(std::int64_t pass, const std::string& reply) override;
    void Undecodable(std::int64_t pass, const std::string& payload, const std::string& why) override;
    void ClockDate(bool solar, const std::string& dateText) override;

    // Commits whatever is pending and publishes every record committed so
    // far. Raises StoreError or EInOutError; the pending records are then
    // given up, to be read again.
    void Commit();

    // Records and flagged ones of the current clock stored so far,
    // committed or not.
    std::int64_t Records() const { return m_records; }
    std::int64_t FlaggedRecords() const { return m_flagged; }
    // Whether the store was found damaged: nothing more is written to it.
    bool Damaged() const { return m_damaged; }
    // Whether the current clock's records were refused for their layout.
    bool LayoutRefused() const { return m_layoutRefused; }

private:
    // The clock's name and the ring position of the range's record `pass`.
    std::string Where(std::int64_t pass) const;
    // `identifies`: the clock's own bytes, not a "???" answer, so the
    // record may be a fingerprint and be known again by its bytes.
    void Add(std::int64_t pass, bool flagged, bool identifies, const std::string& raw, std::string line);
    void CommitPending();
    // Ends the judgement of the current clock's layout: keeps the layout,
    // or drops its records and raises WrongLayout.
    void Verdict();
    void PublishCommitted();

    PunchStore& m_store;
    Publisher& m_publisher;
    std::int64_t m_runId;
    std::vector<NewRecord> m_pending;
    std::map<std::int64_t, PunchStore::ClockUpdate> m_clocks;  // by clock id, not committed yet
    std::map<std::int64_t, std::vector<Mark>> m_marks;         // by clock id: its fingerprint now
    std::map<std::int64_t, int> m_livesBegun;                  // by clock id: the life this run committed
    PunchStore::ClockUpdate m_current;
    std::int64_t m_firstSerial = 0;
    std::string m_name;
    bool m_skipStoredLapBefore = false;
    bool m_vireo = false;
    bool m_judging = false, m_layoutRefused = false;
    std::int64_t m_judged = 0, m_implausible = 0, m_plausibleOther = 0;
    bool m_damaged = false;
    std::int64_t m_records = 0, m_flagged = 0;
    std::vector<Batch> m_unpublished;
    std::int64_t m_unpublishedRecords = 0;
    std::chrono::steady_clock::time_point m_lastCommit = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_firstUnpublished;
};

// A folder's punch store opened for a run of its own, with its publisher
// and writer, and what opening it found to tell the operator.
struct CollectingStore {
    std::unique_ptr<PunchStore> store;
    std::unique_ptr<Publisher> publisher;
    std::unique_ptr<StoreWriter> writer;
    std::int64_t runId = 0;
    std::vector<std::string> notices;
};

// Opens the punch store of `folder`, whose lock the caller holds, for a run
// of `program`: a store whose making was cut short is made anew, one made
// before records had checksums gets them (its copy kept beside it),
// `siteName` (unless empty) names the site, what an earlier run committed
// and never published is published, and the run is begun.
CollectingStore OpenStoreToCollect(const std::string& folder, const std::string& siteName, bool vireo,
                                   const std::string& program);

}  // namespace collect
