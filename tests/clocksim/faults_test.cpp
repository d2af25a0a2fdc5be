// Fault plans, their rates for a fixed seed, and what each fault does to a
// record reply.
#include "tools/clocksim/faults.h"
#include "tools/clocksim/protocol.h"

#include <gtest/gtest.h>

using namespace clocksim;

TEST(FaultPlan, ParsesRatesAndRefusesNonsense)
{
    FaultPlan plan;
    ASSERT_EQ(
        parseFaultPlan("drop=0.01,late=0.02,trickle=0.05,corrupt=0.01,garbage=0.03,hangup-after=500", plan),
        "");
    EXPECT_DOUBLE_EQ(plan.rates[0], 0.01);
    EXPECT_DOUBLE_EQ(plan.rates[2], 0.05);
    EXPECT_DOUBLE_EQ(plan.rates[4], 0.03);
    EXPECT_EQ(plan.hangupAfter, 500);

    ASSERT_EQ(parseFaultPlan("vanish-at-open=0,vanish-after-command=3,vanish-in-answer=7", plan), "");
    EXPECT_EQ(plan.vanishAtOpenUs, 0);
    EXPECT_EQ(plan.vanishAfterCommand, 3);
    EXPECT_EQ(plan.vanishInAnswer, 7);

    for (const char* bad :
         {"drop", "drop=x", "drop=1.5", "drop=-0.1", "flood=0.1", "hangup-after=-1", "hangup-after=ten",
          "drop=0.6,late=0.6", "vanish-at-open=-1", "vanish-after-command=0", "vanish-in-answer=x"}) {
        FaultPlan p;
        EXPECT_NE(parseFaultPlan(bad, p), "") << bad;
    }
}

TEST(FaultInjector, DrawsEachFaultAtItsRateForAFixedSeed)
{
    FaultPlan plan;
    ASSERT_EQ(parseFaultPlan("drop=0.01,late=0.02,trickle=0.05,corrupt=0.1,garbage=0.2", plan), "");
    const int draws = 100000;
    // Pointer noise, which does not count towards the record faults' sum,
    // leaves a seed's record faults where they were.
    FaultPlan noisy = plan;
    ASSERT_EQ(parseFaultPlan("pointer-noise=0.9", noisy), "");
    FaultInjector a(plan, 42), b(noisy, 42);
    for (int i = 0; i < draws; ++i) {
        b.drawPointerNoise();
        ASSERT_EQ(a.draw(), b.draw());
    }
    EXPECT_NEAR(static_cast<double>(b.pointerNoiseCount()) / draws, 0.9, 0.01);
    EXPECT_NE(b.summary().find(" pointer-noise=" + std::to_string(b.pointerNoiseCount()) + " "),
              std::string::npos);
    const double expected[] = {0.01, 0.02, 0.05, 0.1, 0.2};
    for (int k = 0; k < kFaultKinds; ++k) {
        const double seen = static_cast<double>(a.count(static_cast<Fault>(k + 1))) / draws;
        EXPECT_NEAR(seen, expected[k], expected[k] * 0.1 + 0.001) << faultName(static_cast<Fault>(k + 1));
    }
    EXPECT_NE(a.summary().find("faults: drop="), std::string::npos);
}

TEST(FaultInjector, ShapesRepliesSoThatOnlyTheIntendedPartIsWrong)
{
    FaultPlan plan;
    FaultInjector f(plan, 7);
    const std::string reply = replyFrame("019730820101060000481");

    for (int i = 0; i < 200; ++i) {
        const std::vector<ReplyPiece> pieces = f.shape(Fault::Garbage, reply);
        ASSERT_EQ(pieces.size(), 1u);
        const std::string& bytes = pieces[0].bytes;
        ASSERT_GT(bytes.size(), reply.size());
        ASSERT_EQ(bytes.substr(bytes.size() - reply.size()), reply);
        for (char c : bytes.substr(0, bytes.size() - reply.size())) {
            ASSERT_TRUE(c != '\r' && c != 0x01 && c != 0x02 && c != '?' && !(c >= '0' && c <= '9'))
                << static_cast<int>(c);
        }
    }

    const std::string bad = f.shape(Fault::Corrupt, reply)[0].bytes;
    ASSERT_EQ(bad.size(), reply.size());
    EXPECT_EQ(bad.substr(0, bad.size() - 2), reply.substr(0, reply.size() - 2));
    EXPECT_NE(bad[bad.size() - 2], reply[reply.size() - 2]);
    for (char c : {'\x01', '\x02', '\r'}) EXPECT_NE(bad[bad.size() - 2], c);

    std::string joined;
    const std::vector<ReplyPiece> pieces = f.shape(Fault::Trickle, reply);
    EXPECT_GT(pieces.size(), 3u);
    for (const ReplyPiece& p : pieces) joined += p.bytes;
    EXPECT_EQ(joined, reply);
}

TEST(FaultInjector, HangupFallsDueAfterTheGivenRecordCount)
{
    FaultPlan plan;
    ASSERT_EQ(parseFaultPlan("hangup-after=2", plan), "");
    FaultInjector f(plan, 1);
    EXPECT_FALSE(f.hangupDue());
    f.countRecordSent();
    EXPECT_FALSE(f.hangupDue());
    f.countRecordSent();
    EXPECT_TRUE(f.hangupDue());
    FaultInjector never(FaultPlan{}, 1);
    for (int i = 0; i < 1000; ++i) never.countRecordSent();
    EXPECT_FALSE(never.hangupDue());
}
