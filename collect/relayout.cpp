#include "relayout.h"

#include <map>

#include "export.h"

namespace collect {

RelayoutResult Relayout(PunchStore& store, const Selection& selection, bool vireo)
{
    // Each selected clock's current life begins at its life's base serial.
    std::map<std::int64_t, std::int64_t> lifeBase;
    for (const ClockSummary& summary : store.Clocks()) lifeBase[summary.clock.id] = summary.clock.lifeBase;
    ExportRequest request;
    request.selection = selection;
    request.vireo = vireo;
    std::map<std::int64_t, bool> seen;
    std::vector<PunchStore::Redecoded> records;
    RelayoutResult result;
    store.ForEachRecord(selection, [&](const StoredRecord& record) {
        seen[record.clockId] = true;
        if (record.serial < lifeBase[record.clockId]) return;
        const StoredRecord decoded = AsRequested(record, request);
        records.push_back({decoded.id, decoded.flagged, decoded.line});
        result.good += decoded.flagged ? 0 : 1;
    });
    for (const auto& [clockId, found] : seen) result.clockIds.push_back(clockId);
    result.records = static_cast<std::int64_t>(records.size());
    if (!result.clockIds.empty()) store.Redecode(result.clockIds, vireo ? "vireo" : "standard", records);
    return result;
}

}  // namespace collect
