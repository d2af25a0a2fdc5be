#include "tools/clocksim/protocol.h"

#include <algorithm>
#include <cstdio>

namespace clocksim {

namespace {

// No command the clock knows is longer than this; a longer run without a
// terminator is noise, and dropping it keeps memory bounded on a noisy line.
constexpr std::size_t kMaxCommandBytes = 64;

int topBits(std::uint8_t b) { return b >> 6; }

// The RS-485 form of a short reply: SOH SOH SOH, the text, its XOR, CR.
std::string markedReply(std::string_view text)
{
    std::string out{kSOH, kSOH, kSOH};
    out += text;
    out += static_cast<char>(xorOf(text));
    out += kCR;
    return out;
}

}  // namespace

const char* busName(Bus bus) { return bus == Bus::Rs232 ? "rs232" : "rs485"; }

std::uint8_t encodeBusChar(std::uint8_t c) { return static_cast<std::uint8_t>(((c - 0x20) & 0x3F) | 0x80); }

char decodeBusChar(std::uint8_t code) { return static_cast<char>((code & 0x3F) + 0x20); }

std::uint8_t addressByteFor(int clock)
{
    return static_cast<std::uint8_t>(((clock / 10 % 10) << 4) | (clock % 10));
}

std::uint8_t clockByteFor(int clock) { return static_cast<std::uint8_t>((clock & 0xFF) | 0x40); }

std::uint8_t xorOf(std::string_view bytes)
{
    std::uint8_t x = 0;
    for (char c : bytes) x ^= static_cast<std::uint8_t>(c);
    return x;
}

std::uint8_t frameCheck(std::string_view bytes)
{
    return static_cast<std::uint8_t>((xorOf(bytes) & 0x3F) | 0xC0);
}

std::string showCommand(std::string_view text)
{
    if (text.size() == 1) {
        if (text[0] == kSO) return "SO";
        if (text[0] == kENQ) return "ENQ";
        if (text[0] == kNAK) return "NAK";
    }
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (c == kCR) {
            out += "<CR>";
        } else if (b <= 0x20 || b >= 0x7F) {  // blanks too, so a log line splits on blanks
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string zeroPadded(std::uint64_t value, std::size_t width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

std::string hexBytes(std::string_view bytes)
{
    std::string out;
    char buf[4];
    for (char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

// --- RS-232 --------------------------------------------------------------

std::vector<Received> PlainCommandSplitter::feed(std::string_view bytes)
{
    std::vector<Received> out;
    for (char c : bytes) {
        if (c == kSO || c == kENQ || c == kNAK) {
            if (!m_pending.empty()) {
                out.push_back({Received::Kind::Garbage, m_pending, {}, showCommand(m_pending)});
                m_pending.clear();
            }
            std::string one(1, c);
            out.push_back({Received::Kind::Command, one, one, showCommand(one)});
            continue;
        }
        m_pending += c;
        if (c == kCR) {
            Received r{Received::Kind::Command, m_pending, m_pending.substr(0, m_pending.size() - 1),
                       showCommand(m_pending)};
            out.push_back(std::move(r));
            m_pending.clear();
        } else if (m_pending.size() > kMaxCommandBytes) {
            out.push_back({Received::Kind::Garbage, m_pending, {}, showCommand(m_pending)});
            m_pending.clear();
        }
    }
    return out;
}

// --- RS-485 --------------------------------------------------------------

void BusFrameDecoder::dropPending(std::vector<Received>& out)
{
    if (!m_pending.empty()) {
        Received r;
        r.kind = Received::Kind::Garbage;
        r.raw = m_pending;
        out.push_back(std::move(r));
    }
    m_pending.clear();
    m_state = State::Hunting;
}

std::vector<Received> BusFrameDecoder::feed(std::string_view bytes)
{
    std::vector<Received> out;
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        const int kind = topBits(b);
        if (kind == 0) {  // an address byte always starts a frame
            dropPending(out);
            m_pending += c;
            m_state = State::AfterAddress;
            continue;
        }
        switch (m_state) {
        case State::Hunting:
            m_pending += c;
            if (m_pending.size() > kMaxCommandBytes) dropPending(out);
            break;
        case State::AfterAddress:
            m_pending += c;
            if (kind == 1)
                m_state = State::InText;
            else
                dropPending(out);
            break;
        case State::InText:
            if (kind == 2) {
                m_pending += c;
                if (m_pending.size() > kMaxCommandBytes + 2) dropPending(out);
            } else if (kind == 3 && m_pending.size() > 2) {
                Received r;
                r.raw = m_pending + c;
                r.addressByte = static_cast<std::uint8_t>(m_pending[0]);
                r.clockByte = static_cast<std::uint8_t>(m_pending[1]);
                std::string decoded;
                for (std::size_t i = 2; i < m_pending.size(); ++i)
                    decoded += decodeBusChar(static_cast<std::uint8_t>(m_pending[i]));
                r.shown = decoded;
                if (frameCheck(m_pending) != b) {
                    r.kind = Received::Kind::BadCheck;
                } else if (decoded.size() == 1) {
                    // The one-byte commands travel as the codes of N, E and U.
                    r.text = decoded == "N"   ? std::string(1, kSO)
                             : decoded == "E" ? std::string(1, kENQ)
                             : decoded == "U" ? std::string(1, kNAK)
                                              : decoded;
                    r.shown = showCommand(r.text);
                } else if (decoded.back() == '^') {
                    r.text = decoded.substr(0, decoded.size() - 1);
                } else {
                    r.text = decoded;  // no terminator: not a command the clock knows
                }
                out.push_back(std::move(r));
                m_pending.clear();
                m_state = State::Hunting;
            } else {
                m_pending += c;
                dropPending(out);
            }
            break;
        }
    }
    // Noise gathered while hunting is reported as one piece when the next
    // frame starts, however the line split it.
    return out;
}

// --- replies -------------------------------------------------------------

std::string replyFrame(std::string_view payload)
{
    std::string out{kSOH, kSOH, kSOH, kSTX, kSTX, kSTX};
    out += payload;
    out += static_cast<char>(xorOf(payload));
    out += kCR;
    return out;
}

std::string counterReply(std::uint32_t count) { return std::to_string(count) + kCR; }

std::string pointerReply(Bus bus, std::uint32_t value)
{
    std::string digits = zeroPadded(value, 5);
    if (bus == Bus::Rs232) return digits + kCR;
    if (digits.size() % 2 == 0) digits.insert(0, 1, '0');
    return markedReply(digits);
}

std::string okReply(Bus bus) { return bus == Bus::Rs232 ? std::string("OK") + kCR : markedReply("OK"); }

}  // namespace clocksim
