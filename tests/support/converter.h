// A serial-to-Ethernet converter in front of a pseudo-terminal, for tests:
// the real programs sites use, started and stopped by the test, on the
// loopback address only.
//
//   Rfc2217  ser2net with its telnet(rfc2217) accepter: the port's line
//            settings reach the pty (look at it with tcgetattr()).
//   Raw      ser2net with a plain tcp accepter.
//   Socat    socat relaying TCP to the pty, one connection after another.
//
// The constructor returns once the converter listens. Kill() ends it as a
// crash would (SIGKILL: connections are reset), Start() starts it again on
// the same TCP port.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "childprocess.h"

enum class ConverterKind { Rfc2217, Raw, Socat };

class Converter {
public:
    // `device` is the pty's slave path; `baud` the line's speed until a
    // client sets another (RFC 2217) or for good (the others).
    Converter(ConverterKind kind, const std::string& device, int baud = 9600);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // rfc2217://127.0.0.1:PORT or socket://127.0.0.1:PORT
    std::string Url() const;
    int Port() const { return m_port; }
    void Kill();
    void Start();

private:
    ConverterKind m_kind;
    std::string m_device;
    int m_baud;
    int m_port;
    std::string m_dir;
    std::unique_ptr<ChildProcess> m_process;
};

// Waits up to `limit` until something listens on TCP port `port` of the
// loopback address (read from /proc/net/tcp, without connecting).
bool WaitForListener(int port, std::chrono::milliseconds limit);
// A TCP port of the loopback address that nothing uses at the moment.
int FreeLoopbackPort();

// A TCP listener on the loopback address that accepts connections and never
// forwards a byte either way: a converter whose serial side is dead.
class DeafConverter {
public:
    DeafConverter();
    ~DeafConverter();
    DeafConverter(const DeafConverter&) = delete;
    DeafConverter& operator=(const DeafConverter&) = delete;
    std::string Url(const std::string& scheme) const;

private:
    int m_listener = -1;
    int m_port = 0;
};
