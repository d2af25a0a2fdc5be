// Taking collected replies apart: the framed payload with its check byte,
// and the pointer value per bus.
#include <gtest/gtest.h>

#include "clocklink/clocklink.h"
#include "hexbytes.h"

namespace {

// A full reply frame around `payload`, with `check` as its check byte.
std::string replyFrame(const std::string& payload, char check)
{
    return Hex("01 01 01") + "HDR" + Hex("02 02 02") + payload + check + "\r";
}

char xorOf(const std::string& bytes)
{
    char sum = 0;
    for (char c : bytes) sum ^= c;
    return sum;
}

TEST(ExtractReplyPayload, GoodFrames)
{
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 02 02 02 31 32 33 34 04 0D")), "1234");
    const std::string record = "0000123456880315081500001";
    EXPECT_EQ(ExtractReplyPayload(replyFrame(record, xorOf(record))), record);
    // Bytes before the start marker and after the CR do not matter.
    EXPECT_EQ(ExtractReplyPayload("junk" + replyFrame(record, xorOf(record)) + "more\r"), record);
    // Empty payload: its check byte is 0.
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 02 02 02 00 0D")), "");
}

TEST(ExtractReplyPayload, ShorterForms)
{
    // Either marker may be missing as long as one SOH or STX precedes the payload.
    EXPECT_EQ(ExtractReplyPayload(Hex("01 31 32 33 34 04 0D")), "1234");
    EXPECT_EQ(ExtractReplyPayload(Hex("02 31 32 33 34 04 0D")), "1234");
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 31 32 33 34 04 0D")), "1234");
    EXPECT_EQ(ExtractReplyPayload(Hex("41 02 02 02 31 32 33 34 04 0D")), "1234");
    // The payload starts after the last marker byte before the CR.
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 39 02 02 02 31 32 33 34 04 0D")), "1234");
}

TEST(ExtractReplyPayload, BadFramesGiveNothing)
{
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 02 02 02 31 32 33 34 05 0D")), "");  // wrong check
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 02 02 02 31 32 33 34 04")), "");     // no CR
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 78 0D")), "");     // empty payload, check 0x78
    EXPECT_EQ(ExtractReplyPayload(Hex("31 32 33 34 04 0D")), "");  // no marker at all
    // A CR before the start marker is cut away with everything before it.
    EXPECT_EQ(ExtractReplyPayload(Hex("31 32 0D 01 01 01 02 02 02 31 32 33 34 04")), "");
    EXPECT_EQ(ExtractReplyPayload(""), "");
    EXPECT_EQ(ExtractReplyPayload(Hex("0D")), "");
    EXPECT_EQ(ExtractReplyPayload(Hex("01 0D")), "");
    EXPECT_EQ(ExtractReplyPayload(Hex("02 02 02 0D")), "");
}

TEST(ExtractReplyPayload, CheckBytesThatLookLikeFramingNeverPass)
{
    // Payloads whose XOR is SOH, STX or CR: the check byte is then read as
    // framing, and the frame fails whatever the payload says.
    EXPECT_EQ(ExtractReplyPayload(replyFrame("1"
                                             "0",
                                             0x01)),
              "");
    EXPECT_EQ(ExtractReplyPayload(replyFrame("3"
                                             "1",
                                             0x02)),
              "");
    EXPECT_EQ(ExtractReplyPayload(replyFrame("<"
                                             "1",
                                             0x0D)),
              "");
    // A payload with an odd number of digits never has such a check byte.
    for (int n = 100; n < 1000; ++n) {
        const std::string payload = std::to_string(n) + "8" + std::to_string(n);
        EXPECT_EQ(ExtractReplyPayload(replyFrame(payload, xorOf(payload))), payload) << payload;
    }
}

TEST(ExtractReplyPayload, LongRepliesAreScannedOnlyOver255Characters)
{
    const std::string payload(249, '5');  // markers and payload fill all 255: check and CR cut off
    const std::string longFrame = Hex("01 01 01 02 02 02") + payload + xorOf(payload) + "\r";
    EXPECT_EQ(ExtractReplyPayload(longFrame), "");
    const std::string shorter(247, '5');  // check at 254, CR at 255
    EXPECT_EQ(ExtractReplyPayload(Hex("01 01 01 02 02 02") + shorter + xorOf(shorter) + "\r"), shorter);
}

TEST(StripPointerReply, PerBus)
{
    EXPECT_EQ(StripPointerReply(true, Hex("31 32 33 34 35 0D")), "12345");
    EXPECT_EQ(StripPointerReply(true, Hex("01 01 01 31 32 33 34 35")), "12345");
    EXPECT_EQ(StripPointerReply(true, Hex("4F 01 01 01 31 32 33 34 35")), "12345");
    EXPECT_EQ(StripPointerReply(false, Hex("01 01 01 31 32 33 34 35 31 0D")), "12345");
    EXPECT_EQ(StripPointerReply(false, Hex("31 32 33 34 35 0D")), "12345");
    // Not validated: short or odd replies give whatever is there, never fail.
    EXPECT_EQ(StripPointerReply(true, ""), "");
    EXPECT_EQ(StripPointerReply(false, ""), "");
    EXPECT_EQ(StripPointerReply(false, Hex("01 01 01")), "");
    EXPECT_EQ(StripPointerReply(false, Hex("01 01 01 31 32 33")), "1");
    EXPECT_EQ(StripPointerReply(true, Hex("01 01 01")), "");
    // The count on the bus runs from the reply's length, not the marker's place.
    EXPECT_EQ(StripPointerReply(false, Hex("41 41 01 01 01 31 32 33 34 35 31 0D")),
              Hex("31 32 33 34 35 31 0D"));
}

}  // namespace
