// Reading the punch store again: stored records as dump lines or CSV, for an
// audit or a payroll query. Export only reads; what was published stays as it
// was, and it works while a collection commits.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
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
    std::string port;  // the port number the line carries
};
// Nothing when the line is not a dump line.
std::optional<DumpFields> ParseDumpLine(const std::string& line);

// The record's full date: its two-digit year gets the century that puts it
// at or before its clock's date when collected. Nothing for a flagged record
// or one whose date is no date.
std::optional<RecordDate> DateOf(const StoredRecord& record);

enum class ExportFormat { Dump, Csv, Daily, Workbook };

struct ExportRequest {
    Selection selection;
    // Solar Hijri yyyy/mm/dd (ResolveExportDates): records from `from` up
    // to, not including, `to`; an empty end is open.
    std::string from, to;
    ExportFormat format = ExportFormat::Dump;
    // The layout to decode the raw records with again (true: Vireo);
    // nothing: the lines as stored.
    std::optional<bool> vireo;
};

// The record as the request reads it: as stored, or with the line its raw
// record decodes to in the layout asked for. A record the clock flagged
// stays as it is; one whose date does not decode in that layout is
// flagged, with a line saying so, as a collection stores it.
StoredRecord AsRequested(const StoredRecord& record, const ExportRequest& request);

// Every record the request takes (its selection and date range), as
// AsRequested gives it, with its date, in record id order.
void ForEachRequested(PunchStore& store, const ExportRequest& request,
                      const std::function<void(const StoredRecord&, const std::optional<RecordDate>&)>& take);

// The payroll's summary: a card's first and last punch of a day and its
// number of punches, over every clock of the site. Only good records whose
// date and time read count.
struct DailyRow {
    std::string card;
    std::string day;          // yyyy-mm-dd, Gregorian
    std::string first, last;  // hh:mm
    std::int64_t punches = 0;
};
class DailySummary {
public:
    void Add(const StoredRecord& record, const std::optional<RecordDate>& date);
    // By card, then day.
    const std::map<std::pair<std::string, std::string>, DailyRow>& Rows() const { return m_rows; }

private:
    std::map<std::pair<std::string, std::string>, DailyRow> m_rows;
};

// Why `file` may not be an export's file, or empty when it may: it names
// (however spelt, links followed) a file of the punch store in `folder`,
// its lock, its note of what it published, or a file it published.
std::string ExportTargetProblem(const std::string& folder, const std::string& file);

// An export's file, written whole beside its target under a temporary name
// and put in its place only once complete, as an editor saves: an export
// that fails or is cut short leaves the file that was there as it was. A
// target reached through a link is replaced where the link leads; one that
// is no regular file (a device, a pipe) is written directly.
class ExportFile {
public:
    explicit ExportFile(const std::string& target);
    // Removes the temporary file of an export that was not committed.
    ~ExportFile();
    ExportFile(const ExportFile&) = delete;
    ExportFile& operator=(const ExportFile&) = delete;

    // Where the export writes.
    const std::string& Path() const { return m_written; }
    // Puts what was written in place of the target, with the target's
    // permissions. Raises EInOutError, the target left as it was.
    void Commit();

private:
    std::string m_target, m_written;
    bool m_pending = false;  // a temporary file waits to be committed
};

// One record as the CSV and the workbook write it, from the punch store or
// from the central database.
struct RecordRow {
    std::string site;
    std::optional<std::int64_t> record;  // its id in the punch store
    std::string port;
    bool rs232 = true;
    int clock = 0;
    std::int64_t position = 0;
    std::string card;
    std::string iso, solar;  // yyyy-mm-dd, yyyy/mm/dd; empty when the record has no date
    std::string time;        // hh:mm; empty when none
    std::string type;
    bool flagged = false;
    std::string collectedAt;
};
RecordRow RowOf(const StoredRecord& record, const std::optional<RecordDate>& date, const std::string& site);

// The CSV's header and rows, each ended by CR LF: with `site`, the site
// first (the central database's, which holds many).
std::string CsvHeader(bool site);
std::string CsvLine(const RecordRow& row, bool site);
// The daily export's: site, card, day, first, last, punches.
extern const char* const kDailyCsvHeader;
std::string DailyCsvLine(const std::string& site, const DailyRow& row);

// Writes the records the request takes to `out`: for dump, the lines of the
// good ones as Dump-*.Txt has them (CR LF); for CSV a header and one row a
// record, flagged ones included; for daily a header and one row a card and
// day (site, card, day, first, last, punches). Returns the number of
// records written (for daily: summed). Not for the workbook (workbook.h).
std::int64_t ExportRecords(PunchStore& store, const ExportRequest& request, std::FILE* out);

}  // namespace collect
