#include "storewriter.h"

#include "clocklink/clocklink.h"

namespace collect {

StoreWriter::StoreWriter(PunchStore& store, Publisher& publisher, std::int64_t runId)
    : m_store(store), m_publisher(publisher), m_runId(runId)
{
}

void StoreWriter::BeginClock(std::int64_t clockId, std::int64_t firstSerial, std::int32_t ari,
                             std::string name, std::string port)
{
    m_current = {clockId, {firstSerial, ari}, {}, {}, std::move(port), {}};
    m_firstSerial = firstSerial;
    m_name = std::move(name);
    m_skipStoredLapBefore = false;
    m_records = m_flagged = 0;
}

void StoreWriter::SavePosition() { m_clocks[m_current.clockId] = m_current; }

void StoreWriter::Good(std::int64_t pass, const std::string& payload, const std::string& line)
{
    Add(pass, false, payload, line);
}

// A published flagged record says where it came from: an importer's file
// may be read far from the store, and a raw answer names no clock.
void StoreWriter::Flagged(std::int64_t pass, const std::string& reply)
{
    Add(pass, true, reply, Where(pass) + ": " + reply);
}

void StoreWriter::Undecodable(std::int64_t pass, const std::string& payload, const std::string& why)
{
    Add(pass, true, payload, Where(pass) + ": the date does not decode (" + why + "): " + payload);
}

std::string StoreWriter::Where(std::int64_t pass) const
{
    return m_name + ", position " + std::to_string((m_firstSerial + pass) % kRingSize);
}

void StoreWriter::ClockDate(bool solar, const std::string& dateText)
{
    m_current.calendar = solar ? "solar" : "gregorian";
    m_current.clockDate = dateText;
}

void StoreWriter::Add(std::int64_t pass, bool flagged, const std::string& raw, std::string line)
{
    const std::int64_t serial = m_firstSerial + pass;
    // The fingerprint: what the clock holds at its last two positions read.
    m_current.marks.insert(m_current.marks.begin(), Mark{serial, raw});
    if (m_current.marks.size() > 2) m_current.marks.pop_back();
    m_current.position.nextSerial = serial + 1;
    SavePosition();
    if (m_skipStoredLapBefore && m_store.RawAt(m_current.clockId, serial - kRingSize) == raw) return;
    ++m_records;
    m_flagged += flagged ? 1 : 0;
    m_pending.push_back({m_current.clockId, serial, flagged, raw, std::move(line)});
    if (std::chrono::steady_clock::now() - m_lastCommit >= kCommitInterval) {
        CommitPending();
        if (m_unpublishedRecords >= kRecordsPerFile ||
            (!m_unpublished.empty() &&
             std::chrono::steady_clock::now() - m_firstUnpublished >= kPublishInterval))
            PublishCommitted();
    }
}

void StoreWriter::CommitPending()
{
    if (m_damaged)
        throw StoreError(StoreError::Damaged,
                         m_store.Path() + ": the punch store is damaged; nothing more is written to it");
    m_lastCommit = std::chrono::steady_clock::now();
    std::vector<NewRecord> records;
    records.swap(m_pending);
    std::vector<PunchStore::ClockUpdate> clocks;
    for (const auto& [id, update] : m_clocks) clocks.push_back(update);
    m_clocks.clear();
    std::optional<Batch> batch;
    try {
        batch = m_store.Commit(m_runId, records, clocks);
    } catch (const StoreError& error) {
        m_damaged = error.kind() == StoreError::Damaged || error.kind() == StoreError::NotAStore;
        throw;
    }
    if (batch) {
        if (m_unpublished.empty()) m_firstUnpublished = std::chrono::steady_clock::now();
        m_unpublished.push_back(*batch);
        m_unpublishedRecords += batch->lastRecord - batch->firstRecord + 1;
    }
}

void StoreWriter::PublishCommitted()
{
    // Nothing is published from a damaged store.
    if (m_damaged) return;
    std::vector<Batch> batches;
    batches.swap(m_unpublished);
    m_unpublishedRecords = 0;
    try {
        m_publisher.Publish(std::move(batches));
    } catch (const StoreError& error) {
        m_damaged = error.kind() == StoreError::Damaged || error.kind() == StoreError::NotAStore;
        throw;
    }
}

void StoreWriter::Commit()
{
    CommitPending();
    PublishCommitted();
}

}  // namespace collect
