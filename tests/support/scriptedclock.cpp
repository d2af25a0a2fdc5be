#include "scriptedclock.h"

#include <chrono>
#include <stdexcept>

const std::string ScriptedClock::kHangUp = "\xFF<hang up>";

std::string Frame(const std::string& payload)
{
    char check = 0;
    for (char c : payload) check = static_cast<char>(check ^ c);
    // A real clock never sends a check byte that reads as a frame marker.
    if (check == 0x01 || check == 0x02 || check == '\r')
        throw std::logic_error("payload gives an unreadable frame");
    return std::string("\x01\x01\x01\x02\x02\x02", 6) + payload + check + '\r';
}

ScriptedClock::ScriptedClock(bool bus, Responder responder) : m_bus(bus), m_responder(std::move(responder))
{
    m_thread = std::thread([this] { Serve(); });
}

ScriptedClock::~ScriptedClock()
{
    m_stop = true;
    m_thread.join();
}

std::vector<ReceivedCommand> ScriptedClock::Commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<std::string> ScriptedClock::CommandTexts() const
{
    std::vector<std::string> texts;
    for (const ReceivedCommand& c : Commands()) texts.push_back(c.text);
    return texts;
}

void ScriptedClock::Handle(const std::string& command, int clockNumber)
{
    int n;
    {
        std::lock_guard lock(m_mutex);
        n = static_cast<int>(m_commands.size());
        m_commands.push_back({command, clockNumber});
    }
    const std::string reply = m_responder(command, n);
    if (reply == kHangUp) {
        m_line.HangUp();
        return;
    }
    try {
        m_line.Send(reply);
    } catch (const std::runtime_error&) {
        // A line that takes no more loses the rest of the reply, as a real one would.
    }
}

void ScriptedClock::Serve()
{
    std::string pending;
    while (!m_stop) {
        // Answers as soon as a command is in; the stop is seen within 20 ms.
        const std::string received = m_line.Receive(1, 20);
        if (received.empty()) {
            // The port side is not open (yet, or any more): look again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        pending.append(received);

        while (!pending.empty()) {
            if (!m_bus) {
                const char first = pending[0];
                if (first == SO || first == ENQ || first == NAK) {
                    pending.erase(0, 1);
                    Handle(std::string(1, first), 0);
                    continue;
                }
                const std::size_t end = pending.find(CR);
                if (end == std::string::npos) break;
                const std::string command = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                Handle(command, 0);
                continue;
            }
            // Bus frame: address, clock byte, coded characters, check byte
            // (the only byte whose top bits are 11).
            std::size_t end = 0;
            while (end < pending.size() && (static_cast<unsigned char>(pending[end]) & 0xC0) != 0xC0) ++end;
            if (end == pending.size()) break;
            const std::string frame = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            if (frame.size() < 4) continue;
            std::string text;
            for (std::size_t i = 2; i + 1 < frame.size(); ++i)
                text.push_back(static_cast<char>((static_cast<unsigned char>(frame[i]) & 0x3F) + 0x20));
            if (text == "N") text = std::string(1, SO);
            if (text == "E") text = std::string(1, ENQ);
            if (text == "U") text = std::string(1, NAK);
            Handle(text, static_cast<unsigned char>(frame[1]) & 0x3F);
        }
    }
}
