// The payroll's exports from the central database: the records of every
// branch, or of one site, read from the views clockreader.punches and
// clockreader.daily and written as the punch store's export writes them
// (dump lines, CSV, the daily CSV, the workbook), each row with its site.
//
// It only reads, in one read-only transaction, so the records and the
// daily summary of a workbook are of the same moment: a role that may
// SELECT from the two views is enough. Rows are streamed from the server
// one at a time, so the whole central table never sits in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "export.h"

namespace collect {

struct CentralRequest {
    std::string connection;  // libpq URI or key=value text
    std::string site;        // the site's name; empty: every site
    // Solar Hijri yyyy/mm/dd (ResolveExportDates): records from `from` up
    // to, not including, `to`; an empty end is open.
    std::string from, to;
    ExportFormat format = ExportFormat::Csv;
    int answerSeconds = 120;  // for each answer of the server
};

// Writes the rows the request takes to `out` (not for the workbook): dump
// lines of the good records; CSV with the site first; daily rows. Returns
// the records written (for daily: summed). Raises CentralError: BadAddress
// for a connection text that does not read, Refused for a site the
// database does not know (its sites named), Failed when the server cannot
// be reached, refuses the role or fails; the password never shown.
std::int64_t ExportCentralRecords(const CentralRequest& request, std::FILE* out);

// The same as a workbook at `path` (WorkbookWriter): the sheet "daily",
// then one a clock, named by its site (when every site is read), port and
// number. Also raises std::runtime_error when the file cannot be written.
std::int64_t ExportCentralWorkbook(const CentralRequest& request, const std::string& path);

}  // namespace collect
