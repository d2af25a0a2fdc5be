// The Telnet layer of a port reached over RFC 2217 (Telnet COM Port Control).
//
// A pure state machine on bytes, with no socket and no clock: the network
// backend feeds it what the converter sent and gets back the serial line's
// data with every Telnet command taken out, plus the bytes it must send in
// answer. What goes to the converter is built here too: data with each 0xFF
// doubled, and the subnegotiations that set the line.
//
// Options: the port asks to send and receive BINARY and SGA (suppress go
// ahead) and offers COM-PORT-OPTION (44). Requests for any other option are
// refused, each at most once per connection; a request for an option already
// in the state asked is not answered (no negotiation loops).
//
// Hostile input cannot stall the data or grow memory: a command cut off at
// the end of one read completes with the next, a subnegotiation longer than
// kMaxSubnegotiation ends there and what follows is data again, and answers
// waiting to be sent are capped at kMaxPendingReplies bytes (a converter that
// sends requests without reading our answers loses the surplus).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telnet {

inline constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
inline constexpr unsigned char BINARY = 0, SGA = 3, COM_PORT_OPTION = 44;

// COM-PORT-OPTION commands from client to converter; the converter answers
// each with the same number plus 100.
enum ComPortCommand : unsigned char {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    PurgeData = 12,
};
inline constexpr unsigned char kServerAnswer = 100;

// Values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA.
enum Parity : unsigned char {
    ParityNone = 1,
    ParityOdd = 2,
    ParityEven = 3,
    ParityMark = 4,
    ParitySpace = 5
};
enum StopSize : unsigned char { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
enum Control : unsigned char {
    ControlNoFlow = 1,
    ControlXonXoff = 2,
    ControlHardware = 3,
    ControlDtrOn = 8,
    ControlDtrOff = 9,
    ControlRtsOn = 11,
    ControlRtsOff = 12,
};
enum PurgeWhich : unsigned char { PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };

inline constexpr std::size_t kMaxSubnegotiation = 256;
inline constexpr std::size_t kMaxPendingReplies = 4096;

// The line settings as the converter last confirmed them; empty until it has.
struct LineAnswers {
    std::optional<std::uint32_t> baudRate;
    std::optional<unsigned char> dataSize;
    std::optional<unsigned char> parity;
    std::optional<unsigned char> stopSize;
};

class Session {
public:
    // The negotiation that opens a connection: WILL and DO BINARY, WILL and
    // DO SGA, WILL COM-PORT-OPTION.
    std::string Greeting();

    // Takes bytes the converter sent; appends the serial data among them to
    // `data`. A confirmed purge of the converter's receive queue empties
    // `data` (what it holds arrived before the purge) when this session
    // asked for it.
    void Receive(std::string_view bytes, std::string& data);

    // Answers to the converter's requests, waiting to be sent; taking them
    // empties the queue.
    std::string TakeReplies();
    std::size_t PendingReplies() const { return m_replies.size(); }

    // Data to send, with every 0xFF doubled.
    static std::string Escape(std::string_view data);

    // Subnegotiations; each clears the answer it waits for.
    std::string SetLine(std::uint32_t baudRate, unsigned char dataSize, Parity parity, StopSize stopSize);
    std::string SetControlLine(Control value);
    std::string Purge(PurgeWhich which);

    // The converter's state as negotiated so far.
    bool ComPortAccepted() const { return m_local[COM_PORT_OPTION] == Yes; }
    bool ComPortRefused() const { return m_comPortRefused; }
    const LineAnswers& Answers() const { return m_answers; }
    bool PurgeAnswered() const { return m_purgesPending == 0; }
    // Modem lines as NOTIFY-MODEMSTATE reported them: CTS 0x10, DSR 0x20,
    // RI 0x40, CD 0x80 (as Windows reports them); 0 until reported.
    std::uint8_t ModemState() const { return m_modemState; }
    // The subnegotiation being read; bounded by kMaxSubnegotiation.
    std::size_t SubnegotiationSize() const { return m_sub.size(); }

private:
    enum State : unsigned char { Data, Command, Option, Sub, SubCommand };
    enum OptionState : unsigned char { No, Yes, WantYes };

    void reply(unsigned char verb, unsigned char option);
    void negotiate(unsigned char verb, unsigned char option);
    void subnegotiation(std::string& data);
    std::string sub(unsigned char command, std::string_view value);

    State m_state = Data;
    unsigned char m_verb = 0;
    std::string m_sub;
    bool m_subOverflow = false;
    // Our side of each option (we WILL) and the converter's (it WILL).
    std::array<OptionState, 256> m_local{};
    std::array<OptionState, 256> m_remote{};
    // Options already refused once, per side; never refused again.
    std::array<bool, 256> m_refusedLocal{};
    std::array<bool, 256> m_refusedRemote{};
    bool m_comPortRefused = false;
    std::string m_replies;
    LineAnswers m_answers;
    int m_purgesPending = 0;
    std::uint8_t m_modemState = 0;
};

}  // namespace telnet
