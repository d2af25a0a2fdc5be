#include "serial/telnet.h"

namespace telnet {

namespace {

// The options this port speaks on both sides; everything else is refused.
bool supported(unsigned char option) {
    return option == BINARY || option == SGA || option == COM_PORT_OPTION;
}

char byte(unsigned char value) { return static_cast<char>(value); }

}  // namespace

std::string Session::Greeting() {
    std::string out;
    for (unsigned char option : {BINARY, SGA}) {
        m_local[option] = WantYes;
        m_remote[option] = WantYes;
        out += {byte(IAC), byte(WILL), byte(option), byte(IAC), byte(DO), byte(option)};
    }
    m_local[COM_PORT_OPTION] = WantYes;
    out += {byte(IAC), byte(WILL), byte(COM_PORT_OPTION)};
    return out;
}

void Session::Receive(std::string_view bytes, std::string& data) {
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (m_state) {
        case Data:
            if (b == IAC) {
                m_state = Command;
            } else {
                data.push_back(c);
            }
            break;
        case Command:
            if (b == IAC) {
                data.push_back(c);  // a doubled 0xFF is one data byte
                m_state = Data;
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                m_verb = b;
                m_state = Option;
            } else if (b == SB) {
                m_sub.clear();
                m_subOverflow = false;
                m_state = Sub;
            } else {
                m_state = Data;  // NOP, GA, a stray SE and the like mean nothing here
            }
            break;
        case Option:
            negotiate(m_verb, b);
            m_state = Data;
            break;
        case Sub:
            if (b == IAC) {
                m_state = SubCommand;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub.push_back(c);
            } else {
                // A subnegotiation that never ends must not swallow the line:
                // it is dropped, and what follows is data again.
                m_sub.clear();
                m_state = Data;
                data.push_back(c);
            }
            break;
        case SubCommand:
            if (b == SE) {
                subnegotiation(data);
                m_sub.clear();
                m_state = Data;
            } else if (b == IAC && m_sub.size() < kMaxSubnegotiation) {
                m_sub.push_back(c);
                m_state = Sub;
            } else if (b == IAC) {
                m_sub.clear();
                data.push_back(c);
                m_state = Data;
            } else {
                // Any other command ends a subnegotiation its sender gave up on.
                m_sub.clear();
                m_state = Command;
                Receive(std::string_view(&c, 1), data);
            }
            break;
        }
    }
}

void Session::reply(unsigned char verb, unsigned char option) {
    if (m_replies.size() + 3 <= kMaxPendingReplies) {
        m_replies += {byte(IAC), byte(verb), byte(option)};
    }
}

void Session::negotiate(unsigned char verb, unsigned char option) {
    // DO and DONT are about our side of the option, WILL and WONT about the
    // converter's.
    const bool ours = verb == DO || verb == DONT;
    const bool enable = verb == DO || verb == WILL;
    OptionState& state = ours ? m_local[option] : m_remote[option];
    const unsigned char agree = ours ? WILL : DO, refuse = ours ? WONT : DONT;
    if (enable) {
        if (state == Yes) {
            return;
        }
        if (supported(option)) {
            if (state == No) {
                reply(agree, option);
            }
            state = Yes;
            return;
        }
        bool& refused = ours ? m_refusedLocal[option] : m_refusedRemote[option];
        if (!refused) {
            refused = true;
            reply(refuse, option);
        }
        return;
    }
    if (state == Yes) {
        reply(refuse, option);
    }
    if (ours && option == COM_PORT_OPTION && state != No) {
        m_comPortRefused = true;
    }
    state = No;
}

void Session::subnegotiation(std::string& data) {
    if (m_sub.size() < 2 || static_cast<unsigned char>(m_sub[0]) != COM_PORT_OPTION) {
        return;
    }
    const auto command = static_cast<unsigned char>(m_sub[1]);
    const std::string_view value = std::string_view(m_sub).substr(2);
    auto first = [&] {
        return value.empty() ? std::optional<unsigned char>{} : static_cast<unsigned char>(value[0]);
    };
    switch (command) {
    case kServerAnswer + SetBaudRate:
        if (value.size() >= 4) {
            std::uint32_t rate = 0;
            for (int i = 0; i < 4; ++i) {
                rate = (rate << 8) | static_cast<unsigned char>(value[static_cast<std::size_t>(i)]);
            }
            m_answers.baudRate = rate;
        }
        break;
    case kServerAnswer + SetDataSize: m_answers.dataSize = first(); break;
    case kServerAnswer + SetParity: m_answers.parity = first(); break;
    case kServerAnswer + SetStopSize: m_answers.stopSize = first(); break;
    case kServerAnswer + NotifyModemState:
        if (auto state = first()) m_modemState = *state & 0xF0;
        break;
    case kServerAnswer + PurgeData:
        // Only a purge this session asked for counts; an unasked answer
        // cannot make it drop data.
        if (m_purgesPending > 0) {
            --m_purgesPending;
            data.clear();
        }
        break;
    default: break;  // line state, flow control and signatures are not used
    }
}

std::string Session::TakeReplies() {
    std::string out;
    out.swap(m_replies);
    return out;
}

std::string Session::Escape(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        out.push_back(c);
        if (static_cast<unsigned char>(c) == IAC) {
            out.push_back(c);
        }
    }
    return out;
}

std::string Session::sub(unsigned char command, std::string_view value) {
    std::string out{byte(IAC), byte(SB), byte(COM_PORT_OPTION), byte(command)};
    out += Escape(value);
    out += {byte(IAC), byte(SE)};
    return out;
}

std::string Session::SetLine(std::uint32_t baudRate, unsigned char dataSize, enum Parity parity,
                             StopSize stopSize) {
    m_answers = {};
    const char rate[4] = {byte(baudRate >> 24), byte(baudRate >> 16), byte(baudRate >> 8), byte(baudRate)};
    return sub(SetBaudRate, std::string_view(rate, 4)) + sub(SetDataSize, std::string(1, byte(dataSize))) +
           sub(SetParity, std::string(1, byte(parity))) + sub(SetStopSize, std::string(1, byte(stopSize)));
}

std::string Session::SetControlLine(Control value) { return sub(SetControl, std::string(1, byte(value))); }

std::string Session::Purge(PurgeWhich which) {
    if (which != PurgeTransmit) {
        ++m_purgesPending;
    }
    return sub(PurgeData, std::string(1, byte(which)));
}

}  // namespace telnet
