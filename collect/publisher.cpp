#include "publisher.h"

#include <cstdio>

#include "durablefile.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

std::string RangeName(const char* prefix, const Batch& batch)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s-%010lld-%010lld.Txt", prefix,
                  static_cast<long long>(batch.firstRecord), static_cast<long long>(batch.lastRecord));
    return name;
}

// A name beside the final one that an importer looking for Dump-*.Txt or
// BadRecs-*.Txt does not take.
std::string TemporaryName(const std::string& name) { return "." + name + ".part"; }

}  // namespace

std::string DumpFileName(const Batch& batch) { return RangeName("Dump", batch); }
std::string BadRecordsFileName(const Batch& batch) { return RangeName("BadRecs", batch); }

Publisher::Publisher(PunchStore& store, std::string folder) : m_store(store), m_folder(std::move(folder)) {}

std::string Publisher::PathOf(const std::string& name) const
{
    return Utf8FromPath(PathFromUtf8(m_folder) / PathFromUtf8(name));
}

int Publisher::Recover()
{
    int finished = 0;
    for (const Batch& batch : m_store.UnpublishedBatches()) {
        Publish(batch);
        ++finished;
    }
    return finished;
}

void Publisher::Publish(Batch batch)
{
    std::vector<std::string> names{DumpFileName(batch)};
    if (batch.flagged > 0) names.push_back(BadRecordsFileName(batch));
    // A batch of flagged records only has no Dump file.
    if (batch.flagged == batch.lastRecord - batch.firstRecord + 1) names.erase(names.begin());

    if (batch.state == Batch::Committed) {
        std::string dump, badRecords;
        m_store.ForEachLine(batch, [&](bool flagged, const std::string& line) {
            std::string& text = flagged ? badRecords : dump;
            text += line;
            text += "\r\n";
        });
        for (const std::string& name : names)
            WriteFileDurably(PathOf(TemporaryName(name)), name.rfind("Dump", 0) == 0 ? dump : badRecords);
        SyncFolder(m_folder);
        m_store.SetBatchState(batch.id, Batch::Written);
        batch.state = Batch::Written;
    }
    if (batch.state == Batch::Written) {
        bool renamed = false;
        for (const std::string& name : names)
            renamed |= RenameFile(PathOf(TemporaryName(name)), PathOf(name));
        if (renamed) SyncFolder(m_folder);
        m_store.SetBatchState(batch.id, Batch::Published);
    }
}

}  // namespace collect
