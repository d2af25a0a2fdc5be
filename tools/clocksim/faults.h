// Line trouble injected into record replies.
//
// Each reply that carries a record draws one fault (or none) from a seeded
// generator, with the configured rates as disjoint shares of one draw, so a
// seed always produces the same faults in the same places:
//   drop     no reply; the command is taken as lost, so AUR stays put
//   late     the reply comes 5.5 s later, after the reader's 5 s limit
//   trickle  the reply comes in small pieces with gaps between them
//   corrupt  the reply's check byte is wrong (still not SOH, STX or CR)
//   garbage  junk bytes come before the reply; junk never holds CR, SOH,
//            STX, digits or "?", so it cannot end a reply, pass for part of
//            a count, or flag a record
// "hangup-after=N" closes the line once N records have been delivered:
// replies a reader can use, not the dropped, late or corrupted ones.
// The line can also vanish, as an unplugged adapter does, at one chosen
// moment of the session:
//   vanish-at-open=US        US microseconds after the reader opens the line
//   vanish-after-command=N   while the reader waits for the answer to the
//                            N-th command the clock takes (a drawn 1 to
//                            100 ms after it came)
//   vanish-in-answer=N       part-way through the answer to the N-th
//                            command (after a drawn share of its bytes)
// Pointer and counter answers ("ARI?", "AWI?", "AUR?", SO) meet noise of
// their own: with the "pointer-noise" rate one of their digits comes out as
// another digit, while an RS-485 check byte stays the one of the true
// digits, so a reader that checks it sees the damage and one that does not
// (RS-232 has no check byte there) only sees it by asking again. That draw
// uses a generator of its own, so a seed's record faults stay where they
// were whatever the noise rate.
#pragma once

#include "tools/clocksim/random.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace clocksim {

enum class Fault { None, Drop, Late, Trickle, Corrupt, Garbage };
inline constexpr int kFaultKinds = 5;

const char* faultName(Fault fault);

struct FaultPlan {
    // Rates of Drop .. Garbage, in that order.
    std::array<double, kFaultKinds> rates{};
    long long hangupAfter = -1;  // records; -1: never
    long long vanishAtOpenUs = -1;
    long long vanishAfterCommand = -1;  // 1-based; -1: never
    long long vanishInAnswer = -1;      // 1-based; -1: never
    double pointerNoise = 0;            // share of pointer and counter answers
};

// Parses "drop=0.01,late=0.01,...,hangup-after=500". Returns an error text,
// empty on success.
std::string parseFaultPlan(std::string_view text, FaultPlan& plan);

// One piece of a reply and the pause before it is written.
struct ReplyPiece {
    std::string bytes;
    int gapMs = 0;
};

class FaultInjector {
public:
    FaultInjector(FaultPlan plan, std::uint64_t seed);

    Fault draw();
    // The reply as it goes out under a fault (None, Late and Drop leave the
    // bytes alone; the caller handles timing and dropping).
    std::vector<ReplyPiece> shape(Fault fault, const std::string& reply);

    // One record reached the reader in a usable reply.
    void countRecordSent() { ++m_recordsSent; }
    bool hangupDue() const { return m_plan.hangupAfter >= 0 && m_recordsSent >= m_plan.hangupAfter; }
    void countHangup() { m_hungUp = true; }

    // The vanish faults: counts the commands the clock takes and draws the
    // moment within a command's wait or answer.
    void countCommand() { ++m_commands; }
    const FaultPlan& plan() const { return m_plan; }
    bool vanishWhileWaiting() const { return m_commands == m_plan.vanishAfterCommand; }
    bool vanishInThisAnswer() const { return m_commands == m_plan.vanishInAnswer; }
    int drawWaitMs() { return 1 + static_cast<int>(m_rng.below(100)); }
    // How many of an answer's `size` bytes go out before the line vanishes:
    // at least one, never all.
    std::size_t drawCut(std::size_t size) { return size < 2 ? 0 : 1 + m_rng.below(size - 1); }
    long long count(Fault fault) const { return m_counts[static_cast<int>(fault)]; }

    // Whether this pointer or counter answer gets noise; draws nothing while
    // the rate is 0.
    bool drawPointerNoise();
    // The answer with one of its digits replaced by another digit; the SOH
    // marks, the check byte of a marked (RS-485) answer and the CR stay.
    std::string spoilDigit(const std::string& reply);
    long long pointerNoiseCount() const { return m_pointerNoise; }

    // "faults: drop=.. late=.. trickle=.. corrupt=.. garbage=.. pointer-noise=..
    // hangup=.. records=.."
    std::string summary() const;

private:
    FaultPlan m_plan;
    SplitMix64 m_rng;
    SplitMix64 m_noiseRng;
    std::array<long long, kFaultKinds + 1> m_counts{};
    long long m_recordsSent = 0;
    long long m_commands = 0;
    long long m_pointerNoise = 0;
    bool m_hungUp = false;
};

inline constexpr int kLateReplyMs = 5500;

}  // namespace clocksim
