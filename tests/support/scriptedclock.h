// A clock played by the test: the far end of a pseudo-terminal that answers
// each command with whatever the test's responder returns, so an operation can
// be driven through exact reply sequences (counter 0, flagged and broken
// records, a hang-up) over the real port and clock link.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clocklink/clocklink.h"
#include "ptypeer.h"

// One command as the clock received it: its text (on the bus decoded back
// from the frame, SO/ENQ/NAK as their control characters) and, on the bus,
// the clock number the frame named.
struct ReceivedCommand {
    std::string text;
    int clockNumber = 0;
};

class ScriptedClock {
public:
    // Returned by a responder: close the line instead of answering.
    static const std::string kHangUp;
    // The reply to `command`, the n-th command received (from 0); empty: no reply.
    using Responder = std::function<std::string(const std::string& command, int n)>;

    ScriptedClock(bool bus, Responder responder);
    ~ScriptedClock();
    ScriptedClock(const ScriptedClock&) = delete;
    ScriptedClock& operator=(const ScriptedClock&) = delete;

    const std::string& PortPath() const { return m_line.SlavePath(); }
    std::vector<ReceivedCommand> Commands() const;
    std::vector<std::string> CommandTexts() const;

private:
    void Serve();
    void Handle(const std::string& command, int clockNumber);

    bool m_bus;
    Responder m_responder;
    PtyPeer m_line;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<ReceivedCommand> m_commands;
    std::thread m_thread;
};

// A ReplyFrame around `payload`: SOH SOH SOH, STX STX STX, payload, XOR check, CR.
std::string Frame(const std::string& payload);
