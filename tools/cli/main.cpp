// clockreader-cli: the window's three operations from a command line, for
// unattended downloads. See HelpText() in options.cpp for the interface.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "options.h"
#include "pointers/pointers.h"
#include "progress.h"
#include "serial/comport.h"
#include "terminalwindow.h"

namespace {

using namespace cli;

std::atomic<int> g_stopSignal{0};

// SIGINT and SIGTERM are taken by a thread of their own through sigwait(),
// blocked everywhere else: no system call of the serial port is ever
// interrupted, and the download sees the request through StopRequested()
// between records. A second signal ends the program at once; every line
// already written is on disk by then.
void WatchStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) continue;
            int expected = 0;
            if (!g_stopSignal.compare_exchange_strong(expected, signal)) _exit(128 + signal);
        }
    }).detach();
}

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

void PrintDownloadSummary(const TerminalWindow& window)
{
    if (window.RecordTotalText().empty()) return;
    std::string read = window.RecordsReadText().empty() ? "0" : window.RecordsReadText();
    std::printf("total %s\nread %s\n", window.RecordTotalText().c_str(), read.c_str());
}

int Main(int argc, char** argv)
{
    const std::string program =
        argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "clockreader-cli";
    Options options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), error.what(), program.c_str());
        return kExitBadInput;
    }
    if (options.command == Command::Help) {
        std::fputs(HelpText(program).c_str(), stdout);
        return kExitComplete;
    }

    // Only a download has records to save on a stop; any other command is
    // simply ended by a signal.
    if (Downloads(options)) WatchStopSignals();
    if (!options.portsDirectory.empty()) SetComPortDirectory(options.portsDirectory);

    ProgressMeter progress(stderr, isatty(STDERR_FILENO) == 1);
    TerminalWindow window(options, progress, stderr, program, [] { return g_stopSignal.load() != 0; });

    if (Downloads(options)) {
        try {
            window.CreateOutputFiles(options.outDirectory);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: --out: %s\n", program.c_str(), error.what());
            return kExitBadInput;
        }
    }

    bool cutShort = false;
    auto download = [&] {
        Run(window, RunDownload);
        progress.Finish();
        PrintDownloadSummary(window);
        cutShort = window.ProgressPosition() < window.ProgressMaximum();
    };
    switch (options.command) {
    case Command::Download: download(); break;
    case Command::Pointers:
        Run(window, RunPointerQuery);
        if (window.Status() == kExitComplete)
            std::printf("ARI %s\nAWI %s\n", window.ReadIndexText().c_str(), window.WriteIndexText().c_str());
        break;
    case Command::Find:
        Run(window, RunDateRangeSearch);
        if (window.Status() != kExitComplete) break;
        std::printf("start %s\ncount %s\n", window.StartText().c_str(), window.CountText().c_str());
        std::fflush(stdout);
        if (!options.downloadAfterFind) break;
        if (g_stopSignal.load() != 0)
            cutShort = true;
        else
            download();
        break;
    case Command::Help: break;
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

    if (window.Status() == kExitComplete && cutShort && g_stopSignal.load() != 0)
        return 128 + g_stopSignal.load();
    return window.Status();
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
