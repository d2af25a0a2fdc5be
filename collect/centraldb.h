// Pushing a punch store's records to a central PostgreSQL database, where
// the records of every branch meet, each exactly once.
//
// The central schema "clockreader" keeps a row per record keyed by the site
// (the store's identity), the clock (its id in that store), the lap and the
// position, so two branches never merge and a record pushed twice is kept
// once. Rows go in by COPY, at most kPushBatch a transaction: straight into
// the table while none of them is held there, else into a temporary table
// and on by INSERT ... ON CONFLICT DO NOTHING, where a row passed over must
// hold the bytes of the one pushed: other bytes under the same key are
// another store's record (a copy of this one), never a duplicate, and stop
// the push before that batch is committed. The store notes the
// highest record id the central database acknowledged only after the commit,
// per central schema (by the identity the schema got when it was made). A
// push that was killed or failed is redone from there: nothing is lost, and
// what is sent again is not doubled.
//
// Each push also adds a row per clock of the store to clock_health: its
// names, life, last collection and the outcome of the last run that asked
// it. They go in the transaction of the push's last records, so they never
// tell of records the central database does not hold. A schema of an
// earlier version is brought up to this one, step by step, by the push
// that finds it.
//
// A role of a branch (a member of the group role clockreader_branch) writes
// and reads the rows of one site only, the one bound to it; the server's
// row-level security enforces it, and a push of another site's store is
// refused before anything is written.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "punchstore.h"

namespace collect {

inline constexpr int kCentralSchemaVersion = 3;
inline constexpr std::int64_t kPushBatch = 10000;

class CentralError : public std::runtime_error {
public:
    // BadAddress: the connection text does not read. Refused: the database
    // holds a "clockreader" schema that is not ours to write (a newer
    // version, another program's); nothing was changed. Failed: the server
    // could not be reached, refused the role (a grant missing, a branch role
    // pushing another site's store), failed or did not answer.
    // Conflict: the database holds other bytes under the key of a record
    // pushed; the transaction that found them was rolled back.
    enum Kind { BadAddress, Refused, Failed, Conflict };
    CentralError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// `connection` (a libpq URI or key=value text) with its password, if any,
// shown as "***": the only form in which a connection is ever printed.
std::string MaskPassword(const std::string& connection);
// `text` with the password of `connection` (as written there) shown as "***".
std::string MaskPasswordIn(const std::string& text, const std::string& connection);

// The SQL that makes the central schema, for a DBA to run by hand: the
// first version's, then each step that brought it to this program's.
const char* CentralSchemaSql();

struct PushReport {
    std::string server;          // "host:port/database"
    std::string schemaIdentity;  // the central schema's identity
    bool madeSchema = false;     // this push made the schema
    std::int64_t sent = 0;       // records sent
    std::int64_t added = 0;      // of them, new to the central database
};

struct PushSettings {
    std::string connection;  // libpq URI or key=value text
    // Seconds to wait for each answer of the server; the server also stops
    // a statement that runs that long (unless the connection sets its own
    // statement_timeout through "options").
    int answerSeconds = 120;
    // Asked between transactions; false stops the push there (what was
    // committed stays acknowledged).
    std::function<bool(std::int64_t sent, std::int64_t total)> goOn;
};

// Sends every record of `store` the central database has not acknowledged,
// of those its identity holds (after OwnRecordsAfter()). While it runs, the
// store is read and written on a thread of its own (copystream.h), which
// prepares the next batch while the server takes the current one.
// Raises CentralError (the server named, the password masked) or StoreError.
PushReport Push(PunchStore& store, const PushSettings& settings);

// After the store's records of `clockIds` were decoded again in another
// layout (relayout.h): the central rows of their current lives take the
// lines and fields the store holds now, in one transaction, where the
// central row holds the same raw bytes. Needs a role that may UPDATE
// clockreader.record. Returns the rows changed; raises CentralError.
std::int64_t CorrectCentral(PunchStore& store, const PushSettings& settings,
                            const std::vector<std::int64_t>& clockIds);

}  // namespace collect
