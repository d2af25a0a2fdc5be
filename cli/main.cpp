// clockreader-cli: the window's three operations from a command line, for
// unattended downloads. See HelpText() in options.cpp for the interface.
#include <cstdio>
#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "clocklink/clocklink.h"
#include "collect/centraldb.h"
#include "collect/centralreader.h"
#include "collect/clockidentity.h"
#include "collect/export.h"
#include "collect/workbook.h"
#include "collection.h"
#include "download/download.h"
#include "options.h"
#include "pointers/pointers.h"
#include "process.h"
#include "progress.h"
#include "statusfile.h"
#include "push.h"
#include "relayout.h"
#include "site.h"
#include "serial/comport.h"
#include "commandlinewindow.h"
#include "utils/text.h"
#include "utils/utf8path.h"

namespace {

using namespace cli;

// Runs one operation; an error it lets escape is reported like any other.
template <typename Operation>
void Run(CommandLineWindow& window, Operation operation)
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
bool Download(CommandLineWindow& window, ProgressMeter& progress, const Options& options)
{
    RunChosenDownload(window, [&](std::int32_t held) { return ChooseRecords(window, options, held); });
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
bool Pointers(CommandLineWindow& window)
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
        window.SayError(window.ReadIndexText() == "-1" ? "the clock's read pointer could not be read"
                                                       : "the clock's write pointer could not be read");
        window.Fail(kExitCommunicationError);
    }
    return read;
}

// The date-range search, and the download of its records when asked for;
// true when all of it was done.
bool Find(CommandLineWindow& window, ProgressMeter& progress, const Options& options)
{
    Run(window, [](ClockWindow& w) { RunDateRangeSearch(w, SearchCount::HeldRecords); });
    if (window.Status() != kExitComplete || !window.SearchDone()) return false;
    std::printf("start %s\ncount %s\n", window.StartText().c_str(), window.CountText().c_str());
    std::fflush(stdout);
    if (!options.downloadAfterFind) return true;
    if (window.StopRequested()) return false;
    return Download(window, progress, options);
}

// Writes an export to --file, whole beside it and then renamed into place,
// or to standard output: `records` writes the text formats, `workbook` the
// workbook. Returns the exit status; the source's own failures pass on.
int WriteExport(const Options& options, const std::string& program,
                const std::function<std::int64_t(std::FILE*)>& records,
                const std::function<std::int64_t(const std::string&)>& workbook)
{
    if (options.exportFormat == "xlsx") {
        try {
            const std::int64_t written = workbook(options.exportFile);
            Log(program + ": " + CountOf(written, "record") + " exported");
            return kExitComplete;
        } catch (const collect::StoreError&) {
            throw;
        } catch (const collect::CentralError&) {
            throw;
        } catch (const std::exception& error) {
            Log(program + ": --file: " + error.what());
            return kExitOtherError;
        }
    }
    // The file is written whole under another name, then put in place.
    std::optional<collect::ExportFile> file;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(nullptr, std::fclose);
    std::FILE* out = stdout;
    if (!options.exportFile.empty()) {
        file.emplace(options.exportFile);
        opened.reset(OpenFileForWriting(file->Path()));
        out = opened.get();
        if (!out) {
            Log(program + ": --file: cannot create " + options.exportFile);
            return kExitOtherError;
        }
    } else {
        UseBinaryStandardOutput();
    }
    const std::int64_t written = records(out);
    bool closed = std::ferror(out) == 0 && std::fflush(out) == 0;
    if (file) closed = std::fclose(opened.release()) == 0 && closed;
    try {
        if (closed && file) file->Commit();
    } catch (const std::exception& error) {
        Log(program + ": --file: " + error.what());
        return kExitOtherError;
    }
    if (!closed) {
        Log(program + ": cannot write " + (file ? options.exportFile : std::string("standard output")));
        return kExitOtherError;
    }
    Log(program + ": " + CountOf(written, "record") + " exported");
    return kExitComplete;
}

collect::ExportFormat FormatOf(const Options& options)
{
    return options.exportFormat == "csv"     ? collect::ExportFormat::Csv
           : options.exportFormat == "daily" ? collect::ExportFormat::Daily
           : options.exportFormat == "xlsx"  ? collect::ExportFormat::Workbook
                                             : collect::ExportFormat::Dump;
}

// export --from-db: the central database's records; returns the exit status.
int ExportCentral(const Options& options, const std::string& program)
{
    collect::CentralRequest request;
    request.connection = options.fromDb;
    request.site = options.exportSite;
    request.from = options.exportSpanFrom;
    request.to = options.exportSpanTo;
    request.format = FormatOf(options);
    try {
        return WriteExport(
            options, program, [&](std::FILE* out) { return collect::ExportCentralRecords(request, out); },
            [&](const std::string& path) { return collect::ExportCentralWorkbook(request, path); });
    } catch (const collect::CentralError& error) {
        Log(program + ": " + error.what());
        return error.kind() == collect::CentralError::Failed ? kExitCentralError : kExitBadInput;
    }
}

// Writes stored records again; returns the exit status.
int Export(const Options& options, const std::string& program, const std::string& store)
{
    // The store's own files are refused before anything is opened: writing
    // an export there destroys what it reads.
    if (!options.exportFile.empty())
        if (const std::string problem =
                collect::ExportTargetProblem(options.outDirectory, options.exportFile);
            !problem.empty()) {
            Log(program + ": --file: " + problem);
            return kExitBadInput;
        }
    if (!options.fromDb.empty()) return ExportCentral(options, program);
    collect::PunchStore punches(store, collect::PunchStore::Access::Read);
    collect::ExportRequest request;
    if (options.selectPort) {
        request.selection.port = options.portPath.empty() ? "COM" + options.comText : options.portPath;
        if (!punches.KnowsPort(request.selection.port)) {
            std::string known;
            for (const std::string& port : punches.Ports()) known += (known.empty() ? "" : ", ") + port;
            Log(program + ": --port: " + store + " holds no records read on " + request.selection.port +
                (known.empty() ? "; it holds none yet" : "; the ports it knows: " + known));
            return kExitBadInput;
        }
    }
    if (options.selectClock) request.selection.clock = std::stoi(options.clock);
    request.from = options.exportSpanFrom;
    request.to = options.exportSpanTo;
    request.format = FormatOf(options);
    if (!options.exportLayout.empty()) request.vireo = options.exportLayout == "vireo";
    return WriteExport(
        options, program, [&](std::FILE* out) { return collect::ExportRecords(punches, request, out); },
        [&](const std::string& path) { return collect::ExportWorkbook(punches, request, path); });
}

// The clocks the store knows; returns the exit status.
int ListClocks(collect::PunchStore& punches)
{
    std::printf("site %s (%s)\n", punches.SiteName().c_str(), punches.Identity().c_str());
    std::fputs(PublicationText(punches).c_str(), stdout);
    std::printf("clock  bus    address  life  next position  records  last collected        names\n");
    for (const collect::ClockSummary& c : punches.Clocks()) {
        std::string names;
        for (const std::string& name : c.names) names += (names.empty() ? "" : ", ") + name;
        const std::string next =
            c.clock.position ? std::to_string(c.clock.position->nextSerial % kRingSize) : std::string("-");
        std::printf("%5lld  %-5s  %7d  %4d  %13s  %7lld  %-20s  %s\n", static_cast<long long>(c.clock.id),
                    c.clock.rs232 ? "rs232" : "rs485", c.clock.number, c.clock.life, next.c_str(),
                    static_cast<long long>(c.records),
                    c.lastCollected.empty() ? "-" : c.lastCollected.c_str(), names.c_str());
    }
    return kExitComplete;
}

// The store commands that talk to no clock: export, clocks, verify and
// backup. Returns the exit status.
int LookAfterStore(const Options& options, const std::string& program)
{
    const std::string store = Utf8FromPath(PathFromUtf8(options.outDirectory) / collect::kStoreFileName);
    try {
        if (options.command == Command::Export) return Export(options, program, store);
        if (options.command == Command::Verify) {
            collect::PunchStore punches(store, collect::PunchStore::Access::Inspect);
            const std::vector<std::string> problems = punches.IntegrityProblems();
            for (const std::string& problem : problems) Log(program + ": " + store + ": " + problem);
            if (problems.empty()) {
                std::printf("%s: every page is sound%s (%s)%s\n", store.c_str(),
                            punches.RecordsChecksummed() ? " and every record matches its checksum" : "",
                            CountOf(punches.LastRecordId(), "record").c_str(),
                            punches.RecordsChecksummed()
                                ? ""
                                : "; its records carry no checksums yet, so bytes changed inside a record"
                                  " cannot be seen until the next download --new gives them theirs");
                return kExitComplete;
            }
            Log(program + ": " + store +
                " is damaged. Stop the scheduled runs, keep the damaged file, and put back the newest backup"
                " (clockreader-cli backup) or the copy an upgrade kept (Punches.db.v2, Punches.db.v1); the"
                " published files hold every record published so far");
            return kExitBadInput;
        }
        collect::PunchStore punches(store, collect::PunchStore::Access::Read);
        if (options.command == Command::Clocks) return ListClocks(punches);
        punches.BackUp(options.exportFile);
        Log(program + ": " + store + " copied to " + options.exportFile);
        return kExitComplete;
    } catch (const collect::StoreError& error) {
        Log(program + ": " + error.what());
        return StatusOfError(error);
    }
}

int RunClockCommand(const Options& options, const std::string& program, RunStatus& report);

int Main(int argc, char** argv)
{
    std::string program;
    const std::vector<std::string> arguments = CommandLineArguments(argc, argv, program);
    Options options;
    try {
        options = ParseOptions(arguments);
    } catch (const UsageError& error) {
        const bool terminal = StandardErrorIsTerminal();
        std::fprintf(stderr, "%s\n%s\n", LogLine(terminal, program + ": " + error.what()).c_str(),
                     LogLine(terminal, "Try '" + program + " --help'.").c_str());
        return kExitBadInput;
    }
    if (options.command == Command::Help) {
        std::fputs(HelpText(program, options.helpTopic).c_str(), stdout);
        return kExitComplete;
    }
    if (options.command == Command::Version) {
        std::fputs(VersionText(program).c_str(), stdout);
        return kExitComplete;
    }

    if (options.command == Command::Site) return ManageSite(options, program);
    if (options.command == Command::Export || options.command == Command::Clocks ||
        options.command == Command::Verify || options.command == Command::Backup)
        return LookAfterStore(options, program);
    if (options.command == Command::Relayout) return RelayoutStore(options, program);

    WatchStopSignals();
    if (!options.portsDirectory.empty()) SetComPortDirectory(options.portsDirectory);
    RunStatus report;
    report.command = options.command == Command::Pointers ? "pointers"
                     : options.command == Command::Find   ? "find"
                     : options.command == Command::Push   ? "push"
                                                          : "download";
    report.started = StatusTimeNow();
    int status = kExitComplete;
    if (options.command == Command::Push) {
        status = PushStore(
            options, program, [] { return StopSignal(); }, &report);
        StopSignalsFinished();
    } else {
        status = RunClockCommand(options, program, report);
    }
    if (!options.statusFile.empty()) {
        report.ended = StatusTimeNow();
        report.exitStatus = status;
        try {
            WriteStatusFile(options.statusFile, report);
        } catch (const std::exception& error) {
            // A monitor would go on reading the previous run's summary: the
            // run does not count as done.
            Log(program + ": --status-file: " + error.what());
            if (status == kExitComplete) status = kExitOtherError;
        }
    }
    return status;
}

// Runs the command that talks to clocks and returns its exit status; a
// download adds its clocks to `report`.
int RunClockCommand(const Options& options, const std::string& program, RunStatus& report)
{
    // A converter's address that does not read or whose host does not
    // resolve is bad input, refused before anything is sent; so is a
    // ports.txt with a line that does not read.
    const auto refuse = [&](int status, const std::string& reason) {
        Log(program + ": " + reason);
        report.refused = reason;
        return status;
    };
    if (const std::string problem = ComPortMapProblem(); !problem.empty())
        return refuse(kExitBadInput, problem);
    const auto portOf = [](const Options& o) { return o.portPath.empty() ? "COM" + o.comText : o.portPath; };
    // A site's lines are checked as --port is, each of them.
    std::vector<const Options*> ports{&options};
    if (!options.site.empty()) {
        ports.clear();
        for (const Options& line : options.site) ports.push_back(&line);
    }
    for (const Options* line : ports) {
        const std::string port = portOf(*line);
        const std::string address = ComPortNetworkAddress(port);
        if (const std::string problem = address.empty() ? "" : NetworkAddressProblem(address);
            !problem.empty()) {
            const std::string label = address == port ? port : port + " -> " + address;
            return refuse(kExitBadInput, label + ": " + problem);
        }
    }
    // Two lines on one port would each take it from the other, or share
    // one store position under two names: refused before any is read.
    std::vector<std::pair<std::string, const Options*>> reached;
    for (const Options* line : ports)
        for (const std::string& reach : collect::PortReaches(portOf(*line))) {
            const auto same = std::find_if(reached.begin(), reached.end(), [&](const auto& r) {
                return r.first == reach && r.second != line;
            });
            if (same != reached.end())
                return refuse(kExitBadInput,
                              options.siteFile + " line " + std::to_string(line->siteLine) + ": the port " +
                                  portOf(*line) + " is the port " + portOf(*same->second) + " of " +
                                  options.siteFile + " line " + std::to_string(same->second->siteLine) +
                                  " written another way (both reach " + reach + "); list each port once");
            reached.emplace_back(reach, line);
        }

    ProgressMeter progress(stderr, StandardErrorIsTerminal());
    if (IsCollection(options)) {
        int status = RunCollection(
            options, progress, program, [] { return StopSignal(); }, &report);
        // What was collected is pushed whatever became of single clocks;
        // the push's failure is the run's status only when the collection
        // itself was complete.
        if (!options.central.empty() && StopSignal() == 0 &&
            (status == kExitComplete || status == kExitSomeClocksFailed ||
             status == kExitCommunicationError || status == kExitRecordError || status == kExitPortError)) {
            const int pushed = PushStore(
                options, program, [] { return StopSignal(); }, &report);
            if (status == kExitComplete) status = pushed;
        }
        StopSignalsFinished();
        return status;
    }
    CommandLineWindow window(options, progress, stderr, program, [] { return StopSignal() != 0; });

    // The files are taken before the port: a run that finds them held by
    // another program touches neither the files nor the clock.
    if (Downloads(options)) {
        try {
            window.OpenOutputFiles(options.outDirectory);
        } catch (const std::exception& error) {
            window.Say(program + ": --out: " + error.what());
            report.refused = window.LastSaid();
            return kExitOtherError;
        }
    }

    bool done = false;
    switch (options.command) {
    case Command::Download:
        done = Download(window, progress, options);
        report.clocks.push_back(
            {window.PortName() + " clock " + window.SelectedClockText(), window.PortName(),
             std::stoi(window.SelectedClockText()),
             window.ClockHoldsNoRecords() ? "no records" : StatusWordOf(window.Status(), !done),
             window.RecordsReadText().empty() ? 0 : std::stoll(window.RecordsReadText()),
             window.FlaggedWritten(), window.Status() == kExitComplete ? "" : window.LastSaid(), ""});
        break;
    case Command::Pointers: done = Pointers(window); break;
    case Command::Find: done = Find(window, progress, options); break;
    case Command::Export:
    case Command::Clocks:
    case Command::Verify:
    case Command::Backup:
    case Command::Relayout:
    case Command::Push:
    case Command::Site:
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
