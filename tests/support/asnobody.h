// Running as the unprivileged user "nobody" (uid and gid 65534), for tests
// of what a user may not do: root passes every permission check.
#pragma once

#include <functional>
#include <string>

// Drops this process's groups and becomes uid/gid 65534. False (errno set)
// when that is not allowed, e.g. when not running as root.
bool BecomeNobody();

// Runs `attempt` in a child process as "nobody" and returns what it
// reported; "skip: why" when privileges cannot be dropped here, "child
// failed" when the child did not end normally.
std::string RunAsNobody(const std::function<std::string()>& attempt);
