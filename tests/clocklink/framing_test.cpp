// Wire forms of commands, the command table's texts, and the port setup
// from the window. No port is opened here.
#include <gtest/gtest.h>

#include "clocklink/clocklink.h"
#include "fakewindow.h"
#include "hexbytes.h"
#include "ticksources.h"
#include "utils/errors.h"

namespace {

std::string frame(const std::string& clock, const std::string& command)
{
    return ToHex(BuildBusFrame(clock, command));
}

TEST(BusFrame, WorkedExamplesForClockOne)
{
    const bool rs485 = false;
    EXPECT_EQ(frame("1", "\x0E"), "01 41 AE EE");
    EXPECT_EQ(frame("1", "\x05"), "01 41 A5 E5");
    EXPECT_EQ(frame("1", "\x15"), "01 41 B5 F5");
    EXPECT_EQ(frame("1", TerminatedCommand(rs485, "ARI?")), "01 41 A1 B2 A9 9F BE DB");
    EXPECT_EQ(frame("1", TerminatedCommand(rs485, "AWI?")), "01 41 A1 B7 A9 9F BE DE");
    EXPECT_EQ(frame("1", TerminatedCommand(rs485, "AUR?")), "01 41 A1 B5 B2 9F BE C7");
    EXPECT_EQ(frame("1", TerminatedCommand(rs485, "AUR=00000")), "01 41 A1 B5 B2 9D 90 90 90 90 90 BE D5");
    EXPECT_EQ(frame("1", TerminatedCommand(rs485, "AURD=880101")),
              "01 41 A1 B5 B2 A4 9D 98 98 90 91 90 91 BE E1");
}

TEST(BusFrame, ClockNumberGivesPackedAddressAndBinaryClockByte)
{
    EXPECT_EQ(frame("12", "\x0E"), "12 4C AE F0");
    EXPECT_EQ(frame("32", "\x15"), "32 60 B5 E7");
    EXPECT_EQ(frame("10", "\x05").substr(0, 5), "10 4A");
    EXPECT_EQ(frame("9", "\x05").substr(0, 5), "09 49");
    // Every frame byte of clocks 1 to 32 is told apart by its top two bits.
    for (int clock = 1; clock <= 32; ++clock) {
        const std::string bytes = BuildBusFrame(std::to_string(clock), "AURD=880101^");
        ASSERT_EQ(bytes.size(), 15u);
        EXPECT_EQ(static_cast<unsigned char>(bytes[0]) >> 6, 0) << clock;
        EXPECT_EQ(static_cast<unsigned char>(bytes[1]) >> 6, 1) << clock;
        for (std::size_t i = 2; i + 1 < bytes.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(bytes[i]) >> 6, 2) << clock;
        EXPECT_EQ(static_cast<unsigned char>(bytes.back()) >> 6, 3) << clock;
    }
}

TEST(BusFrame, ClockNumberThatIsNotANumber)
{
    // Not hexadecimal either: address byte 0, but the clock byte cannot be formed.
    EXPECT_THROW(BuildBusFrame("abc!", "\x0E"), EConvertError);
    // Hexadecimal but not decimal: still refused.
    EXPECT_THROW(BuildBusFrame("1A", "\x0E"), EConvertError);
    EXPECT_THROW(BuildBusFrame("$10", "\x0E"), EConvertError);
    EXPECT_THROW(BuildBusFrame("", "\x0E"), EConvertError);
    // A decimal text that is no hexadecimal number gives address byte 0.
    EXPECT_EQ(frame("-1", "\x0E").substr(0, 5), "00 FF");
    // Numbers beyond a byte keep their low 8 bits.
    EXPECT_EQ(frame("300", "\x0E").substr(0, 5), "00 6C");
}

TEST(BusFrame, EncodeBusCharFoldsEveryByteOntoSixtyFourCodes)
{
    EXPECT_EQ(EncodeBusChar(' '), 0x80);
    EXPECT_EQ(EncodeBusChar('_'), 0xBF);
    EXPECT_EQ(EncodeBusChar('^'), 0xBE);
    EXPECT_EQ(EncodeBusChar(SO), EncodeBusChar('N'));
    EXPECT_EQ(EncodeBusChar(ENQ), EncodeBusChar('E'));
    EXPECT_EQ(EncodeBusChar(NAK), EncodeBusChar('U'));
    EXPECT_EQ(EncodeBusChar(CR), 0xAD);
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t code = EncodeBusChar(static_cast<char>(x));
        EXPECT_EQ(code & 0xC0, 0x80) << x;
        EXPECT_EQ(code, EncodeBusChar(static_cast<char>(x + 64))) << x;
    }
}

TEST(CommandSet, TerminatorsAndReadings)
{
    EXPECT_EQ(TerminatedCommand(true, "AUR=00123"), Hex("41 55 52 3D 30 30 31 32 33 0D"));
    EXPECT_EQ(TerminatedCommand(true, "ARI?"), Hex("41 52 49 3F 0D"));
    EXPECT_EQ(TerminatedCommand(false, "ARI?"), "ARI?^");

    EXPECT_EQ(RecordCounterValue("\x0E"
                                 "Count:19500 recs\r"),
              19500);
    EXPECT_EQ(RecordCounterValue("1a9b5c0d0"), 19500);
    EXPECT_EQ(RecordCounterValue("no digits\r"), 0);
    EXPECT_EQ(RecordCounterValue(""), 0);
    EXPECT_EQ(RecordCounterValue("00000000000000019500"), 19500);
    EXPECT_EQ(RecordCounterValue("2147483647"), 2147483647);
    EXPECT_EQ(RecordCounterValue("2147483648"), 0);
    EXPECT_EQ(RecordCounterValue("99999999999999999999999"), 0);

    EXPECT_TRUE(HasOk("OK\r"));
    EXPECT_TRUE(HasOk("\x01\x01\x01OK\x04\r"));
    EXPECT_FALSE(HasOk("O K"));
    EXPECT_FALSE(HasOk("I"));
    EXPECT_TRUE(IsFlaggedRecord("\x01\x01\x01???\r"));
    EXPECT_FALSE(IsFlaggedRecord("??"));
}

TEST(CommandSet, PointerLabelText)
{
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "00123\x30\r"),
              "123");
    EXPECT_EQ(PointerLabelText("00042\r"), "42");
    EXPECT_EQ(PointerLabelText("12345\r"), "12345");
    EXPECT_EQ(PointerLabelText(""), "-1");
    EXPECT_EQ(PointerLabelText("\r"), "-1");
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "00A23\x30\r"),
              "-1");
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "00\x02"
                               "23\x30\r"),
              "-1");
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "12"),
              "12");
    // Every character up to the check byte, which may itself be a digit.
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "02500007\r"),
              "250000");
    EXPECT_EQ(PointerLabelText("\x01\x01\x01"
                               "\r"),
              "-1");
    EXPECT_EQ(PointerLabelText("12x\r"), "-1");
}

TEST(PortSetup, BaudRateFromText)
{
    EXPECT_EQ(BaudRateFromText("2400"), br2400);
    EXPECT_EQ(BaudRateFromText("4800"), br4800);
    EXPECT_EQ(BaudRateFromText("9600"), br9600);
    EXPECT_EQ(BaudRateFromText("19200"), br19200);
    EXPECT_EQ(BaudRateFromText("57600"), br57600);
    EXPECT_EQ(BaudRateFromText(""), br9600);
    EXPECT_EQ(BaudRateFromText(" 2400"), br9600);
    EXPECT_EQ(BaudRateFromText("57600 "), br9600);
    EXPECT_EQ(BaudRateFromText("115200"), br9600);
}

TEST(PortSetup, NewPortFromTheWindowReplacesTheOldOne)
{
    FakeWindow window;
    window.com = " 3 ";
    window.baudRate = "19200";
    TComPort& first = SetUpPortFromWindow(window);
    EXPECT_EQ(SharedPort(), &first);
    EXPECT_EQ(first.Port(), "COM3");
    EXPECT_EQ(first.BaudRate(), br19200);
    EXPECT_EQ(first.Parity().Bits(), prNone);
    EXPECT_EQ(first.DataBits(), dbEight);
    EXPECT_EQ(first.StopBits(), sbOneStopBit);
    EXPECT_FALSE(first.Connected());

    window.com = "";
    window.baudRate = "4800";
    TComPort& second = SetUpPortFromWindow(window);
    EXPECT_EQ(SharedPort(), &second);
    EXPECT_EQ(second.Port(), "COM");
    EXPECT_EQ(second.BaudRate(), br4800);

    window.portName = "/dev/null-port";
    EXPECT_EQ(SetUpPortFromWindow(window).Port(), "/dev/null-port");

    ReleaseSharedPort();
    EXPECT_EQ(SharedPort(), nullptr);
    CloseSharedPort();  // nothing to close: no effect
}

TEST(PortSetup, NoPortMeansNothingIsSentAndNothingRaised)
{
    ReleaseSharedPort();
    FakeTickSource clock;
    FakeWindow window;
    window.rs232 = false;
    window.selectedClock = "not a number";
    EXPECT_NO_THROW(SendRaw("ARI?\r"));
    EXPECT_NO_THROW(SendCommand(window, "ARI?^"));
    EXPECT_EQ(QueryClock(window, "ARI?^", 20), "");
    EXPECT_EQ(QueryRecordCounter(window, 15), 0);
    EXPECT_EQ(ReadPortText(10), "");
    // Nothing can arrive without a port: no 30 s wait.
    EXPECT_EQ(PositionAtDate(window, "880101"), "");
    EXPECT_EQ(clock.advanced, 0u);
}

// Fault caught: the pause after a command byte takes off what a millisecond
// tick counter says passed since the call, and the counter turning over
// between two readings microseconds apart leaves no pause at all.
TEST(Pacing, ATickTurningOverDuringThePauseDoesNotShortenIt)
{
    struct TurningTicks : FakeTickSource {
        std::uint32_t TickCount() override { return now++; }
    } clock;
    WaitMilliseconds(1);
    WaitMilliseconds(3);
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{1, 3}));
}

TEST(ErrorReport, FullStopRule)
{
    EXPECT_EQ(ErrorReportText(""), ".");
    EXPECT_EQ(ErrorReportText("Port not found"), "Port not found.");
    EXPECT_EQ(ErrorReportText("Done."), "Done.");
    EXPECT_EQ(ErrorReportText("Really!"), "Really!");  // "!" sorts before "."
    EXPECT_EQ(ErrorReportText("code 2)"), "code 2)");  // so does ")"
    EXPECT_EQ(ErrorReportText("trailing "), "trailing ");
    EXPECT_EQ(ErrorReportText("a/"), "a/.");  // "/" sorts after "."
    EXPECT_EQ(ErrorReportText("'x' is not a valid integer value"), "'x' is not a valid integer value.");
    // Text in another script (bytes from 0x80 on) sorts after ".".
    EXPECT_EQ(ErrorReportText("\xd8\xae\xd8\xb7\xd8\xa7"), "\xd8\xae\xd8\xb7\xd8\xa7.");
}

TEST(ErrorReport, PortNameFromComText)
{
    FakeWindow window;
    window.com = "\t3 \r";
    EXPECT_EQ(window.ClockWindow::PortName(), "COM3");
    window.com = "";
    EXPECT_EQ(window.ClockWindow::PortName(), "COM");
}

}  // namespace
