// What clockreader-cli needs of its process beyond standard C++: the command
// line as UTF-8, whether standard error is a terminal, and the operator's or
// the system's requests to stop. One file per platform (process_posix.cpp,
// process_win32.cpp).
//
// Stop requests are SIGINT, SIGTERM and SIGHUP (a closed terminal) on POSIX
// systems; Ctrl+C and Ctrl+Break (both counted as SIGINT) and the closing of
// the console window, a log-off or a shut-down (counted as SIGHUP) on
// Windows. The first asks the operations to stop after the current record;
// they see it through StopSignal() and their waits for the clock are cut
// short. A second one ends the program at once: every line already written
// is on disk by then, and the port's lock file is removed on the way out.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// The arguments after the program's name, as UTF-8 text; `argv[0]`'s file
// name as `program` (or "clockreader-cli").
std::vector<std::string> CommandLineArguments(int argc, char** argv, std::string& program);

bool StandardErrorIsTerminal();

// Writes UTF-8 `text` to `stream`. A Windows console is given it as UTF-16
// (WriteConsoleW), so Persian shows whatever the console's code page; files
// and pipes get the UTF-8 bytes unchanged, as on POSIX systems.
void WriteText(std::FILE* stream, const std::string& text);

// Starts watching for stop requests; call once, early.
void WatchStopSignals();
// 0 until a stop was requested, then the POSIX number of the signal it was
// or stands for; a run that was cut short exits with 128 + that number.
int StopSignal();
// The program has written and closed all it will; a stop that the system
// makes wait for the program's end (a console being closed) may go on.
void StopSignalsFinished();

// Standard output passes line ends as they are written (CR LF stays CR LF
// on Windows too).
void UseBinaryStandardOutput();
// Creates (or empties) the file at the UTF-8 path for binary writing;
// nullptr when it cannot.
std::FILE* OpenFileForWriting(const std::string& path);

}  // namespace cli
