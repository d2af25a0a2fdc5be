// The records of a "download --new" run on their way into the punch store.
//
// The download hands each record to the writer (it is the download's
// RecordSink); the writer keeps them in memory with the position they move
// their clock to, and commits them together with those positions at least
// once a second and when asked at the end, each commit followed by its
// publication to the importer. A kill loses at most what was not committed
// yet, and the next run reads those records again from the saved position.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "download/download.h"
#include "publisher.h"
#include "punchstore.h"

namespace collect {

class StoreWriter : public RecordSink {
public:
    // How often records are committed while they arrive.
    static constexpr std::chrono::milliseconds kCommitInterval{1000};

    StoreWriter(PunchStore& store, Publisher& publisher, std::int64_t runId);

    // The clock about to be read: the serial of the first record of the
    // range and the read index the plan was made with. `name` names the
    // clock in the lines of records whose date does not decode.
    void BeginClock(std::int64_t clockId, std::int64_t firstSerial, std::int32_t ari, std::string name);
    // Moves the current clock's saved position without records: to the
    // range's start (nothing new, a new origin), with the plan's read index.
    void SavePosition();

    void Good(std::int64_t pass, const std::string& payload, const std::string& line) override;
    void Flagged(std::int64_t pass, const std::string& reply) override;
    void Undecodable(std::int64_t pass, const std::string& payload, const std::string& why) override;
    void ClockDate(bool solar, const std::string& dateText) override;

    // Commits and publishes whatever is pending. Raises StoreError or
    // EInOutError; the pending records are then given up, to be read again.
    void Commit();

    // Records and flagged ones of the current clock so far, committed or not.
    std::int64_t Records() const { return m_records; }
    std::int64_t FlaggedRecords() const { return m_flagged; }

private:
    void Add(std::int64_t pass, bool flagged, const std::string& raw, std::string line);

    PunchStore& m_store;
    Publisher& m_publisher;
    std::int64_t m_runId;
    std::vector<NewRecord> m_pending;
    std::map<std::int64_t, PunchStore::ClockUpdate> m_clocks;  // by clock id, not committed yet
    PunchStore::ClockUpdate m_current;
    std::int64_t m_firstSerial = 0;
    std::string m_name;
    std::int64_t m_records = 0, m_flagged = 0;
    std::chrono::steady_clock::time_point m_lastCommit = std::chrono::steady_clock::now();
};

}  // namespace collect
