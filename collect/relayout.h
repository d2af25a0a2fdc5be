// Putting right what was collected in the wrong record layout.
//
// A clock's layout is remembered from its first collection (StoreWriter
// proves it on the first records). Where it was wrong all the same (a
// store of an earlier version, or a clock set to the other layout on
// purpose), Relayout decodes the raw records of the clock's current life
// again in the layout given, in one transaction: each record's line and its
// flag (a date that does not decode is flagged, as a collection stores it),
// the clock's remembered layout, and a row in the store's log of such
// corrections (layout_change). Published files stay as they were: an
// importer takes the corrected lines with export --layout, and the central
// database takes them with push's correction (centraldb.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "punchstore.h"

namespace collect {

struct RelayoutResult {
    std::vector<std::int64_t> clockIds;  // the clocks changed
    std::int64_t records = 0;            // their records decoded again
    std::int64_t good = 0;               // of which decode now
};

// Decodes again the records of every clock the selection names (its port
// as collected and its number), in the Vireo layout (`vireo`) or the
// standard one. Raises StoreError; a selection that names no clock the
// store knows changes nothing and returns no clock.
RelayoutResult Relayout(PunchStore& store, const Selection& selection, bool vireo);

}  // namespace collect
