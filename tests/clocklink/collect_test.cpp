// The link against a peer on a pseudo-terminal: what goes out on the line,
// how replies are collected, and when collection ends. Time is fake: the
// limits of 5 s and 30 s pass without waiting for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "clocklink/clocklink.h"
#include "fakewindow.h"
#include "hexbytes.h"
#include "ticksources.h"
#include "ptypeer.h"

namespace {

constexpr std::uint32_t kNearWrap = 0xFFFFFFFFu - 1000;

// Sets up the shared port on the peer's slave at `baudRate` and opens it, so
// the line is raw before the peer sends anything.
TComPort& OpenSharedPortOn(const PtyPeer& peer, const std::string& baudRate = "9600")
{
    FakeWindow window;
    window.portName = peer.SlavePath();
    window.baudRate = baudRate;
    TComPort& port = SetUpPortFromWindow(window);
    port.Open();
    return port;
}

class LinkOverPty : public ::testing::Test {
protected:
    void SetUp() override { window.portName = peer.SlavePath(); }
    void TearDown() override { ReleaseSharedPort(); }

    // Opens the port raw, then puts `reply` into its input as if the clock
    // had already answered.
    TComPort& openWithPendingReply(const std::string& reply, const std::string& baudRate = "9600")
    {
        TComPort& port = OpenSharedPortOn(peer, baudRate);
        if (!reply.empty()) {
            peer.Send(reply);
            WaitForQueued(port, static_cast<int>(reply.size()));
        }
        return port;
    }

    // The clock answers now; the test goes on once the bytes are in the port.
    void answer(const std::string& reply)
    {
        const int pending = SharedPort()->InputCount();
        peer.Send(reply);
        WaitForQueued(*SharedPort(), pending + static_cast<int>(reply.size()));
    }

    PtyPeer peer;
    FakeWindow window;
    FakeTickSource clock{kNearWrap};
};

// ---- sending ----------------------------------------------------------------

TEST_F(LinkOverPty, FirstSendOpensThePort)
{
    TComPort& port = SetUpPortFromWindow(window);
    ASSERT_FALSE(port.Connected());
    SendRaw(Hex("41 52 49 3F 0D"));
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(ToHex(peer.Receive(5)), "41 52 49 3F 0D");
}

TEST_F(LinkOverPty, At57600EachByteIsWrittenAloneAndFollowedByAPause)
{
    openWithPendingReply("", "57600");
    window.rs232 = false;
    std::vector<std::string> seenAtPause;
    clock.onSleep = [&] { seenAtPause.push_back(ToHex(peer.Receive(1))); };

    SendCommand(window, "ARI?^");
    // At every pause exactly one more byte has reached the line, the last included.
    EXPECT_EQ(seenAtPause, (std::vector<std::string>{"01", "41", "A1", "B2", "A9", "9F", "BE", "DB"}));
    EXPECT_EQ(clock.sleeps, std::vector<std::uint32_t>(8, 1));

    // A single character goes whole, with no pause.
    seenAtPause.clear();
    SendRaw(std::string(1, NAK));
    EXPECT_TRUE(seenAtPause.empty());
    EXPECT_EQ(ToHex(peer.Receive(1)), "15");
}

TEST_F(LinkOverPty, OtherRatesSendInOneWriteWithoutPause)
{
    for (const char* rate : {"2400", "4800", "9600", "19200"}) {
        PtyPeer line;
        window.portName = line.SlavePath();
        window.baudRate = rate;
        window.rs232 = false;
        SetUpPortFromWindow(window);
        SendCommand(window, "ARI?^");
        window.rs232 = true;
        SendCommand(window, "ARI?\r");
        EXPECT_EQ(ToHex(line.Receive(13)), "01 41 A1 B2 A9 9F BE DB 41 52 49 3F 0D") << rate;
        EXPECT_TRUE(clock.sleeps.empty()) << rate;
        ReleaseSharedPort();
    }
}

TEST_F(LinkOverPty, BusAndClockNumberAreReadAtEverySend)
{
    openWithPendingReply("");
    window.rs232 = false;
    window.selectedClock = "12";
    SendCommand(window, std::string(1, SO));
    window.selectedClock = "32";
    SendCommand(window, std::string(1, NAK));
    window.rs232 = true;
    SendCommand(window, std::string(1, NAK));
    EXPECT_EQ(ToHex(peer.Receive(9)), "12 4C AE F0 32 60 B5 E7 15");

    // A clock number that is no number: refused before anything is written.
    window.rs232 = false;
    window.selectedClock = "x";
    EXPECT_THROW(SendCommand(window, std::string(1, SO)), EConvertError);
    EXPECT_EQ(peer.Receive(1, 50), "");
}

// Each command of the set: its bytes on either bus, and the reply length it
// collects (seen from what stays behind of a long reply without CR).
TEST(CommandSetOverPty, WireBytesAndReplyLengthPerBus)
{
    FakeTickSource clock(kNearWrap);
    struct Case {
        const char* name;
        bool rs232;
        std::function<void(FakeWindow&)> issue;
        const char* wire;
        int expectedLength;
    };
    const auto counter = [](int l) { return [l](FakeWindow& w) { QueryRecordCounter(w, l); }; };
    const auto date = [](FakeWindow& w) { QueryClockDatePayload(w); };
    const auto setSearch = [](FakeWindow& w) { SetUserReadPointer(w, "4567"); };
    const auto next = [](FakeWindow& w) { QueryNextRecord(w); };
    const auto ari = [](FakeWindow& w) { QueryReadIndexPointer(w); };
    const auto awi = [](FakeWindow& w) { QueryWriteIndexPointer(w); };
    const auto aur = [](FakeWindow& w) { QueryUserReadPointer(w); };
    const auto aurd = [](FakeWindow& w) { PositionAtDate(w, "880101"); };
    const std::vector<Case> cases{
        {"SO 15", true, counter(15), "0E", 15},
        {"SO 25", false, counter(25), "01 41 AE EE", 25},
        {"ENQ", true, date, "05", 20},
        {"ENQ", false, date, "01 41 A5 E5", 20},
        {"AUR= search", true, setSearch, "41 55 52 3D 34 35 36 37 0D", 3},
        {"AUR= search", false, setSearch, "01 41 A1 B5 B2 9D 94 95 96 97 BE C5", 7},
        {"NAK", true, next, "15", 50},
        {"NAK", false, next, "01 41 B5 F5", 50},
        {"ARI?", true, ari, "41 52 49 3F 0D", 20},
        {"ARI?", false, ari, "01 41 A1 B2 A9 9F BE DB", 20},
        {"AWI?", true, awi, "41 57 49 3F 0D", 20},
        {"AWI?", false, awi, "01 41 A1 B7 A9 9F BE DE", 20},
        {"AUR?", true, aur, "41 55 52 3F 0D", 8},
        {"AUR?", false, aur, "01 41 A1 B5 B2 9F BE C7", 12},
        {"AURD=", true, aurd, "41 55 52 44 3D 38 38 30 31 30 31 0D", 3},
        {"AURD=", false, aurd, "01 41 A1 B5 B2 A4 9D 98 98 90 91 90 91 BE E1", 7},
    };
    const std::string longReply(60, 'x');
    for (const Case& c : cases) {
        PtyPeer peer;
        FakeWindow window;
        window.portName = peer.SlavePath();
        window.rs232 = c.rs232;
        TComPort& port = OpenSharedPortOn(peer);
        peer.Send(longReply);
        WaitForQueued(port, 60);

        c.issue(window);
        const std::string bus = c.rs232 ? " RS-232" : " RS-485";
        EXPECT_EQ(ToHex(peer.Receive(Hex(c.wire).size())), c.wire) << c.name << bus;
        EXPECT_EQ(port.InputCount(), 60 - c.expectedLength) << c.name << bus;
        ReleaseSharedPort();
    }
}

TEST_F(LinkOverPty, CommandReadingsOfRealReplies)
{
    openWithPendingReply(
        "\x0E"
        "19500\r");
    EXPECT_EQ(QueryRecordCounter(window, 15), 19500);

    const std::string date = Hex("01 01 01") + "H" + Hex("02 02 02") + "13880315" + Hex("05 0D");
    answer(date);
    EXPECT_EQ(QueryClockDatePayload(window), "13880315");

    // A frame longer than the 20 collected characters loses its CR and fails.
    const std::string longDate = Hex("01 01 01") + "HEADER" + Hex("02 02 02") + "13880315" + Hex("05 0D");
    answer(longDate);
    EXPECT_EQ(QueryClockDatePayload(window), "");
    EXPECT_EQ(ReadPortText(100), Hex("05 0D"));

    window.rs232 = false;
    answer(Hex("01 01 01 30 31 32 33 34 31 0D"));
    EXPECT_EQ(QueryUserReadPointer(window), "01234");
    window.rs232 = true;
    answer("01234\r");
    EXPECT_EQ(QueryUserReadPointer(window), "01234");
}

// ---- QueryClock collection ---------------------------------------------------

TEST_F(LinkOverPty, StopsAtCrOrAtTheExpectedLength)
{
    openWithPendingReply("123\r");
    EXPECT_EQ(QueryClock(window, "ARI?\r", 20), "123\r");
    // What came in the same read behind the CR comes along.
    answer("123\r456");
    EXPECT_EQ(QueryClock(window, "ARI?\r", 20), "123\r456");

    answer(std::string(30, '7'));
    EXPECT_EQ(QueryClock(window, "ARI?\r", 20), std::string(20, '7'));
    EXPECT_EQ(ReadPortText(100), std::string(10, '7'));
    EXPECT_EQ(clock.pauses, 0);  // the replies were there: no pause, no time spent
}

TEST_F(LinkOverPty, LeftoversAreReadFirstByTheNextCollector)
{
    // "OK" CR answered to a command collected with L = 1: the rest stays in
    // the port and ends the next query at once.
    openWithPendingReply("OK\r");
    EXPECT_EQ(QueryClock(window, "AUR=00000\r", 1), "O");
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker), "K\r");
}

TEST_F(LinkOverPty, StartMarkerDropsWhatCameBefore)
{
    openWithPendingReply("zz" + std::string(kStartMarker) + "abc\r");
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker), std::string(kStartMarker) + "abc\r");

    // Without a marker nothing is dropped.
    answer("zz" + std::string(kStartMarker) + "abc\r");
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50), "zz" + std::string(kStartMarker) + "abc\r");

    // The length counts from the marker once it is there.
    answer(std::string(10, 'j') + std::string(kStartMarker) + std::string(60, 'r'));
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker),
              std::string(kStartMarker) + std::string(47, 'r'));
    EXPECT_EQ(ReadPortText(100), std::string(13, 'r'));

    // A CR, or L bytes, before any marker end the collection with them...
    answer("xy\r");
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker), "xy\r");
    // ...unless the marker came in the same read: the cut comes first.
    answer("xy\r" + std::string(kStartMarker) + "ab\r");
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker), std::string(kStartMarker) + "ab\r");
    answer(std::string(50, 'q') + std::string(kStartMarker));
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 50, kStartMarker), std::string(50, 'q'));
}

TEST_F(LinkOverPty, GivesUpAfterFiveSecondsWithWhatArrived)
{
    openWithPendingReply("");
    const std::uint32_t start = clock.now;
    EXPECT_EQ(QueryClock(window, std::string(1, SO), 15), "");
    // The limit is taken across the counter's wrap-around, not cut short or stretched by it.
    const std::uint32_t waited = clock.now - start;
    EXPECT_GE(waited, 5000u);
    EXPECT_LE(waited, 5002u);
    EXPECT_LT(clock.now, start);  // it did wrap
    // The window was serviced every 50 empty reads.
    EXPECT_EQ(window.processMessagesCalls, 50);

    peer.Send("AB");
    WaitForQueued(*SharedPort(), 2);
    EXPECT_EQ(QueryClock(window, std::string(1, SO), 15), "AB");
}

TEST_F(LinkOverPty, EmptyReadsCountForTheWindowEvenWhenDataCameBetween)
{
    openWithPendingReply("");
    clock.onPause = [&](TComPort& port) {
        if (clock.pauses == 30) {
            peer.Send("ab");
            WaitForQueued(port, 2);
        }
    };
    // The first message pass completes the reply.
    window.onProcessMessages = [&](FakeWindow&) {
        peer.Send("\r");
        WaitForQueued(*SharedPort(), 1);
    };
    EXPECT_EQ(QueryClock(window, std::string(1, SO), 15), "ab\r");
    EXPECT_EQ(clock.pauses, 50);
    EXPECT_EQ(window.processMessagesCalls, 1);
}

TEST_F(LinkOverPty, ReplyStillComingInIsNotCutOffByTheLimit)
{
    // The time runs past the limit during one pause, and a reply arrives
    // then. Reads that bring something do not look at the time: the
    // collection goes on until the length rule ends it.
    openWithPendingReply("");
    const std::uint32_t start = clock.now;
    clock.onPause = [&](TComPort& port) {
        if (clock.pauses != 1) return;
        clock.now = start + 6000;
        const std::string reply = "zzz" + std::string(kStartMarker) + "456\r";
        peer.Send(reply);
        WaitForQueued(port, static_cast<int>(reply.size()));
    };
    EXPECT_EQ(QueryClock(window, std::string(1, NAK), 6, kStartMarker), std::string(kStartMarker) + "456");
    EXPECT_EQ(clock.pauses, 1);
}

TEST_F(LinkOverPty, ReadFailureLeavesQueryClock)
{
    openWithPendingReply("");
    peer.HangUp();
    EXPECT_THROW(QueryClock(window, std::string(1, SO), 15), EComPort);
}

TEST_F(LinkOverPty, CollectReplyReadsWithoutSending)
{
    openWithPendingReply("zz" + std::string(kStartMarker) + "abc\r" + "rest");
    EXPECT_EQ(CollectReply(window, 50, kStartMarker), std::string(kStartMarker) + "abc\rrest");
    EXPECT_EQ(peer.Receive(1, 50), "");

    // Without a port nothing can come: empty at once, no waiting.
    ReleaseSharedPort();
    EXPECT_EQ(CollectReply(window, 50), "");
    EXPECT_EQ(clock.pauses, 0);
    EXPECT_TRUE(clock.sleeps.empty());
}

// ---- a quiet line before the first command ------------------------------------------

TEST(QuietLine, LastsTheLongestAnswerAtTheLineRatePlusAMargin)
{
    EXPECT_EQ(QuietLineMs(2400), 229u);  // 50 characters of 10 bits: 208.3 ms
    EXPECT_EQ(QuietLineMs(9600), 73u);
    EXPECT_EQ(QuietLineMs(57600), 29u);
}

// The rest of an answer meant for a program that was stopped keeps coming
// after the port opened: the first command waits until the line is quiet,
// so its collection holds only its own answer.
TEST_F(LinkOverPty, FirstCommandWaitsForAQuietLine)
{
    SetUpPortFromWindow(window);
    std::string received;
    int staleSent = 0;
    clock.onPause = [&](TComPort& port) {
        received += peer.Receive(0);
        if (received.empty() && staleSent < 3) {
            peer.Send("\x01\x01\x01" + std::string(1, char('0' + staleSent++)));
            WaitForQueued(port, 4);
        } else if (received == std::string(1, SO)) {
            received += "answered";
            peer.Send("2000\r");
            WaitForQueued(port, 5);
        }
    };
    const std::uint32_t start = clock.now;
    EXPECT_EQ(QueryRecordCounter(window, 15), 2000);
    EXPECT_EQ(staleSent, 3);
    EXPECT_GE(clock.now - start, QuietLineMs(9600));
    EXPECT_GE(window.processMessagesCalls, 3);
}

// ---- putting the user read pointer back ------------------------------------------

// Plays the clock's side of a resync: sends `answers` once the "AUR=" is on
// the line (seen at the collection's first pause); `received` gets what the
// clock received.
void AnswerPointerCommand(PtyPeer& peer, FakeTickSource& clock, std::string answers, std::string& received)
{
    clock.onPause = [&peer, &received, answers](TComPort& port) mutable {
        received += peer.Receive(0);
        if (received.empty() || answers.empty()) return;
        peer.Send(answers);
        WaitForQueued(port, static_cast<int>(answers.size()));
        answers.clear();
    };
}

TEST_F(LinkOverPty, ResyncIsConfirmedOnlyByTheAnswerToItsOwnCommand)
{
    const std::string lateRecord = Hex("01 01 01 02 02 02") + "123" + "0\r";
    const std::string busOk = Hex("01 01 01 4F 4B 04 0D");
    struct Case {
        const char* name;
        std::string stale;  // in the port when the resync starts: drained
        std::string answers;
        int pendingBefore;
        bool rs232;
        std::int64_t position;
        bool confirmed;
        int pendingAfter;
        std::string wire;
    };
    const std::vector<Case> cases{
        {"stale OK drained", "K\r" + lateRecord + "OK\r", "OK\r", 0, true, 12, true, 0, "AUR=00012\r"},
        {"late record dropped", "", lateRecord + Hex("01 01 01") + "???\r" + "OK\r", 0, true, 5, true, 0,
         "AUR=00005\r"},
        {"bus, on the ring", "", busOk, 0, false, kRingSize + 7, true, 0,
         Hex("01 41 A1 B5 B2 9D 90 90 90 90 97 BE D2")},
        {"six digits", "", "OK\r", 0, true, -1, true, 0, "AUR=253578\r"},
        // An earlier "AUR=" was never answered, and the line fell quiet
        // before this one: that answer is lost, not late, and this one's
        // "OK" confirms...
        {"earlier answer lost", "", "OK\r", 1, true, 3, true, 0, "AUR=00003\r"},
        // ...as it does when both answers come.
        {"both answered", "", lateRecord + "OK\r" + busOk, 1, false, 3, true, 0,
         Hex("01 41 A1 B5 B2 9D 90 90 90 90 93 BE D6")},
        {"refused", "", "ERR\r", 0, true, 3, false, 0, "AUR=00003\r"},
        {"cut off", "", "O", 0, true, 3, false, 1, "AUR=00003\r"},
        {"no answer", "", "", 0, true, 3, false, 1, "AUR=00003\r"},
        // A record answer with junk before it is split across collections.
        {"long late answer", "", std::string(40, 'j') + lateRecord + "OK\r", 0, true, 3, true, 0,
         "AUR=00003\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPeer line;
        window.portName = line.SlavePath();
        window.rs232 = c.rs232;
        TComPort& port = OpenSharedPortOn(line);
        if (!c.stale.empty()) {
            line.Send(c.stale);
            WaitForQueued(port, static_cast<int>(c.stale.size()));
        }
        std::string received;
        AnswerPointerCommand(line, clock, c.answers, received);
        PendingPointerAnswers pending{c.pendingBefore};
        EXPECT_EQ(ResyncUserReadPointer(window, c.position, pending), c.confirmed);
        EXPECT_EQ(pending.count, c.pendingAfter);
        EXPECT_EQ(ToHex(received + line.Receive(0)), ToHex(c.wire));
        EXPECT_EQ(port.InputCount(), 0);
        clock.onPause = nullptr;
        ReleaseSharedPort();
    }
}

TEST_F(LinkOverPty, ResyncGivesUpOnALineThatNeverStopsTalking)
{
    openWithPendingReply("");
    std::string received;
    AnswerPointerCommand(peer, clock, std::string(2000, 'j') + "OK\r", received);
    PendingPointerAnswers pending;
    EXPECT_FALSE(ResyncUserReadPointer(window, 0, pending));
    // It stopped reading long before the end.
    EXPECT_GT(SharedPort()->InputCount(), 1000);
}

TEST(ResyncWithoutPort, SendsNothingAndFails)
{
    ReleaseSharedPort();
    FakeWindow window;
    PendingPointerAnswers pending;
    EXPECT_FALSE(ResyncUserReadPointer(window, 0, pending));
    EXPECT_EQ(pending.count, 0);
}

// ---- WaitForReply --------------------------------------------------------------

TEST_F(LinkOverPty, WaitForReplyStopsAtLengthOrOnALoneI)
{
    openWithPendingReply("OK\r");
    EXPECT_EQ(ToHex(WaitForReply(3, 30000)), "4F 4B 0D");

    peer.Send("I");
    WaitForQueued(*SharedPort(), 1);
    EXPECT_EQ(WaitForReply(7, 30000), "I");
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(LinkOverPty, WaitForReplyRunsToItsLimitOnAnIWithMore)
{
    openWithPendingReply("IOK");
    const std::uint32_t start = clock.now;
    EXPECT_EQ(WaitForReply(7, 30000), "IOK");
    const std::uint32_t waited = clock.now - start;
    EXPECT_GE(waited, 30000u);
    EXPECT_LE(waited, 30200u);
    EXPECT_EQ(window.processMessagesCalls, 0);
    EXPECT_TRUE(
        std::all_of(clock.sleeps.begin(), clock.sleeps.end(), [](std::uint32_t ms) { return ms == 100; }));
}

TEST_F(LinkOverPty, WaitForReplyEndsQuietlyOnAReadFailure)
{
    openWithPendingReply("");
    peer.HangUp();
    std::string reply = "unset";
    EXPECT_NO_THROW(reply = WaitForReply(7, 30000));
    EXPECT_EQ(reply, "");
    EXPECT_LT(clock.advanced, 30000u);
}

TEST_F(LinkOverPty, ReplacingThePortReleasesTheOpenOne)
{
    openWithPendingReply("");
    // The device is held exclusively; it can be opened again only if the
    // replaced port let go of it.
    TComPort& next = SetUpPortFromWindow(window);
    EXPECT_NO_THROW(next.Open());
    EXPECT_TRUE(next.Connected());
    CloseSharedPort();
    EXPECT_FALSE(next.Connected());
}

}  // namespace
