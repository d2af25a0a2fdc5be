#include "collection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "durablefile.h"
#include "terminalwindow.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

// How often the position file is saved while records arrive. A kill costs at
// most this much reading again; each save puts three files on the disk.
constexpr double kSaveIntervalSeconds = 1.0;
constexpr const char* kLockFileName = "Positions.lock";

// Records from ring position `from` up to, not including, `to`.
std::int64_t RingOffset(std::int64_t from, std::int64_t to)
{
    return ((to - from) % kRingSize + kRingSize) % kRingSize;
}

// The terminal window of a collection: it counts the flagged records of the
// clock being read and tells the collection after every record.
class CollectionWindow : public TerminalWindow {
public:
    using TerminalWindow::TerminalWindow;

    std::function<void(std::int64_t)> recordsRead;
    std::int64_t flagged = 0;

    void SetRecordsReadText(const std::string& text) override
    {
        TerminalWindow::SetRecordsReadText(text);
        if (!text.empty() && recordsRead) recordsRead(std::stoll(text));
    }
    void WriteBadRecordLine(const std::string& line) override
    {
        TerminalWindow::WriteBadRecordLine(line);
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

struct FileSizes {
    std::uint64_t dump = 0;
    std::uint64_t badRecords = 0;
};

class Collection {
public:
    Collection(const Options& options, ProgressMeter& progress, const std::string& program,
               const std::function<int()>& stopSignal)
        : m_options(options),
          m_progress(progress),
          m_program(program),
          m_stopSignal(stopSignal),
          m_window(options, progress, stderr, program, [this] { return Stopped(); }),
          m_positionsPath(Utf8FromPath(PathFromUtf8(options.outDirectory) / kPositionFileName))
    {
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
        try {
            if (m_unsaved) Save();
            ReleaseSharedPort();
            m_window.CloseOutputFiles();
        } catch (const std::exception& error) {
            m_window.ReportError(error);
            if (!results.empty()) results.back().status = m_window.Status();
        }
        PrintSummary(results);
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

    std::string PortKey() const
    {
        return m_options.portPath.empty() ? "COM" + m_options.comText : m_options.portPath;
    }

    // Makes the folder and takes the output files; with --new, first takes
    // the folder's lock and reads the position file, and then repairs what a
    // killed run left. Returns the exit status of a refusal, or
    // kExitComplete. Nothing reaches a clock before this has succeeded.
    int PrepareFolder()
    {
        try {
            fs::create_directories(PathFromUtf8(m_options.outDirectory));
            if (m_options.newOnly) {
                const std::string lockPath =
                    Utf8FromPath(PathFromUtf8(m_options.outDirectory) / kLockFileName);
                if (!m_lock.Acquire(lockPath, m_options.lockWaitSeconds, [this] { return Stopped(); })) {
                    if (Stopped()) return 128 + m_stopSignal();
                    m_window.Say(m_program + ": " + m_options.outDirectory + " is in use by another run (" +
                                 lockPath + " is locked); nothing was done");
                    return kExitOtherError;
                }
                if (const std::optional<std::string> text = ReadFileText(m_positionsPath))
                    m_positions = ParsePositions(*text, m_positionsPath);
            }
            m_window.OpenOutputFiles(m_options.outDirectory, m_options.newOnly);
        } catch (const PositionFileError& error) {
            m_window.Say(m_program + ": " + error.what() + "; nothing was downloaded");
            return kExitBadInput;
        } catch (const EFileInUse& error) {
            m_window.Say(m_program + ": --out: " + error.what());
            return kExitOtherError;
        } catch (const std::exception& error) {
            m_window.Say(m_program + ": --out: " + error.what());
            return kExitBadInput;
        }
        if (!m_options.newOnly) return kExitComplete;
        try {
            CutBack(m_window.DumpFile(), m_positions.dumpSize);
            CutBack(m_window.BadRecordsFile(), m_positions.badRecordsSize);
            m_sizes = CurrentSizes();
            if (m_positions.dumpSize != m_sizes.dump || m_positions.badRecordsSize != m_sizes.badRecords)
                Save();
        } catch (const std::exception& error) {
            m_window.ReportError(error);
            return m_window.Status();
        }
        return kExitComplete;
    }

    // Lines past the saved size were written after the last save by a run
    // that was stopped before it could save again; their records are read
    // again, so they go. A file shorter than saved was taken away or
    // replaced: new lines go after what it holds.
    void CutBack(TextFile& file, std::optional<std::uint64_t> savedSize)
    {
        if (!savedSize || file.Size() == *savedSize) return;
        if (file.Size() > *savedSize) {
            file.CutTo(*savedSize);
            m_window.Say(file.Path() + ": cut back to the " + std::to_string(*savedSize) +
                         " bytes the positions were saved with; the records after them are read again");
        } else {
            m_window.Say(file.Path() +
                         " is shorter than when the positions were saved (taken away?); new lines go after "
                         "what it holds");
        }
    }

    FileSizes CurrentSizes() { return {m_window.DumpFile().Size(), m_window.BadRecordsFile().Size()}; }

    // Puts the output files on the disk, then the position file that claims
    // their lines.
    void Save()
    {
        m_window.DumpFile().Sync();
        m_window.BadRecordsFile().Sync();
        m_positions.dumpSize = m_sizes.dump;
        m_positions.badRecordsSize = m_sizes.badRecords;
        ReplaceFileDurably(m_positionsPath, FormatPositions(m_positions));
        m_lastSave = std::chrono::steady_clock::now();
        m_unsaved = false;
    }

    ClockResult Collect(int clock)
    {
        m_window.SetSelectedClock(std::to_string(clock));
        m_window.ResetOutcome();
        m_window.SetRecordTotalText("");
        m_window.SetRecordsReadText("");
        m_window.flagged = 0;
        if (Sweep()) m_window.Say("clock " + std::to_string(clock));
        ClockResult result;
        result.clock = clock;
        try {
            if (m_options.newOnly)
                CollectNew(result);
            else
                Download(m_options.start, m_options.count);
        } catch (const std::exception& error) {
            m_window.ReportError(error);
            try {
                CloseSharedPort();
            } catch (const std::exception&) {
                // The port failed already and that failure has been reported.
            }
        }
        m_window.recordsRead = nullptr;
        m_progress.Finish();
        if (m_window.RecordsReadText().empty() && !m_window.RecordTotalText().empty())
            m_window.SetRecordsReadText("0");
        result.records = m_window.RecordsReadText().empty() ? 0 : std::stoll(m_window.RecordsReadText());
        result.flagged = m_window.flagged;
        result.status = m_window.Status();
        if (m_window.ClockHoldsNoRecords() && result.note.empty()) result.note = "no records";
        result.cutShort = Stopped() && m_window.ProgressPosition() < m_window.ProgressMaximum();
        return result;
    }

    void Download(const std::string& start, const std::string& count)
    {
        m_window.SetStartText(start);
        m_window.SetCountText(count);
        RunDownload(m_window);
    }

    // One download whose records are chosen once the clock has answered its
    // record counter: ARI and AWI are asked on the same port, then the plan
    // decides. A clock with nothing new ends there.
    void CollectNew(ClockResult& result)
    {
        m_pass = 0;
        bool chosen = false;
        RunChosenDownload(m_window, [&](std::int32_t total) -> std::optional<RecordRange> {
            const std::optional<ReadPlan> plan = Plan(total);
            if (!plan) return std::nullopt;
            chosen = true;
            if (plan->count == 0) {
                m_window.Say(ClockText() + "nothing new since the last run");
                result.note = "nothing new";
                NoteClock();
                return std::nullopt;
            }
            m_window.recordsRead = [this](std::int64_t pass) { RecordRead(pass); };
            return RecordRange{plan->start, static_cast<std::int32_t>(plan->count)};
        });
        m_window.recordsRead = nullptr;
        if (chosen && (m_pass > 0 || m_options.startGiven)) NoteClock();
    }

    std::string ClockText() const { return "clock " + m_window.SelectedClockText() + ": "; }

    // Asks ARI and AWI and plans the read from them, telling what the plan
    // found; nothing, with the failure reported, when the clock does not
    // tell its pointers or --start is not among its positions.
    std::optional<ReadPlan> Plan(std::int32_t total)
    {
        const std::optional<std::int32_t> ari = PointerReplyValue(QueryReadIndexPointer(m_window));
        const std::optional<std::int32_t> awi = PointerReplyValue(QueryWriteIndexPointer(m_window));
        if (!ari || !awi) {
            m_window.Say(ClockText() + "the clock does not tell its read and write pointers (ARI, AWI)");
            m_window.Fail(kExitCommunicationError);
            return std::nullopt;
        }
        const RingState ring{*ari, *awi, total};
        std::optional<std::int32_t> origin;
        if (m_options.startGiven) origin = static_cast<std::int32_t>(std::stol(m_options.start));
        const ClockKey key{PortKey(), m_options.rs232, std::stoi(m_window.SelectedClockText())};
        const ReadPlan plan = PlanNewRecords(ring, m_positions.Find(key), origin);
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
            m_window.Say(ClockText() + "the saved position " + std::to_string(m_positions.Find(key)->next) +
                         " is not among the positions the clock holds" + holds +
                         "; was it cleared? Reading every record it holds");
        if (plan.overwritten > 0)
            m_window.Say(ClockText() + "warning: the ring overwrote " + std::to_string(plan.overwritten) +
                         " records written since the last run before they could be read; reading the " +
                         std::to_string(plan.count) + " records it still holds");
        m_current = SavedPosition{key, plan.start, ring.ari};
        m_start = plan.start;
        m_window.SetRecordTotalText(std::to_string(total));
        return plan;
    }

    // After every record: the lines of `pass` records are written, so the
    // sizes now are those a position after them may claim.
    void RecordRead(std::int64_t pass)
    {
        m_pass = pass;
        m_sizes = CurrentSizes();
        NoteClock();
    }

    // Takes the clock's position after the records read into the positions
    // and saves them when the last save is a second old. Positions and sizes
    // always move on together, so whatever a save holds is consistent; what
    // is not saved yet is saved at the end of the run.
    void NoteClock()
    {
        m_current.next = static_cast<std::int32_t>((m_start + m_pass) % kRingSize);
        m_positions.Set(m_current);
        m_unsaved = true;
        const std::chrono::duration<double> sinceSave = std::chrono::steady_clock::now() - m_lastSave;
        if (sinceSave.count() >= kSaveIntervalSeconds) Save();
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
    CollectionWindow m_window;
    const std::string m_positionsPath;
    FolderLock m_lock;
    Positions m_positions;
    FileSizes m_sizes;
    std::chrono::steady_clock::time_point m_lastSave = std::chrono::steady_clock::now();
    bool m_unsaved = false;  // positions taken since the last save
    // The clock being read: its saved line, the run's start and records read.
    SavedPosition m_current;
    std::int64_t m_start = 0;
    std::int64_t m_pass = 0;
};

}  // namespace

ReadPlan PlanNewRecords(const RingState& ring, const SavedPosition* saved, std::optional<std::int32_t> origin)
{
    ReadPlan plan;
    plan.start = ring.ari;
    const std::int64_t heldSpan = ring.held >= kRingSize ? kRingSize : RingOffset(ring.ari, ring.awi);
    bool unmovedSinceSave = false;
    if (origin) {
        plan.start = *origin;
    } else if (saved) {
        const std::int64_t moved = RingOffset(saved->ari, ring.ari);
        std::int64_t readBefore = RingOffset(saved->ari, saved->next);
        if (readBefore == 0) readBefore = kRingSize;
        if (moved > readBefore)
            plan.overwritten = moved - readBefore;
        else if (RingOffset(ring.ari, saved->next) > heldSpan)
            plan.savedPositionGone = true;
        else
            plan.start = saved->next;
        unmovedSinceSave = moved == 0;
    }
    plan.count = RingOffset(plan.start, ring.awi);
    // On a full ring ARI equals AWI, so a read from ARI covers the whole
    // ring; only a ring that has not moved since the save has nothing new.
    if (plan.count == 0 && plan.start == ring.ari && ring.held >= kRingSize &&
        !(saved && !origin && unmovedSinceSave))
        plan.count = kRingSize;
    return plan;
}

std::optional<std::int32_t> PointerReplyValue(std::string_view reply)
{
    if (reply.empty() || reply.back() != CR) return std::nullopt;
    reply.remove_suffix(1);
    if (const std::size_t at = reply.find(kStartMarker); at != std::string_view::npos) {
        reply.remove_prefix(at + kStartMarker.size());
        if (reply.empty()) return std::nullopt;
        reply.remove_suffix(1);  // the check byte
    }
    if (reply.empty() || reply.size() > 9) return std::nullopt;
    std::int64_t value = 0;
    for (char c : reply) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value >= kRingSize) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool IsCollection(const Options& options)
{
    return options.command == Command::Download && (options.newOnly || !options.clockList.empty());
}

int RunCollection(const Options& options, ProgressMeter& progress, const std::string& program,
                  const std::function<int()>& stopSignal)
{
    return Collection(options, progress, program, stopSignal).Run();
}

}  // namespace cli
