// clocksim: a time-and-attendance clock on a pseudo-terminal.
//
// Reads commands from the pty, hands each to the clock it addresses, and
// writes the clock's reply back, shaped by the configured line timing and
// injected faults. Everything runs on one thread: a late reply holds up the
// commands behind it, just as a busy clock would.
#include "tools/clocksim/clock.h"
#include "tools/clocksim/faults.h"
#include "tools/clocksim/line.h"
#include "tools/clocksim/options.h"
#include "tools/clocksim/protocol.h"
#include "tools/clocksim/records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/prctl.h>
#include <thread>

using namespace clocksim;

namespace {

constexpr int kHangupGraceMs = 300;

class WireLog {
public:
    bool open(const std::string& path)
    {
        if (path.empty()) return true;
        m_file = std::fopen(path.c_str(), "w");
        return m_file != nullptr;
    }
    ~WireLog()
    {
        if (m_file) std::fclose(m_file);
    }
    // One line, flushed at once so a test can read it while we run.
    void line(const std::string& clock, Bus bus, const std::string& cmd, const std::string& tags,
              const std::string& raw)
    {
        if (!m_file) return;
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        std::fprintf(m_file, "%.6f clock=%s bus=%s cmd=%s%s hex=%s\n", t, clock.c_str(), busName(bus),
                     cmd.c_str(), tags.c_str(), hexBytes(raw).c_str());
        std::fflush(m_file);
    }

private:
    std::FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// The expected-dump file: every record each clock holds at start, then
// every punch as it is made, one a line, flushed so a test can read it while
// the simulator runs. When the clocks become others or are emptied, a line
// "#replaced" or "#cleared", a TAB and the count of record lines that follow
// it, then what every clock holds from then on.
class ExpectedDump {
public:
    bool open(const std::string& path, const std::vector<std::unique_ptr<SimClock>>& clocks)
    {
        if (path.empty()) return true;
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) return false;
        holdings(clocks);
        return std::fflush(m_file) == 0;
    }
    ~ExpectedDump()
    {
        if (m_file) std::fclose(m_file);
    }
    void line(int clock, std::uint32_t position, const Record& r)
    {
        if (m_file)
            std::fprintf(m_file, "%d\t%u\t%s\t%s\n", clock, position, r.flagged ? "flagged" : "good",
                         r.payload.c_str());
    }
    // The count lets a reader tell a whole change from one still being
    // written.
    void change(const char* what, const std::vector<std::unique_ptr<SimClock>>& clocks)
    {
        if (!m_file) return;
        std::size_t count = 0;
        for (const auto& clock : clocks) count += clock->ring().records().size();
        std::fprintf(m_file, "#%s\t%zu\n", what, count);
        holdings(clocks);
        flush();
    }
    void flush()
    {
        if (m_file) std::fflush(m_file);
    }

private:
    void holdings(const std::vector<std::unique_ptr<SimClock>>& clocks)
    {
        for (const auto& clock : clocks) {
            const RecordRing& ring = clock->ring();
            for (std::size_t i = 0; i < ring.records().size(); ++i)
                line(clock->number(), ring.positionOf(i), ring.records()[i]);
        }
    }

    std::FILE* m_file = nullptr;
};

class Simulator {
public:
    Simulator(const Options& o, std::vector<std::unique_ptr<SimClock>> clocks, PtyLine& line, WireLog& log,
              ExpectedDump& expected)
        : m_options(o),
          m_clocks(std::move(clocks)),
          m_line(line),
          m_log(log),
          m_expected(expected),
          m_faults(o.faults, o.faultSeed),
          m_punchSettings(o.records)
    {
        if (o.lineRate) m_byteTime = std::chrono::nanoseconds(10'000'000'000LL / o.baud);
        if (o.punchEveryMs > 0) m_nextPunch = std::chrono::steady_clock::now() + punchInterval();
    }

    // Runs until stopped or hung up.
    void run()
    {
        if (m_faults.plan().vanishAtOpenUs >= 0) {
            vanishAtOpen();
            return;
        }
        while (!stopRequested() && !m_hungUp) {
            if (const ChangeRequest change = takeChangeRequest(); change != ChangeRequest::None)
                changeClocks(change);
            int waitMs = 100;
            if (m_nextPunch) waitMs = std::min(waitMs, punchIfDue());
            if (m_hangupAt) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *m_hangupAt - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    hangUp("-");
                    break;
                }
                waitMs = static_cast<int>(std::min<long long>(left.count(), waitMs));
            }
            const std::string bytes = m_line.read(waitMs);
            if (bytes.empty()) continue;
            // A byte reaches the clock only at the end of its byte time, and
            // bytes written together follow each other on the line.
            if (m_byteTime.count() > 0)
                m_commandReceived = std::max(m_commandReceived, std::chrono::steady_clock::now()) +
                                    m_byteTime * static_cast<long long>(bytes.size());
            std::vector<Received> units =
                m_options.bus == Bus::Rs232 ? m_plain.feed(bytes) : m_frames.feed(bytes);
            for (const Received& r : units) {
                if (m_hungUp || stopRequested()) break;
                handle(r);
            }
        }
    }

    const FaultInjector& faults() const { return m_faults; }

private:
    std::chrono::milliseconds punchInterval() const
    {
        return std::chrono::milliseconds(m_options.punchEveryMs);
    }

    // Adds the punches that are due to every clock; returns the milliseconds
    // until the next ones. Punches come between commands, as a clock that
    // serves one thing at a time would take them.
    int punchIfDue()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now >= *m_nextPunch) {
            std::uint64_t batch = m_options.punchBatch;
            if (m_options.punchLimit != 0) batch = std::min(batch, m_options.punchLimit - m_punches);
            for (auto& clock : m_clocks)
                for (std::uint64_t i = 0; i < batch; ++i) {
                    Record record = makePunch(m_punchSettings, clock->number(), m_punches + i);
                    const std::uint32_t position = clock->ring().add(record);
                    m_expected.line(clock->number(), position, record);
                }
            m_expected.flush();
            m_punches += batch;
            if (m_options.punchLimit != 0 && m_punches >= m_options.punchLimit) {
                m_nextPunch.reset();
                return 100;
            }
            // Punches missed while a long reply went out are not made up for.
            *m_nextPunch += punchInterval();
            if (*m_nextPunch <= now) *m_nextPunch = now + punchInterval();
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*m_nextPunch - now);
        return static_cast<int>(std::clamp<long long>(left.count(), 0, 100));
    }

    // Every clock becomes another one or is emptied, between two commands.
    // A replaced clock's punches are those of the new clock's cards.
    void changeClocks(ChangeRequest change)
    {
        const bool replace = change == ChangeRequest::Replace;
        RecordSettings settings = m_options.records;
        if (replace) {
            settings.count = *m_options.replaceRecords;
            settings.seed = m_options.replaceSeed.value_or(m_options.records.seed + 1000) + m_replacements++;
            m_punchSettings = settings;
        }
        for (auto& clock : m_clocks) {
            if (replace) {
                std::vector<Record> records = makeRecords(settings, clock->number());
                setApartFrom(records, m_options.replaceAri, clock->ring(), m_options.replaceKeepsFlagged);
                clock->ring() = RecordRing(std::move(records), m_options.replaceAri);
            } else {
                clock->ring() = RecordRing({}, 0);
            }
        }
        const char* what = replace ? "replaced" : "cleared";
        m_expected.change(what, m_clocks);
        m_log.line("-", m_options.bus, "-", std::string(" ") + what, "");
    }

    SimClock* clockFor(const Received& r)
    {
        if (m_options.bus == Bus::Rs232) return m_clocks.front().get();
        for (auto& c : m_clocks)
            if (r.addressByte == addressByteFor(c->number()) && r.clockByte == clockByteFor(c->number()))
                return c.get();
        return nullptr;
    }

    void handle(const Received& r)
    {
        const Bus bus = m_options.bus;
        if (r.kind == Received::Kind::Garbage) {
            m_log.line("-", bus, r.shown.empty() ? "-" : r.shown, " ignored=garbage", r.raw);
            return;
        }
        SimClock* clock = clockFor(r);
        const std::string clockText = clock              ? std::to_string(clock->number())
                                      : r.clockByte >= 0 ? std::to_string(r.clockByte & 0x3F)
                                                         : "-";
        if (r.kind == Received::Kind::BadCheck) {
            m_log.line(clockText, bus, r.shown, " ignored=bad-check", r.raw);
            return;
        }
        if (!clock) {
            m_log.line(clockText, bus, r.shown, " ignored=wrong-clock", r.raw);
            return;
        }

        m_faults.countCommand();
        const bool recordRead = clock->isRecordRead(r.text);
        // After the last record (or at the first one, with hangup-after=0)
        // the command meets a dead line.
        if (m_hangupAt || (recordRead && m_faults.hangupDue())) {
            m_log.line(clockText, bus, r.shown, " ignored=hangup", r.raw);
            hangUp(clockText);
            return;
        }
        if (m_faults.vanishWhileWaiting()) {
            m_log.line(clockText, bus, r.shown, "", r.raw);
            if (sleepUnlessStopped(m_faults.drawWaitMs())) vanish(clockText, "waiting");
            return;
        }
        const Fault fault = recordRead ? m_faults.draw() : Fault::None;
        std::string tags;
        if (fault != Fault::None) tags = std::string(" fault=") + faultName(fault);
        if (fault == Fault::Drop) {
            m_log.line(clockText, bus, r.shown, tags, r.raw);
            return;
        }
        std::optional<std::string> reply = clock->answer(r.text, bus);
        if (!reply) tags += " unanswered";
        if (reply && SimClock::isPointerRead(r.text) && m_faults.drawPointerNoise()) {
            reply = m_faults.spoilDigit(*reply);
            tags += " fault=pointer-noise";
        }
        m_log.line(clockText, bus, r.shown, tags, r.raw);
        if (!reply) return;

        // The answer starts once the command's last byte is in.
        if (m_byteTime.count() > 0) std::this_thread::sleep_until(m_commandReceived);
        if (m_options.turnaroundMs > 0 && !sleepUnlessStopped(m_options.turnaroundMs)) return;
        if (fault == Fault::Late && !sleepUnlessStopped(kLateReplyMs)) return;
        if (m_faults.vanishInThisAnswer()) {
            m_line.write(std::string_view(*reply).substr(0, m_faults.drawCut(reply->size())), m_byteTime);
            vanish(clockText, "answer");
            return;
        }
        bool sent = true;
        for (const ReplyPiece& piece : m_faults.shape(fault, *reply)) {
            if (piece.gapMs > 0 && !sleepUnlessStopped(piece.gapMs)) return;
            sent = m_line.write(piece.bytes, m_byteTime) && sent;
        }
        // Only a reply the reader can take counts as a delivered record: a
        // late one arrives after the reader gave up on it, a corrupted one
        // is thrown away, and the reader then asks for that record again.
        const bool delivered = fault != Fault::Late && fault != Fault::Corrupt;
        if (recordRead && sent && delivered) {
            m_faults.countRecordSent();
            // Closing the master discards what the reader has not read yet,
            // so the line goes dead at the next command, or once the reader
            // has had ample time to take the last record.
            if (m_faults.hangupDue())
                m_hangupAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangupGraceMs);
        }
    }

    void hangUp(const std::string& clockText)
    {
        m_faults.countHangup();
        m_log.line(clockText, m_options.bus, "-", " hangup", "");
        m_line.close();
        m_hungUp = true;
    }

    // The line vanishes the given microseconds after the reader opened it,
    // while its open is still going on. A sleep would take longer than
    // the whole open, so the wait spins.
    void vanishAtOpen()
    {
        const auto opened = m_line.awaitOpen();
        if (!opened) return;
        const auto due = *opened + std::chrono::microseconds(m_faults.plan().vanishAtOpenUs);
        while (std::chrono::steady_clock::now() < due) {
        }
        vanish("-", "open");
    }

    // The line disappears as an unplugged adapter does. The log gives the
    // moment on the system's monotonic clock, taken just before the line is
    // logged and closed, so a reader's report of the loss can be timed
    // against it (a few microseconds early, never late), and the log holds
    // the line before the reader can see the loss.
    void vanish(const std::string& clockText, const char* when)
    {
        const auto at = std::chrono::steady_clock::now();
        char tags[96];
        std::snprintf(tags, sizeof tags, " vanish=%s monotonic=%.6f", when,
                      std::chrono::duration<double>(at.time_since_epoch()).count());
        m_log.line(clockText, m_options.bus, "-", tags, "");
        m_line.close();
        m_faults.countHangup();
        m_hungUp = true;
    }

    const Options& m_options;
    std::vector<std::unique_ptr<SimClock>> m_clocks;
    PtyLine& m_line;
    WireLog& m_log;
    ExpectedDump& m_expected;
    FaultInjector m_faults;
    PlainCommandSplitter m_plain;
    BusFrameDecoder m_frames;
    std::chrono::nanoseconds m_byteTime{0};
    // With pacing: when the last byte received so far is complete.
    std::chrono::steady_clock::time_point m_commandReceived{};
    bool m_hungUp = false;
    std::optional<std::chrono::steady_clock::time_point> m_hangupAt;
    std::optional<std::chrono::steady_clock::time_point> m_nextPunch;
    std::uint64_t m_punches = 0;  // per clock
    RecordSettings m_punchSettings;
    std::uint64_t m_replacements = 0;
};

int fail(int status, const std::string& message)
{
    std::cerr << "clocksim: " << message << '\n';
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (std::string err = parseOptions(argc, argv, options); !err.empty()) return fail(2, err);
    if (options.help) {
        std::fputs(helpText(), stdout);
        return 0;
    }

    LoadResult loaded;
    if (!options.recordsFile.empty()) {
        std::ifstream in(options.recordsFile, std::ios::binary);
        if (!in) return fail(2, "cannot read " + options.recordsFile);
        std::ostringstream text;
        text << in.rdbuf();
        loaded = parseRecordLines(text.str(), options.records);
        if (!loaded.error.empty()) return fail(2, options.recordsFile + ": " + loaded.error);
    }
    std::vector<std::unique_ptr<SimClock>> clocks;
    for (int number : options.clocks) {
        std::vector<Record> records =
            options.recordsFile.empty() ? makeRecords(options.records, number) : loaded.records;
        clocks.push_back(std::make_unique<SimClock>(number, options.records.calendar,
                                                    options.records.clockDate,
                                                    RecordRing(std::move(records), options.ari)));
        clocks.back()->setFlaggedForms(options.flaggedForms);
    }
    if (!options.replaceRecords) options.replaceRecords = clocks.front()->ring().count();
    ExpectedDump expected;
    if (!expected.open(options.dumpExpected, clocks)) return fail(2, "cannot write " + options.dumpExpected);
    WireLog log;
    if (!log.open(options.wireLog)) return fail(2, "cannot write " + options.wireLog);

    installStopHandlers();
    installChangeHandlers();
    // Paced bytes are handed over on time to a few microseconds instead of
    // the 50 the kernel may add to every sleep by default, so the reader's
    // rate is measured against the line, not against the simulator's naps.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    PtyLine line;
    if (std::string err = line.open(); !err.empty()) return fail(1, err);
    if (!options.link.empty()) {
        if (std::string err = line.placeLink(options.link); !err.empty()) return fail(1, err);
    }
    if (options.faults.vanishAtOpenUs >= 0) {
        if (std::string err = line.watchOpen(); !err.empty()) return fail(1, err);
    }
    // The first line is the pty path alone; starters wait for it.
    std::fputs((line.slavePath() + "\n").c_str(), stdout);
    std::fflush(stdout);

    Simulator sim(options, std::move(clocks), line, log, expected);
    sim.run();
    line.close();
    std::cerr << sim.faults().summary() << '\n';
    return 0;
}
