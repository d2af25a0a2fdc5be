// The shared port variable and the port setup every operation starts with.
#include <memory>

#include "clocklink/clocklink.h"

namespace {

// One per thread: the window runs its operations on one thread, and a
// collection that reads several lines side by side gives each line a thread
// and so a port of its own.
std::unique_ptr<TComPort>& portSlot()
{
    thread_local std::unique_ptr<TComPort> port;
    return port;
}

// Closes `port` when open; an error of that close is of no interest any more,
// since the object is about to go.
void closeQuietly(TComPort& port)
{
    try {
        port.Close();
    } catch (const std::exception&) {
    }
}

}  // namespace

TComPort* SharedPort() { return portSlot().get(); }

TComPort& ReplaceSharedPort()
{
    ReleaseSharedPort();
    portSlot() = std::make_unique<TComPort>();
    return *portSlot();
}

void CloseSharedPort()
{
    if (TComPort* port = SharedPort()) port->Close();
}

void ReleaseSharedPort()
{
    // Take the object out of the variable first, so nothing reaches a port
    // that is being torn down.
    std::unique_ptr<TComPort> old = std::move(portSlot());
    if (old) closeQuietly(*old);
}

void OpenSharedPort(ClockWindow& window)
{
    TComPort* port = SharedPort();
    if (!port || port->Connected()) return;
    port->Open();
    DrainLine(window);
}

TBaudRate BaudRateFromText(std::string_view text)
{
    if (text == "2400") return br2400;
    if (text == "4800") return br4800;
    if (text == "9600") return br9600;
    if (text == "19200") return br19200;
    if (text == "57600") return br57600;
    return br9600;
}

TComPort& SetUpPortFromWindow(const ClockWindow& window)
{
    TComPort& port = ReplaceSharedPort();
    port.SetPort(window.PortName());
    port.SetBaudRate(BaudRateFromText(window.BaudRateText()));
    port.Parity().SetBits(prNone);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    return port;
}

void ProcessWindowMessages(ClockWindow& window)
{
    RunPendingComDispatches();
    window.ProcessMessages();
}
