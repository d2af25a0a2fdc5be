// The port object without a device: event masks, messages, defaults and the
// rules its setters and requests follow while closed.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serialtesting.h"
#include "serial/comport.h"

namespace {

TEST(ComEventMask, EachEventSelectsItsOwnBitBothWays)
{
    const std::vector<std::pair<TComEvent, std::uint32_t>> table = {
        {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100}, {evBreak, 0x0040},
        {evCTS, 0x0008},    {evDSR, 0x0010},     {evError, 0x0080},  {evRLSD, 0x0020}, {evRx80Full, 0x0400},
    };
    for (auto [event, bit] : table) {
        EXPECT_EQ(EventsToMask(ComEventBit(event)), bit) << "event " << int(event);
        EXPECT_EQ(MaskToEvents(bit), ComEventBit(event)) << "bit " << bit;
    }
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
    EXPECT_EQ(EventsToMask(0), 0u);
}

TEST(ComEventMask, BitsWithoutAnEventAreDropped)
{
    // EV_PERR (0x0200) and bits above the table are neither requested nor reported.
    EXPECT_EQ(MaskToEvents(0x0200), 0);
    EXPECT_EQ(MaskToEvents(0xFFFFF800u), 0);
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    EXPECT_EQ(EventsToMask(0xFC00), 0u);  // set bits past the ten members
}

TEST(ComErrors, MessageWithAndWithoutErrorNumber)
{
    EComPort open(1, 2);
    EXPECT_STREQ(open.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(open.ErrorCode(), 1);
    EXPECT_EQ(open.WinErrorCode(), 2);

    EComPort negative(7, -22);
    EXPECT_STREQ(negative.what(), "SetCommState function failed (win error code: -22)");

    EComPort connected(14);
    EXPECT_STREQ(connected.what(), "Cannot set property while connected");
    EXPECT_EQ(connected.ErrorCode(), 14);
    EXPECT_EQ(connected.WinErrorCode(), -1);

    const Exception& base = connected;  // caught by the program's common handler
    EXPECT_STREQ(base.what(), "Cannot set property while connected");
}

TEST(ComErrors, RowsAreInPlaceAndComplete)
{
    EXPECT_STREQ(ComErrorMessages[0], "Unable to open com port");
    EXPECT_STREQ(ComErrorMessages[3], "Invalid Async parameter");
    EXPECT_STREQ(ComErrorMessages[7], "SetCommTimeouts failed");
    EXPECT_STREQ(ComErrorMessages[9], "ClearCommError function failed");
    EXPECT_STREQ(ComErrorMessages[17], "Link (un)registration failed");
    EXPECT_STREQ(ComErrorMessages[22], "Registry error");
    for (int code = 1; code <= 23; ++code) {
        EXPECT_STREQ(EComPort(code).what(), ComErrorMessages[code - 1]);
    }
}

TEST(ComBaudRate, MembersStandForTheirRates)
{
    EXPECT_EQ(BaudRateValue(br2400, 0), 2400);
    EXPECT_EQ(BaudRateValue(br4800, 0), 4800);
    EXPECT_EQ(BaudRateValue(br9600, 0), 9600);
    EXPECT_EQ(BaudRateValue(br19200, 0), 19200);
    EXPECT_EQ(BaudRateValue(br57600, 0), 57600);
    EXPECT_EQ(BaudRateValue(br110, 0), 110);
    EXPECT_EQ(BaudRateValue(br256000, 0), 256000);
    EXPECT_EQ(BaudRateValue(brCustom, 31250), 31250);
}

TEST(ComPortSettings, FreshPortDefaults)
{
    TComPort port;
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_FALSE(port.DiscardNull());
    EXPECT_EQ(port.EventChar(), 0);
    EXPECT_EQ(port.Events(), AllComEvents);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);

    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_FALSE(port.Parity().Replace());
    EXPECT_EQ(port.Parity().ReplaceChar(), 0);

    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 0);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);

    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Buffer().OutputSize(), 1024);

    const TComFlowControl& flow = port.FlowControl();
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_FALSE(flow.OutDSRFlow());
    EXPECT_EQ(flow.ControlDTR(), dtrDisable);
    EXPECT_EQ(flow.ControlRTS(), rtsDisable);
    EXPECT_FALSE(flow.XonXoffOut());
    EXPECT_FALSE(flow.XonXoffIn());
    EXPECT_FALSE(flow.DSRSensitivity());
    EXPECT_FALSE(flow.TxContinueOnXoff());
    EXPECT_EQ(flow.XonChar(), 17);
    EXPECT_EQ(flow.XoffChar(), 19);
}

TEST(ComPortSettings, OddPositiveQueueSizesAreLoweredByOne)
{
    TComPort port;
    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    port.Buffer().SetOutputSize(1);
    EXPECT_EQ(port.Buffer().OutputSize(), 0);
    port.Buffer().SetInputSize(-3);
    EXPECT_EQ(port.Buffer().InputSize(), -3);
    port.Buffer().SetOutputSize(4096);
    EXPECT_EQ(port.Buffer().OutputSize(), 4096);
}

TEST(ComPortSettings, ClosedPortStoresEverySetting)
{
    TComPort port;
    port.SetBaudRate(br57600);
    port.SetCustomBaudRate(12345);  // a rate no terminal knows is fine while closed
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity().SetBits(prEven);
    port.Timeouts().SetReadInterval(5);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.SetSyncMethod(smNone);
    port.SetEvents(0);
    EXPECT_EQ(port.BaudRate(), br57600);
    EXPECT_EQ(port.CustomBaudRate(), 12345);
    EXPECT_EQ(port.DataBits(), dbSeven);
    EXPECT_EQ(port.StopBits(), sbTwoStopBits);
    EXPECT_EQ(port.Parity().Bits(), prEven);
    EXPECT_EQ(port.Timeouts().ReadInterval(), 5);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(port.SyncMethod(), smNone);
    EXPECT_EQ(port.Events(), 0);
    EXPECT_FALSE(port.Connected());
}

TEST(ComPortRequests, ClosedPortFailsWithNoDeviceError)
{
    TComPort port;
    std::string text = "left over";
    EComPort write = RaisedBy([&] { port.WriteText("x"); });
    EXPECT_EQ(write.ErrorCode(), 2);
    EXPECT_EQ(write.WinErrorCode(), kNoDeviceError);
    EComPort read = RaisedBy([&] { port.ReadText(text, 1); });
    EXPECT_EQ(read.ErrorCode(), 3);
    EXPECT_EQ(read.WinErrorCode(), kNoDeviceError);
    EXPECT_EQ(RaisedBy([&] { port.InputCount(); }).ErrorCode(), 10);
    // Nothing to send or room for nothing: no request, no failure.
    EXPECT_EQ(port.WriteText(""), 0);
    text = "old";
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, -5), 0);
    EXPECT_FALSE(port.WaitForInput(1));
}

TEST(ComPortOpen, NamesWithoutADeviceFailAsAbsent)
{
    SetComPortDirectory("/nonexistent-port-dir");
    for (std::string name : {"/dev/no-such-serial-device", "LPT1", "com1", "COM", "COMx", "COM0", "COM-1", "",
                             "COM1\\..\\COM2", "COM1/", "COM1:", "COM99"}) {
        TComPort port;
        port.SetPort(name);
        int beforeOpen = 0;
        port.OnBeforeOpen = [&](TCustomComPort&) { ++beforeOpen; };
        EComPort refused = RaisedBy([&] { port.Open(); });
        EXPECT_EQ(refused.ErrorCode(), 1) << name;
        EXPECT_EQ(refused.WinErrorCode(), 2) << name;
        EXPECT_STREQ(refused.what(), "Unable to open com port (win error code: 2)") << name;
        EXPECT_FALSE(port.Connected()) << name;
        EXPECT_EQ(beforeOpen, 1) << name;
    }
    SetComPortDirectory("");
}

// Faults caught: a pause that ends where its sleep ends (before the
// deadline, so that the wake-up delay falls inside it), or that a timer
// coarser than the clock ends early.
TEST(ComSleep, APauseIsNeverShorterThanAsked)
{
    int shorter = 0;
    for (int i = 0; i < 300; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ComSleep(1);
        shorter += std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1);
    }
    EXPECT_EQ(shorter, 0);
}

}  // namespace
