#include "export.h"

#include <algorithm>
#include <filesystem>
#include <random>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "durablefile.h"
#include "exportdates.h"
#include "publisher.h"
#include "utils/calendar.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

bool AllDigits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::optional<DumpFields> ParseDumpLine(const std::string& line)
{
    // STX STX STX, clock (3), card (8 or 10), "X", time (4), month, day,
    // letter, year (2), the record's last character, the port, ",", type.
    const std::size_t x = line.find('X', 6);
    const std::size_t comma = line.find(',', x == std::string::npos ? 0 : x);
    if (line.compare(0, 3, "\x02\x02\x02") != 0 || x == std::string::npos || comma == std::string::npos ||
        comma < x + 14)
        return std::nullopt;
    DumpFields fields;
    fields.card = line.substr(6, x - 6);
    fields.time = line.substr(x + 1, 4);
    fields.month = line.substr(x + 5, 2);
    fields.day = line.substr(x + 7, 2);
    fields.year2 = line.substr(x + 10, 2);
    fields.type = line.substr(comma + 1, 2);
    fields.port = line.substr(x + 13, comma - x - 13);
    return fields;
}

std::optional<RecordDate> DateOf(const StoredRecord& record)
{
    const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line);
    if (!fields || !AllDigits(fields->year2 + fields->month + fields->day) || record.clockDate.size() < 4 ||
        !AllDigits(record.clockDate.substr(0, 4)))
        return std::nullopt;
    const int clockYear = std::stoi(record.clockDate.substr(0, 4));
    int year = clockYear / 100 * 100 + std::stoi(fields->year2);
    if (year > clockYear) year -= 100;
    const int month = std::stoi(fields->month), day = std::stoi(fields->day);
    if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    try {
        const auto y = static_cast<std::uint16_t>(year), m = static_cast<std::uint16_t>(month),
                   d = static_cast<std::uint16_t>(day);
        if (record.calendar == "gregorian") {
            if (!IsValidGregorianDate(year, month, day)) return std::nullopt;
            char iso[16];
            std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", year, month, day);
            // The calendar's own Solar day, also past 2029, where the
            // clocks' rule drifts a day.
            return RecordDate{SolarOfIso(iso), iso};
        }
        char solar[16];
        std::snprintf(solar, sizeof solar, "%04d/%02d/%02d", year, month, day);
        return RecordDate{solar, SolarToGregorianText(y, m, d, '-')};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

StoredRecord AsRequested(const StoredRecord& record, const ExportRequest& request)
{
    // A record the clock flagged is stored as its whole answer ("???"): it
    // has no fields to decode.
    if (!request.vireo || (record.flagged && IsFlaggedRecord(record.raw))) return record;
    StoredRecord decoded = record;
    // The port number the line carries: the stored line's, else the number
    // the port's name ends in, as the collection gave it.
    std::string comText;
    if (const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line))
        comText = fields->port;
    if (comText.empty()) {
        std::string name = record.port;
        if (!name.empty() && name.back() == '/') name.pop_back();
        std::size_t begin = name.find_last_not_of("0123456789") + 1;
        while (begin + 1 < name.size() && name[begin] == '0') ++begin;
        comText = begin < name.size() ? name.substr(begin) : "1";
    }
    DownloadRun run;
    run.ClockIsSolar = record.calendar != "gregorian";
    run.ClockDateText = record.clockDate;
    try {
        decoded.line = DecodeRecord(std::to_string(record.clock), comText, *request.vireo, run, record.raw);
        decoded.flagged = false;
    } catch (const std::exception& error) {
        decoded.flagged = true;
        decoded.line =
            record.port + (record.rs232 ? " rs232" : " rs485") + " clock " + std::to_string(record.clock) +
            ", position " + std::to_string(record.serial % kRingSize) + ": the date does not decode in the " +
            (*request.vireo ? "Vireo" : "standard") + " layout (" + error.what() + "): " + record.raw;
    }
    return decoded;
}

void ForEachRequested(PunchStore& store, const ExportRequest& request,
                      const std::function<void(const StoredRecord&, const std::optional<RecordDate>&)>& take)
{
    // yyyy/mm/dd texts of one width compare as the days they name.
    const auto inRange = [&](const std::optional<RecordDate>& date) {
        if (request.from.empty() && request.to.empty()) return true;
        if (!date) return false;
        return (request.from.empty() || date->solar >= request.from) &&
               (request.to.empty() || date->solar < request.to);
    };
    store.ForEachRecord(request.selection, [&](const StoredRecord& stored) {
        const StoredRecord record = AsRequested(stored, request);
        const std::optional<RecordDate> date = DateOf(record);
        if (inRange(date)) take(record, date);
    });
}

void DailySummary::Add(const StoredRecord& record, const std::optional<RecordDate>& date)
{
    const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line);
    // A time of day, as the central database's daily view takes it.
    if (!date || !fields || fields->time.size() != 4 || !AllDigits(fields->time) || fields->time >= "2400" ||
        fields->time[2] >= '6')
        return;
    const std::string time = fields->time.substr(0, 2) + ":" + fields->time.substr(2, 2);
    DailyRow& row = m_rows[{fields->card, date->iso}];
    if (row.punches == 0) {
        row.card = fields->card;
        row.day = date->iso;
        row.first = row.last = time;
    }
    row.first = std::min(row.first, time);
    row.last = std::max(row.last, time);
    ++row.punches;
}

RecordRow RowOf(const StoredRecord& record, const std::optional<RecordDate>& date, const std::string& site)
{
    RecordRow row;
    row.site = site;
    row.record = record.id;
    row.port = record.port;
    row.rs232 = record.rs232;
    row.clock = record.clock;
    row.position = record.serial % kRingSize;
    if (const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line)) {
        row.card = fields->card;
        row.time = fields->time.substr(0, 2) + ":" + fields->time.substr(2, 2);
        row.type = fields->type;
    }
    if (date) {
        row.iso = date->iso;
        row.solar = date->solar;
    }
    row.flagged = record.flagged;
    row.collectedAt = record.collectedAt;
    return row;
}

std::string CsvHeader(bool site)
{
    return std::string(site ? "site," : "") +
           "record,port,bus,clock,position,card,solar_date,iso_date,time,type,flagged,collected_at\r\n";
}

std::string CsvLine(const RecordRow& row, bool site)
{
    return (site ? CsvField(row.site) + "," : "") + (row.record ? std::to_string(*row.record) : "") + "," +
           CsvField(row.port) + "," + (row.rs232 ? "rs232" : "rs485") + "," + std::to_string(row.clock) +
           "," + std::to_string(row.position) + "," + CsvField(row.card) + "," + row.solar + "," + row.iso +
           "," + row.time + "," + CsvField(row.type) + "," + (row.flagged ? "1" : "0") + "," +
           row.collectedAt + "\r\n";
}

const char* const kDailyCsvHeader = "site,card,day,first,last,punches\r\n";

std::string DailyCsvLine(const std::string& site, const DailyRow& row)
{
    return CsvField(site) + "," + CsvField(row.card) + "," + row.day + "," + row.first + "," + row.last +
           "," + std::to_string(row.punches) + "\r\n";
}

std::int64_t ExportRecords(PunchStore& store, const ExportRequest& request, std::FILE* out)
{
    std::int64_t written = 0;
    const std::string site = store.SiteName();
    if (request.format == ExportFormat::Daily) {
        DailySummary summary;
        ForEachRequested(store, request,
                         [&](const StoredRecord& record, const std::optional<RecordDate>& date) {
                             summary.Add(record, date);
                         });
        std::fputs(kDailyCsvHeader, out);
        for (const auto& [key, row] : summary.Rows()) {
            std::fputs(DailyCsvLine(site, row).c_str(), out);
            written += row.punches;
        }
        return written;
    }
    const bool csv = request.format == ExportFormat::Csv;
    if (csv) std::fputs(CsvHeader(false).c_str(), out);
    ForEachRequested(store, request, [&](const StoredRecord& record, const std::optional<RecordDate>& date) {
        if (!csv) {
            if (record.flagged) return;
            std::fprintf(out, "%s\r\n", record.line.c_str());
            ++written;
            return;
        }
        std::fputs(CsvLine(RowOf(record, date, site), false).c_str(), out);
        ++written;
    });
    return written;
}

std::string ExportTargetProblem(const std::string& folder, const std::string& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = fs::weakly_canonical(fs::absolute(PathFromUtf8(file)), error);
    if (error || !fs::equivalent(target.parent_path(), PathFromUtf8(folder), error)) return {};
    const std::string name = Utf8FromPath(target.filename());
    const auto is = [&](const std::string& kept) { return SameFolderName(name, kept); };
    const std::string store = kStoreFileName;
    std::string what;
    if (is(store) || is(store + "-wal") || is(store + "-shm") || is(kLockFileName) || is(kPublishedMarkName))
        what = "a file of the punch store";
    else if ((name.starts_with("Dump-") || name.starts_with("BadRecs-")) && name.ends_with(".Txt"))
        what = "a file the punch store published for the importer";
    if (what.empty()) return {};
    return file + " is " + Utf8FromPath(target) + ", " + what +
           "; an export never writes over it; nothing was written: name another file";
}

ExportFile::ExportFile(const std::string& target) : m_target(target), m_written(target)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path path = PathFromUtf8(target);
    if (fs::is_symlink(path, error)) path = fs::weakly_canonical(path, error);
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) return;
    m_target = Utf8FromPath(path);
    // Unlike any other export's, so two at once do not share it.
    const unsigned tag = std::random_device{}();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", tag);
    m_written = Utf8FromPath(path.parent_path() /
                             PathFromUtf8("." + Utf8FromPath(path.filename()) + "." + hex + ".part"));
    m_pending = true;
}

ExportFile::~ExportFile()
{
    if (!m_pending) return;
    std::error_code ignored;
    std::filesystem::remove(PathFromUtf8(m_written), ignored);
}

void ExportFile::Commit()
{
    if (!m_pending) return;
    m_pending = false;
    std::error_code error;
    const std::filesystem::file_status kept = std::filesystem::status(PathFromUtf8(m_target), error);
    if (!error) std::filesystem::permissions(PathFromUtf8(m_written), kept.permissions(), error);
    ReplaceFileWith(m_target, m_written);
}

}  // namespace collect
