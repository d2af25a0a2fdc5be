#include "centralreader.h"

#include <libpq-fe.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "centralconnection.h"
#include "centraldb.h"
#include "exportdates.h"
#include "workbook.h"

namespace collect {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The bytes of a hex text, as encode(..., 'hex') gives them.
std::string FromHex(const char* hex)
{
    std::string bytes;
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (const char* c = hex; c[0] && c[1]; c += 2)
        bytes += static_cast<char>(nibble(c[0]) * 16 + nibble(c[1]));
    return bytes;
}

// A read-only connection to the central database. Every transaction it
// starts is read only, so an export never changes what it reads, and the
// server ends a statement that runs longer than the answer time.
class Reader {
public:
    // Rows are awaited without a deadline of our own: the keepalives end a
    // connection whose server or network went silent.
    explicit Reader(const CentralRequest& request)
        : m_connection(request.connection),
          m_conn(ConnectToCentral(
              request.connection,
              {{"options", "-c statement_timeout=" + std::to_string(request.answerSeconds * 1000) +
                               " -c default_transaction_read_only=on"},
               {"keepalives_idle", "30"},
               {"keepalives_interval", "10"},
               {"keepalives_count", "3"}}))
    {
        try {
            Exec("begin a read-only transaction", "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {});
        } catch (...) {
            // No destructor runs for an object whose constructor throws.
            PQfinish(m_conn);
            throw;
        }
    }
    ~Reader() { PQfinish(m_conn); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Runs `sql` with `params` (nothing: NULL) and returns its rows.
    Result Exec(const std::string& doing, const std::string& sql,
                const std::vector<std::optional<std::string>>& params)
    {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
        Result result(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0),
                      PQclear);
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            Fail(doing, result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn));
        return result;
    }

    // Runs `sql` and hands each row to `take` as it arrives.
    void Stream(const std::string& doing, const std::string& sql,
                const std::vector<std::optional<std::string>>& params,
                const std::function<void(PGresult*)>& take)
    {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
        if (!PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0) ||
            !PQsetSingleRowMode(m_conn))
            Fail(doing, PQerrorMessage(m_conn));
        std::string failed;
        // Every result is taken, also after a failure, so the connection
        // is ready for the next statement.
        while (PGresult* next = PQgetResult(m_conn)) {
            Result result(next, PQclear);
            const ExecStatusType status = PQresultStatus(next);
            if (status == PGRES_SINGLE_TUPLE) {
                if (failed.empty()) take(next);
            } else if (status != PGRES_TUPLES_OK && failed.empty()) {
                failed = PQresultErrorMessage(next);
                if (failed.empty()) failed = "the server failed";
            }
        }
        if (!failed.empty()) Fail(doing, failed.c_str());
    }

    [[noreturn]] void Fail(const std::string& doing, const char* reason)
    {
        throw CentralError(CentralError::Failed, Failure(doing, reason));
    }

private:
    std::string Failure(const std::string& doing, const char* reason) const
    {
        std::string why = MaskPasswordIn(OneLine(reason), m_connection);
        // The role given to payroll lacks the grants, or nothing was ever
        // pushed there.
        if (why.find("permission denied") != std::string::npos)
            why += "; the role needs the grants of the read-only role in docs/central.md";
        else if (why.find("clockreader.") != std::string::npos &&
                 why.find("does not exist") != std::string::npos)
            why += "; no store has pushed to this database yet";
        return "central database " + CentralServer(m_conn) + ": " + doing + ": " + why;
    }

    std::string m_connection;
    PGconn* m_conn = nullptr;
};

// The request's site and days as the statements' parameters, the days
// Gregorian as the views keep them.
std::vector<std::optional<std::string>> Params(const CentralRequest& request)
{
    const auto iso = [](const std::string& solar) -> std::optional<std::string> {
        if (solar.empty()) return std::nullopt;
        return IsoText(DaysFromSolar(
            {std::stoi(solar.substr(0, 4)), std::stoi(solar.substr(5, 2)), std::stoi(solar.substr(8, 2))}));
    };
    return {request.site.empty() ? std::nullopt : std::optional<std::string>(request.site), iso(request.from),
            iso(request.to)};
}

// The rows of the request's site and days, in the views' own terms.
const char* const kWhere =
    " WHERE ($1::text IS NULL OR site = $1) AND ($2::date IS NULL OR day >= $2::date)"
    " AND ($3::date IS NULL OR day < $3::date)";

// A site asked for that the database does not hold is refused, naming
// those it holds, rather than exported as an empty file.
void CheckSite(Reader& reader, const CentralRequest& request)
{
    if (request.site.empty()) return;
    if (PQntuples(reader
                      .Exec("look for the site", "SELECT 1 FROM clockreader.punches WHERE site = $1 LIMIT 1",
                            {request.site})
                      .get()) > 0)
        return;
    Result sites = reader.Exec("list its sites",
                               "SELECT coalesce(string_agg(site, ', ' ORDER BY site), '')"
                               " FROM (SELECT DISTINCT site FROM clockreader.punches) s",
                               {});
    const std::string known = PQgetvalue(sites.get(), 0, 0);
    throw CentralError(CentralError::Refused,
                       "--site: the central database holds no records of the site '" + request.site + "'" +
                           (known.empty() ? "; it holds none yet" : "; its sites: " + known));
}

// Each record the request takes, with the key and name of its clock's sheet.
void ForEachRecord(Reader& reader, const CentralRequest& request,
                   const std::function<void(const std::string&, const std::string&, const RecordRow&,
                                            const std::string&)>& take)
{
    reader.Stream(
        "read clockreader.punches",
        std::string("SELECT site, site_id::text, clock, port, bus, address, position, card, day::text,"
                    " to_char(time, 'HH24:MI'), type, flagged,"
                    " to_char(collected_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'),"
                    " encode(line, 'hex') FROM clockreader.punches") +
            kWhere + " ORDER BY site, site_id, clock, lap, position",
        Params(request), [&](PGresult* r) {
            const auto text = [r](int column) { return std::string(PQgetvalue(r, 0, column)); };
            RecordRow row;
            row.site = text(0);
            row.port = text(3);
            row.rs232 = text(4) == "rs232";
            row.clock = std::stoi(text(5));
            row.position = std::stoll(text(6));
            row.card = text(7);
            row.iso = text(8);
            row.solar = SolarOfIso(row.iso);
            row.time = text(9);
            row.type = text(10);
            row.flagged = text(11) == "t";
            row.collectedAt = text(12);
            const std::string sheet =
                (request.site.empty() ? row.site + " " : "") + ClockSheetName(row.port, row.clock);
            take(text(1) + "/" + text(2), sheet, row, FromHex(PQgetvalue(r, 0, 13)));
        });
}

void ForEachDay(Reader& reader, const CentralRequest& request,
                const std::function<void(const std::string&, const DailyRow&)>& take)
{
    reader.Stream(
        "read clockreader.daily",
        std::string("SELECT site, card, day::text, to_char(first, 'HH24:MI'), to_char(last, 'HH24:MI'),"
                    " punches FROM clockreader.daily") +
            kWhere + " ORDER BY site, card, day",
        Params(request), [&](PGresult* r) {
            DailyRow row;
            row.card = PQgetvalue(r, 0, 1);
            row.day = PQgetvalue(r, 0, 2);
            row.first = PQgetvalue(r, 0, 3);
            row.last = PQgetvalue(r, 0, 4);
            row.punches = std::stoll(PQgetvalue(r, 0, 5));
            take(PQgetvalue(r, 0, 0), row);
        });
}

}  // namespace

std::int64_t ExportCentralRecords(const CentralRequest& request, std::FILE* out)
{
    Reader reader(request);
    CheckSite(reader, request);
    std::int64_t written = 0;
    if (request.format == ExportFormat::Daily) {
        std::fputs(kDailyCsvHeader, out);
        ForEachDay(reader, request, [&](const std::string& site, const DailyRow& row) {
            std::fputs(DailyCsvLine(site, row).c_str(), out);
            written += row.punches;
        });
        return written;
    }
    const bool csv = request.format == ExportFormat::Csv;
    if (csv) std::fputs(CsvHeader(true).c_str(), out);
    ForEachRecord(reader, request,
                  [&](const std::string&, const std::string&, const RecordRow& row, const std::string& line) {
                      if (csv) {
                          std::fputs(CsvLine(row, true).c_str(), out);
                      } else {
                          if (row.flagged) return;
                          std::fwrite(line.data(), 1, line.size(), out);
                          std::fputs("\r\n", out);
                      }
                      ++written;
                  });
    return written;
}

std::int64_t ExportCentralWorkbook(const CentralRequest& request, const std::string& path)
{
    Reader reader(request);
    CheckSite(reader, request);
    WorkbookWriter book(path);
    std::int64_t written = 0;
    ForEachRecord(
        reader, request,
        [&](const std::string& key, const std::string& sheet, const RecordRow& row, const std::string&) {
            book.Record(key, sheet, row);
            ++written;
        });
    ForEachDay(reader, request, [&](const std::string& site, const DailyRow& row) { book.Day(site, row); });
    book.Commit();
    return written;
}

}  // namespace collect
