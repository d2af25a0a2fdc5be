// The Telnet layer of RFC 2217 ports as a state machine on bytes: what the
// converter sends goes in as hex, the serial data and the answers come out.
#include <gtest/gtest.h>

#include "hexbytes.h"
#include "serial/telnet.h"

namespace {

// Feeds `chunks` one after another, as separate reads from the network.
struct Fed {
    std::string data, replies;
};
Fed Feed(telnet::Session& session, std::initializer_list<std::string_view> chunks)
{
    Fed fed;
    for (std::string_view chunk : chunks) session.Receive(Hex(chunk), fed.data);
    fed.replies = session.TakeReplies();
    return fed;
}

}  // namespace

TEST(Telnet, DataAndCommandsAreToldApartAcrossReads)
{
    struct Case {
        const char* what;
        std::initializer_list<std::string_view> chunks;
        const char* data;
        const char* replies;
    } cases[] = {
        {"plain data", {"01 02 0D"}, "01 02 0D", ""},
        {"a doubled FF is one data byte", {"41 FF FF 42"}, "41 FF 42", ""},
        {"IAC at the end of a read", {"41 FF", "FF 42"}, "41 FF 42", ""},
        {"a command cut after its verb", {"41 FF FB", "01 42"}, "41 42", "FF FE 01"},
        {"NOP and GA vanish", {"FF F1 41 FF F9 42"}, "41 42", ""},
        {"a stray SE vanishes", {"FF F0 41"}, "41", ""},
        {"subnegotiation split over reads", {"41 FF FA 2C", "6B 00 FF", "F0 42"}, "41 42", ""},
        {"doubled FF inside a subnegotiation", {"FF FA 2C 6B FF FF FF F0 43"}, "43", ""},
        {"a command ends a subnegotiation given up on", {"FF FA 2C 6B FF F1 44"}, "44", ""},
        {"refused: the converter offers ECHO", {"FF FB 01"}, "", "FF FE 01"},
        {"refused: the converter asks for NAWS", {"FF FD 1F"}, "", "FF FC 1F"},
        {"refused once only", {"FF FB 01 FF FB 01 FF FD 1F FF FD 1F"}, "", "FF FE 01 FF FC 1F"},
        {"an answer never asked for needs none", {"FF FC 05 FF FE 05"}, "", ""},
        {"BINARY offered unasked is taken up", {"FF FB 00 FF FD 00"}, "", "FF FD 00 FF FB 00"},
    };
    for (const Case& c : cases) {
        telnet::Session session;
        Fed fed = Feed(session, c.chunks);
        EXPECT_EQ(ToHex(fed.data), ToHex(Hex(c.data))) << c.what;
        EXPECT_EQ(ToHex(fed.replies), ToHex(Hex(c.replies))) << c.what;
    }
}

TEST(Telnet, NegotiationOfTheComPortOption)
{
    telnet::Session session;
    EXPECT_EQ(ToHex(session.Greeting()), "FF FB 00 FF FD 00 FF FB 03 FF FD 03 FF FB 2C");
    // ser2net's answer: agreements need no answer, its ECHO offer is refused.
    Fed fed = Feed(session, {"FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C FF FD 03"});
    EXPECT_EQ(ToHex(fed.replies), "FF FE 01");
    EXPECT_TRUE(session.ComPortAccepted());
    // Agreed options that are asked again are not answered again.
    EXPECT_EQ(Feed(session, {"FF FD 2C FF FB 00"}).replies, "");
    // Taking an agreed option back is acknowledged; the port knows.
    EXPECT_EQ(ToHex(Feed(session, {"FF FE 2C"}).replies), "FF FC 2C");
    EXPECT_TRUE(session.ComPortRefused());

    telnet::Session refusing;
    refusing.Greeting();
    EXPECT_EQ(Feed(refusing, {"FF FE 2C"}).replies, "");
    EXPECT_TRUE(refusing.ComPortRefused());
    EXPECT_FALSE(refusing.ComPortAccepted());
}

TEST(Telnet, LineSettingsGoOutAndTheirAnswersAreRead)
{
    telnet::Session session;
    EXPECT_EQ(ToHex(session.SetLine(57600, 8, telnet::ParityNone, telnet::StopOne)),
              "FF FA 2C 01 00 00 E1 00 FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 01 FF F0 FF FA 2C 04 01 FF F0");
    // A rate whose bytes hold FF has them doubled.
    EXPECT_EQ(ToHex(session.SetLine(0xFF00FF, 7, telnet::ParityEven, telnet::StopTwo).substr(0, 12)),
              "FF FA 2C 01 00 FF FF 00 FF FF FF F0");
    EXPECT_FALSE(session.Answers().baudRate);
    Feed(session,
         {"FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 07 FF F0 FF FA 2C 67 03 FF F0 FF FA 2C 68 02 FF F0"});
    EXPECT_EQ(session.Answers().baudRate, 9600u);
    EXPECT_EQ(session.Answers().dataSize, 7);
    EXPECT_EQ(session.Answers().parity, telnet::ParityEven);
    EXPECT_EQ(session.Answers().stopSize, telnet::StopTwo);
    Feed(session, {"FF FA 2C 6B B0 FF F0"});
    EXPECT_EQ(session.ModemState(), 0xB0);
    EXPECT_EQ(ToHex(session.SetControlLine(telnet::ControlDtrOff)), "FF FA 2C 05 09 FF F0");
}

TEST(Telnet, APurgeDropsWhatArrivedBeforeItsAnswerOnly)
{
    telnet::Session session;
    std::string data;
    // An answer to a purge nobody asked for drops nothing.
    session.Receive(Hex("41 FF FA 2C 70 03 FF F0 42"), data);
    EXPECT_EQ(data, "AB");
    EXPECT_EQ(ToHex(session.Purge(telnet::PurgeBoth)), "FF FA 2C 0C 03 FF F0");
    EXPECT_FALSE(session.PurgeAnswered());
    session.Receive(Hex("43 FF FA 2C 70 03 FF F0 44"), data);
    EXPECT_EQ(data, "D");
    EXPECT_TRUE(session.PurgeAnswered());
}

TEST(Telnet, HostileInputNeitherStallsTheDataNorGrowsMemory)
{
    // A subnegotiation that never ends gives the line back after its limit.
    telnet::Session endless;
    std::string data;
    endless.Receive(Hex("FF FA 2C") + std::string(telnet::kMaxSubnegotiation + 10, 'x'), data);
    EXPECT_LE(endless.SubnegotiationSize(), telnet::kMaxSubnegotiation);
    // The option byte and 255 more fill it; the rest is data.
    EXPECT_EQ(data, std::string(11, 'x'));
    data.clear();
    endless.Receive("OK", data);
    EXPECT_EQ(data, "OK");

    // 64 KiB of requests for every option: the answers stay bounded.
    telnet::Session flooded;
    std::string requests;
    for (int i = 0; i < 64 * 1024 / 3; ++i) {
        const unsigned char verb = static_cast<unsigned char>(telnet::WILL + i % 4);
        requests += {static_cast<char>(telnet::IAC), static_cast<char>(verb), static_cast<char>(i % 256)};
    }
    data.clear();
    flooded.Receive(requests, data);
    EXPECT_TRUE(data.empty());
    EXPECT_LE(flooded.PendingReplies(), telnet::kMaxPendingReplies);
    flooded.Receive("\x01\x02", data);
    EXPECT_EQ(data, "\x01\x02");
}

TEST(Telnet, DataToTheConverterHasEachFFDoubled)
{
    EXPECT_EQ(ToHex(telnet::Session::Escape(Hex("01 FF 02 FF FF"))), "01 FF FF 02 FF FF FF FF");
    EXPECT_EQ(telnet::Session::Escape(""), "");
}
