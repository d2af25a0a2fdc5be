// Bad input in every field of the window, through the three operations
// against clocksim on a pseudo-terminal. Each text gets its defined reading
// (a port name, a bit rate, a number, a date sent as typed) or a clear
// message; nothing crashes or hangs, and after every operation the operation
// buttons are enabled and the port is closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "badtexts.h"
#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "ticksources.h"
#include "pointers/pointers.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "utils/text.h"

namespace fs = std::filesystem;

namespace {

const std::string kSearchDone =
    "اشاره گرها با موفقيت خوانده شد\r\nهمچنين فيلدهاي شروع و تعداد بصورت صحيح مقدار داده شد";

std::string MessagesText(const FakeWindow& window)
{
    std::string text;
    for (const ShownMessage& m : window.messages) text += "[" + std::to_string(m.kind) + "] " + m.text + "\n";
    return text;
}

class BadInput : public ::testing::Test {
protected:
    void StartSim(std::vector<std::string> args)
    {
        m_sim = std::make_unique<SimProcess>(args);
        SetComPortDirectory(m_sim->PortDirectory());
        m_wireSeen = 0;
    }
    SimProcess& Sim() { return *m_sim; }
    // The number of the sim's port: only a field text that trims to it names it.
    std::string SimCom() const { return std::to_string(m_sim->ComNumber()); }

    void TearDown() override
    {
        ReleaseSharedPort();
        SetTickSource(nullptr);
        SetComPortDirectory("");
    }

    // A window at its defaults on the sim's port.
    FakeWindow Window() const
    {
        FakeWindow window;
        window.com = SimCom();
        return window;
    }

    // The sim's wire log since the last call: one line per command it got.
    std::string NewWire()
    {
        const std::string all = m_sim->ReadWireLog();
        const std::string fresh = all.substr(std::min(m_wireSeen, all.size()));
        m_wireSeen = all.size();
        return fresh;
    }

    // What every operation leaves behind, whatever happened.
    static void ExpectOperationEnded(const FakeWindow& window)
    {
        EXPECT_TRUE(window.buttonsEnabled);
        EXPECT_FALSE(window.waitPanelVisible);
        EXPECT_FALSE(SharedPort() && SharedPort()->Connected());
    }

private:
    std::unique_ptr<SimProcess> m_sim;
    std::size_t m_wireSeen = 0;
};

// ---- eCom ------------------------------------------------------------------------

// The port name is "COM" + the trimmed text, nothing more: a text reaches the
// clock exactly when trimming leaves the linked number; any other text names
// no device, which every operation reports the same way without sending a
// byte.
TEST_F(BadInput, ComFieldNamesThePortOnlyAfterTrimming)
{
    StartSim({"--bus", "rs232", "--layout", "vireo", "--records", "50"});
    for (const BadText& bad : BadTexts(SimCom())) {
        SCOPED_TRACE(bad.name + ": \"" + Printable(bad.text) + "\"");
        const bool namesTheSim = Trim(bad.text) == SimCom();

        FakeWindow query = Window();
        query.com = bad.text;
        query.readIndex = query.writeIndex = "before";
        RunPointerQuery(query);
        ExpectOperationEnded(query);
        if (namesTheSim) {
            EXPECT_TRUE(query.messages.empty()) << MessagesText(query);
            EXPECT_EQ(query.readIndex, "0");
            EXPECT_EQ(query.writeIndex, "50");
        } else {
            ASSERT_EQ(query.messages.size(), 1u) << MessagesText(query);
            EXPECT_EQ(query.messages[0].kind, ShownMessage::ErrorReport);
            EXPECT_EQ(query.messages[0].text, kOpenError);
            EXPECT_EQ(query.readIndex, "before");
            EXPECT_EQ(query.writeIndex, "before");
            EXPECT_EQ(NewWire(), "");
        }

        FakeWindow download = Window();
        download.com = bad.text;
        download.vireo = true;
        download.count = "2";
        RunDownload(download);
        ExpectOperationEnded(download);
        if (namesTheSim) {
            EXPECT_TRUE(download.messages.empty()) << MessagesText(download);
            EXPECT_EQ(download.dumpLines.size(), 2u);
        } else {
            ASSERT_EQ(download.messages.size(), 1u) << MessagesText(download);
            EXPECT_EQ(download.messages[0].text, kOpenError);
            EXPECT_TRUE(download.dumpLines.empty());
            EXPECT_EQ(NewWire(), "");
        }

        FakeWindow search = Window();
        search.com = bad.text;
        search.vireo = true;
        RunDateRangeSearch(search);
        ExpectOperationEnded(search);
        EXPECT_EQ(SharedPort(), nullptr);
        ASSERT_EQ(search.messages.size(), 1u) << MessagesText(search);
        if (namesTheSim) {
            EXPECT_EQ(search.messages[0].text, kSearchDone);
        } else {
            EXPECT_EQ(search.messages[0].text, kOpenError);
            EXPECT_EQ(search.start, "0");
            EXPECT_EQ(search.count, "19500");
            EXPECT_EQ(NewWire(), "");
        }
        NewWire();
    }
}

#ifdef _WIN32
// On Windows a port name is a device name: a text that would lead the system
// from some COM port's name to another device (the sim's port among them)
// opens nothing, and nothing reaches the clock.
TEST_F(BadInput, ComFieldPathsOpenNoOtherDevice)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    for (const std::string& text : {"1\\..\\COM" + SimCom(), "1/../COM" + SimCom(), SimCom() + "\\",
                                    "\\\\.\\COM" + SimCom(), SimCom() + ":"}) {
        SCOPED_TRACE(text);
        FakeWindow window = Window();
        window.com = text;
        RunPointerQuery(window);
        window.count = "1";
        RunDownload(window);
        ExpectOperationEnded(window);
        ASSERT_EQ(window.messages.size(), 2u) << MessagesText(window);
        for (const ShownMessage& message : window.messages) EXPECT_EQ(message.text, kOpenError);
        EXPECT_EQ(NewWire(), "");
    }
}
#else
// A port name made from a path must not leave the ports folder. Each trap
// below is a link to the clock placed where the path would lead if the name
// were simply joined onto the folder, so an open that escaped would reach the
// clock and show in its wire log.
TEST_F(BadInput, ComFieldPathsOpenNothingOutsideThePortsFolder)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    const fs::path root = Sim().PortDirectory();
    const fs::path ports = root / "ports";
    const fs::path pty = Sim().PtyPath();
    fs::create_directories(ports / "COM1");  // ports/COM1/../../x
    fs::create_symlink(pty, root / "x");
    fs::create_directories(ports / "COM" / "dev");  // ports/COM/dev/null
    fs::create_symlink(pty, ports / "COM" / "dev" / "null");
    fs::create_directories(ports / "COM..");  // ports/COM../../etc/passwd
    fs::create_directories(ports / "etc");
    fs::create_symlink(pty, ports / "etc" / "passwd");
    fs::create_symlink(pty, ports / ("COM" + SimCom()));
    SetComPortDirectory(ports.string());

    // The traps are live: opened by their own paths, they reach the clock.
    for (const fs::path& trap : {root / "x", ports / "COM" / "dev" / "null", ports / "etc" / "passwd"}) {
        FakeWindow direct = Window();
        direct.portName = trap.string();
        RunPointerQuery(direct);
        EXPECT_EQ(direct.writeIndex, "50") << trap << "\n" << MessagesText(direct);
    }
    NewWire();

    for (const std::string text : {"1/../../x", "/dev/null", "../../etc/passwd", "/../x", "7/../../x"}) {
        SCOPED_TRACE(text);
        FakeWindow window = Window();
        window.com = text;
        RunPointerQuery(window);
        window.count = "1";
        RunDownload(window);
        window.vireo = true;
        RunDateRangeSearch(window);
        ExpectOperationEnded(window);
        ASSERT_EQ(window.messages.size(), 3u) << MessagesText(window);
        for (const ShownMessage& message : window.messages) EXPECT_EQ(message.text, kOpenError);
        EXPECT_EQ(NewWire(), "");
    }
}
#endif

// ---- cbBuadRate --------------------------------------------------------------------

// A text that is not one of the rates, compared whole and without trimming,
// opens the port at 9600 bit/s; the clock is reached all the same.
TEST_F(BadInput, BaudRateFieldFallsBackTo9600)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    std::vector<BadText> texts = BadTexts("2400");
    texts.push_back({"blank before a rate", " 19200"});
    texts.push_back({"blank after a rate", "57600 "});
    texts.push_back({"lower-case text", "br2400"});
    for (const BadText& bad : texts) {
        SCOPED_TRACE(bad.name + ": \"" + Printable(bad.text) + "\"");
        FakeWindow window = Window();
        window.baudRate = bad.text;
        RunPointerQuery(window);
        ExpectOperationEnded(window);
        EXPECT_TRUE(window.messages.empty()) << MessagesText(window);
        EXPECT_EQ(window.readIndex, "0");
        EXPECT_EQ(window.writeIndex, "50");
        ASSERT_NE(SharedPort(), nullptr);
        EXPECT_EQ(SharedPort()->BaudRate(), br9600);
    }
}

// ---- eStart ------------------------------------------------------------------------

// The start index is the whole text read as a 32-bit integer (0 when it is
// not one), shown and sent padded to five digits; the records read are those
// from that index on.
TEST_F(BadInput, StartFieldIsReadAsANumberOrZero)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    // What two records from a plain start index look like.
    std::map<std::string, std::vector<std::string>> linesFrom;
    for (const std::string start : {"00000", "00016", "00007"}) {
        FakeWindow window = Window();
        window.start = start;
        window.count = "2";
        RunDownload(window);
        ASSERT_EQ(window.dumpLines.size(), 2u) << MessagesText(window);
        linesFrom[start] = window.dumpLines;
    }
    NewWire();

    const std::map<std::string, std::string> expectedStart = {
        {"plus sign", "00007"}, {"dollar hexadecimal", "00016"}, {"0x hexadecimal", "00016"}};
    for (const BadText& bad : BadTexts("7")) {
        if (bad.name == "minus sign") continue;  // below
        SCOPED_TRACE(bad.name + ": \"" + Printable(bad.text) + "\"");
        const auto known = expectedStart.find(bad.name);
        const std::string start = known == expectedStart.end() ? "00000" : known->second;

        FakeWindow window = Window();
        window.start = bad.text;
        window.count = "2";
        RunDownload(window);
        ExpectOperationEnded(window);
        EXPECT_TRUE(window.messages.empty()) << MessagesText(window);
        EXPECT_EQ(window.start, start);
        EXPECT_NE(NewWire().find("cmd=AUR=" + start + "<CR>"), std::string::npos);
        EXPECT_EQ(window.dumpLines, linesFrom[start]);
    }
}

// A negative eStart cannot name a record: padded it would reach the clock as
// "AUR=000-7", which the clock ignores, and the records read would be
// whatever its pointer held. Like a negative count it is refused with a clear
// message before any command is sent, and the field keeps what was typed.
TEST_F(BadInput, NegativeStartIndexIsRefusedBeforeAnythingIsSent)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    QuickTimeoutClock quick;
    for (const std::string start : {"-7", "-2147483648"}) {
        SCOPED_TRACE(start);
        FakeWindow window = Window();
        window.start = start;
        window.count = "2";
        RunDownload(window);
        ExpectOperationEnded(window);
        ASSERT_EQ(window.messages.size(), 1u) << MessagesText(window);
        EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorDialog);
        EXPECT_EQ(window.messages[0].text, "شروع صحيح نمي باشد");
        EXPECT_EQ(window.start, start);
        EXPECT_TRUE(window.dumpLines.empty());
        EXPECT_EQ(NewWire(), "");
    }
}

// ---- eCount ------------------------------------------------------------------------

// The count is the whole text read as a 32-bit integer, 0 when it is not
// one; exactly that many records are read. A negative count is refused
// before anything is sent.
TEST_F(BadInput, CountFieldIsReadAsANumberOrZeroAndNegativeIsRefused)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    std::vector<BadText> texts = BadTexts("3");
    texts.push_back({"minus one", "-1"});
    texts.push_back({"smallest", "-2147483648"});
    const std::map<std::string, int> expectedCount = {
        {"plus sign", 3}, {"dollar hexadecimal", 16}, {"0x hexadecimal", 16}};
    const std::vector<std::string> refused = {"minus sign", "minus one", "smallest"};

    for (const BadText& bad : texts) {
        SCOPED_TRACE(bad.name + ": \"" + Printable(bad.text) + "\"");
        FakeWindow window = Window();
        window.count = bad.text;
        window.recordsRead = "before";
        RunDownload(window);
        ExpectOperationEnded(window);
        if (std::find(refused.begin(), refused.end(), bad.name) != refused.end()) {
            ASSERT_EQ(window.messages.size(), 1u) << MessagesText(window);
            EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorDialog);
            EXPECT_EQ(window.messages[0].text, kBadCount);
            EXPECT_EQ(window.recordsRead, "before");
            EXPECT_EQ(NewWire(), "");
            continue;
        }
        const auto known = expectedCount.find(bad.name);
        const int count = known == expectedCount.end() ? 0 : known->second;
        EXPECT_TRUE(window.messages.empty()) << MessagesText(window);
        EXPECT_EQ(window.dumpLines.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(window.recordsRead, count == 0 ? "" : std::to_string(count));
        EXPECT_EQ(window.progressMaximum, count);
        NewWire();
    }
}

// ---- ChboxIsVireo -----------------------------------------------------------------

// A Vireo box that does not fit the clock's records gives lines that are all
// wrong; the download says so and names the other layout. Flagged records
// and records the line spoilt never trigger it.
TEST_F(BadInput, VireoBoxThatDoesNotFitTheRecordsIsWarnedAbout)
{
    const std::string wrong = " record layout: the clock most likely uses the ";
    // {clocksim's layout and faults, the Vireo box, the warning's end or none}
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        {{"--layout", "vireo"}, false, "standard" + wrong + "Vireo layout"},
        {{"--layout", "standard"}, true, "Vireo" + wrong + "standard layout"},
        {{"--layout", "vireo"}, true, ""},
        {{"--layout", "standard", "--flagged-rate", "0.05"}, false, ""},
        {{"--layout", "vireo", "--flagged-rate", "0.05", "--faults", "corrupt=0.05,garbage=0.05"}, true, ""},
    };
    for (const auto& [sim, vireoBox, warning] : cases) {
        std::vector<std::string> args = {"--bus", "rs232", "--records", "200"};
        args.insert(args.end(), sim.begin(), sim.end());
        StartSim(args);
        FakeWindow window = Window();
        window.vireo = vireoBox;
        window.count = "200";
        RunDownload(window);
        ExpectOperationEnded(window);
        EXPECT_TRUE(window.messages.empty()) << MessagesText(window);
        EXPECT_EQ(window.dumpLines.size() + window.badRecordLines.size(), 200u);
        EXPECT_TRUE(window.layoutWarning.ends_with(warning)) << sim[1] << ": " << window.layoutWarning;
        EXPECT_EQ(window.layoutWarning.empty(), warning.empty()) << sim[1];
        ReleaseSharedPort();
    }
}

// ---- edFromDate, edToDate ----------------------------------------------------------

// A command text as the clock receives it. The bus codes each character in
// six bits from 0x20 on, so characters from 0x60 on arrive as others: the
// "x" of "0x10" arrives as "8".
std::string AsReceived(std::string text, bool rs232)
{
    if (!rs232)
        for (char& c : text) c = static_cast<char>(((static_cast<unsigned char>(c) - 0x20) & 0x3F) + 0x20);
    return text;
}

class BadDateInput : public BadInput, public ::testing::WithParamInterface<bool> {};

// A date field is checked before anything else: a trimmed text that is not a
// 32-bit integer, or is -1, is refused with the field's own message and no
// port. Any other integer text is sent as typed after trimming; the clock
// answers one that is not six digits with "I", which the operator sees after
// the search's error label. A text that trims to a date searches normally.
TEST_P(BadDateInput, DateFieldsAreRefusedSentAsTypedOrTrimmed)
{
    const bool rs232 = GetParam();
    StartSim({"--bus", rs232 ? "rs232" : "rs485", "--layout", "vireo", "--records", "50"});
    const std::string terminator = rs232 ? "<CR>" : "^";
    struct Field {
        const char* name;
        std::string good;
        std::string FakeWindow::*text;
        std::string refusal;
        std::string clockRefusal;
    };
    const Field fields[] = {
        {"edFromDate", "880101", &FakeWindow::fromDate, kBadFromDate, "AURD2 Error : I"},
        {"edToDate", "880501", &FakeWindow::toDate, kBadToDate, "AURD1 Error : I"},
    };
    const std::vector<std::string> sentAsTyped = {"plus sign", "minus sign", "dollar hexadecimal",
                                                  "0x hexadecimal"};
    const std::vector<std::string> trimmedToGood = {"tab before, CR after", "NUL after", "ESC after"};

    for (const Field& field : fields) {
        std::vector<BadText> texts = BadTexts(field.good);
        texts.push_back({"minus one", "-1"});
        texts.push_back({"blanks around minus one", " -1\t"});
        for (const BadText& bad : texts) {
            SCOPED_TRACE(std::string(field.name) + ", " + bad.name + ": \"" + Printable(bad.text) + "\"");
            FakeWindow window = Window();
            window.rs232 = rs232;
            window.vireo = true;
            window.*field.text = bad.text;
            RunDateRangeSearch(window);
            ExpectOperationEnded(window);
            EXPECT_EQ(SharedPort(), nullptr);
            ASSERT_EQ(window.messages.size(), 1u) << MessagesText(window);
            const ShownMessage& message = window.messages[0];
            const std::string wire = NewWire();

            if (std::find(trimmedToGood.begin(), trimmedToGood.end(), bad.name) != trimmedToGood.end()) {
                EXPECT_EQ(message.kind, ShownMessage::InformationDialog);
                EXPECT_EQ(message.text, kSearchDone);
                EXPECT_NE(wire.find("cmd=AURD=" + field.good + terminator), std::string::npos);
                continue;
            }
            EXPECT_EQ(window.start, "0");
            EXPECT_EQ(window.count, "19500");
            EXPECT_EQ(message.kind, ShownMessage::ErrorDialog);
            if (std::find(sentAsTyped.begin(), sentAsTyped.end(), bad.name) != sentAsTyped.end()) {
                EXPECT_EQ(message.text, field.clockRefusal);
                EXPECT_NE(wire.find("cmd=AURD=" + AsReceived(bad.text, rs232) + terminator),
                          std::string::npos)
                    << wire;
            } else {
                EXPECT_EQ(message.text, field.refusal);
                EXPECT_EQ(wire, "");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Bus, BadDateInput, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rs232" : "Rs485";
                         });

}  // namespace
