// Reading the punch store again: stored records as dump lines or CSV, for an
// audit or a payroll query. Export only reads; what was published stays as it
// was, and it works while a collection commits.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "punchstore.h"

namespace collect {

// A record's date, read back from its dump line with the century and the
// calendar of its clock.
struct RecordDate {
    std::string solar;  // yyyy/mm/dd
    std::string iso;    // yyyy-mm-dd, Gregorian
};

// The fields of a good record's dump line.
struct DumpFields {
    std::string card, time, month, day, year2, type;
};
// Nothing when the line is not a dump line.
std::optional<DumpFields> ParseDumpLine(const std::string& line);

// The record's full date: its two-digit year gets the century that puts it
// at or before its clock's date when collected. Nothing for a flagged record
// or one whose date is no date.
std::optional<RecordDate> DateOf(const StoredRecord& record);

struct ExportRequest {
    Selection selection;
    // Solar Hijri yymmdd: records from `from` up to, not including, `to`.
    std::string from, to;
    bool csv = false;
};

// Writes the records the request takes to `out`: for dump, the lines of the
// good ones as Dump-*.Txt has them (CR LF); for CSV a header and one row a
// record, flagged ones included. Returns the number of records written.
std::int64_t ExportRecords(PunchStore& store, const ExportRequest& request, std::FILE* out);

}  // namespace collect
