// The serial port object.
//
// TComPort holds the line settings of one serial device, opens it for
// exclusive use, writes bytes and reads whatever has already arrived without
// waiting. While open with a non-empty event set it runs one event thread
// (TComThread) that watches the line; the work that thread finds is handed to
// the thread that owns the port (smThreadSync) through a queue drained by
// RunPendingComDispatches() and by Close(), and never reads received data.
//
// All operations run on the calling thread and report failures as EComPort.
// The object is not built for concurrent callers. The operating system is
// reached through one backend file per platform (comport_posix.cpp, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "utils/errors.h"

enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};

// A set of TComEvent members, one bit per ordinal.
using TComEvents = std::uint16_t;
constexpr TComEvents ComEventBit(TComEvent e) { return static_cast<TComEvents>(1u << e); }
constexpr TComEvents AllComEvents = 0x03FF;

// Converts between an event set and the Win32 event mask (EV_RXCHAR ...).
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// The bit rate a TBaudRate member stands for (brCustom: `custom`).
std::int32_t BaudRateValue(TBaudRate rate, std::int32_t custom);

// Messages of EComPort, row 1 to 23.
extern const char* const ComErrorMessages[23];

// Every failure of the serial port. `ErrorCode` is the row of
// ComErrorMessages; `WinErrorCode` the operating system's error number of the
// failed call (errno on POSIX), or -1 when the failure has none.
class EComPort : public Exception {
public:
    EComPort(int errorCode, int winErrorCode);  // "<row text> (win error code: N)"
    explicit EComPort(int errorCode);           // "<row text>", WinErrorCode -1
    int ErrorCode() const { return m_errorCode; }
    int WinErrorCode() const { return m_winErrorCode; }

private:
    int m_errorCode;
    int m_winErrorCode;
};

class TCustomComPort;

// The one setter of the port's settings: stores `value` and says whether it
// changed, so that the setting's group is applied only then (at once while
// the port is open; the Apply functions do nothing while closed).
template <class T>
bool StoreChangedSetting(T& field, const T& value) {
    if (field == value) {
        return false;
    }
    field = value;
    return true;
}

// A group of settings owned by the port and applied together: Set stores a
// changed value and applies the group (Group::Apply).
template <class Group>
class TComSettingGroup {
protected:
    template <class T>
    void Set(T& field, const T& value) {
        if (StoreChangedSetting(field, value)) static_cast<Group&>(*this).Apply();
    }
};

// Parity settings, owned by the port.
class TComParity : public TComSettingGroup<TComParity> {
public:
    explicit TComParity(TCustomComPort& port) : m_port(port) {}
    TParityBits Bits() const { return m_bits; }
    bool Check() const { return m_check; }
    bool Replace() const { return m_replace; }
    char ReplaceChar() const { return m_replaceChar; }
    void SetBits(TParityBits value) { Set(m_bits, value); }
    void SetCheck(bool value) { Set(m_check, value); }
    void SetReplace(bool value) { Set(m_replace, value); }
    void SetReplaceChar(char value) { Set(m_replaceChar, value); }
    void Assign(const TComParity& other);

private:
    friend class TComSettingGroup<TComParity>;
    void Apply();  // the group, while the port is open
    TCustomComPort& m_port;
    TParityBits m_bits = prNone;
    bool m_check = false;
    bool m_replace = false;
    char m_replaceChar = 0;
};

// Request time-outs in milliseconds, owned by the port; -1 stands for MAXDWORD.
// With the defaults a read returns at once with what has arrived, and a write
// of n bytes is allowed 100 * n + 1000 ms.
class TComTimeouts : public TComSettingGroup<TComTimeouts> {
public:
    explicit TComTimeouts(TCustomComPort& port) : m_port(port) {}
    std::int32_t ReadInterval() const { return m_readInterval; }
    std::int32_t ReadTotalMultiplier() const { return m_readTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return m_readTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return m_writeTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return m_writeTotalConstant; }
    void SetReadInterval(std::int32_t value) { Set(m_readInterval, value); }
    void SetReadTotalMultiplier(std::int32_t value) { Set(m_readTotalMultiplier, value); }
    void SetReadTotalConstant(std::int32_t value) { Set(m_readTotalConstant, value); }
    void SetWriteTotalMultiplier(std::int32_t value) { Set(m_writeTotalMultiplier, value); }
    void SetWriteTotalConstant(std::int32_t value) { Set(m_writeTotalConstant, value); }
    void Assign(const TComTimeouts& other);

private:
    friend class TComSettingGroup<TComTimeouts>;
    void Apply();  // the group, while the port is open
    TCustomComPort& m_port;
    std::int32_t m_readInterval = -1;
    std::int32_t m_readTotalMultiplier = 0;
    std::int32_t m_readTotalConstant = 0;
    std::int32_t m_writeTotalMultiplier = 100;
    std::int32_t m_writeTotalConstant = 1000;
};

// Handshake settings, owned by the port. The defaults use no handshake and
// hold DTR and RTS off while open.
class TComFlowControl : public TComSettingGroup<TComFlowControl> {
public:
    explicit TComFlowControl(TCustomComPort& port) : m_port(port) {}
    bool OutCTSFlow() const { return m_outCTSFlow; }
    bool OutDSRFlow() const { return m_outDSRFlow; }
    TDTRFlowControl ControlDTR() const { return m_controlDTR; }
    TRTSFlowControl ControlRTS() const { return m_controlRTS; }
    bool XonXoffOut() const { return m_xonXoffOut; }
    bool XonXoffIn() const { return m_xonXoffIn; }
    bool DSRSensitivity() const { return m_dsrSensitivity; }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }
    char XonChar() const { return m_xonChar; }
    char XoffChar() const { return m_xoffChar; }
    void SetOutCTSFlow(bool value) { Set(m_outCTSFlow, value); }
    void SetOutDSRFlow(bool value) { Set(m_outDSRFlow, value); }
    void SetControlDTR(TDTRFlowControl value) { Set(m_controlDTR, value); }
    void SetControlRTS(TRTSFlowControl value) { Set(m_controlRTS, value); }
    void SetXonXoffOut(bool value) { Set(m_xonXoffOut, value); }
    void SetXonXoffIn(bool value) { Set(m_xonXoffIn, value); }
    void SetDSRSensitivity(bool value) { Set(m_dsrSensitivity, value); }
    void SetTxContinueOnXoff(bool value) { Set(m_txContinueOnXoff, value); }
    void SetXonChar(char value) { Set(m_xonChar, value); }
    void SetXoffChar(char value) { Set(m_xoffChar, value); }
    void Assign(const TComFlowControl& other);

private:
    friend class TComSettingGroup<TComFlowControl>;
    void Apply();  // the group, while the port is open
    TCustomComPort& m_port;
    bool m_outCTSFlow = false;
    bool m_outDSRFlow = false;
    TDTRFlowControl m_controlDTR = dtrDisable;
    TRTSFlowControl m_controlRTS = rtsDisable;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
    char m_xonChar = 17;
    char m_xoffChar = 19;
};

// Driver queue sizes in bytes, owned by the port. A positive odd size is
// lowered by one when set.
class TComBuffer : public TComSettingGroup<TComBuffer> {
public:
    explicit TComBuffer(TCustomComPort& port) : m_port(port) {}
    std::int32_t InputSize() const { return m_inputSize; }
    std::int32_t OutputSize() const { return m_outputSize; }
    void SetInputSize(std::int32_t value) { Set(m_inputSize, EvenQueueSize(value)); }
    void SetOutputSize(std::int32_t value) { Set(m_outputSize, EvenQueueSize(value)); }
    void Assign(const TComBuffer& other);

private:
    static std::int32_t EvenQueueSize(std::int32_t value) {
        return (value > 0 && value % 2 != 0) ? value - 1 : value;
    }
    friend class TComSettingGroup<TComBuffer>;
    void Apply();  // the group, while the port is open
    TCustomComPort& m_port;
    std::int32_t m_inputSize = 1024;
    std::int32_t m_outputSize = 1024;
};

class TComThread;
struct ComDevice;  // the platform backend's device state

using TNotifyEvent = std::function<void(TCustomComPort& sender)>;

// All state and behaviour of the serial port.
class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort();  // runs Close() first
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Opens the device, applies all settings and empties both queues, so
    // nothing received before the open is read; nothing when already open.
    void Open();
    // Stops the event thread and releases the device; nothing when closed.
    void Close();

    // Sends the bytes unchanged and waits for completion; returns the count
    // sent. An empty text sends nothing and returns 0. Closed port: code 2.
    std::int32_t WriteText(const std::string& text);
    // Sets `text` to at most `count` bytes that have already arrived (possibly
    // none) without waiting; returns their number. Count <= 0: empty, 0.
    // Closed port or a failed read (a hang-up of the other side): code 3.
    std::int32_t ReadText(std::string& text, std::int32_t count);
    // Bytes waiting in the input queue. Closed port: code 10.
    std::int32_t InputCount();
    // Waits up to `milliseconds` for input to arrive (or the line to hang up,
    // so the next read reports it); true when there is something to read.
    // Not a failure when closed: then it just waits. Lets pollers react to a
    // reply within microseconds instead of sleeping blindly.
    bool WaitForInput(std::int32_t milliseconds);
    // Line errors (framing, overrun, parity, input overflow) the device
    // reported since the port was opened; 0 when closed, and always 0 where
    // the system does not tell them (a pseudo-terminal).
    std::uint32_t LineErrorCount() const;

    bool Connected() const { return m_connected; }
    void SetConnected(bool value);
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value) { SetLine(m_baudRate, value); }
    std::int32_t CustomBaudRate() const { return m_customBaudRate; }
    void SetCustomBaudRate(std::int32_t value) { SetLine(m_customBaudRate, value); }
    const std::string& Port() const { return m_port; }
    void SetPort(const std::string& value);
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value) { SetLine(m_stopBits, value); }
    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value) { SetLine(m_dataBits, value); }
    bool DiscardNull() const { return m_discardNull; }
    void SetDiscardNull(bool value) { SetLine(m_discardNull, value); }
    char EventChar() const { return m_eventChar; }
    void SetEventChar(char value) { SetLine(m_eventChar, value); }
    TComEvents Events() const { return m_events; }
    void SetEvents(TComEvents value) { m_events = value; }
    TSyncMethod SyncMethod() const { return m_syncMethod; }
    void SetSyncMethod(TSyncMethod value);

    TComParity& Parity() { return *m_parity; }
    TComFlowControl& FlowControl() { return *m_flowControl; }
    TComTimeouts& Timeouts() { return *m_timeouts; }
    TComBuffer& Buffer() { return *m_buffer; }
    const TComParity& Parity() const { return *m_parity; }
    const TComFlowControl& FlowControl() const { return *m_flowControl; }
    const TComTimeouts& Timeouts() const { return *m_timeouts; }
    const TComBuffer& Buffer() const { return *m_buffer; }

    TNotifyEvent OnBeforeOpen, OnAfterOpen, OnBeforeClose, OnAfterClose;

    // Apply one group of settings to the open device; nothing while closed.
    // Codes 9 (buffer sizes), 7 (line settings), 8 (time-outs) on refusal.
    virtual void ApplyBufferSizes();
    virtual void ApplyLineSettings();
    virtual void ApplyTimeouts();

protected:
    virtual void OpenDevice();
    virtual void CloseDevice();
    virtual void ApplySettings();
    virtual void DoBeforeOpen();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoAfterClose();

private:
    // Stores a changed line setting and applies the line settings.
    template <class T>
    void SetLine(T& field, const T& value) {
        if (StoreChangedSetting(field, value)) ApplyLineSettings();
    }
    friend class TComThread;
    void DispatchEvents(TComEvents events);

    std::unique_ptr<TComThread> m_thread;  // set while an event thread runs
    std::unique_ptr<ComDevice> m_device;
    bool m_connected = false;
    TBaudRate m_baudRate = br9600;
    std::int32_t m_customBaudRate = 9600;
    std::string m_port = "COM1";
    TStopBits m_stopBits = sbOneStopBit;
    TDataBits m_dataBits = dbEight;
    bool m_discardNull = false;
    char m_eventChar = 0;
    TComEvents m_events = AllComEvents;
    std::unique_ptr<TComParity> m_parity;
    std::unique_ptr<TComFlowControl> m_flowControl;
    std::unique_ptr<TComTimeouts> m_timeouts;
    std::unique_ptr<TComBuffer> m_buffer;
    TSyncMethod m_syncMethod = smThreadSync;
};

// The object the program creates; it adds no behaviour.
class TComPort : public TCustomComPort {};

// Runs the event dispatches that event threads have handed to this thread
// (smThreadSync). The program calls it whenever it lets the window process
// its messages.
void RunPendingComDispatches();
// How many handed-over dispatches wait for RunPendingComDispatches(); each
// one keeps its event thread blocked until it has run.
std::size_t PendingComDispatchCount();

// Where a port name "COMn" is looked for on POSIX systems: the folder
// "ports" in the output folder by default (OutputFolder(), beside the
// executable when the user may write there; see comport_posix.cpp).
// Tests may point it elsewhere; an empty text restores the default.
//
// On POSIX systems "COMn" opens <that folder>/COMn when the entry exists, else
// /dev/ttyS<n-1>; a name starting with "/" opens that path. Open fails with
// code 1 and
// - ENOENT (2) for any other name or an absent device;
// - EACCES (13) for a device the process may not read and write;
// - EBUSY (16) for a device another port object or program holds, root
//   included, or whose lock file names another live process.
// Requests on a closed port carry EBADF (9). A hang-up of the other side fails
// the next read with EIO (5); bytes a read had taken before it are delivered
// first, and a line that hung up has nothing waiting (InputCount 0).
void SetComPortDirectory(const std::string& directory);

// The device an open of `portName` would try now, by the rules above
// ("COM1" gives <port folder>/COM1 or /dev/ttyS0); the network address for a
// port that is one (below); empty for a name that names no device. For
// messages that must say which device failed.
std::string ComPortDevice(const std::string& portName);

// The group whose members may read and write the device `portName` leads to
// (its link followed), when that group may but the others may not: the group
// a user must join to use the port ("dialout" on Debian). Empty when there is
// no such group or the device cannot be looked at, and on Windows.
std::string ComPortDeviceGroup(const std::string& portName);

// Network ports. A port name "socket://HOST:PORT" opens a raw TCP connection
// to a serial-to-Ethernet converter (the converter's line settings apply);
// "rfc2217://HOST:PORT" one that speaks RFC 2217, which carries the port's
// baud rate, data bits, parity and stop bits to the converter. HOST is a
// name, an IPv4 address or an IPv6 address in [ ]. On every system, "COMn"
// opens the network address written on the first line of <port folder>/COMn
// when that entry is a regular file (a link to a device stays a device).
// Reads, writes and their time-outs are those of a local port; a connection
// the converter closes or resets fails the next read (code 3) once the bytes
// that came before are read. Open fails with code 1 and the socket layer's
// error number: a refused or timed-out connection, a converter that does not
// take up RFC 2217, an address that does not read or resolve.
//
// The network address `portName` leads to: the name itself when it holds
// "://", its line in ports.txt, the first line of a ports/COMn file; empty
// for a device.
std::string ComPortNetworkAddress(const std::string& portName);
// ports.txt maps COMn to converters in one file, for systems where a file
// named COM1-COM9 cannot exist (Windows): a line "COM7 rfc2217://HOST:PORT",
// "#" starting a comment, blank lines left out; UTF-8 with or without a
// byte-order mark, or UTF-16 with one. Its line wins over ports/COMn. It
// lies beside the ports folder, in the output folder, or in the folder
// SetComPortDirectory() gave. It is read at every lookup, so an edit counts
// at the next open.
std::string ComPortMapFile();
// Why ports.txt cannot be used, naming the file and the line ("...ports.txt
// line 3: ..."); empty when it reads or there is none. While it has a
// problem, every COMn leads to an address that does not read, so no port
// opens another device than the one meant.
std::string ComPortMapProblem();
// Why a network address cannot be used (unknown scheme, no port number, a
// host that does not resolve when `lookUpHost`), in words for the operator;
// empty when it can.
std::string NetworkAddressProblem(const std::string& url, bool lookUpHost = true);
// The addresses and TCP port a network address reaches, numeric
// ("[10.0.0.5]:4001"), sorted; empty when it does not read or resolve. A
// host's name and its address, in any case, reach the same ones.
std::vector<std::string> NetworkEndpoints(const std::string& url);
// What a network port's failure with error number `error` means, in words
// for the operator ("the converter refused the connection", ...); empty for
// a number that says nothing particular about a network port.
std::string NetworkFailureText(int error);
// How long connecting, and each answer the converter owes while the port
// opens or changes its line, may take: 5000 ms by default.
void SetNetworkConnectTimeout(std::int32_t milliseconds);

// Where POSIX systems keep the UUCP lock files (LCK..<device>) by which
// serial programs tell each other a device is in use: "/var/lock" by default;
// an empty text means none are read or written.
//
// While open, a port holds LCK..<device> there with its PID (ten characters,
// right-aligned, and a newline), <device> being the device path without
// links, relative to /dev, '/' written as '_' (LCK..ttyUSB0, LCK..pts_3); a
// device outside /dev is named by its whole path (see comlock.h). A lock
// naming another live process refuses the open with EBUSY; one whose process
// is gone is cleared. A missing lock directory, or one the process
// may not write to, never stops an open: the port then just holds no lock
// file, and flock() still keeps other port objects out.
void SetComLockDirectory(const std::string& directory);
std::string ComLockDirectory();
// Removes every lock file that the open ports of this process hold, leaving
// the ports themselves open; for a program about to end at once without
// closing them (a second stop signal). Any thread may call it. Nothing on
// systems without lock files.
void RemoveHeldComLockFiles();

// Pauses `milliseconds` exactly, for the pauses the clock needs between
// bytes: never shorter, and longer only by the few microseconds it takes to
// see the deadline pass, however late the system wakes a sleeping thread.
// The pause sleeps on the system's finest timer (not its tick, 15.6 ms by
// default on Windows) until shortly before its deadline, then waits out the
// rest on the processor, watching the steady clock. How early the sleep ends
// follows how late the calling thread's recent wakes were (the 90th
// percentile, up to 0.5 ms), so the processor is busy only for the tail of
// each pause. A thread that waits for a processor longer than that ends its
// pause late.
void ComSleep(std::int32_t milliseconds);
