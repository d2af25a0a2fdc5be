// Network ports through the converters sites use: ser2net (RFC 2217 and raw
// TCP) and socat in front of a pseudo-terminal whose master the test holds,
// all on the loopback address.
#include <gtest/gtest.h>

#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "converter.h"
#include "download/download.h"
#include "fakewindow.h"
#include "ticksources.h"
#include "ptypeer.h"
#include "serial/comport.h"
#include "serialtesting.h"

namespace {

using namespace std::chrono_literals;

std::string AllByteValues()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
    return bytes;
}

// Reads until `count` bytes have come, for at most 5 s (really).
std::string ReadAtLeast(TComPort& port, std::size_t count)
{
    std::string all, text;
    const auto giveUp = std::chrono::steady_clock::now() + 5s;
    while (all.size() < count && std::chrono::steady_clock::now() < giveUp) {
        port.WaitForInput(50);
        port.ReadText(text, 1024);
        all += text;
    }
    return all;
}

// ser2net and socat open their serial side only once a client has
// connected, and drop what came before: the clock link's quiet-line wait
// covers that; here the line is given a moment.
void Settle(TComPort& port) { port.WaitForInput(300); }

struct Kind {
    ConverterKind kind;
    const char* name;
};
const Kind kKinds[] = {{ConverterKind::Rfc2217, "ser2net rfc2217"},
                       {ConverterKind::Raw, "ser2net raw"},
                       {ConverterKind::Socat, "socat"}};

}  // namespace

TEST(NetPort, EveryByteValuePassesUnchangedBothWaysThroughEachConverter)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        PtyPeer peer;
        Converter converter(k.kind, peer.SlavePath());
        TComPort port;
        port.SetPort(converter.Url());
        port.Open();
        Settle(port);
        EXPECT_EQ(ComPortDevice(converter.Url()), converter.Url());
        EXPECT_EQ(port.WriteText(AllByteValues()), 256);
        EXPECT_EQ(peer.Receive(256), AllByteValues());
        peer.Send(AllByteValues());
        EXPECT_EQ(ReadAtLeast(port, 256), AllByteValues());
        port.Close();
        // The same object connects again.
        port.Open();
        Settle(port);
        EXPECT_EQ(port.WriteText("again"), 5);
        EXPECT_EQ(peer.Receive(5), "again");
    }
}

TEST(NetPort, TheInputCountIsAskedSafelyWhileAnotherThreadReads)
{
    // An event thread without dispatch to the owner (smNone) asks the count
    // while the owner reads; a count taken outside the device's lock races
    // with the read on the received bytes (ThreadSanitizer tells).
    PtyPeer peer;
    Converter converter(ConverterKind::Socat, peer.SlavePath());
    TComPort port;
    port.SetPort(converter.Url());
    port.Open();
    Settle(port);
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done) {
            port.InputCount();
            std::this_thread::yield();
        }
    });
    const std::string expected = AllByteValues() + AllByteValues() + AllByteValues() + AllByteValues();
    peer.Send(expected);
    EXPECT_EQ(ReadAtLeast(port, expected.size()), expected);
    done = true;
    poller.join();
    port.Close();
}

TEST(NetPort, Rfc2217CarriesTheLineSettingsToTheLine)
{
    PtyPeer peer;
    Converter converter(ConverterKind::Rfc2217, peer.SlavePath(), 9600);
    TComPort port;
    port.SetPort(converter.Url());
    port.SetBaudRate(br57600);
    port.Open();
    termios line = peer.Line();
    EXPECT_EQ(cfgetospeed(&line), B57600);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);

    // Changes while open reach the line at once, each confirmed.
    port.SetBaudRate(br2400);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.SetStopBits(sbTwoStopBits);
    // A pseudo-terminal keeps 8 bits without parity whatever it is told;
    // that the converter set them is checked by its answers.
    line = peer.Line();
    EXPECT_EQ(cfgetospeed(&line), B2400);
    EXPECT_EQ(line.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    port.Close();
}

TEST(NetPort, AConverterThatDiesIsAReadFailureAfterTheBytesBeforeIt)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        PtyPeer peer;
        Converter converter(k.kind, peer.SlavePath());
        TComPort port;
        port.SetPort(converter.Url());
        port.Open();
        Settle(port);
        port.WriteText("?");
        peer.Receive(1);  // the converter has the line open
        peer.Send("abc");
        EXPECT_EQ(ReadAtLeast(port, 3), "abc");
        converter.Kill();
        const auto start = std::chrono::steady_clock::now();
        EComPort failure = RaisedBy([&] {
            std::string text;
            while (std::chrono::steady_clock::now() - start < 5s) {
                port.WaitForInput(100);
                port.ReadText(text, 10);
            }
        });
        EXPECT_EQ(failure.ErrorCode(), 3);
        EXPECT_EQ(failure.WinErrorCode(), ECONNRESET);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_TRUE(port.Connected());
        port.Close();

        // Started again, the converter takes a new connection.
        converter.Start();
        port.Open();
        Settle(port);
        EXPECT_EQ(port.WriteText("back"), 4);
        EXPECT_EQ(peer.Receive(4), "back");
    }
}

TEST(NetPort, OpenFailsWithTheReasonAndWithinTheConnectTimeout)
{
    DeafConverter deaf;
    const std::string nobody = "socket://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    struct Case {
        std::string url;
        int error;
    } cases[] = {
        {nobody, ECONNREFUSED},
        {deaf.Url("rfc2217"), ETIMEDOUT},  // accepts, never takes up RFC 2217
        {"rfc2217://127.0.0.1", EINVAL},
        {"telnet://127.0.0.1:23", EINVAL},
        {"socket://no-such-host.invalid:4001", EHOSTUNREACH},
    };
    SetNetworkConnectTimeout(300);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        TComPort port;
        port.SetPort(c.url);
        const auto start = std::chrono::steady_clock::now();
        EComPort failure = RaisedBy([&] { port.Open(); });
        EXPECT_EQ(failure.ErrorCode(), 1);
        EXPECT_EQ(failure.WinErrorCode(), c.error);
        EXPECT_FALSE(port.Connected());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    SetNetworkConnectTimeout(5000);
}

TEST(NetPort, AConverterThatNeverForwardsCostsTheDownloadItsTimeOutThenAnHonestFailure)
{
    DeafConverter deaf;
    FakeWindow window;
    window.portName = deaf.Url("socket");
    window.count = "10";
    QuickTimeoutClock quick;  // the 5 s without an answer pass in a fraction
    RunDownload(window);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].kind, ShownMessage::MessageBox);  // the communication error
    EXPECT_TRUE(window.dumpLines.empty());
    EXPECT_TRUE(window.buttonsEnabled);
    EXPECT_FALSE(SharedPort() && SharedPort()->Connected());
    ReleaseSharedPort();
}

TEST(NetPort, PortsFileNamesTheConverterAndALinkStaysADevice)
{
    PtyPeer peer;
    Converter converter(ConverterKind::Rfc2217, peer.SlavePath());
    const auto dir = std::filesystem::temp_directory_path() / ("netports-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "COM7") << "  " << converter.Url() << "\r\nanything after the first line\n";
    std::ofstream(dir / "COM9") << "ftp://127.0.0.1:21\n";
    std::filesystem::create_symlink(peer.SlavePath(), dir / "COM8");
    SetComPortDirectory(dir.string());

    EXPECT_EQ(ComPortNetworkAddress("COM7"), converter.Url());
    EXPECT_EQ(ComPortDevice("COM7"), converter.Url());
    EXPECT_EQ(ComPortNetworkAddress("COM8"), "");
    EXPECT_EQ(ComPortDevice("COM8"), (dir / "COM8").string());
    EXPECT_EQ(ComPortNetworkAddress("COM9"), "ftp://127.0.0.1:21");
    {
        TComPort port;
        port.SetPort("COM7");
        port.Open();
        EXPECT_EQ(port.WriteText("via COM7"), 8);
        EXPECT_EQ(peer.Receive(8), "via COM7");
    }
    TComPort bad;
    bad.SetPort("COM9");
    EXPECT_EQ(RaisedBy([&] { bad.Open(); }).WinErrorCode(), EINVAL);

    SetComPortDirectory("");
    std::filesystem::remove_all(dir);
}

TEST(NetPort, AddressesThatCannotBeUsedAreToldWhy)
{
    struct Case {
        const char* url;
        const char* problem;  // part of the message; "" when usable
    } cases[] = {
        {"rfc2217://10.0.0.5:4001", ""},
        {"SOCKET://127.0.0.1:4001/", ""},
        {"socket://[::1]:4001", ""},
        {"telnet://10.0.0.5:23", "unknown scheme 'telnet://'"},
        {"rfc2217://10.0.0.5", "no port number"},
        {"rfc2217://10.0.0.5:", "no port number"},
        {"rfc2217://:4001", "no host"},
        {"rfc2217://10.0.0.5:99999", "port number '99999' is not 1 to 65535"},
        {"rfc2217://10.0.0.5:40a1", "is not 1 to 65535"},
        {"socket://[::1:4001", "lacks its ']'"},
        {"socket://user@host:4001", "is not a host name"},
    };
    for (const Case& c : cases) {
        const std::string problem = NetworkAddressProblem(c.url, false);
        if (*c.problem == '\0')
            EXPECT_EQ(problem, "") << c.url;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.url << ": " << problem;
    }
    EXPECT_NE(NetworkAddressProblem("socket://no-such-host.invalid:1").find("does not resolve"),
              std::string::npos);
}
