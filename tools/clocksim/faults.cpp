#include "tools/clocksim/faults.h"

#include "tools/clocksim/protocol.h"

#include <cerrno>
#include <cstdlib>

namespace clocksim {

namespace {

constexpr const char* kNames[kFaultKinds + 1] = {"none", "drop", "late", "trickle", "corrupt", "garbage"};

// Junk that cannot be mistaken for any part of a reply.
constexpr std::string_view kJunk = "abcdefghijklmnopqrstuvwxyz#*~%&\x7F\xA5\xC3\xE9\xFE";

}  // namespace

const char* faultName(Fault fault) { return kNames[static_cast<int>(fault)]; }

std::string parseFaultPlan(std::string_view text, FaultPlan& plan)
{
    double total = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string item(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) return "fault \"" + item + "\" has no value";
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        char* end = nullptr;
        errno = 0;
        if (key == "hangup-after") {
            const long long n = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end || errno || n < 0)
                return "hangup-after needs a record count, not \"" + value + "\"";
            plan.hangupAfter = n;
            continue;
        }
        if (key == "vanish-at-open" || key == "vanish-after-command" || key == "vanish-in-answer") {
            const bool atOpen = key == "vanish-at-open";
            const long long n = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end || errno || n < (atOpen ? 0 : 1))
                return key + (atOpen ? " needs microseconds" : " needs a command number from 1") +
                       ", not \"" + value + "\"";
            (atOpen                      ? plan.vanishAtOpenUs
             : key == "vanish-in-answer" ? plan.vanishInAnswer
                                         : plan.vanishAfterCommand) = n;
            continue;
        }
        const bool noise = key == "pointer-noise";
        int kind = 0;
        for (int k = 1; k <= kFaultKinds; ++k)
            if (key == kNames[k]) kind = k;
        if (kind == 0 && !noise) return "unknown fault \"" + key + "\"";
        const double rate = std::strtod(value.c_str(), &end);
        if (value.empty() || *end || errno || !(rate >= 0 && rate <= 1))
            return "the rate of " + key + " must be a number from 0 to 1, not \"" + value + "\"";
        // Pointer noise strikes other answers than the record faults do, so
        // its rate is not a share of theirs.
        if (noise) {
            plan.pointerNoise = rate;
            continue;
        }
        total += rate - plan.rates[kind - 1];
        plan.rates[kind - 1] = rate;
    }
    if (total > 1.0 + 1e-9) return "the fault rates add up to more than 1";
    return {};
}

FaultInjector::FaultInjector(FaultPlan plan, std::uint64_t seed)
    : m_plan(plan), m_rng(seed), m_noiseRng(seed * 0xD1B54A32D192ED03ULL + 0x5EED)
{
}

bool FaultInjector::drawPointerNoise()
{
    if (m_plan.pointerNoise <= 0 || m_noiseRng.unit() >= m_plan.pointerNoise) return false;
    ++m_pointerNoise;
    return true;
}

std::string FaultInjector::spoilDigit(const std::string& reply)
{
    // Digits lie after the SOH marks (RS-485 pointers only) and before the
    // CR; a marked answer has its check byte between them and the CR.
    std::size_t first = 0;
    while (first < reply.size() && reply[first] == kSOH) ++first;
    std::size_t end = reply.size();
    if (end > first && reply[end - 1] == kCR) --end;
    if (first > 0 && end > first) --end;
    std::string spoilt = reply;
    if (end <= first) return spoilt;
    char& digit = spoilt[first + m_noiseRng.below(end - first)];
    if (digit >= '0' && digit <= '9')
        digit = static_cast<char>('0' + (digit - '0' + 1 + m_noiseRng.below(9)) % 10);
    return spoilt;
}

Fault FaultInjector::draw()
{
    double u = m_rng.unit();
    Fault fault = Fault::None;
    for (int k = 0; k < kFaultKinds; ++k) {
        if (u < m_plan.rates[k]) {
            fault = static_cast<Fault>(k + 1);
            break;
        }
        u -= m_plan.rates[k];
    }
    ++m_counts[static_cast<int>(fault)];
    return fault;
}

std::vector<ReplyPiece> FaultInjector::shape(Fault fault, const std::string& reply)
{
    std::vector<ReplyPiece> pieces;
    switch (fault) {
    case Fault::Trickle:
        // Pieces of 1 to 3 bytes, 2 to 20 ms apart: slow enough to be seen
        // as gaps by a reader polling every 2 ms, well inside its 5 s limit.
        for (std::size_t i = 0; i < reply.size();) {
            const std::size_t len = std::min<std::size_t>(1 + m_rng.below(3), reply.size() - i);
            pieces.push_back({reply.substr(i, len), i == 0 ? 0 : static_cast<int>(2 + m_rng.below(19))});
            i += len;
        }
        return pieces;
    case Fault::Corrupt: {
        std::string bad = reply;
        // The check byte sits just before the final CR. Flipping its lowest
        // bit keeps an XOR of digits in 0x30..0x3F, never SOH, STX or CR.
        if (bad.size() >= 2) {
            char& check = bad[bad.size() - 2];
            check = static_cast<char>(check ^ 0x01);
            if (check == 0x01 || check == 0x02 || check == 0x0D) check = static_cast<char>(check ^ 0x10);
        }
        pieces.push_back({bad, 0});
        return pieces;
    }
    case Fault::Garbage: {
        std::string junk;
        const std::size_t n = 1 + m_rng.below(8);
        for (std::size_t i = 0; i < n; ++i) junk += kJunk[m_rng.below(kJunk.size())];
        pieces.push_back({junk + reply, 0});
        return pieces;
    }
    default: pieces.push_back({reply, 0}); return pieces;
    }
}

std::string FaultInjector::summary() const
{
    std::string s = "faults:";
    for (int k = 1; k <= kFaultKinds; ++k)
        s += std::string(" ") + kNames[k] + "=" + std::to_string(m_counts[k]);
    s += " pointer-noise=" + std::to_string(m_pointerNoise);
    s += " hangup=" + std::to_string(m_hungUp ? 1 : 0);
    s += " records=" + std::to_string(m_recordsSent);
    return s;
}

}  // namespace clocksim
