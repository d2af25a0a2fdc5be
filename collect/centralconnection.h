// The connection to the central database that the push and the export from
// it share: the connection text checked before anything is tried, and a
// refusal told with the server, libpq's reason (any password masked) and
// what is wrong with the password file libpq read.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <utility>
#include <vector>

namespace collect {

// libpq's reason, on one line.
std::string OneLine(const char* text);

// "host:port/database", as `conn` reached them.
std::string CentralServer(PGconn* conn);

// Connects to the database `connection` (a URI or key=value text) names.
// `ours` are settings of our own (such as "options" or the keepalives),
// given before the connection text so that what it sets wins. Raises
// CentralError: BadAddress when the text does not read, Failed when the
// server cannot be reached or refuses.
PGconn* ConnectToCentral(const std::string& connection,
                         const std::vector<std::pair<const char*, std::string>>& ours);

}  // namespace collect
