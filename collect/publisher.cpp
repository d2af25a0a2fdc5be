#include "publisher.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "durablefile.h"
#include "utils/errors.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// A name beside the final one that an importer looking for Dump-*.Txt or
// BadRecs-*.Txt does not take.
std::string TemporaryName(const std::string& name) { return "." + name + ".part"; }

// What Punches.published says: "<identity> <highest> <through>". The
// highest id published refuses a store that no longer holds it. Through:
// every record up to this id was published. Publications of a site's lines
// overlap, and one that failed leaves its batch behind while later ones go
// out, so the highest id alone does not tell that a batch below it went
// out. A mark written before it was kept has no `through`.
struct PublishedMark {
    std::string identity;
    std::int64_t highest = 0;
    std::optional<std::int64_t> through;
};

std::optional<PublishedMark> ReadMark(const std::string& path)
{
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) return std::nullopt;
    PublishedMark mark;
    in >> mark.identity >> mark.highest;
    if (!in || mark.identity.empty()) return std::nullopt;
    // Past the highest id published it would be wrong: it is not believed.
    if (std::int64_t through = 0; in >> through && through >= 0 && through <= mark.highest)
        mark.through = through;
    return mark;
}

}  // namespace

std::string FileStem(const std::string& storeIdentity, std::int64_t firstRecord, std::int64_t lastRecord)
{
    char range[48];
    std::snprintf(range, sizeof range, "%010lld-%010lld", static_cast<long long>(firstRecord),
                  static_cast<long long>(lastRecord));
    return storeIdentity.substr(0, 8) + "-" + range;
}

std::string DumpFileName(const std::string& fileStem) { return "Dump-" + fileStem + ".Txt"; }
std::string BadRecordsFileName(const std::string& fileStem) { return "BadRecs-" + fileStem + ".Txt"; }

std::string FolderProblem(const std::string& folder, PunchStore* store)
{
    const std::string markPath = Utf8FromPath(PathFromUtf8(folder) / kPublishedMarkName);
    const std::optional<PublishedMark> mark = ReadMark(markPath);
    if (!mark) return "";
    const std::string remedy = "; collecting into it would publish again what was published. Put back " +
                               std::string(kStoreFileName) + " as it was, or remove " + markPath +
                               " to collect anyway";
    if (!store)
        return "the punch store that published records up to id " + std::to_string(mark->highest) +
               " in this folder is missing" + remedy;
    if (mark->identity != store->Identity())
        return store->Path() + " is not the punch store that published in this folder (that was " +
               mark->identity.substr(0, 8) + ", this is " + store->ShortIdentity() + ")" + remedy;
    if (const std::int64_t last = store->LastRecordId(); last < mark->highest)
        return store->Path() + " holds records up to id " + std::to_string(last) + ", but records up to id " +
               std::to_string(mark->highest) + " were published from it: it was put back from an older copy" +
               remedy;
    return "";
}

bool CheckStoreBeforeCollecting(const std::string& folder)
{
    const std::string store = Utf8FromPath(PathFromUtf8(folder) / kStoreFileName);
    std::error_code missing;
    if (!std::filesystem::exists(PathFromUtf8(store), missing)) {
        if (const std::string problem = FolderProblem(folder, nullptr); !problem.empty())
            throw StoreError(StoreError::NotAStore, store + ": " + problem);
        return false;
    }
    if (PunchStore::Unmade(store) && FolderProblem(folder, nullptr).empty()) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(PathFromUtf8(store + suffix));
        return true;
    }
    PunchStore found(store, PunchStore::Access::Inspect);
    if (const std::string problem = FolderProblem(folder, &found); !problem.empty())
        throw StoreError(StoreError::NotAStore, problem);
    return false;
}

void FollowNewIdentity(const std::string& folder, const std::string& previous, const std::string& identity)
{
    const std::string path = Utf8FromPath(PathFromUtf8(folder) / kPublishedMarkName);
    if (const std::optional<PublishedMark> mark = ReadMark(path); mark && mark->identity == previous)
        ReplaceFileDurably(path, identity + " " + std::to_string(mark->highest) + "\n");
}

Publisher::Publisher(PunchStore& store, std::string folder)
    : m_store(store), m_folder(std::move(folder)), m_offAfter(store.PublicationOffAfter())
{
}

void Publisher::LeaveOutWhileOff(std::vector<Batch>& batches) const
{
    if (m_offAfter)
        std::erase_if(batches, [&](const Batch& batch) { return batch.firstRecord > *m_offAfter; });
}

std::string Publisher::PathOf(const std::string& name) const
{
    return Utf8FromPath(PathFromUtf8(m_folder) / PathFromUtf8(name));
}

int Publisher::Recover()
{
    std::vector<Batch> batches = m_store.UnpublishedBatches();
    LeaveOutWhileOff(batches);
    // A store put back from a copy made before its batches were published
    // still holds them as unpublished; they went out already, and would go
    // out again under their old names. Those the folder's mark says were
    // published are marked so, and nothing is written for them.
    const std::optional<PublishedMark> mark = ReadMark(PathOf(kPublishedMarkName));
    if (mark && mark->identity == m_store.Identity() && mark->through) {
        const std::int64_t through = *mark->through;
        std::vector<std::int64_t> sent;
        for (const Batch& batch : batches) {
            // Batches go out whole, and the mark only ever ends with one,
            // so a batch across it is not one this folder's publications
            // saw: the store is not the one they came from. Part of its
            // records went out and part did not, and neither can be told
            // apart by its files, which the importer may have taken. The
            // store is refused before anything changes: publishing the part
            // above the mark would trust a mark that does not fit the store.
            if (batch.firstRecord <= through && batch.lastRecord > through)
                throw StoreError(StoreError::NotAStore,
                                 m_store.Path() + ": records " + std::to_string(batch.firstRecord) + " to " +
                                     std::to_string(batch.lastRecord) +
                                     " were committed together, but only those up to id " +
                                     std::to_string(through) + " were published in " + m_folder +
                                     ": the store does not fit what was published from it");
            if (batch.lastRecord <= through) sent.push_back(batch.id);
        }
        if (!sent.empty()) {
            m_store.SetBatchState(sent, Batch::Published);
            std::erase_if(batches, [&](const Batch& batch) { return batch.lastRecord <= through; });
        }
    }
    int files = 0;
    for (std::size_t i = 0; i < batches.size();) {
        // Written batches go out under the names they were written with;
        // committed ones are gathered as a run would.
        std::size_t end = i + 1;
        std::int64_t records = batches[i].lastRecord - batches[i].firstRecord + 1;
        while (end < batches.size() && batches[end].state == batches[i].state &&
               (batches[i].state == Batch::Written
                    ? batches[end].fileStem == batches[i].fileStem
                    : records + batches[end].lastRecord - batches[end].firstRecord + 1 <= kRecordsPerFile)) {
            records += batches[end].lastRecord - batches[end].firstRecord + 1;
            ++end;
        }
        Publish({batches.begin() + static_cast<std::ptrdiff_t>(i),
                 batches.begin() + static_cast<std::ptrdiff_t>(end)});
        ++files;
        i = end;
    }
    return files;
}

void Publisher::Publish(std::vector<Batch> batches)
{
    LeaveOutWhileOff(batches);
    if (batches.empty()) return;
    std::int64_t records = 0, flagged = 0;
    std::vector<std::int64_t> ids;
    for (const Batch& batch : batches) {
        records += batch.lastRecord - batch.firstRecord + 1;
        flagged += batch.flagged;
        ids.push_back(batch.id);
    }
    const Batch::State state = batches.front().state;
    const std::string stem =
        state == Batch::Committed
            ? FileStem(m_store.Identity(), batches.front().firstRecord, batches.back().lastRecord)
            : batches.front().fileStem;
    std::vector<std::string> names;
    // Records that are all flagged have no Dump file, none flagged no BadRecs file.
    if (flagged < records) names.push_back(DumpFileName(stem));
    if (flagged > 0) names.push_back(BadRecordsFileName(stem));

    if (state == Batch::Committed) {
        std::string dump, badRecords;
        for (const Batch& batch : batches)
            m_store.ForEachLine(batch, [&](bool isFlagged, const std::string& line) {
                std::string& text = isFlagged ? badRecords : dump;
                text += line;
                text += "\r\n";
            });
        for (const std::string& name : names)
            WriteFileDurably(PathOf(TemporaryName(name)), name.rfind("Dump", 0) == 0 ? dump : badRecords);
        SyncFolder(m_folder);
        m_store.SetBatchState(ids, Batch::Written, stem);
    }
    bool renamed = false;
    for (const std::string& name : names) renamed |= RenameFile(PathOf(TemporaryName(name)), PathOf(name));
    if (renamed) SyncFolder(m_folder);
    m_store.SetBatchState(ids, Batch::Published);
    std::int64_t highest = 0;
    for (const Batch& batch : batches) highest = std::max(highest, batch.lastRecord);
    NotePublished(highest);
}

void Publisher::NotePublished(std::int64_t recordId)
{
    // The lines of a site publish from threads of their own.
    static std::mutex oneAtATime;
    const std::lock_guard lock(oneAtATime);
    // Every record up to `through` is published: the last id committed, or
    // the one before the first batch still unpublished. The last id is read
    // first, so a batch another line commits meanwhile lies above it.
    std::int64_t through = m_store.LastRecordId();
    for (const Batch& batch : m_store.UnpublishedBatches())
        through = std::min(through, batch.firstRecord - 1);
    // Another line's batch up to `through` may have gone out while this
    // one waited its turn here: it is published too.
    recordId = std::max(recordId, through);
    const std::string path = PathOf(kPublishedMarkName);
    if (const std::optional<PublishedMark> mark = ReadMark(path);
        mark && mark->identity == m_store.Identity()) {
        if (mark->highest >= recordId && mark->through >= through) return;
        recordId = std::max(recordId, mark->highest);
        through = std::max(through, mark->through.value_or(0));
    }
    ReplaceFileDurably(
        path, m_store.Identity() + " " + std::to_string(recordId) + " " + std::to_string(through) + "\n");
}

}  // namespace collect
