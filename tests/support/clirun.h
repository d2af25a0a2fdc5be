// clockreader-cli as the tests and the soak and bench tools run it: its
// command line, and a run to its end with what it printed. Each target that
// runs it defines CLOCKREADER_CLI_PATH, the program built beside it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "childprocess.h"
#include "simprocess.h"
#include "tempdir.h"

#ifdef CLOCKREADER_CLI_PATH
inline const std::string kCliPath = CLOCKREADER_CLI_PATH;
#endif

struct CliRun {
    int status = -1;      // exit status, or 128 + the signal that ended it
    bool exited = false;  // ended by exit, not by a signal
    bool hung = false;    // killed because it outlived the wait's limit
    std::string out, err;
};

// `program` followed by `args`.
inline std::vector<std::string> CliArgv(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The files of `dir` a run prints into.
inline std::string CliOutPath(const TempDir& dir) { return dir / "stdout"; }
inline std::string CliErrPath(const TempDir& dir) { return dir / "stderr"; }

// How a run that printed into `dir` ended, with what it printed.
inline CliRun CliRunOf(const ChildResult& end, const TempDir& dir)
{
    return CliRun{end.status, end.exited, end.hung, ReadWholeFile(CliOutPath(dir)),
                  ReadWholeFile(CliErrPath(dir))};
}

// Runs `program` with `args` to its end, printing into `dir`; killed as
// hung after `limit`.
inline CliRun RunCliIn(const TempDir& dir, const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds limit)
{
    return CliRunOf(RunChild(CliArgv(program, args), CliOutPath(dir), CliErrPath(dir), limit), dir);
}
