// Decoding what the reading program sends and encoding what it accepts,
// checked with the byte sequences of the protocol's worked examples.
#include "tools/clocksim/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "hexbytes.h"

using namespace clocksim;

namespace {

Received decodeOne(std::string_view bytes)
{
    BusFrameDecoder d;
    std::vector<Received> out = d.feed(bytes);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Received{} : out.front();
}

}  // namespace

TEST(BusFrameDecoder, DecodesTheWorkedExampleFrames)
{
    struct Case {
        std::string frame;
        std::string text;
        std::string shown;
        int clockByte;
    } cases[] = {
        {Hex("01 41 A1 B2 A9 9F BE DB"), "ARI?", "ARI?^", 0x41},
        {Hex("01 41 A1 B7 A9 9F BE DE"), "AWI?", "AWI?^", 0x41},
        {Hex("01 41 A1 B5 B2 9F BE C7"), "AUR?", "AUR?^", 0x41},
        {Hex("01 41 A1 B5 B2 9D 90 90 90 90 90 BE D5"), "AUR=00000", "AUR=00000^", 0x41},
        {Hex("01 41 A1 B5 B2 A4 9D 98 98 90 91 90 91 BE E1"), "AURD=880101", "AURD=880101^", 0x41},
        {Hex("01 41 AE EE"), "\x0E", "SO", 0x41},
        {Hex("01 41 A5 E5"), "\x05", "ENQ", 0x41},
        {Hex("01 41 B5 F5"), "\x15", "NAK", 0x41},
        {Hex("12 4C AE F0"), "\x0E", "SO", 0x4C},
        {Hex("32 60 B5 E7"), "\x15", "NAK", 0x60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        Received r = decodeOne(c.frame);
        EXPECT_EQ(r.kind, Received::Kind::Command);
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.shown, c.shown);
        EXPECT_EQ(r.clockByte, c.clockByte);
        EXPECT_EQ(r.raw, c.frame);
    }
    EXPECT_EQ(addressByteFor(12), 0x12);
    EXPECT_EQ(addressByteFor(9), 0x09);
    EXPECT_EQ(clockByteFor(10), 0x4A);
    EXPECT_EQ(clockByteFor(32), 0x60);
}

TEST(BusFrameDecoder, RejectsBadCheckAndResynchronisesAfterGarbage)
{
    EXPECT_EQ(decodeOne(Hex("01 41 A1 B2 A9 9F BE DC")).kind, Received::Kind::BadCheck);

    // Noise, a frame cut short by a new address byte, then a whole frame.
    BusFrameDecoder d;
    const std::string stream = Hex("FF 80 41") + Hex("01 41 A1 B2") + Hex("01 41 B5 F5");
    std::vector<Received> out;
    // Byte by byte, as the program writes at 57600 baud.
    for (char c : stream)
        for (Received& r : d.feed(std::string(1, c))) out.push_back(std::move(r));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].kind, Received::Kind::Garbage);
    EXPECT_EQ(out[0].raw, Hex("FF 80 41"));
    EXPECT_EQ(out[1].kind, Received::Kind::Garbage);
    EXPECT_EQ(out[2].kind, Received::Kind::Command);
    EXPECT_EQ(out[2].text, "\x15");

    // A frame without characters, and one without terminator, are no commands.
    // (The last byte of each is the right check byte for what precedes it.)
    EXPECT_EQ(decodeOne(Hex("01 41 C0")).kind, Received::Kind::Garbage);
    Received noTerminator = decodeOne(Hex("01 41 A1 B2 A9 9F E5"));
    EXPECT_EQ(noTerminator.kind, Received::Kind::Command);
    EXPECT_EQ(noTerminator.text, "ARI?");
    EXPECT_EQ(noTerminator.shown, "ARI?");
}

TEST(PlainCommandSplitter, SplitsSingleBytesAndCrTerminatedCommands)
{
    PlainCommandSplitter s;
    std::vector<Received> out = s.feed(
        "\x0E"
        "AUR=00");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text, "\x0E");
    out = s.feed("123\r\x15");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].text, "AUR=00123");
    EXPECT_EQ(out[0].raw, "AUR=00123\r");
    EXPECT_EQ(out[0].shown, "AUR=00123<CR>");
    EXPECT_EQ(out[1].shown, "NAK");

    // An unterminated fragment before a single-byte command is noise.
    out = s.feed("xy z\x05");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, Received::Kind::Garbage);
    EXPECT_EQ(out[0].shown, "xy<20>z");
    EXPECT_EQ(out[1].text, "\x05");
}

TEST(Replies, AreReadableAndCarryNoStrayDigits)
{
    // Every pointer value the ring can hold gives an RS-485 reply whose
    // check byte is not SOH, STX or CR, and the reply fits the 12 bytes
    // the program collects for "AUR?".
    for (std::uint32_t v = 0; v < 253579; ++v) {
        const std::string r = pointerReply(Bus::Rs485, v);
        const char check = r[r.size() - 2];
        ASSERT_TRUE(check != 0x01 && check != 0x02 && check != 0x0D) << v;
        ASSERT_LE(r.size(), 12u) << v;
        ASSERT_EQ(r.back(), '\r');
    }
    EXPECT_EQ(pointerReply(Bus::Rs485, 123), std::string("\x01\x01\x01"
                                                         "00123") +
                                                 '0' + '\r');
    EXPECT_EQ(pointerReply(Bus::Rs232, 123), "00123\r");
    EXPECT_EQ(pointerReply(Bus::Rs232, 253578), "253578\r");

    EXPECT_EQ(counterReply(19500), "19500\r");
    EXPECT_EQ(okReply(Bus::Rs232), "OK\r");
    EXPECT_EQ(okReply(Bus::Rs485), std::string("\x01\x01\x01OK\x04\r"));

    const std::string frame = replyFrame("1234");
    EXPECT_EQ(frame, std::string("\x01\x01\x01\x02\x02\x02"
                                 "1234\x04\r"));
    EXPECT_EQ(replyFrame(""), std::string("\x01\x01\x01\x02\x02\x02\x00\r", 8));
}
