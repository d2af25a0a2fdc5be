#include "collection.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <optional>
#include <vector>

#include "clocklink/clocklink.h"
#include "collect/clockidentity.h"
#include "collect/durablefile.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "collect/readplan.h"
#include "collect/storewriter.h"
#include "download/download.h"
#include "commandlinewindow.h"
#include "sweeporder.h"
#include "utils/text.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

namespace fs = std::filesystem;
using namespace collect;

// The terminal window of a sweep into Dump.Txt: it counts the flagged
// records of the clock being read.
class SweepWindow : public CommandLineWindow {
public:
    using CommandLineWindow::CommandLineWindow;

    std::int64_t flagged = 0;
    // The store's writer of a collection, which may refuse a clock's
    // records for their layout before any is stored.
    const StoreWriter* writer = nullptr;

    void WriteBadRecordLine(const std::string& line) override
    {
        CommandLineWindow::WriteBadRecordLine(line);
        ++flagged;
    }

    // How to collect in the other layout, said after a refusal for it.
    std::string otherLayout;

    // Records refused for their layout were not stored: there is nothing
    // to write again in the other layout, and the refusal says what to do.
    void RecordLayoutDoubtful(const std::string& warning) override
    {
        if (writer && writer->LayoutRefused()) return;
        CommandLineWindow::RecordLayoutDoubtful(warning);
    }

    void ReportError(const std::exception& error) override
    {
        if (dynamic_cast<const WrongLayout*>(&error))
            CommandLineWindow::ReportError(WrongLayout(error.what() + (". Collect it with " + otherLayout)));
        else
            CommandLineWindow::ReportError(error);
    }
};

// How the operator gives the Vireo layout (`vireo`) or the standard one for
// a port: its option, or the layout column of the site file.
std::string LayoutSetting(const Options& options, bool vireo)
{
    if (!options.siteFile.empty())
        return std::string("the layout ") + (vireo ? "vireo" : "standard") + " in " + options.siteFile;
    return vireo ? "--vireo" : "no --vireo";
}

struct ClockResult {
    int clock = 0;
    std::int64_t records = 0;
    std::int64_t flagged = 0;
    int status = kExitComplete;
    bool cutShort = false;  // a stop came before the clock's last record
    std::string note;       // a whole read's outcome in other words: "nothing new", "no records"
    std::string identity;   // "new life", "known before as ...": RunStatus::Clock::identity
    std::string lastError;  // the last line said about a clock that failed
    std::string lastAsked;  // a clock left out as absent: when it was last asked
};

std::string StatusWord(const ClockResult& result)
{
    if (result.status == kExitComplete && !result.cutShort && !result.note.empty()) return result.note;
    return StatusWordOf(result.status, result.cutShort);
}

// The status column of a summary: the outcome, then which clock it was, or
// when a clock left out as absent was last asked.
std::string StatusColumn(const ClockResult& result)
{
    return StatusWord(result) + (result.identity.empty() ? "" : " (" + result.identity + ")") +
           (result.lastAsked.empty() ? "" : " (last asked " + result.lastAsked + ")");
}

// The clocks of `results`, read on `port`, as a status file lists them.
void AddToStatus(RunStatus* status, const std::string& port, const std::vector<ClockResult>& results)
{
    if (status == nullptr) return;
    for (const ClockResult& r : results)
        status->clocks.push_back({port + " clock " + std::to_string(r.clock), port, r.clock, StatusWord(r),
                                  r.records, r.flagged, r.lastError, r.identity, r.lastAsked});
}

// What the lines of a site share: the run that all of them record.
struct SiteShare {
    std::int64_t runId = 0;
    // A line found the store damaged: no line writes to it any more.
    mutable std::atomic<bool> damaged{false};
};

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
        m_window.otherLayout = LayoutSetting(options, !options.vireo);
    }

    const std::vector<ClockResult>& Results() const { return m_results; }
    // Why the folder was refused, as said; empty when it was not.
    const std::string& Refusal() const { return m_refusal; }
    // Prepares the folder (see PrepareFolder) without collecting.
    int Prepare()
    {
        const int status = PrepareFolder();
        if (status != kExitComplete && !Stopped()) m_refusal = m_window.LastSaid();
        return status;
    }
    std::int64_t RunId() const { return m_runId; }
    // The port as the operator named it.
    std::string PortText() const
    {
        return m_options.portPath.empty() ? "COM" + m_options.comText : m_options.portPath;
    }

    int Run()
    {
        if (const int status = Prepare(); status != kExitComplete) return status;
        std::unique_ptr<SweepState> sweep;
        const SweepPlan plan = Clocks(sweep);
        std::vector<ClockResult> results;
        for (int clock : plan.order) {
            if (Stopped()) break;
            if (m_site && m_site->damaged) break;
            const std::uint64_t heard = CharactersReceived();
            const ClockResult& r = results.emplace_back(Collect(clock));
            if (sweep)
                sweep->Asked(clock, AnswerOf(r.status, r.cutShort, CharactersReceived() != heard, Stopped()));
            // A damaged store takes nothing more, from any line of a site.
            if (m_writer && m_writer->Damaged()) {
                if (m_site) m_site->damaged = true;
                break;
            }
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
            if (m_writer && !m_writer->Damaged()) m_writer->Commit();
        });
        finish([&] {
            ReleaseSharedPort();
            if (!m_options.newOnly) m_window.CloseOutputFiles();
        });
        // Kept with the store, for the health rows the next push sends.
        finish([&] {
            if (!m_writer || m_writer->Damaged()) return;
            std::vector<ClockOutcome> outcomes;
            for (const ClockResult& r : results)
                outcomes.push_back({{PortKey(PortText()), PortText(), m_options.rs232, r.clock},
                                    StatusWord(r),
                                    r.lastError});
            m_store->NoteOutcomes(outcomes);
        });
        const bool cutShort = results.size() < plan.order.size() ||
                              std::any_of(results.begin(), results.end(), [](const ClockResult& r) {
                                  return r.cutShort || r.status != kExitComplete;
                              });
        for (const NotAsked& n : plan.notAsked)
            results.push_back(
                {n.clock, 0, 0, kExitComplete, false, kNotAskedWord, "", "", StatusTime(n.lastAsked)});
        if (!m_site) PrintSummary(results);
        m_results = results;
        if (Stopped() && cutShort) return 128 + m_stopSignal();
        return ExitStatus(results);
    }

private:
    bool Stopped() const { return m_stopSignal() != 0; }
    bool Sweep() const { return !m_options.clockList.empty(); }

    // The clocks to read in order. A sweep into the store begins with those
    // its bus's last sweep did not finish and leaves out those recently
    // silent (`sweep` then keeps that state).
    SweepPlan Clocks(std::unique_ptr<SweepState>& sweep)
    {
        if (!Sweep()) return {{std::stoi(m_options.clock)}, {}};
        if (!m_options.newOnly) return {m_options.clockList, {}};
        const std::int64_t interval = m_options.askAbsent ? 0 : m_options.absentIntervalMinutes * 60LL;
        sweep = std::make_unique<SweepState>(
            m_options.outDirectory, PortKey(PortText()), interval,
            [this](const std::string& text) { m_window.Say(m_program + ": warning: " + text); });
        const SweepPlan plan = sweep->Begin(m_options.clockList);
        if (const std::string text = NotAskedText(plan, interval); !text.empty())
            m_window.Say((m_site ? PortText() + " " : "") + text);
        return plan;
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
                m_writer =
                    std::make_unique<StoreWriter>(*m_store, *m_publisher, m_site->runId, m_options.vireo);
                m_window.writer = m_writer.get();
                return kExitComplete;
            }
            // The store's write-ahead log needs one machine's shared memory.
            if (const std::optional<std::string> network = NetworkFileSystemOf(m_options.outDirectory)) {
                m_window.Say(m_program + ": --out: " + m_options.outDirectory +
                             " lies on a network file system (" + *network +
                             "); the punch store must be on a disk of this computer: choose a"
                             " local folder (an importer may fetch the published files over the network)");
                return kExitOtherError;
            }
            const std::string lockPath = Utf8FromPath(folder / kLockFileName);
            if (!m_lock.Acquire(lockPath, m_options.lockWaitSeconds, [this] { return Stopped(); })) {
                if (Stopped()) return 128 + m_stopSignal();
                m_window.Say(m_program + ": " + m_options.outDirectory + " is in use by another run (" +
                             lockPath + " is locked); nothing was done");
                return kExitOtherError;
            }
            CollectingStore opened =
                OpenStoreToCollect(m_options.outDirectory, m_options.siteName, m_options.vireo,
                                   std::string("clockreader-cli ") + CLOCKREADER_VERSION);
            for (const std::string& notice : opened.notices) m_window.Say(m_program + ": " + notice);
            m_store = std::move(opened.store);
            m_publisher = std::move(opened.publisher);
            m_writer = std::move(opened.writer);
            m_runId = opened.runId;
            m_window.writer = m_writer.get();
        } catch (const StoreError& error) {
            m_window.Say(m_program + ": " + error.what() + "; nothing was downloaded");
            return StatusOfError(error);
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
        m_extraRecords = m_extraFlagged = 0;
        if (m_writer) m_writer->EndClock();
        if (Sweep()) m_window.Say((m_site ? PortText() + " " : "") + "clock " + std::to_string(clock));
        ClockResult result;
        result.clock = clock;
        try {
            if (m_options.newOnly) {
                CollectNew(result);
                // The clock is done only once its records are committed; they
                // go out to the importer as one pair of files.
                if (!m_writer->Damaged()) m_writer->Commit();
            } else {
                m_window.SetStartText(m_options.start);
                m_window.SetCountText(m_options.count);
                RunChosenDownload(
                    m_window, [&](std::int32_t held) { return ChooseRecords(m_window, m_options, held); });
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
            result.records = m_extraRecords + m_writer->Records();
            result.flagged = m_extraFlagged + m_writer->FlaggedRecords();
        } else {
            result.records = m_window.RecordsReadText().empty() ? 0 : std::stoll(m_window.RecordsReadText());
            result.flagged = m_window.flagged;
        }
        result.status = m_window.Status();
        if (m_window.ClockHoldsNoRecords()) result.note = "no records";
        result.cutShort = Stopped() && m_window.ProgressPosition() < m_window.ProgressMaximum();
        if (result.status != kExitComplete) result.lastError = m_window.LastSaid();
        return result;
    }

    // One download whose records are chosen once the clock has answered its
    // record counter: its pointers are read on the same port, the clock is
    // told by what it holds (collect/clockidentity.h), then the plan
    // decides. A clock with nothing new ends there. A read that began at
    // AWI (a full ring) is followed by AWI once more: the positions the
    // writer passed meanwhile are read again as the next lap's.
    void CollectNew(ClockResult& result)
    {
        const ClockName name{PortKey(PortText()), PortText(), m_options.rs232,
                             std::stoi(m_window.SelectedClockText())};
        const std::string label =
            name.port + " " + (name.rs232 ? "rs232" : "rs485") + " clock " + std::to_string(name.number);
        std::optional<RecordRange> fullRing;
        std::int64_t firstSerial = 0;
        KnownClock clock;
        RunChosenDownload(
            m_window,
            [&](std::int32_t total) -> std::optional<RecordRange> {
                const std::optional<Identity> identity = Identify(name, total, result);
                if (!identity) return std::nullopt;
                clock = identity->clock;
                if (!LayoutAgrees(clock)) return std::nullopt;
                const std::optional<ClockPosition>& saved = identity->clock.position;
                const std::optional<ReadPlan> plan = Plan(total, saved);
                if (!plan) return std::nullopt;
                firstSerial = FirstSerial(saved, plan->start, identity->clock.lifeBase);
                m_writer->BeginClock(clock, firstSerial, m_ring.ari, label, name.port);
                if (plan->count == 0) {
                    m_window.Say(ClockText() + "nothing new since the last run");
                    result.note = "nothing new";
                    m_writer->SavePosition();
                    return std::nullopt;
                }
                // A new origin holds even when no record is read.
                if (m_options.startGiven) m_writer->SavePosition();
                const RecordRange range{plan->start, static_cast<std::int32_t>(plan->count)};
                if (plan->start == m_ring.awi && m_ring.held >= kRingSize) fullRing = range;
                return range;
            },
            m_writer.get());
        if (!fullRing || m_window.Status() != kExitComplete || Stopped() || !SharedPort() ||
            !SharedPort()->Connected() || m_window.ProgressPosition() < m_window.ProgressMaximum())
            return;
        const std::optional<std::int32_t> awi = ReadPointer(m_window, false);
        if (!awi) {
            m_window.SayError(
                "the clock does not tell its write pointer (AWI) after its whole ring was read");
            m_window.Fail(kExitCommunicationError);
            return;
        }
        const std::int64_t passed =
            std::min<std::int64_t>(RingOffset(fullRing->start, *awi), fullRing->count);
        if (passed == 0) return;
        const std::int64_t records = m_writer->Records(), flagged = m_writer->FlaggedRecords();
        m_window.Say(ClockText() + CountOf(passed, "punch", "punches") +
                     " came while its whole ring was read; reading their positions again as the next lap");
        RunChosenDownload(
            m_window,
            [&](std::int32_t) -> std::optional<RecordRange> {
                m_writer->BeginClock(clock, firstSerial + kRingSize, *awi, label, name.port);
                m_writer->SkipRecordsStoredALapBefore();
                return RecordRange{fullRing->start, static_cast<std::int32_t>(passed)};
            },
            m_writer.get());
        m_extraRecords = records;
        m_extraFlagged = flagged;
    }

    // Which clock answers: the one known here, a known one under a new name,
    // a new life of the one known here, or a new clock. Nothing, with the
    // failure reported, when the clock's pointers or records cannot be read.
    std::optional<Identity> Identify(const ClockName& name, std::int32_t counted, ClockResult& result)
    {
        const std::optional<KnownClock> known = m_store->ClockNamed(name);
        const std::optional<RingState> ring =
            ReadRing(m_window, counted, known ? known->position : std::nullopt);
        if (!ring) {
            if (m_window.StopRequested()) return std::nullopt;
            m_window.Say(ClockText() +
                         "the clock does not tell its read and write pointers (ARI, AWI) and"
                         " its record count the same way twice");
            m_window.Fail(kExitCommunicationError);
            return std::nullopt;
        }
        m_ring = *ring;
        bool first = true;
        // A flagged answer is asked again: it may be the line's, and the
        // record good the next time.
        const ReadBack readBack = [&](std::int32_t position) -> std::optional<std::string> {
            std::optional<std::string> flagged;
            for (int attempt = 0; attempt < 3 && !m_window.StopRequested(); ++attempt) {
                PendingPointerAnswers pending;
                // The pointers were answered in full: nothing is on its way.
                const bool quiet = first && attempt == 0;
                first = false;
                if (!ResyncUserReadPointer(m_window, position, pending, quiet)) continue;
                const std::string reply = QueryNextRecord(m_window);
                if (IsFlaggedRecord(reply))
                    flagged = reply;
                else if (std::string payload = ExtractReplyPayload(reply); !payload.empty())
                    return payload;
            }
            return flagged;
        };
        try {
            Identity identity = IdentifyClock(*m_store, name, *ring, readBack);
            switch (identity.kind) {
            case Identity::Same:
            case Identity::FirstSight: break;
            case Identity::Moved:
                m_window.Say(ClockText() + "the clock known before as " + identity.knownAs +
                             " (its records match); going on from where it was read");
                result.identity = "known before as " + identity.knownAs;
                break;
            case Identity::NewLife:
                m_window.Say(ClockText() +
                             "the clock holds other records than at the last run: it was replaced,"
                             " cleared or reset. Its records so far stay in the store; reading"
                             " every record it holds now as a new life (life " +
                             std::to_string(identity.clock.life) + ")");
                result.identity = "new life";
                break;
            }
            if (m_options.startGiven && identity.clock.position) {
                m_window.Say(ClockText() + "--start: the store goes on from position " +
                             std::to_string(identity.clock.position->nextSerial % kRingSize) +
                             " for this clock; --start only chooses where a first collection begins");
                m_window.Fail(kExitBadInput);
                return std::nullopt;
            }
            return identity;
        } catch (const ClockSilent& error) {
            if (m_window.StopRequested()) return std::nullopt;
            m_window.Say(ClockText() + error.what());
            m_window.Fail(kExitCommunicationError);
            return std::nullopt;
        }
    }

    // Whether the run reads the clock in the layout the store remembers
    // for it; the failure reported when not, before any record is read.
    bool LayoutAgrees(const KnownClock& clock)
    {
        const char* given = m_options.vireo ? "vireo" : "standard";
        if (clock.layout.empty() || clock.layout == given) return true;
        const bool vireo = clock.layout == "vireo";
        m_window.Say(
            ClockText() + "its records are in the " + clock.layout +
            " layout (proved by its first collection), and this run reads the " + given +
            " layout; nothing was read. Collect it with " + LayoutSetting(m_options, vireo) +
            ", or, if the clock was set to another layout on purpose, change it first with: " + m_program +
            " relayout --out " + ShellWord(m_options.outDirectory) + " --port " + ShellWord(PortText()) +
            " --clock " + m_window.SelectedClockText() + " --layout " + given);
        m_window.Fail(kExitBadInput);
        return false;
    }

    std::string ClockText() const
    {
        return (m_site ? PortText() + " " : "") + "clock " + m_window.SelectedClockText() + ": ";
    }

    // Plans the read from the ring read, telling what the plan found;
    // nothing, with the failure reported, when --start is not among the
    // clock's positions.
    std::optional<ReadPlan> Plan(std::int32_t total, const std::optional<ClockPosition>& saved)
    {
        const RingState& ring = m_ring;
        std::optional<std::int32_t> origin;
        if (m_options.startGiven) origin = static_cast<std::int32_t>(std::stol(m_options.start));
        const ReadPlan plan = PlanNewRecords(ring, saved, origin);
        const std::string holds =
            " (ARI " + std::to_string(ring.ari) + ", AWI " + std::to_string(ring.awi) + ")";
        if (origin && ring.held < kRingSize &&
            RingOffset(ring.ari, *origin) > RingOffset(ring.ari, ring.awi)) {
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
            m_window.Say(ClockText() + "warning: the ring overwrote " + CountOf(plan.overwritten, "record") +
                         " written since the last run before they could be read; reading the " +
                         CountOf(plan.count, "record") + " it still holds");
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
                        static_cast<long long>(r.flagged), StatusColumn(r).c_str());
    }

    int ExitStatus(const std::vector<ClockResult>& results) const
    {
        const auto failed = std::find_if(results.begin(), results.end(),
                                         [](const ClockResult& r) { return r.status != kExitComplete; });
        if (failed == results.end()) return kExitComplete;
        const bool someCollected = std::any_of(results.begin(), results.end(), [](const ClockResult& r) {
            return r.status == kExitComplete && r.lastAsked.empty();
        });
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
    // The records and flagged ones of the clock's whole ring, read before
    // the positions the writer passed meanwhile were read again.
    std::int64_t m_extraRecords = 0, m_extraFlagged = 0;
    std::int64_t m_runId = 0;
    std::vector<ClockResult> m_results;
    std::string m_refusal;
};

}  // namespace

std::string StatusWordOf(int status, bool cutShort)
{
    switch (status) {
    case kExitComplete: return cutShort ? "stopped" : "complete";
    case kExitBadInput: return "bad input";
    case kExitCommunicationError: return "communication error";
    case kExitRecordError: return "record error";
    case kExitPortError: return "port error";
    default: return "error";
    }
}

// The records the download reads, once the clock has answered that it holds
// `held`: from the start index on, as many as asked for (--count, or the
// count a search found) but never past the newest record, and without a
// count all the clock holds from there. The write index tells where the
// newest record ends; a clock that does not tell it is taken to hold its
// records from position 0 on.
std::optional<RecordRange> ChooseRecords(CommandLineWindow& window, const Options& options, std::int32_t held)
{
    const std::int32_t start = StrToIntDef(window.StartText(), 0);
    const std::int64_t available = RecordsHeldFrom(
        held, start,
        PointerReplyValue(QueryWriteIndexPointer(window), PointerRule::RingPosition, window.IsRs232()));
    const bool countAsked = options.countGiven || options.command == Command::Find;
    std::int64_t count = available;
    if (countAsked) {
        const std::int64_t asked = StrToIntDef(window.CountText(), 0);
        count = std::min(asked, available);
        if (asked > available)
            window.Say(window.ProgramName() + ": " + window.Where() + ": the clock holds " +
                       CountOf(available, "record") + " from position " + std::to_string(start) +
                       " on, not " + std::to_string(asked) + "; reading those");
    }
    window.SetCountText(std::to_string(count));
    return RecordRange{start, static_cast<std::int32_t>(count)};
}

bool IsCollection(const Options& options)
{
    return options.command == Command::Download && (options.newOnly || !options.clockList.empty());
}

int RunCollection(const Options& options, ProgressMeter& progress, const std::string& program,
                  const std::function<int()>& stopSignal, RunStatus* status)
{
    if (options.site.empty()) {
        Collection collection(options, progress, program, stopSignal);
        const int exitStatus = collection.Run();
        AddToStatus(status, collection.PortText(), collection.Results());
        if (status) status->refused = collection.Refusal();
        return exitStatus;
    }

    // A site: the folder is prepared once, then each line is read by a
    // thread of its own with its own port, progress and store connection.
    std::vector<Options> lines = options.site;
    for (Options& line : lines) {
        line.outDirectory = options.outDirectory;
        line.lockWaitSeconds = options.lockWaitSeconds;
        line.siteFile = options.siteFile;
        line.absentIntervalMinutes = options.absentIntervalMinutes;
        line.askAbsent = options.askAbsent;
    }
    // Takes the lock, opens the store and finishes earlier publications,
    // and holds them while the lines are read; its run is the site's.
    ProgressMeter quiet(stderr, false);
    Collection preparation(options, quiet, program, stopSignal);
    if (const int refused = preparation.Prepare(); refused != kExitComplete) {
        if (status) status->refused = preparation.Refusal();
        return refused;
    }
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
            meter.SetLabel(line.PortText());
            outcomes[i].port = line.PortText();
            outcomes[i].status = line.Run();
            outcomes[i].results = line.Results();
        });
    for (std::thread& thread : threads) thread.join();

    // The port column is as wide as its longest name (a URL, a device
    // path, Persian letters in a link's name), measured as a terminal shows it.
    std::size_t portWidth = DisplayWidth("port");
    for (const LineOutcome& outcome : outcomes) portWidth = std::max(portWidth, DisplayWidth(outcome.port));
    const auto padded = [&](const std::string& text) {
        return text + std::string(portWidth - std::min(portWidth, DisplayWidth(text)), ' ');
    };
    std::printf("%s  clock  records  flagged  status\n", padded("port").c_str());
    bool someComplete = false, someFailed = false;
    int firstFailure = kExitComplete;
    for (const LineOutcome& outcome : outcomes) {
        AddToStatus(status, outcome.port, outcome.results);
        for (const ClockResult& r : outcome.results) {
            std::printf("%s  %5d  %7lld  %7lld  %s\n", padded(outcome.port).c_str(), r.clock,
                        static_cast<long long>(r.records), static_cast<long long>(r.flagged),
                        StatusColumn(r).c_str());
            if (r.lastAsked.empty()) (r.status == kExitComplete ? someComplete : someFailed) = true;
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
