#include "centraldb.h"

#include <libpq-fe.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

#include <chrono>
#include <memory>
#include <regex>
#include <vector>

#include "clocklink/clocklink.h"
#include "export.h"

namespace collect {
namespace {

// The central schema, version 1. The record key is the site, the clock (its
// id in the site's store), the lap and the position; the line keeps the
// dump line's exact bytes, as a clock may send any 8-bit byte. The site's
// name is kept as rows added (the newest counts), so a role that may only
// insert and select can rename its site. No foreign keys: every push
// registers its site before its records, and a check per row would slow the
// bulk insert down.
const char* const kSchemaSql = R"(CREATE SCHEMA clockreader;
CREATE TABLE clockreader.about (
    program text NOT NULL,
    version integer NOT NULL,
    identity uuid NOT NULL DEFAULT gen_random_uuid(),
    created_at timestamptz NOT NULL DEFAULT now());
INSERT INTO clockreader.about (program, version) VALUES ('clockreader', 1);
CREATE TABLE clockreader.site (
    id uuid PRIMARY KEY,
    first_pushed_at timestamptz NOT NULL DEFAULT now());
CREATE TABLE clockreader.site_name (
    id bigserial PRIMARY KEY,
    site uuid NOT NULL,
    name text NOT NULL,
    named_at timestamptz NOT NULL DEFAULT now());
CREATE TABLE clockreader.record (
    site uuid NOT NULL,
    clock bigint NOT NULL,
    lap bigint NOT NULL,
    position integer NOT NULL,
    port text NOT NULL,
    bus text NOT NULL,
    address smallint NOT NULL,
    line bytea NOT NULL,
    raw bytea NOT NULL,
    card text,
    clock_date text,
    calendar text,
    day date,
    time time,
    type text,
    flagged boolean NOT NULL,
    collected_at timestamptz NOT NULL,
    pushed_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (site, clock, lap, position));
CREATE INDEX record_day ON clockreader.record (day, card);
CREATE VIEW clockreader.punches AS
    SELECT n.name AS site, r.site AS site_id, r.clock, r.port, r.bus, r.address, r.lap,
           r.position, r.line, r.card, r.day, r.clock_date, r.calendar, r.time, r.type,
           r.flagged, r.collected_at, r.pushed_at
    FROM clockreader.record r
    LEFT JOIN (SELECT DISTINCT ON (site) site, name FROM clockreader.site_name
               ORDER BY site, id DESC) n ON n.site = r.site;
CREATE VIEW clockreader.daily AS
    SELECT site, site_id, card, day, min(time) AS first, max(time) AS last, count(*) AS punches
    FROM clockreader.punches
    WHERE NOT flagged AND card IS NOT NULL AND day IS NOT NULL AND time IS NOT NULL
    GROUP BY site, site_id, card, day;
)";

// The columns a push fills, in the order of its COPY rows.
const char* const kPushColumns =
    "site, clock, lap, position, port, bus, address, line, raw, card, clock_date, calendar, day, time,"
    " type, flagged, collected_at";

// Taken while the schema is looked at and made, so two branches pushing
// first at the same moment make it once ("ClRd", as the store's id).
constexpr long long kSchemaLock = 0x436c5264;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// libpq's reason, on one line.
std::string OneLine(const char* text)
{
    std::string line;
    bool space = false;
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '\n' || *c == '\r' || *c == '\t') {
            space = !line.empty();
            continue;
        }
        if (space) line += ' ';
        space = false;
        line += *c;
    }
    return line;
}

// A field of a COPY row in text format: backslash, tab and line breaks
// escaped, and any byte that is not valid UTF-8 replaced, since the server
// refuses the whole row otherwise.
void AppendText(std::string& row, const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80         ? 1
                                   : (c >> 5) == 6  ? 2
                                   : (c >> 4) == 14 ? 3
                                   : (c >> 3) == 30 ? 4
                                                    : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!valid) {
            row += '?';
            ++i;
        } else if (c == '\\') {
            row += "\\\\", ++i;
        } else if (c == '\t') {
            row += "\\t", ++i;
        } else if (c == '\n') {
            row += "\\n", ++i;
        } else if (c == '\r') {
            row += "\\r", ++i;
        } else {
            row.append(text, i, length);
            i += length;
        }
    }
}

void AppendBytes(std::string& row, const std::string& bytes)
{
    row += "\\\\x";
    for (const char c : bytes) {
        row += "0123456789abcdef"[static_cast<unsigned char>(c) >> 4];
        row += "0123456789abcdef"[static_cast<unsigned char>(c) & 15];
    }
}

// One COPY row of `record`: what the central table keeps of it.
void AppendRow(std::string& rows, const std::string& site, const StoredRecord& record)
{
    const auto field = [&rows](const std::string& text) {
        AppendText(rows, text);
        rows += '\t';
    };
    const auto maybe = [&](bool known, const std::string& text) {
        if (known) return field(text);
        rows += "\\N\t";
    };
    field(site);
    field(std::to_string(record.clockId));
    field(std::to_string(record.serial / kRingSize));
    field(std::to_string(record.serial % kRingSize));
    field(record.port);
    field(record.rs232 ? "rs232" : "rs485");
    field(std::to_string(record.clock));
    AppendBytes(rows, record.line);
    rows += '\t';
    AppendBytes(rows, record.raw);
    rows += '\t';
    const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line);
    const std::optional<RecordDate> date = DateOf(record);
    const bool timeValid = fields && fields->time.size() == 4 &&
                           fields->time.find_first_not_of("0123456789") == std::string::npos &&
                           fields->time < "2400" && fields->time[2] < '6';
    maybe(fields.has_value(), fields ? fields->card : "");
    std::string clockDate = date ? (record.calendar == "gregorian" ? date->iso : date->solar) : "";
    for (char& c : clockDate)
        if (c == '-') c = '/';
    maybe(date.has_value(), clockDate);
    maybe(!record.calendar.empty(), record.calendar);
    maybe(date.has_value(), date ? date->iso : "");
    maybe(timeValid, timeValid ? fields->time.substr(0, 2) + ":" + fields->time.substr(2, 2) : "");
    maybe(fields.has_value(), fields ? fields->type : "");
    field(record.flagged ? "t" : "f");
    AppendText(rows, record.collectedAt);
    rows += '\n';
}

// A connection to the central database. Every statement is sent without
// waiting and its answer awaited for at most the settings' answer time, so a
// server that stops answering ends the push instead of hanging it.
class Central {
public:
    explicit Central(const PushSettings& settings) : m_settings(settings)
    {
        char* problem = nullptr;
        if (PQconninfoOption* parsed = PQconninfoParse(settings.connection.c_str(), &problem)) {
            for (PQconninfoOption* option = parsed; option->keyword; ++option)
                if (std::string(option->keyword) == "password" && option->val) m_password = option->val;
            PQconninfoFree(parsed);
        } else {
            const std::string reason = OneLine(problem);
            PQfreemem(problem);
            throw CentralError(CentralError::BadAddress, MaskPassword(settings.connection) + ": " +
                                                             MaskPasswordIn(reason, settings.connection));
        }
        // Ours first, so that what the connection text sets wins: a
        // statement ends on the server after the answer time too.
        const std::string timeout = "-c statement_timeout=" + std::to_string(settings.answerSeconds * 1000);
        const char* keys[] = {"connect_timeout", "fallback_application_name", "options", "keepalives_idle",
                              "dbname",          "client_encoding",           nullptr};
        const char* values[] = {
            "10", "clockreader-cli", timeout.c_str(), "30", settings.connection.c_str(), "UTF8", nullptr};
        m_conn = PQconnectdbParams(keys, values, 1);
        if (!m_conn)
            throw CentralError(CentralError::Failed, "out of memory connecting to the central database");
        if (PQstatus(m_conn) != CONNECTION_OK) Fail("cannot connect", PQerrorMessage(m_conn));
    }
    ~Central() { PQfinish(m_conn); }
    Central(const Central&) = delete;
    Central& operator=(const Central&) = delete;

    // "host:port/database", as the connection reached them.
    std::string Server() const
    {
        const char* host = PQhost(m_conn);
        return std::string(host && *host ? host : "localhost") + ":" +
               (PQport(m_conn) ? PQport(m_conn) : "") + "/" + (PQdb(m_conn) ? PQdb(m_conn) : "");
    }

    // Runs `sql` (one statement with `params`, or several without) and
    // returns its last result. Raises Failed with `doing` and the reason.
    Result Run(const std::string& doing, const std::string& sql, const std::vector<std::string>& params = {})
    {
        std::vector<const char*> values;
        for (const std::string& p : params) values.push_back(p.c_str());
        const int sent = params.empty()
                             ? PQsendQuery(m_conn, sql.c_str())
                             : PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()),
                                                 nullptr, values.data(), nullptr, nullptr, 0);
        if (!sent) Fail(doing, PQerrorMessage(m_conn));
        return Await(doing);
    }

    // COPY `sql` FROM STDIN with `rows` (text format).
    void Copy(const std::string& doing, const std::string& sql, const std::string& rows)
    {
        Result started = Run(doing, sql);
        if (PQresultStatus(started.get()) != PGRES_COPY_IN) Fail(doing, "the server did not take the rows");
        if (PQputCopyData(m_conn, rows.data(), static_cast<int>(rows.size())) != 1 ||
            PQputCopyEnd(m_conn, nullptr) != 1)
            Fail(doing, PQerrorMessage(m_conn));
        Await(doing);
    }

    [[noreturn]] void Fail(const std::string& doing, const char* reason,
                           CentralError::Kind kind = CentralError::Failed)
    {
        throw CentralError(kind,
                           "central database " + Server() + ": " + doing + ": " + Masked(OneLine(reason)));
    }

private:
    // libpq never prints a password, but a reason may quote the text given.
    std::string Masked(std::string text) const
    {
        text = MaskPasswordIn(text, m_settings.connection);
        if (m_password.size() < 3) return text;
        for (std::size_t at; (at = text.find(m_password)) != std::string::npos;)
            text.replace(at, m_password.size(), "***");
        return text;
    }

    // Waits until the socket has something to read, for the answer time
    // and a little more (the server's own statement timeout ends first).
    void WaitForAnswer(const std::string& doing, std::chrono::steady_clock::time_point deadline)
    {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            Fail(doing, ("no answer within " + std::to_string(m_settings.answerSeconds) + " s").c_str());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
        fd_set readable;
        FD_ZERO(&readable);
        const int socket = PQsocket(m_conn);
        if (socket < 0) Fail(doing, PQerrorMessage(m_conn));
        FD_SET(static_cast<unsigned>(socket), &readable);
        if (select(socket + 1, &readable, nullptr, nullptr, &wait) < 0) Fail(doing, "the connection failed");
        if (!PQconsumeInput(m_conn)) Fail(doing, PQerrorMessage(m_conn));
    }

    Result Await(const std::string& doing)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(m_settings.answerSeconds + 5);
        while (PQflush(m_conn) == 1) WaitForAnswer(doing, deadline);
        Result last(nullptr, PQclear), error(nullptr, PQclear);
        for (;;) {
            while (PQisBusy(m_conn)) WaitForAnswer(doing, deadline);
            Result result(PQgetResult(m_conn), PQclear);
            if (!result) break;
            const ExecStatusType status = PQresultStatus(result.get());
            if (status == PGRES_COPY_IN) return result;
            if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) {
                if (!error) error = std::move(result);
            } else {
                last = std::move(result);
            }
        }
        if (error) Fail(doing, PQresultErrorMessage(error.get()));
        if (!last) Fail(doing, PQerrorMessage(m_conn));
        return last;
    }

    const PushSettings& m_settings;
    PGconn* m_conn = nullptr;
    std::string m_password;
};

// Makes the schema when the database has none (the first push), and checks
// that the one there is ours and of a version this program writes. Returns
// its identity. Nothing is changed when it refuses.
std::string CheckSchema(Central& central, bool& made)
{
    central.Run("look at its schema clockreader", "BEGIN");
    central.Run("look at its schema clockreader",
                "SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
    Result found = central.Run("look at its schema clockreader",
                               "SELECT to_regnamespace('clockreader') IS NOT NULL,"
                               " to_regclass('clockreader.about') IS NOT NULL");
    made = std::string(PQgetvalue(found.get(), 0, 0)) != "t";
    if (made) {
        central.Run(
            "make the schema clockreader (a role that may not create it needs a DBA to make it"
            " first, with clockreader-cli push --schema-sql)",
            kSchemaSql);
    } else if (std::string(PQgetvalue(found.get(), 0, 1)) != "t") {
        central.Run("", "ROLLBACK");
        central.Fail("refused", "its schema clockreader belongs to another program; nothing was changed",
                     CentralError::Refused);
    }
    Result about = central.Run("read its schema's version", "SELECT * FROM clockreader.about");
    const int program = PQfnumber(about.get(), "program"), version = PQfnumber(about.get(), "version"),
              identity = PQfnumber(about.get(), "identity");
    if (program < 0 || version < 0 || identity < 0 || PQntuples(about.get()) != 1 ||
        std::string(PQgetvalue(about.get(), 0, program)) != "clockreader") {
        central.Run("", "ROLLBACK");
        central.Fail("refused", "its schema clockreader belongs to another program; nothing was changed",
                     CentralError::Refused);
    }
    const int theirs = std::atoi(PQgetvalue(about.get(), 0, version));
    if (theirs != kCentralSchemaVersion) {
        central.Run("", "ROLLBACK");
        central.Fail("refused",
                     ("its schema clockreader is of version " + std::to_string(theirs) +
                      ", this program writes version " + std::to_string(kCentralSchemaVersion) +
                      "; nothing was changed")
                         .c_str(),
                     CentralError::Refused);
    }
    const std::string schemaIdentity = PQgetvalue(about.get(), 0, identity);
    central.Run("make the schema clockreader", "COMMIT");
    return schemaIdentity;
}

}  // namespace

namespace {

// Where a password may stand in a connection text: in a URI's user part or
// its query, or as a key=value pair. The second group is the password.
const std::regex kPasswordInUri(R"(^([a-zA-Z]+://[^/@?]*?:)([^/@?]*)@)");
const std::regex kPasswordInQuery(R"(([?&]password=)([^&]*))", std::regex::icase);
const std::regex kPasswordInPairs(R"((\bpassword\s*=\s*)('(?:[^'\\]|\\.)*'?|\S*))", std::regex::icase);

bool IsUri(const std::string& connection)
{
    return std::regex_search(connection, std::regex("^[a-zA-Z]+://"));
}

}  // namespace

std::string MaskPassword(const std::string& connection)
{
    if (IsUri(connection))
        return std::regex_replace(std::regex_replace(connection, kPasswordInUri, "$1***@"), kPasswordInQuery,
                                  "$1***");
    return std::regex_replace(connection, kPasswordInPairs, "$1***");
}

std::string MaskPasswordIn(const std::string& text, const std::string& connection)
{
    std::string masked = text;
    for (const std::regex* where : IsUri(connection) ? std::vector{&kPasswordInUri, &kPasswordInQuery}
                                                     : std::vector{&kPasswordInPairs}) {
        for (auto match = std::sregex_iterator(connection.begin(), connection.end(), *where);
             match != std::sregex_iterator(); ++match) {
            const std::string password = (*match)[2];
            if (password.empty()) continue;
            for (std::size_t at; (at = masked.find(password)) != std::string::npos;)
                masked.replace(at, password.size(), "***");
        }
    }
    return masked;
}

const char* CentralSchemaSql() { return kSchemaSql; }

PushReport Push(PunchStore& store, const PushSettings& settings)
{
    Central central(settings);
    PushReport report;
    report.server = central.Server();
    report.schemaIdentity = CheckSchema(central, report.madeSchema);

    const std::string site = store.Identity();
    central.Run("register the site", "INSERT INTO clockreader.site (id) VALUES ($1) ON CONFLICT DO NOTHING",
                {site});
    central.Run("name the site",
                "INSERT INTO clockreader.site_name (site, name) SELECT $1, $2 WHERE $2 IS DISTINCT FROM"
                " (SELECT name FROM clockreader.site_name WHERE site = $1 ORDER BY id DESC LIMIT 1)",
                {site, store.SiteName()});
    central.Run("prepare the push",
                std::string("CREATE TEMPORARY TABLE incoming ON COMMIT DELETE ROWS AS SELECT ") +
                    kPushColumns + " FROM clockreader.record WITH NO DATA");

    Selection next;
    next.afterId = store.PushedThrough(report.schemaIdentity);
    next.limit = kPushBatch;
    const std::int64_t total = store.RecordsAfter(next.afterId);
    std::string rows;
    while (!settings.goOn || settings.goOn(report.sent, total)) {
        rows.clear();
        std::int64_t last = next.afterId, count = 0;
        store.ForEachRecord(next, [&](const StoredRecord& record) {
            AppendRow(rows, site, record);
            last = record.id;
            ++count;
        });
        if (count == 0) break;
        central.Run("push records", "BEGIN");
        central.Copy("push records", std::string("COPY incoming (") + kPushColumns + ") FROM STDIN", rows);
        Result inserted = central.Run("push records", std::string("INSERT INTO clockreader.record (") +
                                                          kPushColumns + ") SELECT " + kPushColumns +
                                                          " FROM incoming ON CONFLICT DO NOTHING");
        report.added += std::atoll(PQcmdTuples(inserted.get()));
        central.Run("push records", "COMMIT");
        // Only what the server committed is noted as acknowledged.
        store.SetPushedThrough(report.schemaIdentity, last);
        report.sent += count;
        next.afterId = last;
    }
    return report;
}

}  // namespace collect
