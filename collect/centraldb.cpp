#include "centraldb.h"

#include <libpq-fe.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <cctype>
#include <vector>

#include "clocklink/clocklink.h"
#include "copystream.h"
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

// Rows go to the server in COPY's binary format: nothing to escape, and
// nothing for the server to parse, so the table fills fast.
// Every number is big-endian; a field is its length, then its bytes.
class BinaryRows {
public:
    BinaryRows() { Start(); }
    void Start()
    {
        m_bytes.assign("PGCOPY\n\377\r\n\0", 11);
        Int(4, 0);  // flags
        Int(4, 0);  // header extension
    }
    const std::string& Finished()
    {
        Int(2, -1);
        return m_bytes;
    }
    // The rows finished and handed over; the next ones start with as much
    // room, so a batch is not built by growing its buffer again and again.
    std::string Take()
    {
        Int(2, -1);
        std::string bytes = std::move(m_bytes);
        m_bytes = std::string();
        m_bytes.reserve(bytes.size());
        Start();
        return bytes;
    }
    void Row(int fields) { Int(2, fields); }
    void Null() { Int(4, -1); }
    void Number(int size, std::int64_t value)
    {
        Int(4, size);
        Int(size, value);
    }
    void Bytes(const std::string& bytes)
    {
        Int(4, static_cast<std::int64_t>(bytes.size()));
        m_bytes += bytes;
    }
    // Text, with any byte that is not valid UTF-8 replaced, since the
    // server refuses the whole batch otherwise.
    void Text(const std::string& text)
    {
        if (std::all_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            return Bytes(text);
        std::string valid;
        for (std::size_t i = 0; i < text.size();) {
            const auto c = static_cast<unsigned char>(text[i]);
            const std::size_t length = c < 0x80         ? 1
                                       : (c >> 5) == 6  ? 2
                                       : (c >> 4) == 14 ? 3
                                       : (c >> 3) == 30 ? 4
                                                        : 0;
            bool ok = length != 0 && i + length <= text.size();
            for (std::size_t k = 1; ok && k < length; ++k)
                ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            valid.append(ok ? text.substr(i, length) : "?");
            i += ok ? length : 1;
        }
        Bytes(valid);
    }
    // A UUID written as text; every row of a push carries the same one,
    // so the last one read is kept.
    void Uuid(const std::string& text)
    {
        if (text != m_uuidText) {
            m_uuidText = text;
            m_uuidBytes.clear();
            for (std::size_t i = 0; i + 1 < text.size(); ++i) {
                if (text[i] == '-') continue;
                m_uuidBytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
                ++i;
            }
        }
        Bytes(m_uuidBytes);
    }

private:
    void Int(int size, std::int64_t value)
    {
        char bytes[8];
        for (int i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((static_cast<std::uint64_t>(value) >> ((size - 1 - i) * 8)) & 0xFF);
        m_bytes.append(bytes, static_cast<std::size_t>(size));
    }
    std::string m_bytes;
    std::string m_uuidText, m_uuidBytes;
};

// Days from 2000-01-01 (PostgreSQL's epoch) to the Gregorian date.
std::int64_t DaysFrom2000(int year, int month, int day)
{
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    return (sys_days(date) - sys_days(2000y / January / 1)).count();
}

// The digits of `text` from `at`, `count` of them, as a number; -1 when
// they are not all digits.
int Digits(const std::string& text, std::size_t at, std::size_t count)
{
    if (at + count > text.size()) return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// One row of `record`: what the central table keeps of it, in the order
// of kPushColumns.
void AppendRow(BinaryRows& rows, const std::string& site, const StoredRecord& record)
{
    rows.Row(17);
    rows.Uuid(site);
    rows.Number(8, record.clockId);
    rows.Number(8, record.serial / kRingSize);
    rows.Number(4, record.serial % kRingSize);
    rows.Text(record.port);
    rows.Text(record.rs232 ? "rs232" : "rs485");
    rows.Number(2, record.clock);
    rows.Bytes(record.line);
    rows.Bytes(record.raw);
    const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line);
    const std::optional<RecordDate> date = DateOf(record);
    const auto text = [&rows](bool known, const std::string& value) {
        known ? rows.Text(value) : rows.Null();
    };
    text(fields.has_value(), fields ? fields->card : "");
    std::string clockDate = date ? (record.calendar == "gregorian" ? date->iso : date->solar) : "";
    std::replace(clockDate.begin(), clockDate.end(), '-', '/');
    text(date.has_value(), clockDate);
    text(!record.calendar.empty(), record.calendar);
    if (date)
        rows.Number(4,
                    DaysFrom2000(Digits(date->iso, 0, 4), Digits(date->iso, 5, 2), Digits(date->iso, 8, 2)));
    else
        rows.Null();
    const int hour = fields ? Digits(fields->time, 0, 2) : -1,
              minute = fields ? Digits(fields->time, 2, 2) : -1;
    if (hour >= 0 && hour < 24 && minute >= 0 && minute < 60)
        rows.Number(8, (hour * 60 + minute) * 60 * std::int64_t{1000000});
    else
        rows.Null();
    text(fields.has_value(), fields ? fields->type : "");
    rows.Number(1, record.flagged ? 1 : 0);
    // yyyy-mm-ddThh:mm:ssZ, as the store keeps it.
    const std::string& at = record.collectedAt;
    const std::int64_t seconds = DaysFrom2000(Digits(at, 0, 4), Digits(at, 5, 2), Digits(at, 8, 2)) * 86400 +
                                 Digits(at, 11, 2) * 3600 + Digits(at, 14, 2) * 60 + Digits(at, 17, 2);
    rows.Number(8, seconds * 1000000);
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
        if (PQstatus(m_conn) != CONNECTION_OK) {
            // No destructor runs for an object whose constructor throws.
            const CentralError error(CentralError::Failed, Failure("cannot connect", PQerrorMessage(m_conn)));
            PQfinish(m_conn);
            throw error;
        }
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

    // COPY `sql` FROM STDIN with `rows` (binary format); returns the rows
    // copied. With `held`, a key the table holds already sets it and
    // returns 0, leaving the transaction aborted, instead of failing.
    std::int64_t Copy(const std::string& doing, const std::string& sql, const std::string& rows,
                      bool* held = nullptr)
    {
        Result started = Run(doing, sql);
        if (PQresultStatus(started.get()) != PGRES_COPY_IN) Fail(doing, "the server did not take the rows");
        if (PQputCopyData(m_conn, rows.data(), static_cast<int>(rows.size())) != 1 ||
            PQputCopyEnd(m_conn, nullptr) != 1)
            Fail(doing, PQerrorMessage(m_conn));
        Result copied = Await(doing, held);
        return copied ? std::atoll(PQcmdTuples(copied.get())) : 0;
    }

    [[noreturn]] void Fail(const std::string& doing, const char* reason,
                           CentralError::Kind kind = CentralError::Failed)
    {
        throw CentralError(kind, Failure(doing, reason));
    }

    // The message of a failure: the server, what was being done, and why.
    std::string Failure(const std::string& doing, const char* reason) const
    {
        return "central database " + Server() + ": " + doing + ": " + Masked(OneLine(reason));
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

    // Takes every result of what was sent and returns the last; `held` as
    // for Copy, for a unique key violated.
    Result Await(const std::string& doing, bool* held = nullptr)
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
        if (error) {
            const char* state = PQresultErrorField(error.get(), PG_DIAG_SQLSTATE);
            if (held && state && std::string(state) == "23505") {
                *held = true;
                return Result(nullptr, PQclear);
            }
            Fail(doing, PQresultErrorMessage(error.get()));
        }
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

// The rows of the batch in "incoming" that the table held already must
// hold the same bytes: one that holds others is another store's record
// under this site's key. The batch is rolled back and the push stops,
// naming the first such key; what earlier batches committed stays
// acknowledged. `afterId`: the record id the batch follows.
void RefuseOtherBytes(Central& central, PunchStore& store, std::int64_t afterId)
{
    Result other =
        central.Run("compare the records held",
                    "SELECT i.clock, i.lap, i.position, count(*) OVER ()"
                    " FROM incoming i JOIN clockreader.record r USING (site, clock, lap, position)"
                    " WHERE r.raw IS DISTINCT FROM i.raw ORDER BY i.clock, i.lap, i.position LIMIT 1");
    if (PQntuples(other.get()) == 0) return;
    const std::string clock = PQgetvalue(other.get(), 0, 0), lap = PQgetvalue(other.get(), 0, 1),
                      position = PQgetvalue(other.get(), 0, 2);
    const std::int64_t more = std::atoll(PQgetvalue(other.get(), 0, 3)) - 1;
    central.Run("push records", "ROLLBACK");
    central.Fail(
        "refused",
        ("site " + store.SiteName() + " (" + store.Identity() + "), clock " + clock + ", lap " + lap +
         ", position " + position + ": it holds other bytes under this key than the record of this store" +
         (more > 0 ? " (and under " + std::to_string(more) + " more keys of the same batch)" : "") +
         "; nothing after record id " + std::to_string(afterId) +
         " was pushed. This store may be a copy of another site's: see docs/central.md,"
         " \"Setting up a second branch from a copy\"")
            .c_str(),
        CentralError::Conflict);
}

}  // namespace

namespace {

// Where the passwords of a connection text stand in it, as (first, length):
// in a URI's user part (user:password@) or its query (password=...), or as
// the value of a key=value pair (quoted or not).
std::vector<std::pair<std::size_t, std::size_t>> PasswordSpans(const std::string& text)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    const auto isPassword = [&](std::size_t at, std::size_t length) {
        if (length != 8) return false;
        std::string key = text.substr(at, length);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return key == "password";
    };
    const std::size_t scheme = text.find("://");
    const bool uri = scheme != std::string::npos && scheme > 0 &&
                     std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(scheme),
                                 [](unsigned char c) { return std::isalpha(c) != 0; });
    if (uri) {
        // The user part ends, as libpq reads it, at the first "@" before
        // any "/": a "?" or "#" before it is the password's. An "@" the
        // password holds unencoded makes libpq take the rest for the host,
        // which is masked with it.
        const std::size_t authority = scheme + 3;
        std::size_t at = text.find_first_of("@/", authority), host = authority;
        if (at != std::string::npos && text[at] == '@') {
            for (std::size_t more = at;
                 (more = text.find_first_of("@/?", more + 1)) != std::string::npos && text[more] == '@';)
                at = more;
            const std::size_t colon = text.find(':', authority);
            if (colon < at) spans.emplace_back(colon + 1, at - colon - 1);
            host = at + 1;
        }
        for (std::size_t from = text.find('?', host); from != std::string::npos && from < text.size();) {
            const std::size_t next = text.find('&', from + 1);
            const std::size_t equals = text.find('=', from + 1);
            if (equals < next && isPassword(from + 1, equals - from - 1))
                spans.emplace_back(equals + 1, (next == std::string::npos ? text.size() : next) - equals - 1);
            from = next;
        }
        return spans;
    }
    for (std::size_t i = 0; i < text.size();) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t key = i;
        while (i < text.size() && text[i] != '=' && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t keyLength = i - key;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || text[i] != '=') continue;
        ++i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t value = i;
        if (i < text.size() && text[i] == '\'') {
            for (++i; i < text.size() && text[i] != '\''; ++i)
                if (text[i] == '\\') ++i;
            i = std::min(i + 1, text.size());
        } else {
            // A backslash takes the next character in, a space too.
            for (; i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])); ++i)
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
        }
        if (isPassword(key, keyLength)) spans.emplace_back(value, i - value);
    }
    return spans;
}

}  // namespace

std::string MaskPassword(const std::string& connection)
{
    std::string masked = connection;
    const auto spans = PasswordSpans(connection);
    for (auto span = spans.rbegin(); span != spans.rend(); ++span)
        masked.replace(span->first, span->second, "***");
    return masked;
}

std::string MaskPasswordIn(const std::string& text, const std::string& connection)
{
    std::string masked = text;
    for (const auto& [first, length] : PasswordSpans(connection)) {
        const std::string password = connection.substr(first, length);
        if (password.empty()) continue;
        for (std::size_t at; (at = masked.find(password)) != std::string::npos;)
            masked.replace(at, password.size(), "***");
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
    const std::int64_t afterId =
        std::max(store.PushedThrough(report.schemaIdentity), store.OwnRecordsAfter());
    const std::int64_t total = store.RecordsAfter(afterId);
    // The next batch is read and encoded while the server takes this one;
    // the store is the reading thread's until the push ends.
    const std::string& schema = report.schemaIdentity;
    BinaryRows rows;
    ReadAhead ahead(
        store, afterId,
        [&site, &rows](PunchStore& from, std::int64_t after) {
            EncodedBatch batch;
            batch.last = after;
            from.ForEachRecord({.port = "", .clock = 0, .afterId = after, .limit = kPushBatch},
                               [&](const StoredRecord& record) {
                                   AppendRow(rows, site, record);
                                   batch.last = record.id;
                                   ++batch.count;
                               });
            if (batch.count > 0) batch.bytes = rows.Take();
            return batch;
        },
        [&schema](PunchStore& to, std::int64_t id) { to.SetPushedThrough(schema, id); });
    // A batch goes straight into the table, as fast as COPY loads, until
    // one meets a key held there (a push cut short after its commit, before
    // the store noted it): that batch, and the next ones until one is wholly
    // new, go through the temporary table, where held rows are passed over.
    bool straight = true, incoming = false;
    for (std::int64_t sentThrough = afterId; !settings.goOn || settings.goOn(report.sent, total);) {
        const EncodedBatch next = ahead.Next();
        const std::int64_t count = next.count;
        if (count == 0) break;
        const std::string& batch = next.bytes;
        central.Run("push records", "BEGIN");
        if (straight) {
            bool held = false;
            report.added += central.Copy(
                "push records",
                std::string("COPY clockreader.record (") + kPushColumns + ") FROM STDIN (FORMAT binary)",
                batch, &held);
            if (held) {
                central.Run("push records", "ROLLBACK");
                central.Run("push records", "BEGIN");
                straight = false;
            }
        }
        if (!straight) {
            if (!incoming)
                central.Run("prepare the push",
                            std::string("CREATE TEMPORARY TABLE incoming ON COMMIT DELETE ROWS AS SELECT ") +
                                kPushColumns + " FROM clockreader.record WITH NO DATA");
            incoming = true;
            central.Copy("push records",
                         std::string("COPY incoming (") + kPushColumns + ") FROM STDIN (FORMAT binary)",
                         batch);
            Result inserted = central.Run("push records", std::string("INSERT INTO clockreader.record (") +
                                                              kPushColumns + ") SELECT " + kPushColumns +
                                                              " FROM incoming ON CONFLICT DO NOTHING");
            const std::int64_t added = std::atoll(PQcmdTuples(inserted.get()));
            if (added < count) RefuseOtherBytes(central, store, sentThrough);
            report.added += added;
            straight = added == count;
        }
        central.Run("push records", "COMMIT");
        // Only what the server committed is noted as acknowledged.
        ahead.Acknowledge(next.last);
        report.sent += count;
        sentThrough = next.last;
    }
    ahead.Finish();
    return report;
}

std::int64_t CorrectCentral(PunchStore& store, const PushSettings& settings,
                            const std::vector<std::int64_t>& clockIds)
{
    Central central(settings);
    bool made = false;
    CheckSchema(central, made);
    const std::string site = store.Identity();
    // The rows of the clocks' current lives as the store holds them now.
    std::map<std::int64_t, std::int64_t> lifeBase;
    for (const ClockSummary& summary : store.Clocks()) lifeBase[summary.clock.id] = summary.clock.lifeBase;
    BinaryRows rows;
    for (std::int64_t clockId : clockIds)
        store.ForEachRecord({}, [&](const StoredRecord& record) {
            if (record.clockId == clockId && record.serial >= lifeBase[clockId])
                AppendRow(rows, site, record);
        });
    const std::string doing = "correct its rows of the records decoded again";
    central.Run(doing, "BEGIN");
    central.Run(doing, std::string("CREATE TEMPORARY TABLE corrected ON COMMIT DROP AS SELECT ") +
                           kPushColumns + " FROM clockreader.record WITH NO DATA");
    central.Copy(doing, std::string("COPY corrected (") + kPushColumns + ") FROM STDIN (FORMAT binary)",
                 rows.Finished());
    // Only rows of the same raw bytes: a key never stands for other content.
    Result updated =
        central.Run(doing + " (the role needs UPDATE on clockreader.record)",
                    "UPDATE clockreader.record r SET line = c.line, card = c.card, clock_date = c.clock_date,"
                    " calendar = c.calendar, day = c.day, time = c.time, type = c.type, flagged = c.flagged"
                    " FROM corrected c WHERE r.site = c.site AND r.clock = c.clock AND r.lap = c.lap"
                    " AND r.position = c.position AND r.raw = c.raw AND (r.line, r.flagged) IS DISTINCT FROM"
                    " (c.line, c.flagged)");
    central.Run(doing, "COMMIT");
    return std::atoll(PQcmdTuples(updated.get()));
}

}  // namespace collect
