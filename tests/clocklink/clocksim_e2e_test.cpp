// The clock link against clocksim: the bytes the clock sees for every
// command, as its wire log records them, and the replies read back.
#include <gtest/gtest.h>

#include <sstream>

#include "clocklink/clocklink.h"
#include "fakewindow.h"
#include "hexbytes.h"
#include "simprocess.h"

namespace {

// The hex= fields of the wire log, in order.
std::vector<std::string> wireFrames(const std::string& log)
{
    std::vector<std::string> frames;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t at = line.find(" hex=");
        if (at != std::string::npos) frames.push_back(line.substr(at + 5));
    }
    return frames;
}

// The payload of the record at `index` in the expected-dump file.
std::string expectedPayload(const SimProcess& sim, std::size_t index)
{
    const std::vector<SimRecord> records = sim.ExpectedRecords();
    return index < records.size() ? records[index].payload : "";
}

class LinkWithClocksim : public ::testing::Test {
protected:
    void TearDown() override
    {
        ReleaseSharedPort();
        SetComPortDirectory("");
    }

    void setUpPort(const SimProcess& sim, bool rs232, const std::string& baudRate)
    {
        SetComPortDirectory(sim.PortDirectory());
        window.com = std::to_string(sim.ComNumber());
        window.rs232 = rs232;
        window.baudRate = baudRate;
        SetUpPortFromWindow(window);
    }

    FakeWindow window;
};

TEST_F(LinkWithClocksim, EveryCommandOnTheBusAsTheClockSeesIt)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "1,12", "--records", "40", "--ari", "100"});
    setUpPort(sim, false, "9600");

    EXPECT_EQ(QueryRecordCounter(window, 15), 40);
    EXPECT_GE(QueryClockDatePayload(window).size(), 8u);
    PendingPointerAnswers pending;
    EXPECT_TRUE(ResyncUserReadPointer(window, 100, pending));
    const std::string reply = QueryNextRecord(window);
    EXPECT_FALSE(IsFlaggedRecord(reply));
    EXPECT_EQ(ExtractReplyPayload(reply), expectedPayload(sim, 0)) << ToHex(reply);
    EXPECT_EQ(PointerLabelText(QueryReadIndexPointer(window)), "100");
    EXPECT_EQ(PointerLabelText(QueryWriteIndexPointer(window)), "140");
    EXPECT_EQ(QueryUserReadPointer(window), "00101");
    EXPECT_TRUE(HasOk(SetUserReadPointer(window, "0")));
    EXPECT_TRUE(HasOk(PositionAtDate(window, "880101")));

    window.selectedClock = "12";
    EXPECT_EQ(QueryRecordCounter(window, 15), 40);

    sim.Stop();
    EXPECT_EQ(wireFrames(sim.ReadWireLog()), (std::vector<std::string>{
                                                 "01 41 AE EE",
                                                 "01 41 A5 E5",
                                                 "01 41 A1 B5 B2 9D 90 90 91 90 90 BE D4",
                                                 "01 41 B5 F5",
                                                 "01 41 A1 B2 A9 9F BE DB",
                                                 "01 41 A1 B7 A9 9F BE DE",
                                                 "01 41 A1 B5 B2 9F BE C7",
                                                 "01 41 A1 B5 B2 9D 90 BE D5",
                                                 "01 41 A1 B5 B2 A4 9D 98 98 90 91 90 91 BE E1",
                                                 "12 4C AE F0",
                                             }));
}

TEST_F(LinkWithClocksim, PlainCommandsPacedAt57600)
{
    SimProcess sim({"--bus", "rs232", "--baud", "57600", "--records", "5"});
    setUpPort(sim, true, "57600");

    EXPECT_EQ(QueryRecordCounter(window, 15), 5);
    PendingPointerAnswers pending;
    EXPECT_TRUE(ResyncUserReadPointer(window, 3, pending));
    // The record the NAK asks for comes after it and waits in the port.
    SendCommand(window, std::string(1, NAK));
    const std::string late = WaitForReply(200, 500);
    EXPECT_EQ(ExtractReplyPayload(late), expectedPayload(sim, 3)) << ToHex(late);
    EXPECT_EQ(PointerLabelText(QueryReadIndexPointer(window)), "0");
    EXPECT_EQ(QueryUserReadPointer(window), "00004");
    EXPECT_TRUE(HasOk(PositionAtDate(window, "880101")));

    sim.Stop();
    EXPECT_EQ(wireFrames(sim.ReadWireLog()), (std::vector<std::string>{
                                                 "0E",
                                                 "41 55 52 3D 30 30 30 30 33 0D",
                                                 "15",
                                                 "41 52 49 3F 0D",
                                                 "41 55 52 3F 0D",
                                                 "41 55 52 44 3D 38 38 30 31 30 31 0D",
                                             }));
}

}  // namespace
