#include "centraldb.h"

#include <libpq-fe.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "centralconnection.h"
#include "clocklink/clocklink.h"
#include "copystream.h"
#include "export.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// The central schema as version 1 made it; a fresh schema is this and every
// step after it (CentralSchemaSql()). The record key is the site, the clock (its
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

// Version 1 to 2: each push also sends the state of every clock the store
// knows, as rows added (a role that may only insert and select keeps
// working), and clock_status shows the newest row per clock. Roles given
// records before the upgrade get the same on the new table, so a branch's
// push goes on as before.
const char* const kClockHealthSql = R"(CREATE TABLE clockreader.clock_health (
    id bigserial PRIMARY KEY,
    site uuid NOT NULL,
    site_name text NOT NULL,
    clock bigint NOT NULL,
    port text NOT NULL,
    bus text NOT NULL,
    address smallint NOT NULL,
    life integer NOT NULL,
    collected_at timestamptz,
    result text,
    last_error text,
    asked_at timestamptz,
    records bigint NOT NULL,
    pushed_at timestamptz NOT NULL DEFAULT now());
CREATE INDEX clock_health_newest ON clockreader.clock_health (site, clock, id DESC);
CREATE VIEW clockreader.clock_status AS
    SELECT DISTINCT ON (site, clock) site_name AS site, site AS site_id, clock, port, bus, address, life,
           collected_at, result, last_error, asked_at, records, pushed_at
    FROM clockreader.clock_health ORDER BY site, clock, id DESC;
DO $$
DECLARE granted record;
BEGIN
    FOR granted IN SELECT a.privilege_type, r.rolname
                   FROM pg_class c CROSS JOIN LATERAL aclexplode(c.relacl) a
                   JOIN pg_roles r ON r.oid = a.grantee
                   WHERE c.oid = 'clockreader.record'::regclass AND a.grantee <> c.relowner
                     AND a.privilege_type IN ('SELECT', 'INSERT') LOOP
        IF granted.privilege_type = 'SELECT' THEN
            EXECUTE format('GRANT SELECT ON clockreader.clock_health, clockreader.clock_status TO %I',
                           granted.rolname);
        ELSE
            EXECUTE format('GRANT INSERT ON clockreader.clock_health TO %I', granted.rolname);
            EXECUTE format('GRANT USAGE ON SEQUENCE clockreader.clock_health_id_seq TO %I', granted.rolname);
        END IF;
    END LOOP;
END $$;
)";

// The tables whose rows belong to one site, by their column "site". A
// table added here is kept apart per branch like the others.
const char* const kSiteTables[] = {"site_name", "record", "clock_health"};

// What keeps the branches apart. A role that is a member of the group role
// "clockreader_branch" is a branch: it writes and reads the rows of one
// site, the one clockreader.site_role binds to it (by the DBA, or by the
// branch itself once, on its first push). Any other role (the one
// "collector" of a company that wants one role, a reader, the DBA) writes
// and reads every site, as its grants allow. The views read with their
// owner's rights, so that a reader granted only them reads every site: a
// branch is granted the tables, not the views. The policies are forced on the
// tables' owner too, so a schema made by a push obeys them; the site_role
// table itself is read by branch_site() as its owner, and so not forced.
// The site of a branch role is looked up once per statement (a subquery the
// server evaluates once), not once per row of a batch.
std::string RowSecuritySql()
{
    std::string sql = R"(CREATE TABLE clockreader.site_role (
    role name PRIMARY KEY,
    site uuid NOT NULL,
    bound_at timestamptz NOT NULL DEFAULT now());
CREATE FUNCTION clockreader.is_branch(who name) RETURNS boolean
    LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $$
    SELECT coalesce((SELECT pg_has_role(who, g.oid, 'MEMBER') AND NOT u.rolsuper AND NOT u.rolbypassrls
                     FROM pg_roles g, pg_roles u
                     WHERE g.rolname = 'clockreader_branch' AND u.rolname = who), false) $$;
CREATE FUNCTION clockreader.branch_site(who name) RETURNS uuid
    LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT CASE WHEN NOT clockreader.is_branch(who) THEN NULL
                ELSE coalesce((SELECT site FROM clockreader.site_role WHERE role = who),
                              '00000000-0000-0000-0000-000000000000') END $$;
ALTER TABLE clockreader.site_role ENABLE ROW LEVEL SECURITY;
CREATE POLICY every_binding ON clockreader.site_role
    USING (NOT (SELECT clockreader.is_branch(current_user)));
CREATE POLICY own_binding ON clockreader.site_role FOR SELECT USING (role = current_user);
CREATE POLICY bind_itself ON clockreader.site_role FOR INSERT WITH CHECK (role = current_user);
)";
    const auto own = [&sql](const std::string& table, const std::string& column) {
        const std::string mine =
            column + " = coalesce((SELECT clockreader.branch_site(current_user)), " + column + ")";
        sql += "ALTER TABLE clockreader." + table +
               " ENABLE ROW LEVEL SECURITY, FORCE ROW LEVEL SECURITY;\n"
               "CREATE POLICY every_site ON clockreader." +
               table +
               " USING (true) WITH CHECK (true);\n"
               "CREATE POLICY branch_own_site ON clockreader." +
               table + " AS RESTRICTIVE\n    USING (" + mine + ")\n    WITH CHECK (" + mine + ");\n";
    };
    own("site", "id");
    for (const char* table : kSiteTables) own(table, "site");
    return sql;
}

// The steps from each earlier version, in order: the one at index i takes
// a schema of version i + 1 to version i + 2.
std::string ClockHealthSql() { return kClockHealthSql; }
using SchemaStepSql = std::string (*)();
constexpr SchemaStepSql kSchemaSteps[] = {ClockHealthSql, RowSecuritySql};
static_assert(std::size(kSchemaSteps) + 1 == kCentralSchemaVersion, "a step to every version");

// A step and the version it leaves the schema at, as one text.
std::string SchemaStep(int to)
{
    return kSchemaSteps[to - 2]() + "UPDATE clockreader.about SET version = " + std::to_string(to) + ";\n";
}

// The columns a push fills, in the order of its COPY rows.
const char* const kPushColumns =
    "site, clock, lap, position, port, bus, address, line, raw, card, clock_date, calendar, day, time,"
    " type, flagged, collected_at";

// Taken while the schema is looked at and made, so two branches pushing
// first at the same moment make it once ("ClRd", as the store's id).
constexpr long long kSchemaLock = 0x436c5264;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

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

// The fields of a password file's line as libpq reads them: separated by
// ":", a backslash taking the next character as it is.
std::vector<std::string> PasswordFileFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
            fields.back() += line[++i];
        else if (line[i] == ':')
            fields.emplace_back();
        else
            fields.back() += line[i];
    }
    return fields;
}

// Why libpq found no password for `conn` in its password file, for a
// connection the server refused for want of one, or named a database it does
// not have: the file libpq was pointed to (PGPASSFILE, or the default for the
// user the program runs as), what is wrong with it, and the line it needs.
// Empty when there is nothing to say.
std::string PasswordFileAdvice(PGconn* conn)
{
    // libpq reads the file only for a connection that gives no password.
    std::string file;
    bool given = false;
    if (PQconninfoOption* options = PQconninfo(conn)) {
        for (PQconninfoOption* option = options; option->keyword; ++option) {
            const std::string keyword = option->keyword;
            if (keyword == "passfile" && option->val) file = option->val;
            if (keyword == "password" && option->val && *option->val) given = true;
        }
        PQconninfoFree(options);
    }
    if (file.empty() || given) return "";
    const std::string form = "host:port:database:user:password";
    // As libpq matches a line: a socket folder stands for "localhost".
    std::string host = PQhost(conn) ? PQhost(conn) : "";
    if (host.empty() || host[0] == '/') host = "localhost";
    const std::string port = PQport(conn) && *PQport(conn) ? PQport(conn) : "5432",
                      database = PQdb(conn) ? PQdb(conn) : "", user = PQuser(conn) ? PQuser(conn) : "";
    const std::string wanted = host + ":" + port + ":" + database + ":" + user;
    const std::string said = PQerrorMessage(conn);
    if (!PQconnectionNeedsPassword(conn)) {
        if (said.find("database \"") == std::string::npos || said.find("does not exist") == std::string::npos)
            return "";
        return "; is the database name misspelt? It is spelt alike in the connection and in its line of the"
               " password file " +
               file + " (" + form + ")";
    }
    const std::filesystem::path path = PathFromUtf8(file);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        std::filesystem::path typed = path;
        typed += ".txt";
        if (std::filesystem::exists(typed, error))
            return "; the password file " + file + " does not exist, but " + Utf8FromPath(typed) +
                   " does: the file is named " + Utf8FromPath(path.filename()) +
                   " exactly, plain text without a BOM, with a line " + form;
        return "; the password file " + file + " does not exist: libpq reads the password from a line " +
               form + " there (" + wanted + ":...)";
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0 ||
        bytes.find('\0') != std::string::npos)
        return "; the password file " + file +
               " is saved as Unicode (UTF-16), which libpq cannot read: it must be plain text without a BOM,"
               " with a line " +
               form;
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0)
        return "; the password file " + file +
               " begins with a byte order mark (UTF-8 with BOM), which libpq reads as part of its first line:"
               " it must be plain text without a BOM, with a line " +
               form;
#ifndef _WIN32
    const auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    if ((std::filesystem::status(path, error).permissions() & others) != std::filesystem::perms::none)
        return "; the password file " + file + " may be read by others, so libpq ignores it: chmod 600 " +
               file;
#endif
    // The lines for this server and user that name another database.
    std::string otherDatabase;
    std::istringstream lines(bytes);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = PasswordFileFields(line);
        const auto matches = [&](std::size_t at, const std::string& value) {
            return fields.size() >= 5 && (fields[at] == "*" || fields[at] == value);
        };
        if (matches(0, host) && matches(1, port) && matches(3, user) && !matches(2, database) &&
            otherDatabase.empty())
            otherDatabase = fields[2];
        if (matches(0, host) && matches(1, port) && matches(2, database) && matches(3, user)) return "";
    }
    return "; the password file " + file + " holds no line for " + wanted + " of the form " + form +
           (otherDatabase.empty() ? ""
                                  : " (its line for that server and user is for database " + otherDatabase +
                                        ": is one of the two names misspelt?)");
}

// Where a role lacks a privilege (a GRANT missing, or a row a policy
// refuses), the part of docs/central.md that sets up roles.
std::string PrivilegeAdvice(const char* state, const std::string& reason)
{
    if (!state || std::string(state) != "42501") return "";
    if (reason.find("row-level security") != std::string::npos)
        return " (a branch role writes only the site bound to it: see docs/central.md, \"One role per "
               "branch\")";
    return " (the role lacks a grant: docs/central.md gives the SQL of its grants, in \"The schema and the"
           " collector role\", or for a branch's role in \"One role per branch\")";
}

std::vector<std::pair<std::size_t, std::size_t>> PasswordSpans(const std::string& text);

// libpq's reason why `connection` does not read, with any part of it quoted
// there that overlaps a password shown as "***": an unencoded "@" in a
// password makes libpq quote the rest of the password as the host.
std::string MaskQuotedPassword(std::string reason, const std::string& connection)
{
    const auto spans = PasswordSpans(connection);
    for (std::size_t open = reason.find('"'); open != std::string::npos; open = reason.find('"', open + 1)) {
        const std::size_t close = reason.find('"', open + 1);
        if (close == std::string::npos) break;
        const std::string quoted = reason.substr(open + 1, close - open - 1);
        const std::size_t at = quoted.empty() ? std::string::npos : connection.find(quoted);
        const bool secret =
            at != std::string::npos && std::any_of(spans.begin(), spans.end(), [&](auto span) {
                return at < span.first + span.second && span.first < at + quoted.size();
            });
        if (secret) reason.replace(open + 1, quoted.size(), "***");
        open = reason.find('"', open + 1);
    }
    return reason;
}

// A connection to the central database. Every statement is sent without
// waiting and its answer awaited for at most the settings' answer time, so a
// server that stops answering ends the push instead of hanging it.
class Central {
public:
    // Ours first, so that what the connection text sets wins: a statement
    // ends on the server after the answer time too.
    explicit Central(const PushSettings& settings)
        : m_settings(settings),
          m_conn(ConnectToCentral(
              settings.connection,
              {{"options", "-c statement_timeout=" + std::to_string(settings.answerSeconds * 1000)},
               {"keepalives_idle", "30"}}))
    {
    }
    ~Central() { PQfinish(m_conn); }
    Central(const Central&) = delete;
    Central& operator=(const Central&) = delete;

    // "host:port/database", as the connection reached them.
    std::string Server() const { return CentralServer(m_conn); }

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
    std::string Masked(std::string text) const { return MaskPasswordIn(text, m_settings.connection); }

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
            const std::string reason = OneLine(PQresultErrorMessage(error.get()));
            Fail(doing, (reason + PrivilegeAdvice(state, reason)).c_str());
        }
        if (!last) Fail(doing, PQerrorMessage(m_conn));
        return last;
    }

    const PushSettings& m_settings;
    PGconn* m_conn = nullptr;
};

// Brings a schema of version `from` up to this program's, step by step, in
// the transaction (and under the lock) in which it was looked at.
void UpgradeSchema(Central& central, int from)
{
    for (int to = from + 1; to <= kCentralSchemaVersion; ++to)
        central.Run("upgrade the schema clockreader from version " + std::to_string(to - 1) + " to " +
                        std::to_string(to) +
                        " (a role that does not own it needs its owner or a DBA to push once first)",
                    SchemaStep(to));
}

// Makes the schema when the database has none (the first push), and checks
// that the one there is ours and of a version this program writes,
// upgrading an older one. Returns its identity. Nothing is changed when it
// refuses.
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
            CentralSchemaSql());
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
    if (theirs < 1 || theirs > kCentralSchemaVersion) {
        central.Run("", "ROLLBACK");
        central.Fail("refused",
                     ("its schema clockreader is of version " + std::to_string(theirs) +
                      ", this program writes version " + std::to_string(kCentralSchemaVersion) +
                      "; nothing was changed")
                         .c_str(),
                     CentralError::Refused);
    }
    const std::string schemaIdentity = PQgetvalue(about.get(), 0, identity);
    // An older schema is brought to this version in this transaction:
    // under the lock, and all or nothing.
    UpgradeSchema(central, theirs);
    central.Run("make the schema clockreader", "COMMIT");
    return schemaIdentity;
}

// A branch role (see RowSecuritySql()) writes the site bound to it only:
// its first push binds it to this store's site, where the DBA has not bound
// it before. A store of another site is refused here, before anything is
// written, as the policy would refuse its rows.
void BindBranch(Central& central, const PunchStore& store)
{
    const std::string doing = "bind the role to its site";
    const std::string site = store.Identity();
    Result bound = central.Run(doing, "SELECT clockreader.branch_site(current_user), current_user");
    if (PQgetisnull(bound.get(), 0, 0)) return;
    std::string boundSite = PQgetvalue(bound.get(), 0, 0);
    const std::string role = PQgetvalue(bound.get(), 0, 1);
    if (boundSite == "00000000-0000-0000-0000-000000000000") {
        central.Run(doing,
                    "INSERT INTO clockreader.site_role (role, site) VALUES (current_user, $1)"
                    " ON CONFLICT DO NOTHING",
                    {site});
        bound = central.Run(doing, "SELECT clockreader.branch_site(current_user)");
        boundSite = PQgetvalue(bound.get(), 0, 0);
    }
    if (boundSite == site) return;
    Result named =
        central.Run(doing, "SELECT name FROM clockreader.site_name WHERE site = $1 ORDER BY id DESC LIMIT 1",
                    {boundSite});
    if (PQntuples(named.get()) == 1)
        boundSite = std::string(PQgetvalue(named.get(), 0, 0)) + " (" + boundSite + ")";
    central.Fail("refused",
                 ("the role " + role + " is a branch bound to site " + boundSite + ", not to site " +
                  store.SiteName() + " (" + site +
                  ") of this store; the policy branch_own_site lets it write its own site's rows only,"
                  " and nothing was pushed. Push this store with its own branch's role, or have the DBA"
                  " bind the role again: see docs/central.md, \"One role per branch\"")
                     .c_str());
}

// Whether the server's row-level security applies to this role's rows of
// the records: COPY cannot load a table under it, so rows go through the
// temporary table then.
bool RowSecurityApplies(Central& central)
{
    Result active = central.Run("prepare the push", "SELECT row_security_active('clockreader.record')");
    return std::string(PQgetvalue(active.get(), 0, 0)) == "t";
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

// The state of each clock of `clocks` as rows of clockreader.clock_health,
// inside the caller's transaction: the one that commits the push's last
// records, so the rows never tell of records the database does not hold.
void SendHealth(Central& central, const std::string& site, const std::string& siteName,
                const std::vector<ClockSummary>& clocks)
{
    for (const ClockSummary& summary : clocks) {
        const KnownClock& clock = summary.clock;
        central.Run(
            "send the state of its clocks",
            "INSERT INTO clockreader.clock_health (site, site_name, clock, port, bus, address, life,"
            " collected_at, result, last_error, asked_at, records) VALUES ($1, $2, $3, $4, $5, $6, $7,"
            " nullif($8, '')::timestamptz, nullif($9, ''), nullif($10, ''),"
            " nullif($11, '')::timestamptz, $12)",
            {site, siteName, std::to_string(clock.id), clock.port, clock.rs232 ? "rs232" : "rs485",
             std::to_string(clock.number), std::to_string(clock.life), summary.lastCollected,
             summary.lastResult, summary.lastError, summary.lastAsked, std::to_string(summary.records)});
    }
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

namespace {

// The options libpq reads in `connection`, as (keyword, value), in libpq's
// order; nullopt when it does not read.
std::optional<std::vector<std::pair<std::string, std::string>>> ConnectionOptions(
    const std::string& connection)
{
    char* problem = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(connection.c_str(), &problem);
    PQfreemem(problem);
    if (!parsed) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> options;
    for (PQconninfoOption* option = parsed; option->keyword; ++option)
        if (option->val) options.emplace_back(option->keyword, option->val);
    PQconninfoFree(parsed);
    return options;
}

std::optional<std::string> PasswordOf(const std::string& connection)
{
    if (const auto options = ConnectionOptions(connection))
        for (const auto& [keyword, value] : *options)
            if (keyword == "password") return value;
    return std::nullopt;
}

}  // namespace

std::string MaskPassword(const std::string& connection)
{
    std::string masked = connection;
    const auto spans = PasswordSpans(connection);
    for (auto span = spans.rbegin(); span != spans.rend(); ++span)
        masked.replace(span->first, span->second, "***");
    // libpq decides what the password is. Where it reads the masked text
    // with another password than "***" (a key written percent-encoded in a
    // URI, say), the connection is shown as libpq reads it instead.
    const auto options = ConnectionOptions(connection);
    if (!options || !PasswordOf(connection) || PasswordOf(masked) == "***") return masked;
    std::string shown;
    for (const auto& [keyword, value] : *options) {
        std::string quoted;
        for (char c : keyword == "password" ? std::string("***") : value)
            quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        const bool plain = !quoted.empty() && quoted.find_first_of(" \t\n\r\f\v'\\") == std::string::npos;
        shown += (shown.empty() ? "" : " ") + keyword + "=" + (plain ? quoted : "'" + quoted + "'");
    }
    return shown;
}

std::string MaskPasswordIn(const std::string& text, const std::string& connection)
{
    // The connection quoted whole reads as MaskPassword() shows it.
    std::string masked = text;
    if (!connection.empty()) {
        const std::string shown = MaskPassword(connection);
        for (std::size_t at = 0; (at = masked.find(connection, at)) != std::string::npos; at += shown.size())
            masked.replace(at, connection.size(), shown);
    }
    std::vector<std::string> passwords;
    for (const auto& [first, length] : PasswordSpans(connection))
        passwords.push_back(connection.substr(first, length));
    // As libpq reads it too (decoded), unless it is short enough to stand
    // for parts of other words.
    if (const auto password = PasswordOf(connection); password && password->size() >= 3)
        passwords.push_back(*password);
    // Searched on after each mask, which may hold the password itself.
    for (const std::string& password : passwords) {
        if (password.empty()) continue;
        for (std::size_t at = 0; (at = masked.find(password, at)) != std::string::npos; at += 3)
            masked.replace(at, password.size(), "***");
    }
    return masked;
}

const char* CentralSchemaSql()
{
    static const std::string whole = [] {
        std::string sql = kSchemaSql;
        for (int to = 2; to <= kCentralSchemaVersion; ++to) sql += SchemaStep(to);
        return sql;
    }();
    return whole.c_str();
}

PushReport Push(PunchStore& store, const PushSettings& settings)
{
    Central central(settings);
    PushReport report;
    report.server = central.Server();
    report.schemaIdentity = CheckSchema(central, report.madeSchema);

    const std::string site = store.Identity();
    BindBranch(central, store);
    central.Run("register the site", "INSERT INTO clockreader.site (id) VALUES ($1) ON CONFLICT DO NOTHING",
                {site});
    central.Run("name the site",
                "INSERT INTO clockreader.site_name (site, name) SELECT $1, $2 WHERE $2 IS DISTINCT FROM"
                " (SELECT name FROM clockreader.site_name WHERE site = $1 ORDER BY id DESC LIMIT 1)",
                {site, store.SiteName()});
    // The clocks' state as it is before the records are counted: every
    // record it counts is among those this push sends.
    const std::vector<ClockSummary> health = store.Clocks();
    bool healthSent = false, allSent = false;
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
    // Under row-level security every batch goes that way.
    const bool rowSecurity = RowSecurityApplies(central);
    bool straight = !rowSecurity, incoming = false;
    for (std::int64_t sentThrough = afterId; !settings.goOn || settings.goOn(report.sent, total);) {
        const EncodedBatch next = ahead.Next();
        const std::int64_t count = next.count;
        if (count == 0) {
            allSent = true;
            break;
        }
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
            straight = added == count && !rowSecurity;
        }
        if (!healthSent && report.sent + count >= total) {
            SendHealth(central, site, store.SiteName(), health);
            healthSent = true;
        }
        central.Run("push records", "COMMIT");
        // Only what the server committed is noted as acknowledged.
        ahead.Acknowledge(next.last);
        report.sent += count;
        sentThrough = next.last;
    }
    ahead.Finish();
    // Nothing new to push: the clocks' state goes on its own.
    if (allSent && !healthSent) {
        central.Run("send the state of its clocks", "BEGIN");
        SendHealth(central, site, store.SiteName(), health);
        central.Run("send the state of its clocks", "COMMIT");
    }
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

std::string CentralServer(PGconn* conn)
{
    const char* host = PQhost(conn);
    return std::string(host && *host ? host : "localhost") + ":" + (PQport(conn) ? PQport(conn) : "") + "/" +
           (PQdb(conn) ? PQdb(conn) : "");
}

PGconn* ConnectToCentral(const std::string& connection,
                         const std::vector<std::pair<const char*, std::string>>& ours)
{
    char* problem = nullptr;
    if (PQconninfoOption* parsed = PQconninfoParse(connection.c_str(), &problem)) {
        PQconninfoFree(parsed);
        // A URI's password holding an "@" not encoded: libpq reads the rest
        // of it as the server's name, which its messages and ours would
        // show. Such a text never reaches the server meant.
        for (const auto& [first, length] : PasswordSpans(connection))
            if (first + length < connection.size() && connection[first + length] == '@' &&
                connection.substr(first, length).find('@') != std::string::npos)
                throw CentralError(CentralError::BadAddress,
                                   MaskPassword(connection) +
                                       ": the password holds an \"@\", which libpq reads as the end of"
                                       " the password: write each \"@\" of a password as %40");
    } else {
        const std::string reason = MaskQuotedPassword(OneLine(problem), connection);
        PQfreemem(problem);
        throw CentralError(CentralError::BadAddress,
                           MaskPassword(connection) + ": " + MaskPasswordIn(reason, connection));
    }
    std::vector<const char*> keys{"connect_timeout", "fallback_application_name"};
    std::vector<const char*> values{"10", "clockreader-cli"};
    for (const auto& [key, value] : ours) {
        keys.push_back(key);
        values.push_back(value.c_str());
    }
    keys.insert(keys.end(), {"dbname", "client_encoding", nullptr});
    values.insert(values.end(), {connection.c_str(), "UTF8", nullptr});
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!conn) throw CentralError(CentralError::Failed, "out of memory connecting to the central database");
    if (PQstatus(conn) != CONNECTION_OK) {
        const CentralError error(CentralError::Failed,
                                 "central database " + CentralServer(conn) + ": cannot connect: " +
                                     MaskPasswordIn(OneLine(PQerrorMessage(conn)), connection) +
                                     PasswordFileAdvice(conn));
        PQfinish(conn);
        throw error;
    }
    return conn;
}

}  // namespace collect
