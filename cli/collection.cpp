#include "collection.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <optional>
#include <vector>

#include "clocklink/clocklink.h"
#include "collect/durablefile.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "collect/readplan.h"
#include "collect/storewriter.h"
#include "download/download.h"
#include "commandlinewindow.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

namespace fs = std::filesystem;
using namespace collect;

constexpr const char* kLockFileName = "Punches.lock";

// The terminal window of a sweep into Dump.Txt: it counts the flagged
// records of the clock being read.
class SweepWindow : public CommandLineWindow {
public:
    using CommandLineWindow::CommandLineWindow;

    std::int64_t flagged = 0;

    void WriteBadRecordLine(const std::string& line) override
    {
        CommandLineWindow::WriteBadRecordLine(line);
        ++flagged;
    }
};

struct ClockResult {
    int clock = 0;
    std::int64_t records = 0;
    std::int64_t flagged = 0;
    int status = kExitComplete;
    bool cutShort = false;  // a stop came before the clock's last record
    std::string note;       // replaces the status word when set
};

std::string StatusWord(const ClockResult& result)
{
    if (!result.note.empty()) return result.note;
    switch (result.status) {
    case kExitComplete: return result.cutShort ? "stopped" : "complete";
    case kExitBadInput: return "bad input";
    case kExitCommunicationError: return "communication error";
    case kExitRecordError: return "record error";
    case kExitPortError: return "port error";
    default: return "error";
    }
}

// What the lines of a site share: the run that all of them record.
struct SiteShare {
    std::int64_t runId = 0;
};

int StatusOfStoreError(const StoreError& error)
{
    return error.kind() == StoreError::NotAStore ? kExitBadInput : kExitOtherError;
}

class Collection {
public:
    // `site`: one line of a site, collecting into the folder the site's
    // run has prepared, without a summary of its own.
    Collection(const Options& options, ProgressMeter& progress, const std::string& program,
               const std::function<int()>& stopSignal, const SiteShare* site = nullptr)
        : m_options(options),
          m_progress(progress),
          m_program(program),
          m_stopSignal(stopSignal),
          m_site(site),
          m_window(options, progress, stderr, program, [this] { return Stopped(); })
    {
    }

    const std::vector<ClockResult>& Results() const { return m_results; }
    // Prepares the folder (see PrepareFolder) without collecting.
    int Prepare() { return PrepareFolder(); }
    std::int64_t RunId() const { return m_runId; }
    std::string PortKey() const
    {
        return m_options.portPath.empty() ? "COM" + m_options.comText : m_options.portPath;
    }

    int Run()
    {
        if (const int status = PrepareFolder(); status != kExitComplete) return status;
        const std::vector<int> clocks = Clocks();
        std::vector<ClockResult> results;
        for (int clock : clocks) {
            if (Stopped()) break;
            results.push_back(Collect(clock));
        }
        // The last commit, then the port and the files: a failure of either
        // is reported and is the last clock's outcome.
        const auto finish = [&](const std::function<void()>& step) {
            try {
                step();
            } catch (const std::exception& error) {
                m_window.ReportError(error);
                if (!results.empty()) results.back().status = m_window.Status();
            }
        };
        finish([&] {
            if (m_writer) m_writer->Commit();
        });
        finish([&] {
            ReleaseSharedPort();
            if (!m_options.newOnly) m_window.CloseOutputFiles();
        });
        if (!m_site) PrintSummary(results);
        m_results = results;
        const bool cutShort = results.size() < clocks.size() ||
                              std::any_of(results.begin(), results.end(), [](const ClockResult& r) {
                                  return r.cutShort || r.status != kExitComplete;
                              });
        if (Stopped() && cutShort) return 128 + m_stopSignal();
        return ExitStatus(results);
    }

private:
    bool Stopped() const { return m_stopSignal() != 0; }
    bool Sweep() const { return !m_options.clockList.empty(); }

    std::vector<int> Clocks() const
    {
        if (Sweep()) return m_options.clockList;
        return {std::stoi(m_options.clock)};
    }

    // Makes the folder; with --new takes its lock, opens the punch store and
    // finishes what an earlier run left unpublished, else takes Dump.Txt and
    // BadRecs.Txt. Returns the exit status of a refusal, or kExitComplete.
    // Nothing reaches a clock before this has succeeded.
    int PrepareFolder()
    {
        try {
            fs::create_directories(PathFromUtf8(m_options.outDirectory));
            if (!m_options.newOnly) {
                m_window.OpenOutputFiles(m_options.outDirectory);
                return kExitComplete;
            }
            const fs::path folder = PathFromUtf8(m_options.outDirectory);
            if (m_site) {
                // The site's run holds the folder; each line commits on a
                // connection of its own and waits its turn to write.
                m_store = std::make_unique<PunchStore>(Utf8FromPath(folder / kStoreFileName),
                                                       PunchStore::Access::Collect, 60000);
                m_publisher = std::make_unique<Publisher>(*m_store, m_options.outDirectory);
                m_writer = std::make_unique<StoreWriter>(*m_store, *m_publisher, m_site->runId);
                return kExitComplete;
            }
            const std::string lockPath = Utf8FromPath(folder / kLockFileName);
            if (!m_lock.Acquire(lockPath, m_options.lockWaitSeconds, [this] { return Stopped(); })) {
                if (Stopped()) return 128 + m_stopSignal();
                m_window.Say(m_program + ": " + m_options.outDirectory + " is in use by another run (" +
                             lockPath + " is locked); nothing was done");
                return kExitOtherError;
            }
            m_store = std::make_unique<PunchStore>(Utf8FromPath(folder / kStoreFileName),
                                                   PunchStore::Access::Collect);
            m_publisher = std::make_unique<Publisher>(*m_store, m_options.outDirectory);
            if (const int finished = m_publisher->Recover(); finished > 0)
                m_window.Say(m_program + ": published the records of " + std::to_string(finished) +
                             " commits an earlier run had not published yet");
            m_runId = m_store->StartRun(m_options.vireo ? "vireo" : "standard",
                                        std::string("clockreader-cli ") + CLOCKREADER_VERSION);
            m_writer = std::make_unique<StoreWriter>(*m_store, *m_publisher, m_runId);
        } catch (const StoreError& error) {
            m_window.Say(m_program + ": " + error.what() + "; nothing was downloaded");
            return StatusOfStoreError(error);
        } catch (const EFileInUse& error) {
            m_window.Say(m_program + ": --out: " + error.what());
            return kExitOtherError;
        } catch (const std::exception& error) {
            m_window.Say(m_program + ": --out: " + error.what() + "; nothing was downloaded");
            return kExitOtherError;
        }
        return kExitComplete;
    }

    ClockResult Collect(int clock)
    {
        m_window.SetSelectedClock(std::to_string(clock));
        m_window.ResetOutcome();
        m_window.SetRecordTotalText("");
        m_window.SetRecordsReadText("");
        m_window.flagged = 0;
        if (Sweep()) m_window.Say((m_site ? PortKey() + " " : "") + "clock " + std::to_string(clock));
        ClockResult result;
        result.clock = clock;
        try {
            if (m_options.newOnly) {
                CollectNew(result);
            } else {
                m_window.SetStartText(m_options.start);
                m_window.SetCountText(m_options.count);
                RunDownload(m_window);
            }
        } catch (const std::exception& error) {
            m_window.ReportError(error);
            try {
                CloseSharedPort();
            } catch (const std::exception&) {
                // The port failed already and that failure has been reported.
            }
        }
        m_progress.Finish();
        if (m_window.RecordsReadText().empty() && !m_window.RecordTotalText().empty())
            m_window.SetRecordsReadText("0");
        if (m_writer) {
            result.records = m_writer->Records();
            result.flagged = m_writer->FlaggedRecords();
        } else {
            result.records = m_window.RecordsReadText().empty() ? 0 : std::stoll(m_window.RecordsReadText());
            result.flagged = m_window.flagged;
        }
        result.status = m_window.Status();
        if (m_window.ClockHoldsNoRecords() && result.note.empty()) result.note = "no records";
        result.cutShort = Stopped() && m_window.ProgressPosition() < m_window.ProgressMaximum();
        return result;
    }

    // One download whose records are chosen once the clock has answered its
    // record counter: its pointers are read on the same port, then the plan
    // decides. A clock with nothing new ends there.
    void CollectNew(ClockResult& result)
    {
        const ClockIdentity identity{PortKey(), m_options.rs232, std::stoi(m_window.SelectedClockText())};
        const std::int64_t clockId = m_store->ClockId(identity);
        const std::optional<ClockPosition> saved = m_store->Position(clockId);
        const std::string name = identity.port + " " + (identity.rs232 ? "rs232" : "rs485") + " clock " +
                                 std::to_string(identity.number);
        m_writer->BeginClock(clockId, saved ? saved->nextSerial : 0, saved ? saved->ari : 0, name);
        RunChosenDownload(
            m_window,
            [&](std::int32_t total) -> std::optional<RecordRange> {
                const std::optional<ReadPlan> plan = Plan(total, saved);
                if (!plan) return std::nullopt;
                m_writer->BeginClock(clockId, FirstSerial(saved, plan->start), m_ring.ari, name);
                if (plan->count == 0) {
                    m_window.Say(ClockText() + "nothing new since the last run");
                    result.note = "nothing new";
                    m_writer->SavePosition();
                    return std::nullopt;
                }
                // A new origin holds even when no record is read.
                if (m_options.startGiven) m_writer->SavePosition();
                return RecordRange{plan->start, static_cast<std::int32_t>(plan->count)};
            },
            m_writer.get());
    }

    std::string ClockText() const
    {
        return (m_site ? PortKey() + " " : "") + "clock " + m_window.SelectedClockText() + ": ";
    }

    // Reads the pointers and plans the read from them, telling what the
    // plan found; nothing, with the failure reported, when the clock does
    // not tell its pointers or --start is not among its positions.
    std::optional<ReadPlan> Plan(std::int32_t total, const std::optional<ClockPosition>& saved)
    {
        const std::optional<RingState> ring = ReadRingSnapshot(m_window, total);
        if (!ring) {
            if (m_window.StopRequested()) return std::nullopt;
            m_window.Say(ClockText() + "the clock does not tell its read and write pointers (ARI, AWI)");
            m_window.Fail(kExitCommunicationError);
            return std::nullopt;
        }
        m_ring = *ring;
        std::optional<std::int32_t> origin;
        if (m_options.startGiven) origin = static_cast<std::int32_t>(std::stol(m_options.start));
        const ReadPlan plan = PlanNewRecords(*ring, saved, origin);
        const std::string holds =
            " (ARI " + std::to_string(ring->ari) + ", AWI " + std::to_string(ring->awi) + ")";
        if (origin && ring->held < kRingSize &&
            RingOffset(ring->ari, *origin) > RingOffset(ring->ari, ring->awi)) {
            m_window.Say(ClockText() + "--start " + std::to_string(*origin) +
                         " is not among the positions the clock holds" + holds);
            m_window.Fail(kExitBadInput);
            return std::nullopt;
        }
        if (plan.savedPositionGone)
            m_window.Say(ClockText() + "the saved position " + std::to_string(saved->nextSerial % kRingSize) +
                         " is not among the positions the clock holds" + holds +
                         "; was it cleared? Reading every record it holds");
        if (plan.overwritten > 0)
            m_window.Say(ClockText() + "warning: the ring overwrote " + std::to_string(plan.overwritten) +
                         " records written since the last run before they could be read; reading the " +
                         std::to_string(plan.count) + " records it still holds");
        m_window.SetRecordTotalText(std::to_string(total));
        return plan;
    }

    void PrintSummary(const std::vector<ClockResult>& results) const
    {
        if (!Sweep()) {
            if (m_window.RecordTotalText().empty() && !m_window.ClockHoldsNoRecords()) return;
            const std::string total = m_window.RecordTotalText().empty() ? "0" : m_window.RecordTotalText();
            std::printf("total %s\nread %s\n", total.c_str(),
                        std::to_string(results.empty() ? 0 : results.front().records).c_str());
            return;
        }
        std::printf("clock  records  flagged  status\n");
        for (const ClockResult& r : results)
            std::printf("%5d  %7lld  %7lld  %s\n", r.clock, static_cast<long long>(r.records),
                        static_cast<long long>(r.flagged), StatusWord(r).c_str());
    }

    int ExitStatus(const std::vector<ClockResult>& results) const
    {
        const auto failed = std::find_if(results.begin(), results.end(),
                                         [](const ClockResult& r) { return r.status != kExitComplete; });
        if (failed == results.end()) return kExitComplete;
        const bool someCollected = std::any_of(
            results.begin(), results.end(), [](const ClockResult& r) { return r.status == kExitComplete; });
        return someCollected ? kExitSomeClocksFailed : failed->status;
    }

    const Options& m_options;
    ProgressMeter& m_progress;
    std::string m_program;
    std::function<int()> m_stopSignal;
    const SiteShare* m_site;
    SweepWindow m_window;
    FolderLock m_lock;
    std::unique_ptr<PunchStore> m_store;
    std::unique_ptr<Publisher> m_publisher;
    std::unique_ptr<StoreWriter> m_writer;
    RingState m_ring;  // the pointers of the clock being read
    std::int64_t m_runId = 0;
    std::vector<ClockResult> m_results;
};

}  // namespace

bool IsCollection(const Options& options)
{
    return options.command == Command::Download && (options.newOnly || !options.clockList.empty());
}

int RunCollection(const Options& options, ProgressMeter& progress, const std::string& program,
                  const std::function<int()>& stopSignal)
{
    if (options.site.empty()) return Collection(options, progress, program, stopSignal).Run();

    // A site: the folder is prepared once, then each line is read by a
    // thread of its own with its own port, progress and store connection.
    std::vector<Options> lines = options.site;
    for (Options& line : lines) {
        line.outDirectory = options.outDirectory;
        line.lockWaitSeconds = options.lockWaitSeconds;
    }
    // Takes the lock, opens the store and finishes earlier publications,
    // and holds them while the lines are read; its run is the site's.
    ProgressMeter quiet(stderr, false);
    Collection preparation(options, quiet, program, stopSignal);
    if (const int status = preparation.Prepare(); status != kExitComplete) return status;
    SiteShare share;
    share.runId = preparation.RunId();
    struct LineOutcome {
        int status = kExitComplete;
        std::vector<ClockResult> results;
        std::string port;
    };
    std::vector<LineOutcome> outcomes(lines.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < lines.size(); ++i)
        threads.emplace_back([&, i] {
            ProgressMeter meter(stderr, false);
            Collection line(lines[i], meter, program, stopSignal, &share);
            meter.SetLabel(line.PortKey());
            outcomes[i].port = line.PortKey();
            outcomes[i].status = line.Run();
            outcomes[i].results = line.Results();
        });
    for (std::thread& thread : threads) thread.join();

    std::printf("port  clock  records  flagged  status\n");
    bool someComplete = false, someFailed = false;
    int firstFailure = kExitComplete;
    for (const LineOutcome& outcome : outcomes) {
        for (const ClockResult& r : outcome.results) {
            std::printf("%s  %5d  %7lld  %7lld  %s\n", outcome.port.c_str(), r.clock,
                        static_cast<long long>(r.records), static_cast<long long>(r.flagged),
                        StatusWord(r).c_str());
            (r.status == kExitComplete ? someComplete : someFailed) = true;
            if (r.status != kExitComplete && firstFailure == kExitComplete) firstFailure = r.status;
        }
        if (outcome.results.empty() && outcome.status != kExitComplete) {
            someFailed = true;
            if (firstFailure == kExitComplete) firstFailure = outcome.status;
        }
    }
    std::fflush(stdout);
    if (const int signal = stopSignal(); signal != 0) return 128 + signal;
    if (!someFailed) return kExitComplete;
    return someComplete ? kExitSomeClocksFailed : firstFailure;
}

}  // namespace cli
