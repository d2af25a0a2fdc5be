// The Windows tests' side of winebridge (winebridge.cpp): a Linux program
// that wine/run starts beside the test and names in WINEBRIDGE_PORT. Each
// WineBridge is one connection to it, which gives the test a COM port linked
// to a pseudo-terminal, either with the test as the far end of the line or
// with clocksim on it; closing the connection takes it all down.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class WineBridge {
public:
    // Asks the bridge for `args` ("pty", or "sim" and clocksim's arguments)
    // and reads its first line. Throws when it does not come.
    explicit WineBridge(const std::vector<std::string>& args);
    ~WineBridge();
    WineBridge(const WineBridge&) = delete;
    WineBridge& operator=(const WineBridge&) = delete;

    const std::string& FirstLine() const { return m_firstLine; }

    // Sends all of `bytes`; throws when the bridge has gone.
    void Send(std::string_view bytes);
    // Waits up to `waitMs` for at least `atLeast` bytes, then takes what
    // else is there; Receive(0) takes what is there now.
    std::string Receive(std::size_t atLeast, int waitMs);
    // One request line, and the bridge's one-line answer.
    std::string Ask(const std::string& request);
    // Ends the test's sending side and waits until the bridge has closed
    // everything it holds; idempotent.
    void Finish();
    bool Finished() const { return m_socket == kNone; }

private:
    static constexpr unsigned long long kNone = ~0ull;
    std::string readLine(int waitMs);

    unsigned long long m_socket = kNone;
    std::string m_firstLine;
    std::string m_pending;  // received but not yet taken
};

// A Unix path as this Windows program sees it (Wine's drive Z:).
std::string WindowsPathOf(const std::string& unixPath);
