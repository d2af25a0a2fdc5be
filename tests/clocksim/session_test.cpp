// clocksim as the reading program meets it: a process on a pty, driven by a
// small client that writes command bytes and reads the replies directly.
#include "simprocess.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "childprocess.h"
#include "hexbytes.h"
#include "tempdir.h"

namespace {

// Long enough for any reply that is coming; only "no answer" checks wait it out.
constexpr int kReplyMs = 3000;
constexpr int kSilenceMs = 300;

// An RS-485 frame built independently of the simulator's decoder.
std::string frame(int clock, const std::string& text)
{
    std::string f;
    f += static_cast<char>((clock / 10) << 4 | clock % 10);
    f += static_cast<char>((clock & 0xFF) | 0x40);
    for (char c : text) f += static_cast<char>(((static_cast<unsigned char>(c) - 0x20) & 0x3F) | 0x80);
    unsigned char x = 0;
    for (char c : f) x ^= static_cast<unsigned char>(c);
    f += static_cast<char>((x & 0x3F) | 0xC0);
    return f;
}

// Payload of a reply frame, or "<bad>" when the frame does not check out.
std::string payloadOf(const std::string& reply)
{
    const std::size_t stx = reply.rfind("\x02\x02\x02");
    if (reply.compare(0, 3, "\x01\x01\x01") != 0 || stx == std::string::npos || reply.size() < stx + 5 ||
        reply.back() != '\r')
        return "<bad>";
    const std::string payload = reply.substr(stx + 3, reply.size() - stx - 5);
    unsigned char x = 0;
    for (char c : payload) x ^= static_cast<unsigned char>(c);
    if (x != static_cast<unsigned char>(reply[reply.size() - 2])) return "<bad>";
    return payload;
}

class PtyClient {
public:
    explicit PtyClient(const std::string& path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd >= 0) {
            termios tio{};
            tcgetattr(m_fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~PtyClient()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    void send(const std::string& b)
    {
        ASSERT_EQ(::write(m_fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    // Reads until a CR, until maxBytes, or until timeoutMs pass.
    std::string read(int timeoutMs = kReplyMs, std::size_t maxBytes = 256, bool stopAtCr = true)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < maxBytes && !(stopAtCr && got.find('\r') != std::string::npos)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, maxBytes - got.size()));
            if (n <= 0) {
                m_hungUp = true;
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    std::string query(const std::string& command, int timeoutMs = kReplyMs)
    {
        send(command);
        return read(timeoutMs);
    }

    // True once the far end has closed the line.
    bool hungUp()
    {
        if (m_hungUp) return true;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) > 0 && (p.revents & (POLLHUP | POLLERR))) return true;
        char c;
        return ::read(m_fd, &c, 1) == 0 || (errno == EIO);
    }

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

std::size_t countOf(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Runs clocksim with the space-separated `args` to its end (at most 10 s)
// and returns its exit status.
int runClocksim(const std::string& args, std::string* output)
{
    std::vector<std::string> argv{CLOCKSIM_PATH};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    TempDir logs;
    const ChildResult end = RunChild(argv, logs / "out", logs / "out", std::chrono::seconds(10));
    std::ifstream in(logs / "out");
    output->assign(std::istreambuf_iterator<char>(in), {});
    return end.exited ? end.status : -1;
}

}  // namespace

TEST(ClocksimSession, AnswersTheWorkedExampleFramesOnRs485)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "1,5", "--records", "30"});
    PtyClient c(sim.PtyPath());
    ASSERT_TRUE(c.isOpen());
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    ASSERT_EQ(records.size(), 60u);

    EXPECT_EQ(c.query(Hex("01 41 A1 B2 A9 9F BE DB")),
              "\x01\x01\x01"
              "00000"
              "0\r");
    EXPECT_EQ(c.query(Hex("01 41 A1 B7 A9 9F BE DE")),
              "\x01\x01\x01"
              "00030"
              "3\r");
    EXPECT_EQ(c.query(Hex("01 41 AE EE")), "30\r");

    const std::string date = c.query(Hex("01 41 A5 E5"));
    EXPECT_LE(date.size(), 20u);
    EXPECT_EQ(payloadOf(date).substr(0, 8), "14050916");

    const std::string ok = Hex("01 01 01") + "OK" + Hex("04 0D");
    EXPECT_EQ(c.query(frame(1, "AUR=00002^")), ok);
    const std::string record = c.query(Hex("01 41 B5 F5"));
    EXPECT_LE(record.size(), 50u);
    EXPECT_EQ(payloadOf(record), records[2].payload);
    EXPECT_EQ(c.query(Hex("01 41 A1 B5 B2 9F BE C7")),
              "\x01\x01\x01"
              "00003"
              "3\r");
    EXPECT_EQ(c.query(Hex("01 41 A1 B5 B2 9D 90 90 90 90 90 BE D5")), ok);

    // Clock 5 shares the line with its own records and pointers.
    EXPECT_EQ(c.query(frame(5, std::string(1, 0x0E))), "30\r");
    EXPECT_EQ(payloadOf(c.query(frame(5, std::string(1, 0x15)))), records[30].payload);
    EXPECT_EQ(c.query(frame(1, "AUR?^")),
              "\x01\x01\x01"
              "00000"
              "0\r");

    // Nobody answers a clock that is not on the line, or a bad check byte.
    EXPECT_EQ(c.query(Hex("12 4C AE F0"), kSilenceMs), "");
    EXPECT_EQ(c.query(Hex("01 41 A1 B2 A9 9F BE DC"), kSilenceMs), "");
    // Garbage, then a frame: the clock finds the frame.
    EXPECT_EQ(c.query(Hex("FF 9A 41") + frame(1, std::string(1, 0x0E))), "30\r");

    const std::string log = sim.ReadWireLog();
    EXPECT_NE(log.find(" clock=1 bus=rs485 cmd=ARI?^ hex=01 41 A1 B2 A9 9F BE DB\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" clock=1 bus=rs485 cmd=AUR=00000^ hex=01 41 A1 B5 B2 9D 90 90 90 90 90 BE D5\n"),
              std::string::npos);
    EXPECT_NE(log.find(" clock=5 bus=rs485 cmd=NAK hex=05 45 B5 F5\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" clock=12 bus=rs485 cmd=SO ignored=wrong-clock hex=12 4C AE F0\n"),
              std::string::npos);
    EXPECT_NE(log.find(" cmd=ARI?^ ignored=bad-check hex=01 41 A1 B2 A9 9F BE DC\n"), std::string::npos);
    EXPECT_NE(log.find(" ignored=garbage hex=FF 9A 41\n"), std::string::npos);
    EXPECT_EQ(countOf(log, "\n"), 15u);
}

TEST(ClocksimSession, Rs232RecordsFollowTheExpectedDumpAcrossTheRingEnd)
{
    SimProcess sim({"--records", "40", "--ari", "253570", "--flagged-rate", "0.2", "--seed", "9"});
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    ASSERT_EQ(records.size(), 40u);
    EXPECT_EQ(records[8].position, 253578);
    EXPECT_EQ(records[9].position, 0);
    int flagged = 0;
    for (const SimRecord& r : records) flagged += r.flagged;
    EXPECT_GT(flagged, 0);
    EXPECT_LT(flagged, 20);

    // The program opens and closes the port for every operation.
    for (int round = 0; round < 3; ++round) {
        PtyClient c(sim.PtyPath());
        EXPECT_EQ(c.query("\x0E"), "40\r");
    }
    PtyClient c(sim.PtyPath());
    EXPECT_EQ(c.query("ARI?\r"), "253570\r");
    EXPECT_EQ(c.query("AWI?\r"), "00031\r");
    EXPECT_EQ(c.query("AUR=253570\r"), "OK\r");
    for (const SimRecord& r : records) {
        const std::string reply = c.query("\x15");
        if (r.flagged) {
            EXPECT_NE(reply.find("???"), std::string::npos) << r.position;
        } else {
            EXPECT_EQ(payloadOf(reply), r.payload) << r.position;
        }
    }
    // AWI holds no record: an empty payload, still a well-formed frame.
    EXPECT_EQ(payloadOf(c.query("\x15")), "");
    EXPECT_EQ(c.query("AUR?\r"), "00032\r");
    // Unknown commands get no answer.
    EXPECT_EQ(c.query("HELLO\r", kSilenceMs), "");

    const std::string log = sim.ReadWireLog();
    EXPECT_NE(log.find(" clock=1 bus=rs232 cmd=AUR=253570<CR> hex=41 55 52 3D 32 35 33 35 37 30 0D\n"),
              std::string::npos);
    EXPECT_EQ(countOf(log, " cmd=NAK "), 41u);
    EXPECT_NE(log.find(" cmd=HELLO<CR> unanswered hex="), std::string::npos);
}

TEST(ClocksimSession, PunchesMoveTheWritePointerOnEveryClockWhileItRuns)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "3-4", "--records", "5", "--ari", "253577", "--punch-every",
                    "20", "--punch-batch", "2", "--punches", "7"});
    PtyClient c(sim.PtyPath());
    std::string count;
    for (int i = 0; i < 100 && count != "12\r"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = c.query(frame(4, "\x0E"));
    }
    EXPECT_EQ(count, "12\r");
    EXPECT_NE(c.query(frame(3, "AWI?^")).find("00010"), std::string::npos);
    // Every punch is in the expected dump, after the records held at start.
    const std::vector<SimRecord> records = sim.ExpectedRecords(3);
    ASSERT_EQ(records.size(), 12u);
    EXPECT_EQ(records[5].position, 3);
    EXPECT_EQ(records[11].position, 9);
    EXPECT_NE(c.query(frame(3, "AUR=00009^")).find("OK"), std::string::npos);
    EXPECT_EQ(payloadOf(c.query(frame(3, "\x15"))), records[11].payload);
}

TEST(ClocksimSession, DateCommandPlacesTheUserPointerWithinItsContract)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "7", "--layout", "vireo", "--records", "2000"});
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    ASSERT_EQ(records.size(), 2000u);
    PtyClient c(sim.PtyPath());

    // WaitForReply stops on a lone "I".
    EXPECT_EQ(c.read(kSilenceMs), "");
    c.send(frame(7, "AURD=0509^"));
    EXPECT_EQ(c.read(kSilenceMs, 7, false), "I");

    for (std::size_t target : {0u, 1u, 63u, 700u, 1999u}) {
        const std::string date = records[target].payload.substr(10, 6);
        // The first record on that date, which the pointer must not pass.
        std::size_t first = target;
        while (first > 0 && records[first - 1].payload.substr(10, 6) >= date) --first;
        c.send(frame(7, "AURD=" + date + "^"));
        EXPECT_EQ(c.read(kReplyMs, 7, false), Hex("01 01 01") + "OK" + Hex("04 0D"));
        const std::string aur = c.query(frame(7, "AUR?^"));
        ASSERT_GE(aur.size(), 10u);
        const long pos = std::stol(aur.substr(3, aur.size() - 5));
        EXPECT_LE(pos, records[first].position) << date;
        EXPECT_GE(pos + 100, records[first].position) << date;
    }
}

TEST(ClocksimSession, FaultsShowOnRecordRepliesAtTheirRates)
{
    SimProcess sim({"--records", "150", "--faults", "drop=0.05,trickle=0.1,corrupt=0.1,garbage=0.1",
                    "--fault-seed", "5"});
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    PtyClient c(sim.PtyPath());
    // Commands other than NAK are never faulted.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(c.query("\x0E"), "150\r");

    std::map<std::string, int> seen;
    std::size_t next = 0;
    int naks = 0;
    while (next < records.size()) {
        ++naks;
        std::string reply = c.query("\x15", kSilenceMs);
        // On a loaded machine a reply may begin, or a trickled one end, after
        // the silence that otherwise means "dropped"; clocksim logs a drop
        // before it would answer, so without one logged the rest is awaited.
        if (reply.find('\r') == std::string::npos &&
            countOf(sim.ReadWireLog(), " fault=drop ") == static_cast<std::size_t>(seen["drop"]))
            reply += c.read(kReplyMs);
        const std::string expectedFrame = std::string("\x01\x01\x01\x02\x02\x02") + records[next].payload;
        if (reply.empty()) {
            ++seen["drop"];  // the same record comes with the next NAK
            continue;
        }
        const std::size_t soh = reply.find("\x01\x01\x01");
        ASSERT_NE(soh, std::string::npos);
        ASSERT_EQ(reply.substr(soh, expectedFrame.size()), expectedFrame) << next;
        if (soh > 0)
            ++seen["garbage"];
        else if (payloadOf(reply) == "<bad>")
            ++seen["corrupt"];
        else
            ++seen["clean"];
        ++next;
    }
    const std::string log = sim.ReadWireLog();
    for (const char* kind : {"drop", "corrupt", "garbage"})
        EXPECT_EQ(countOf(log, std::string(" fault=") + kind + " "), static_cast<std::size_t>(seen[kind]))
            << kind;
    const double n = naks;
    EXPECT_NEAR(seen["drop"] / n, 0.05, 0.04);
    EXPECT_NEAR(seen["corrupt"] / n, 0.1, 0.06);
    EXPECT_NEAR(seen["garbage"] / n, 0.1, 0.06);
    EXPECT_NEAR(countOf(log, " fault=trickle ") / n, 0.1, 0.06);
    EXPECT_EQ(countOf(log, " cmd=SO fault="), 0u);
}

TEST(ClocksimSession, HangupClosesTheLineAfterTheGivenRecords)
{
    SimProcess sim({"--records", "10", "--faults", "hangup-after=3"});
    const std::string link = sim.PortDirectory() + "/COM7";
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    PtyClient c(sim.PtyPath());
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(payloadOf(c.query("\x15")), records[i].payload);
    c.send("\x15");
    EXPECT_TRUE(c.hungUp());
    for (int i = 0; i < 100 && sim.Running(); ++i) ::usleep(20000);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(sim.ReadWireLog().find(" hangup hex="), std::string::npos);

    // A corrupted reply delivers no record: the line stays up until three
    // usable records have gone out.
    SimProcess spoiling({"--records", "20", "--faults", "hangup-after=3,corrupt=0.8"});
    PtyClient reader(spoiling.PtyPath());
    int usable = 0, spoilt = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string reply = reader.query("\x15");
        if (reply.empty()) break;
        ++(payloadOf(reply) == "<bad>" ? spoilt : usable);
    }
    EXPECT_EQ(usable, 3);
    EXPECT_GE(spoilt, 1);
    EXPECT_TRUE(reader.hungUp());
}

TEST(ClocksimSession, PacedRepliesArriveWholeAndAStopIsClean)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "32", "--baud", "57600", "--line-rate", "--turnaround", "5",
                    "--layout", "vireo", "--calendar", "gregorian"});
    const std::string link = sim.PortDirectory() + "/COM7";
    ASSERT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
    PtyClient c(sim.PtyPath());
    EXPECT_EQ(payloadOf(c.query(frame(32, "\x05"))).substr(0, 8), "20261207");
    EXPECT_EQ(payloadOf(c.query(Hex("32 60 B5 E7"))), sim.ExpectedRecords().front().payload);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// Pacing is what the benchmark's line limit rests on: no answer may come
// sooner than the line could carry the command in and the answer out, at
// 10 bit times a byte. (A lower bound only; how much later is the load's.)
TEST(ClocksimSession, PacedAnswersNeverBeatTheLine)
{
    SimProcess sim({"--bus", "rs485", "--baud", "2400", "--line-rate"});
    PtyClient c(sim.PtyPath());
    const double byteSeconds = 10.0 / 2400;
    for (const std::string& command : {Hex("01 41 B5 F5"), frame(1, "AUR?^"), Hex("01 41 AE EE")}) {
        const auto sent = std::chrono::steady_clock::now();
        const std::string reply = c.query(command);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        ASSERT_FALSE(reply.empty());
        EXPECT_GE(took, static_cast<double>(command.size() + reply.size()) * byteSeconds) << Hex(reply);
    }
}

// The line vanishes at the moment the fault names and the wire log says
// when, on the monotonic clock the reader's own times use.
TEST(ClocksimSession, VanishesAtTheChosenMoment)
{
    struct Case {
        std::string fault;
        int commandsAnswered;  // before the vanish
        const char* when;
        bool partOfAnAnswer;
    };
    for (const Case& v :
         {Case{"vanish-at-open=200", 0, "open", false}, Case{"vanish-after-command=2", 1, "waiting", false},
          Case{"vanish-in-answer=3", 2, "answer", true}}) {
        SCOPED_TRACE(v.fault);
        SimProcess sim({"--records", "10", "--faults", v.fault});
        const double opened =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        PtyClient c(sim.PtyPath());
        for (int i = 0; i < v.commandsAnswered; ++i) EXPECT_FALSE(payloadOf(c.query("\x15")) == "<bad>");
        if (v.commandsAnswered > 0 || v.partOfAnAnswer) c.send("\x15");
        const std::string rest = c.read(kReplyMs);
        EXPECT_TRUE(c.hungUp());
        EXPECT_EQ(rest.find('\r'), std::string::npos) << Hex(rest);
        EXPECT_EQ(sim.Stop(), 0);

        const std::string log = sim.ReadWireLog();
        const std::size_t at = log.find(std::string(" vanish=") + v.when + " monotonic=");
        ASSERT_NE(at, std::string::npos) << log;
        const double vanished = std::stod(log.substr(log.find("monotonic=", at) + 10));
        EXPECT_GT(vanished, opened);
        EXPECT_LT(vanished - opened, 10.0);
        EXPECT_EQ(countOf(log, " cmd=NAK"),
                  static_cast<std::size_t>(v.commandsAnswered + (v.when[0] != 'o')));
    }
}

// Pointer answers a reader must check, and the clock at the same port and
// address becoming another clock or an empty one while clocksim runs. Clock
// 0 is the RS-232 clock; the counts are the answers after the step (none
// fixed while punches go on).
TEST(ClocksimSession, SpoiltPointersAndChangedClocksAsAReaderMeetsThem)
{
    enum class Step { Noise, Replace, Clear };
    struct Case {
        std::vector<std::string> args;
        Step step;
        int clock;
        long count, ari, awi;
    };
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::vector<std::string> one{"--records", "40", "--ari", "253570"};
    const std::vector<std::string> bus{"--bus", "rs485", "--clocks", "2,3", "--records", "30"};
    const std::vector<std::string> noise{"--faults", "pointer-noise=1"};
    for (const Case& t : {Case{with(one, noise), Step::Noise, 0, 40, 253570, 31},
                          Case{with(bus, noise), Step::Noise, 3, 30, 0, 30},
                          Case{with(one, {"--flagged-rate", "0.5"}), Step::Replace, 0, 40, 0, 40},
                          Case{with(bus, {"--replace-records", "50", "--replace-ari", "253560"}),
                               Step::Replace, 3, 50, 253560, 31},
                          Case{with(bus, {"--ari", "7"}), Step::Clear, 2, 0, 0, 0},
                          Case{{"--punch-every", "30"}, Step::Clear, 0, -1, 0, -1}}) {
        SimProcess sim(t.args);
        SCOPED_TRACE(::testing::PrintToString(t.args));
        PtyClient c(sim.PtyPath());
        const bool marked = t.clock != 0;
        const int number = marked ? t.clock : 1;
        auto ask = [&](const std::string& command) {
            const std::string text = command.size() == 1 ? command : command + (marked ? "^" : "\r");
            return c.query(marked ? frame(t.clock, text) : text);
        };
        // A true pointer answer: five digits at least; on RS-485 an odd
        // count of them and their XOR.
        auto pointer = [&](long value) {
            std::string digits = std::to_string(value);
            digits.insert(0, digits.size() < 5 ? 5 - digits.size() : marked && digits.size() % 2 == 0, '0');
            unsigned char x = 0;
            for (char d : digits) x ^= static_cast<unsigned char>(d);
            return marked ? "\x01\x01\x01" + digits + static_cast<char>(x) + "\r" : digits + "\r";
        };
        const std::pair<std::string, std::string> truth[] = {{"\x0E", std::to_string(t.count) + "\r"},
                                                             {"ARI?", pointer(t.ari)},
                                                             {"AWI?", pointer(t.awi)},
                                                             {"AUR?", pointer(t.ari)}};
        if (t.step == Step::Noise) {
            // One digit differs and nothing else, so a check byte no longer
            // fits; ten answers to each, so a spoilt check byte would show.
            for (int round = 0; round < 40; ++round) {
                const auto& [command, answer] = truth[round % 4];
                const std::string got = ask(command);
                std::vector<std::size_t> at;
                for (std::size_t k = 0; k < got.size() && k < answer.size(); ++k)
                    if (got[k] != answer[k]) at.push_back(k);
                EXPECT_TRUE(got.size() == answer.size() && at.size() == 1 &&
                            at[0] + (answer[0] == '\x01' ? 2 : 1) < got.size() && std::isdigit(got[at[0]]))
                    << ToHex(got) << " for " << ToHex(answer);
            }
            EXPECT_EQ(countOf(sim.ReadWireLog(), " fault=pointer-noise "), 40u);
            EXPECT_EQ(payloadOf(ask("\x15")), sim.ExpectedRecords(number).front().payload);
            continue;
        }
        t.step == Step::Replace ? sim.Replace() : sim.Clear();
        for (const auto& [command, answer] : truth)
            EXPECT_EQ(t.count < 0 ? answer : ask(command), answer) << ToHex(command);
        const std::vector<SimLife> lives = sim.ExpectedLives();
        ASSERT_EQ(lives.size(), 2u);
        EXPECT_EQ(lives[1].began, t.step == Step::Replace ? "replaced" : "cleared");
        std::vector<SimRecord> after = sim.ExpectedRecords(number);
        if (t.step == Step::Replace) {
            // Not one record answers as the one the first life held there.
            auto answerOf = [](const SimRecord& r) { return r.flagged ? std::string("???") : r.payload; };
            std::map<long long, std::string> old;
            for (const SimRecord& r : lives[0].records)
                if (r.clock == number) old[r.position] = answerOf(r);
            ASSERT_EQ(after.size(), static_cast<std::size_t>(t.count));
            EXPECT_EQ(after.front().position, t.ari);
            EXPECT_EQ(lives[1].records.size(), after.size() * (marked ? 2 : 1));
            std::size_t shared = 0;
            for (const SimRecord& r : after) {
                if (const auto o = old.find(r.position); o != old.end() && ++shared) {
                    EXPECT_NE(answerOf(r), o->second) << r.position;
                }
            }
            EXPECT_GE(shared, 30u);
            EXPECT_EQ(payloadOf(ask("\x15")), answerOf(after.front()));
        } else {
            // Empty; the first punch after the clear, if any, goes to 0.
            for (int i = 0; i < 200 && t.count < 0 && after.empty(); ++i, after = sim.ExpectedRecords())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(after.empty(), t.count == 0);
            EXPECT_EQ(ask("AUR=0"), marked ? Hex("01 01 01") + "OK" + Hex("04 0D") : "OK\r");
            EXPECT_EQ(payloadOf(ask("\x15")), t.count == 0 ? "" : after.front().payload);
            EXPECT_EQ(t.count < 0 ? after.front().position : 0, 0);
        }
    }
}

TEST(ClocksimSession, ServesRecordsLoadedFromAFile)
{
    char dir[] = "/tmp/clocksim-records-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/records.txt";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        std::fputs("0000054321030214090513117\r\n!0000054321030215090513117\n\n0000000123030301120001234\n",
                   f);
        std::fclose(f);
    }
    {
        SimProcess sim(
            {"--bus", "rs485", "--clocks", "2,3", "--records-file", file, "--layout", "vireo", "--ari", "9"});
        const std::vector<SimRecord> records = sim.ExpectedRecords();
        ASSERT_EQ(records.size(), 6u);
        EXPECT_EQ(records[4].clock, 3);
        EXPECT_EQ(records[4].position, 10);
        EXPECT_TRUE(records[4].flagged);
        EXPECT_EQ(records[5].payload, "0000000123030301120001234");

        PtyClient c(sim.PtyPath());
        EXPECT_EQ(c.query(frame(3, "AUR=9^")).substr(3, 2), "OK");
        EXPECT_EQ(payloadOf(c.query(frame(3, "\x15"))), records[3].payload);
        EXPECT_NE(c.query(frame(3, "\x15")).find("???"), std::string::npos);
        // The other clock's pointer did not move.
        EXPECT_EQ(c.query(frame(2, "AUR?^")),
                  "\x01\x01\x01"
                  "00009"
                  "9\r");
    }
    std::filesystem::remove_all(dir);
}

TEST(ClocksimCommandLine, DocumentsEveryOptionAndRefusesBadOnes)
{
    std::string help;
    ASSERT_EQ(runClocksim("--help", &help), 0);
    for (const char* option :
         {"--bus",          "--clocks",       "--link",    "--baud",       "--line-rate", "--turnaround",
          "--records",      "--records-file", "--layout",  "--calendar",   "--date",      "--seed",
          "--flagged-rate", "--ari",          "--faults",  "--fault-seed", "--wire-log",  "--dump-expected",
          "--punch-every",  "--punch-batch",  "--punches", "--help"})
        EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
    for (const char* more :
         {"--replace-records", "--replace-seed", "--replace-ari", "pointer-noise=", "SIGUSR"})
        EXPECT_NE(help.find(std::string("  ") + more), std::string::npos) << more;

    for (const auto& [bad, said] : std::vector<std::pair<std::string, std::string>>{
             {"--bus rs422", "--bus"},
             {"--clocks 0", "--clocks"},
             {"--clocks 33", "--clocks"},
             {"--bus rs232 --clocks 1,2", "RS-232"},
             {"--records x", "--records"},
             {"--records", "--records needs a value"},
             {"--date 14051231", "--date"},
             {"--faults drop=2", "--faults"},
             {"--frobnicate", "unknown option \"--frobnicate\""},
             {"--frobnicate 3", "unknown option \"--frobnicate\""},
             {"--records-file /nonexistent", "cannot read /nonexistent"},
             {"--punch-every 0", "--punch-every"},
             {"--punch-every 5 --punch-batch 0", "--punch-batch"},
             {"--punches 3", "--punches and --punch-batch need --punch-every"},
             {"--bus rs485 --clocks 4-2", "--clocks"},
             {"--bus rs485 --clocks 1-3,3", "clock 3 is listed twice"}}) {
        std::string out;
        EXPECT_EQ(runClocksim(bad, &out), 2) << bad;
        EXPECT_NE(out.find("clocksim: " + said), std::string::npos) << bad << ": " << out;
    }
}

// A second clocksim never takes over a link that the first still serves.
TEST(ClocksimCommandLine, ALinkInServiceIsNotTakenOver)
{
    SimProcess sim({"--records", "5"});
    const std::string link = sim.PortDirectory() + "/COM7";
    std::string out;
    EXPECT_EQ(runClocksim("--link " + link, &out), 1);
    EXPECT_NE(out.find("served by another clocksim"), std::string::npos) << out;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
    PtyClient c(sim.PtyPath());
    EXPECT_EQ(payloadOf(c.query("\x15")), sim.ExpectedRecords().front().payload);
}
