// clockreader-cli: the window's three operations from a command line, for
// unattended downloads. See HelpText() in options.cpp for the interface.
#include <cstdio>
#include <exception>

#include "clocklink/clocklink.h"
#include "collect/export.h"
#include "collection.h"
#include "download/download.h"
#include "options.h"
#include "pointers/pointers.h"
#include "process.h"
#include "progress.h"
#include "serial/comport.h"
#include "terminalwindow.h"
#include "utils/utf8path.h"

namespace {

using namespace cli;

// Runs one operation; an error it lets escape is reported like any other.
template <typename Operation>
void Run(TerminalWindow& window, Operation operation)
{
    try {
        operation(window);
    } catch (const std::exception& error) {
        window.ReportError(error);
    } catch (...) {
        window.ReportError(std::runtime_error("unexpected failure"));
    }
}

// The download; true when it read every record asked for (or the clock
// holds none).
bool Download(TerminalWindow& window, ProgressMeter& progress)
{
    Run(window, RunDownload);
    progress.Finish();
    if (!window.RecordTotalText().empty() || window.ClockHoldsNoRecords()) {
        const std::string total = window.RecordTotalText().empty() ? "0" : window.RecordTotalText();
        const std::string read = window.RecordsReadText().empty() ? "0" : window.RecordsReadText();
        std::printf("total %s\nread %s\n", total.c_str(), read.c_str());
    }
    return window.Status() == kExitComplete &&
           (window.ClockHoldsNoRecords() || window.ProgressPosition() >= window.ProgressMaximum());
}

// The pointer query; true when both pointers were read. A pointer that
// could not be read ("-1") is a communication failure.
bool Pointers(TerminalWindow& window, const std::string& program)
{
    Run(window, RunPointerQuery);
    if (window.Status() != kExitComplete) return false;
    if (window.ClockHoldsNoRecords()) return true;
    auto known = [](const std::string& text) { return !text.empty() && text != "-1"; };
    const bool read = known(window.ReadIndexText()) && known(window.WriteIndexText());
    // Cut short by a stop: there is nothing true to print.
    if (!read && window.StopRequested()) return false;
    std::printf("ARI %s\nAWI %s\n", window.ReadIndexText().c_str(), window.WriteIndexText().c_str());
    if (!read) {
        window.Say(program + (window.ReadIndexText() == "-1"
                                  ? ": the clock's read pointer could not be read"
                                  : ": the clock's write pointer could not be read"));
        window.Fail(kExitCommunicationError);
    }
    return read;
}

// The date-range search, and the download of its records when asked for;
// true when all of it was done.
bool Find(TerminalWindow& window, ProgressMeter& progress, bool download)
{
    Run(window, RunDateRangeSearch);
    if (window.Status() != kExitComplete || !window.SearchDone()) return false;
    std::printf("start %s\ncount %s\n", window.StartText().c_str(), window.CountText().c_str());
    std::fflush(stdout);
    if (!download) return true;
    if (window.StopRequested()) return false;
    return Download(window, progress);
}

// Writes stored records again; returns the exit status.
int Export(const Options& options, const std::string& program)
{
    const std::string store = Utf8FromPath(PathFromUtf8(options.outDirectory) / collect::kStoreFileName);
    try {
        collect::PunchStore punches(store, collect::PunchStore::Access::Read);
        collect::ExportRequest request;
        if (options.selectPort)
            request.selection.port = options.portPath.empty() ? "COM" + options.comText : options.portPath;
        if (options.selectClock) request.selection.clock = std::stoi(options.clock);
        request.from = options.exportFrom;
        request.to = options.exportTo;
        request.csv = options.csv;
        std::FILE* out = stdout;
        if (!options.exportFile.empty()) {
            out = OpenFileForWriting(options.exportFile);
            if (!out) {
                std::fprintf(stderr, "%s: --file: cannot create %s\n", program.c_str(),
                             options.exportFile.c_str());
                return kExitOtherError;
            }
        } else {
            UseBinaryStandardOutput();
        }
        const std::int64_t written = collect::ExportRecords(punches, request, out);
        const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
        if (!closed) {
            std::fprintf(stderr, "%s: cannot write %s\n", program.c_str(),
                         options.exportFile.empty() ? "standard output" : options.exportFile.c_str());
            return kExitOtherError;
        }
        std::fprintf(stderr, "%s: %lld records exported\n", program.c_str(), static_cast<long long>(written));
        return kExitComplete;
    } catch (const collect::StoreError& error) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
        return error.kind() == collect::StoreError::NotAStore ? kExitBadInput : kExitOtherError;
    }
}

int Main(int argc, char** argv)
{
    std::string program;
    const std::vector<std::string> arguments = CommandLineArguments(argc, argv, program);
    Options options;
    try {
        options = ParseOptions(arguments);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), error.what(), program.c_str());
        return kExitBadInput;
    }
    if (options.command == Command::Help) {
        std::fputs(HelpText(program).c_str(), stdout);
        return kExitComplete;
    }
    if (options.command == Command::Version) {
        std::fputs(VersionText(program).c_str(), stdout);
        return kExitComplete;
    }

    if (options.command == Command::Export) return Export(options, program);

    WatchStopSignals();
    if (!options.portsDirectory.empty()) SetComPortDirectory(options.portsDirectory);

    // A converter's address that does not read or whose host does not
    // resolve is bad input, refused before anything is sent.
    {
        const std::string port = options.portPath.empty() ? "COM" + options.comText : options.portPath;
        const std::string address = ComPortNetworkAddress(port);
        if (const std::string problem = address.empty() ? "" : NetworkAddressProblem(address);
            !problem.empty()) {
            const std::string label = address == port ? port : port + " -> " + address;
            std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), label.c_str(), problem.c_str());
            return kExitBadInput;
        }
    }

    ProgressMeter progress(stderr, StandardErrorIsTerminal());
    if (IsCollection(options)) {
        const int status = RunCollection(options, progress, program, [] { return StopSignal(); });
        StopSignalsFinished();
        return status;
    }
    TerminalWindow window(options, progress, stderr, program, [] { return StopSignal() != 0; });

    // The files are taken before the port: a run that finds them held by
    // another program touches neither the files nor the clock.
    if (Downloads(options)) {
        try {
            window.OpenOutputFiles(options.outDirectory);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: --out: %s\n", program.c_str(), error.what());
            return kExitOtherError;
        }
    }

    bool done = false;
    switch (options.command) {
    case Command::Download: done = Download(window, progress); break;
    case Command::Pointers: done = Pointers(window, program); break;
    case Command::Find: done = Find(window, progress, options.downloadAfterFind); break;
    case Command::Export:
    case Command::Help:
    case Command::Version: break;
    }

    try {
        ReleaseSharedPort();
    } catch (const std::exception& error) {
        window.ReportError(error);
    }
    if (Downloads(options)) {
        try {
            window.CloseOutputFiles();
        } catch (const std::exception& error) {
            window.ReportError(error);
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
    StopSignalsFinished();

    if (const int signal = StopSignal(); signal != 0 && !done) return 128 + signal;
    return window.Status();
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
