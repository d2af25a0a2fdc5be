// Wire forms the clock understands and sends.
//
// Commands arrive in one of two forms. On RS-232 a command is its text byte
// for byte: SO, ENQ and NAK are single bytes, every longer command ends with
// CR. On RS-485 every command is a bus frame: address byte (clock number in
// packed decimal), clock byte (number OR 0x40), each character in a 6-bit
// code ((c - 0x20) AND 0x3F OR 0x80), then a check byte (XOR of all bytes
// before it, AND 0x3F, OR 0xC0). The top two bits tell the four kinds of
// frame byte apart (00, 01, 10, 11), which is what lets the decoder find the
// start of the next frame after line noise.
//
// Replies are built here as byte strings; which reply a command gets is the
// clock's business (clock.h). Everything in this file is a pure function or a
// small incremental decoder fed with whatever bytes the line delivered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace clocksim {

enum class Bus { Rs232, Rs485 };

inline constexpr char kSOH = 0x01;
inline constexpr char kSTX = 0x02;
inline constexpr char kENQ = 0x05;
inline constexpr char kCR = 0x0D;
inline constexpr char kSO = 0x0E;
inline constexpr char kNAK = 0x15;

const char* busName(Bus bus);

// The 6-bit code of a frame character and its inverse. The inverse yields
// the character in 0x20..0x5F, so SO, ENQ and NAK come back as N, E and U.
std::uint8_t encodeBusChar(std::uint8_t c);
char decodeBusChar(std::uint8_t code);
std::uint8_t addressByteFor(int clock);
std::uint8_t clockByteFor(int clock);
// (XOR of the bytes) AND 0x3F OR 0xC0.
std::uint8_t frameCheck(std::string_view bytes);

// One unit the line delivered: a command, or bytes that were thrown away.
struct Received {
    enum class Kind {
        Command,   // a whole command; text holds it without terminator
        BadCheck,  // a bus frame whose check byte does not match
        Garbage,   // bytes that are not part of any frame or command
    };
    Kind kind = Kind::Command;
    std::string raw;       // the bytes as they came in
    std::string text;      // the command text, terminator removed (SO/ENQ/NAK as the control byte)
    std::string shown;     // the text as sent, for the log (terminator included, controls named)
    int addressByte = -1;  // RS-485 only
    int clockByte = -1;    // RS-485 only
};

// Splits the RS-232 byte stream into commands. SO, ENQ and NAK stand alone;
// other bytes gather up to a CR. Bytes that never reach a CR are dropped as
// garbage when a single-byte command or too many bytes arrive.
class PlainCommandSplitter {
public:
    std::vector<Received> feed(std::string_view bytes);

private:
    std::string m_pending;
};

// Decodes RS-485 bus frames, one byte at a time. A frame is complete at its
// check byte; an address byte always starts a new frame, and bytes out of
// order are dropped until the next address byte.
class BusFrameDecoder {
public:
    std::vector<Received> feed(std::string_view bytes);

private:
    enum class State { Hunting, AfterAddress, InText };
    void dropPending(std::vector<Received>& out);
    State m_state = State::Hunting;
    std::string m_pending;
};

// Names control characters for the log ("SO", "<CR>"); other bytes unchanged.
std::string showCommand(std::string_view text);
// Bytes as upper-case hex pairs separated by blanks.
std::string hexBytes(std::string_view bytes);
// Whether text is one or more decimal digits.
bool allDigits(std::string_view text);
// The decimal digits of value, with zeros in front up to width.
std::string zeroPadded(std::uint64_t value, std::size_t width);

// --- replies -------------------------------------------------------------

// SOH SOH SOH, STX STX STX, payload, XOR of the payload (full 8 bits), CR.
std::string replyFrame(std::string_view payload);
// XOR of all bytes, 8 bits (0 for none).
std::uint8_t xorOf(std::string_view bytes);
// The record counter: decimal digits and CR, with no other digit anywhere.
std::string counterReply(std::uint32_t count);
// A pointer value. RS-232: at least five digits, then CR. RS-485: SOH SOH
// SOH, an odd number (at least five) of digits, XOR check, CR; an odd digit
// count keeps the check byte in 0x30..0x3F, so it is never SOH, STX or CR.
std::string pointerReply(Bus bus, std::uint32_t value);
// "OK": RS-232 "OK" CR; RS-485 SOH SOH SOH "OK" check CR.
std::string okReply(Bus bus);

}  // namespace clocksim
