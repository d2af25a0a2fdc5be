// The status file of a run: a small JSON document that a monitor (a systemd
// unit, a Task Scheduler task, a watchdog script) reads to learn how the
// last run went without parsing its messages.
//
// The caller fills a RunStatus as the run goes and writes it once the run
// has ended. The file is replaced as one step (written beside its name,
// flushed, renamed over it), so a reader sees the previous run's document or
// this one's, never half of either.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct RunStatus {
    // What ran: "download", "push", ...
    std::string command;
    // When it began and ended, as ISO 8601 UTC ("2026-12-08T02:30:00Z").
    std::string started, ended;
    int exitStatus = 0;
    // Why the run was refused before it reached a clock (a damaged or
    // foreign punch store, a folder in use, a port's address that does not
    // read), as the message said it; empty when it was not.
    std::string refused;
    struct Clock {
        std::string name;    // as messages name it: "COM3 clock 2"
        std::string port;    // the port as given: "COM3", "/dev/ttyUSB0", a URL
        int clock = 0;       // the clock's number on its bus
        std::string result;  // "complete", "communication error", ...
        std::int64_t records = 0, flagged = 0;
        std::string lastError;  // the last error said about it; empty when none
        // Which clock answered, when it is not simply the one known there:
        // "new life", "known before as COM3 clock 2"; empty otherwise.
        std::string identity{};
        std::string lastAsked{};  // a clock left out as absent: when it was last asked
    };
    std::vector<Clock> clocks;
};

// The present moment as RunStatus keeps it.
std::string StatusTimeNow();
// `seconds` since 1970-01-01 UTC as RunStatus keeps a time.
std::string StatusTime(std::int64_t seconds);

// `text` as a JSON string, quotes included. Quotes, backslashes and control
// characters are escaped; bytes that are not UTF-8 become U+FFFD, so the
// document stays valid whatever a port name or a clock's answer holds.
std::string JsonString(std::string_view text);

// The document of `status`.
std::string StatusJson(const RunStatus& status);

// Replaces the file `path` with the document of `status`. Raises
// EInOutError naming the file when it cannot be written.
void WriteStatusFile(const std::string& path, const RunStatus& status);

}  // namespace cli
