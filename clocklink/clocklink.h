// Talking to the clock: command framing, reply collection and extraction,
// the shared port variable, and the clock's command set.
//
// On RS-232 a command goes out as its own bytes (PlainCommand); on the RS-485
// bus as a BusFrame naming one clock. The bus choice and the clock number are
// read from the window at every send. Replies are collected by polling the
// port, which never waits: QueryClock stops at the expected length L, at a CR
// or after 5000 ms without news; WaitForReply stops at L, on a lone "I" or
// after its limit. Extractors turn a collected reply into its payload or
// pointer text, the empty text meaning "unusable". Between the commands of
// one operation nothing is discarded: a late reply is read by the next
// collector.
//
// Every operation starts with empty queues: the port drops what waits when
// it opens, and before the first command the line must have been quiet for
// the time of the longest answer (DrainLine), so the rest of an answer meant
// for an earlier, interrupted program is never taken for an answer here.
//
// Each NAK moves the clock's user read pointer on by one record, whatever
// becomes of the answer on the line. The download sets the pointer with
// ResyncUserReadPointer, before its first record and again after every
// answer it could not use: the line is drained, "AUR=" goes out, and the
// pointer counts as set only once the clock has answered every "AUR=" of the
// run with the last answer an "OK". The clock answers in order, so after
// that nothing stale is left on its way.
//
// The collectors are the only code that waits; their time comes from
// TickSource so tests can control it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clocklink/clockwindow.h"
#include "serial/comport.h"

// ---- bytes ---------------------------------------------------------------
inline constexpr char SOH = 0x01, STX = 0x02, ENQ = 0x05, CR = 0x0D, SO = 0x0E, NAK = 0x15;
inline constexpr std::string_view kStartMarker{"\x01\x01\x01", 3};  // SOH SOH SOH

// Record positions in the clock's ring buffer; positions are taken modulo it.
inline constexpr std::int32_t kRingSize = 253579;

// ---- time ----------------------------------------------------------------
// The tick counter and pauses of the clock link. Replaceable for tests.
class TickSource {
public:
    virtual ~TickSource() = default;
    // Milliseconds, unsigned 32-bit, wrapping.
    virtual std::uint32_t TickCount();
    // The default is the port's exact pause (ComSleep).
    virtual void Sleep(std::uint32_t milliseconds);
    // The pause after an empty read: up to `milliseconds`, ended early when
    // the port has input. The default waits on the device.
    virtual void PauseForInput(TComPort& port, std::uint32_t milliseconds);
};
// Installs `clock` (not owned); nullptr restores the system clock.
void SetTickSource(TickSource* clock);
TickSource& CurrentTickSource();

// ---- the shared port variable --------------------------------------------------
// The port of the running operation, or nullptr. The variable is the calling
// thread's own: the window runs all its operations on one thread, and each
// line a collection reads side by side has a thread of its own.
TComPort* SharedPort();
// Puts a new port into the shared variable and returns it; the port it held
// before is released (closed first if still open, errors of that close ignored).
TComPort& ReplaceSharedPort();
// Closes the shared port if it is open; nothing without a port.
void CloseSharedPort();
// Closes and destroys the shared port; the variable then holds nothing.
void ReleaseSharedPort();

// Opens the shared port when it is closed and drains the line (DrainLine),
// so an operation's first command starts with empty queues. Nothing without
// a port. Port errors propagate.
void OpenSharedPort(ClockWindow& window);

// Bit rate of a baud-rate text, compared whole and case-sensitively:
// "2400", "4800", "9600", "19200", "57600"; anything else 9600.
TBaudRate BaudRateFromText(std::string_view text);
// Port setup of every operation: a new shared port named window.PortName(),
// at BaudRateFromText(window.BaudRateText()), no parity, 8 data bits, 1 stop
// bit. The port is not opened here; the first send opens it.
TComPort& SetUpPortFromWindow(const ClockWindow& window);

// Runs pending serial port dispatches, then lets the window process its messages.
void ProcessWindowMessages(ClockWindow& window);

// ---- framing and sending --------------------------------------------------------
// Sleeps `milliseconds` on the link's clock (TickSource::Sleep), counted from
// the call; never shorter.
void WaitMilliseconds(std::uint16_t milliseconds);
// ((x - 0x20) AND 0x3F) OR 0x80.
std::uint8_t EncodeBusChar(char x);
// The BusFrame of `command` for the clock whose number is `clockNumberText`:
// address byte (the text read as hexadecimal, 0 when it is not), clock byte
// (the text read as decimal, low 8 bits OR 0x40; EConvertError when it is not
// decimal), the coded characters, and the check byte.
std::string BuildBusFrame(std::string_view clockNumberText, std::string_view command);
// Writes `bytes` to the shared port, opening it first when it is closed. At
// 57600 baud a text of two or more bytes goes one byte per write, each
// followed by a 1 ms pause. No port: nothing.
void SendRaw(const std::string& bytes);
// Sends `command` in the wire form of the window's current bus; reads
// nothing. The first command of an operation opens the port (OpenSharedPort).
void SendCommand(ClockWindow& window, const std::string& command);
// Sends `command`, then collects the reply with CollectReply. No port:
// empty, nothing sent. Port errors propagate.
std::string QueryClock(ClockWindow& window, const std::string& command, int expectedLength,
                       std::string_view startMarker = {});

// ---- collecting and extracting -----------------------------------------------------
// One read of at most `count` characters that have already arrived; empty
// when there is no port. A failing read raises EComPort.
std::string ReadPortText(int count);
// Characters ReadPortText has delivered since the program started; an
// operation compares two readings to tell whether the clock said anything
// in between.
std::uint64_t CharactersReceived();
// Collects a reply without sending anything: polls every 2 ms and stops at
// `expectedLength` characters, at a CR, once a read brings nothing 5000 ms
// or more after the start, or at an empty read once the window has asked to
// stop (StopRequested); with a start marker, what precedes its first
// occurrence is dropped. Lets the window process its messages every 50 empty
// reads. Returns what arrived, possibly nothing. Port errors propagate.
std::string CollectReply(ClockWindow& window, int expectedLength, std::string_view startMarker = {});
// Polls every 100 ms until `expectedLength` characters, a reply that is just
// "I", or `timeLimitMs`; read errors end it quietly, and so does the lack of
// a port (nothing can come). Processes no window messages, but ends early
// when `window` is given and asks to stop.
std::string WaitForReply(int expectedLength, std::uint32_t timeLimitMs, const ClockWindow* window = nullptr);
// The longest answer a collector takes (a record), in characters.
inline constexpr int kLongestAnswerLength = 50;
// How long the line must be silent before the next command can be sure to
// meet no answer of an earlier one: the time the longest answer takes at
// `bitRate` (10 bits a character), plus 20 ms for the other side to react.
std::uint32_t QuietLineMs(std::int32_t bitRate);
// Reads and drops whatever arrives until the line has been quiet for
// QuietLineMs at the port's rate; gives up after 5000 ms of a line that
// never falls quiet (the answers' own checks then take over) and ends early
// when the window asks to stop. Lets the window process its messages while
// it waits. Returns true when the line fell quiet; false when it did not, or
// the port is not open.
bool DrainLine(ClockWindow& window);
// The payload of a ReplyFrame, checked against its XOR check byte; empty when
// the reply is not acceptable.
std::string ExtractReplyPayload(std::string_view reply);
// The pointer value's text out of a pointer reply, per bus; not validated.
std::string StripPointerReply(bool rs232, std::string_view reply);

// ---- the command set -------------------------------------------------------------------
// `body` with the terminator of the bus: CR on RS-232, "^" on RS-485.
std::string TerminatedCommand(bool rs232, std::string_view body);

// Record counter: QueryClock(SO, expectedLength), read digits-only.
// Returns 0 when the clock did not answer usably. When the reply is a count
// (digits that fit, all zeros included) the window hears of it through
// RecordCounterAnswered.
std::int32_t QueryRecordCounter(ClockWindow& window, int expectedLength);
// Clock date: QueryClock(ENQ, 20, SOH SOH SOH), then ExtractReplyPayload.
std::string QueryClockDatePayload(ClockWindow& window);
// Set user read pointer for the search ("AUR=" + pointer, L 3 / 7); returns the reply.
std::string SetUserReadPointer(ClockWindow& window, const std::string& pointer);
// Next record: QueryClock(NAK, 50, SOH SOH SOH); returns the raw reply.
std::string QueryNextRecord(ClockWindow& window);
// The "AUR=" commands of one run that the clock has not answered yet. Until
// it has answered all of them, an "OK" may still be on its way; one run keeps
// one of these for all its resyncs.
struct PendingPointerAnswers {
    int count = 0;
};
// Puts the user read pointer on `position` (taken modulo kRingSize) so the
// next NAK reads that record: drains the line, sends "AUR=" + the position
// padded to five digits, then collects (L 50, no marker) answer by answer
// (each up to its CR) until every "AUR=" in `pending` is answered or a
// collection brings nothing within its 5000 ms. Record answers that come
// late are read and dropped; any other answer answers the oldest "AUR="
// still pending. Returns true when the last one was answered "OK" (the
// pointer is set and nothing stale is left on the line); false otherwise,
// also without a port. An answer that never came is forgotten once the line
// has been quiet before the command: it is lost, not late, so one lost "OK"
// costs one more resync and no more. Port errors propagate.
// `lineKnownQuiet`: the caller knows nothing is on its way (every earlier
// command was answered in full), and the drain is left out.
bool ResyncUserReadPointer(ClockWindow& window, std::int64_t position, PendingPointerAnswers& pending,
                           bool lineKnownQuiet = false);
// "ARI?" / "AWI?" with L 20; return the raw reply.
std::string QueryReadIndexPointer(ClockWindow& window);
std::string QueryWriteIndexPointer(ClockWindow& window);
// "AUR?" with L 8 / 12; returns the reply after StripPointerReply.
std::string QueryUserReadPointer(ClockWindow& window);
// "AURD=" + date: SendCommand, then WaitForReply(3 / 7, 30000); returns the reply.
std::string PositionAtDate(ClockWindow& window, const std::string& date);

// Every decimal digit of `reply`, in order, read as a decimal integer; 0
// when there is none or the value does not fit 32 bits.
std::int32_t RecordCounterValue(std::string_view reply);
// "OK" anywhere in the reply.
bool HasOk(std::string_view reply);
// "???" anywhere in the reply: the clock flags the record as unreadable.
bool IsFlaggedRecord(std::string_view reply);
// How a read or write index pointer reply ("ARI?", "AWI?") is read. The
// value is every character after SOH SOH SOH up to the check byte (the one
// before the CR; all of the rest when no CR came), or, without SOH SOH SOH,
// the reply without its last character; every digit counts, since the ring
// has positions above 99999.
enum class PointerRule {
    // The window's labels: the value converted the strict way of every
    // number the window reads (blanks, a sign, hexadecimal).
    WindowLabel,
    // Scheduled collection and the command line: decimal digits only, the
    // reply ended by its CR, its check byte (after SOH SOH SOH) the XOR of
    // the digits, and a position of the ring. On RS-485 the clock always
    // frames the value so: an answer there without SOH SOH SOH and its
    // check byte is a damaged one, not a value.
    RingPosition,
};
// The value of a pointer reply under `rule` from a clock on RS-232 when
// `rs232`, else on RS-485 (the bus matters to RingPosition only); nothing
// when it is not one.
std::optional<std::int32_t> PointerReplyValue(std::string_view reply, PointerRule rule, bool rs232);
// The label text of a pointer reply: its value under the window's rule, or
// "-1".
std::string PointerLabelText(std::string_view reply);
