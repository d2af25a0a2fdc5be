#include "storewriter.h"

#include "clocklink/clocklink.h"

namespace collect {

StoreWriter::StoreWriter(PunchStore& store, Publisher& publisher, std::int64_t runId)
    : m_store(store), m_publisher(publisher), m_runId(runId)
{
}

void StoreWriter::BeginClock(std::int64_t clockId, std::int64_t firstSerial, std::int32_t ari,
                             std::string name)
{
    m_current = {clockId, {firstSerial, ari}, {}, {}};
    m_firstSerial = firstSerial;
    m_name = std::move(name);
    m_records = m_flagged = 0;
}

void StoreWriter::SavePosition() { m_clocks[m_current.clockId] = m_current; }

void StoreWriter::Good(std::int64_t pass, const std::string& payload, const std::string& line)
{
    Add(pass, false, payload, line);
}

void StoreWriter::Flagged(std::int64_t pass, const std::string& reply) { Add(pass, true, reply, reply); }

void StoreWriter::Undecodable(std::int64_t pass, const std::string& payload, const std::string& why)
{
    const std::int64_t position = (m_firstSerial + pass) % kRingSize;
    Add(pass, true, payload,
        m_name + ", position " + std::to_string(position) + ": the date does not decode (" + why +
            "): " + payload);
}

void StoreWriter::ClockDate(bool solar, const std::string& dateText)
{
    m_current.calendar = solar ? "solar" : "gregorian";
    m_current.clockDate = dateText;
}

void StoreWriter::Add(std::int64_t pass, bool flagged, const std::string& raw, std::string line)
{
    const std::int64_t serial = m_firstSerial + pass;
    m_pending.push_back({m_current.clockId, serial, flagged, raw, std::move(line)});
    m_current.position.nextSerial = serial + 1;
    SavePosition();
    ++m_records;
    m_flagged += flagged ? 1 : 0;
    if (std::chrono::steady_clock::now() - m_lastCommit >= kCommitInterval) Commit();
}

void StoreWriter::Commit()
{
    m_lastCommit = std::chrono::steady_clock::now();
    std::vector<NewRecord> records;
    records.swap(m_pending);
    std::vector<PunchStore::ClockUpdate> clocks;
    for (const auto& [id, update] : m_clocks) clocks.push_back(update);
    m_clocks.clear();
    if (const std::optional<Batch> batch = m_store.Commit(m_runId, records, clocks))
        m_publisher.Publish(*batch);
}

}  // namespace collect
