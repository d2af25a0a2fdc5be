#include "ptypeer.h"

#include <stdexcept>

#include "winebridgeclient.h"

PtyPeer::PtyPeer() : m_bridge(new WineBridge({"pty"})) { m_slavePath = m_bridge->FirstLine(); }

PtyPeer::~PtyPeer() { delete m_bridge; }

void PtyPeer::Send(std::string_view bytes)
{
    try {
        m_bridge->Send(bytes);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("write to the pty master failed");
    }
}

std::string PtyPeer::Receive(std::size_t atLeast, int waitMs) { return m_bridge->Receive(atLeast, waitMs); }

void PtyPeer::HangUp() { m_bridge->Finish(); }
