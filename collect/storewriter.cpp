#include "storewriter.h"

#include <algorithm>

#include "clocklink/clocklink.h"
#include "utils/text.h"
#include "utils/utf8path.h"

namespace collect {

namespace {

const char* LayoutName(bool vireo) { return vireo ? "vireo" : "standard"; }

}  // namespace

bool PlausibleIn(bool vireo, const std::string& payload)
{
    // Only the fields' ranges matter here, not the year a date falls in.
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1405/01/01";
    try {
        DecodeRecord("1", "1", vireo, run, payload);
    } catch (const std::exception&) {
        return false;
    }
    return IsPlausibleRecord(run.Data);
}

StoreWriter::StoreWriter(PunchStore& store, Publisher& publisher, std::int64_t runId, bool vireo)
    : m_store(store), m_publisher(publisher), m_runId(runId), m_vireo(vireo)
{
}

void StoreWriter::BeginClock(const KnownClock& clock, std::int64_t firstSerial, std::int32_t ari,
                             std::string name, std::string port)
{
    m_current = {clock.id, {firstSerial, ari}, {}, {}, std::move(port), clock.marks};
    // Begun again in this run (the positions the writer passed while a
    // whole ring was read): the fingerprint and life as this run left them.
    const auto begun = m_livesBegun.find(clock.id);
    if (clock.lifeBegins && (begun == m_livesBegun.end() || begun->second != clock.life)) {
        m_current.beginsLife = clock.life;
        m_current.lifeBase = clock.lifeBase;
        m_marks.erase(clock.id);
    } else if (const auto marks = m_marks.find(clock.id); marks != m_marks.end()) {
        m_current.marks = marks->second;
    }
    // A clock whose layout is not known yet is judged on its first records.
    m_judging = clock.layout.empty();
    m_layoutRefused = false;
    m_judged = m_implausible = m_plausibleOther = 0;
    m_firstSerial = firstSerial;
    m_name = std::move(name);
    m_skipStoredLapBefore = false;
    m_records = m_flagged = 0;
}

void StoreWriter::SavePosition() { m_clocks[m_current.clockId] = m_current; }

void StoreWriter::Good(std::int64_t pass, const std::string& payload, const std::string& line)
{
    Add(pass, false, true, payload, line);
}

// A published flagged record says where it came from: an importer's file
// may be read far from the store, and a raw answer names no clock.
void StoreWriter::Flagged(std::int64_t pass, const std::string& reply)
{
    Add(pass, true, false, reply, Where(pass) + ": " + reply);
}

void StoreWriter::Undecodable(std::int64_t pass, const std::string& payload, const std::string& why)
{
    Add(pass, true, true, payload, Where(pass) + ": the date does not decode (" + why + "): " + payload);
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

void StoreWriter::Add(std::int64_t pass, bool flagged, bool identifies, const std::string& raw,
                      std::string line)
{
    const std::int64_t serial = m_firstSerial + pass;
    // The fingerprint: what the clock holds at the last two positions read
    // that it answered with its own bytes.
    if (identifies) {
        m_current.marks.insert(m_current.marks.begin(), Mark{serial, raw});
        if (m_current.marks.size() > 2) m_current.marks.pop_back();
        m_marks[m_current.clockId] = m_current.marks;
    }
    m_current.position.nextSerial = serial + 1;
    SavePosition();
    if (identifies && m_skipStoredLapBefore && m_store.RawAt(m_current.clockId, serial - kRingSize) == raw)
        return;
    ++m_records;
    m_flagged += flagged ? 1 : 0;
    m_pending.push_back({m_current.clockId, serial, flagged, raw, std::move(line)});
    if (m_judging) {
        if (identifies) {
            ++m_judged;
            if (!PlausibleIn(m_vireo, raw)) ++m_implausible;
            if (PlausibleIn(!m_vireo, raw)) ++m_plausibleOther;
        }
        // Nothing of the clock is committed before the verdict.
        if (m_judged < kRecordsJudged) return;
        Verdict();
    }
    if (std::chrono::steady_clock::now() - m_lastCommit >= kCommitInterval) {
        CommitPending();
        if (m_unpublishedRecords >= kRecordsPerFile ||
            (!m_unpublished.empty() &&
             std::chrono::steady_clock::now() - m_firstUnpublished >= kPublishInterval))
            PublishCommitted();
    }
}

void StoreWriter::Verdict()
{
    if (!m_judging) return;
    m_judging = false;
    if (m_judged == 0) return;  // only flagged answers: nothing to judge by yet
    // Most records implausible in the layout given, and most plausible in
    // the other: the run's setting is wrong for this clock.
    if (m_implausible * 2 > m_judged && m_plausibleOther * 2 > m_judged) {
        m_layoutRefused = true;
        std::erase_if(m_pending, [&](const NewRecord& r) { return r.clockId == m_current.clockId; });
        m_clocks.erase(m_current.clockId);
        m_marks.erase(m_current.clockId);
        m_records = m_flagged = 0;
        throw WrongLayout(std::to_string(m_implausible) + " of the first " + std::to_string(m_judged) +
                          " records have no plausible date and time in the " + LayoutName(m_vireo) +
                          " layout, and " + std::to_string(m_plausibleOther) + " have one in the " +
                          LayoutName(!m_vireo) + " layout; nothing of this clock was stored");
    }
    m_current.layout = LayoutName(m_vireo);
    SavePosition();
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
    // A life once stored is begun by no later commit.
    for (const PunchStore::ClockUpdate& update : clocks) {
        if (update.beginsLife == 0) continue;
        m_livesBegun[update.clockId] = update.beginsLife;
        if (m_current.clockId == update.clockId) m_current.beginsLife = 0;
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
    Verdict();
    CommitPending();
    PublishCommitted();
}

CollectingStore OpenStoreToCollect(const std::string& folder, const std::string& siteName, bool vireo,
                                   const std::string& program)
{
    CollectingStore opened;
    const std::string path = Utf8FromPath(PathFromUtf8(folder) / kStoreFileName);
    if (CheckStoreBeforeCollecting(folder))
        opened.notices.push_back(
            path + ": the punch store an earlier run began to make was never finished; it is made anew");
    opened.store = std::make_unique<PunchStore>(path, PunchStore::Access::Collect);
    if (opened.store->AddChecksums())
        opened.notices.push_back(
            path +
            ": every record of the punch store now carries a checksum that each read checks;"
            " the store as it was is kept beside it as " +
            std::string(kStoreFileName) + ".v2");
    if (!siteName.empty()) opened.store->NameSite(siteName);
    opened.publisher = std::make_unique<Publisher>(*opened.store, folder);
    if (const int files = opened.publisher->Recover(); files > 0)
        opened.notices.push_back("published " + CountOf(files, "file") +
                                 " of records an earlier run had not published yet");
    opened.runId = opened.store->StartRun(vireo ? "vireo" : "standard", program);
    opened.writer = std::make_unique<StoreWriter>(*opened.store, *opened.publisher, opened.runId, vireo);
    return opened;
}

}  // namespace collect
