#include "clocklink/clockwindow.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "serial/comport.h"
#include "utils/text.h"
#include "utils/utf8path.h"

std::string ClockWindow::PortName() const { return "COM" + Trim(ComText()); }

std::string ErrorReportText(const std::string& message)
{
    // Bytes compare unsigned, so the lead bytes of UTF-8 text (>= 0x80) sort
    // after "." and get the full stop; blanks and most signs do not.
    if (!message.empty() && static_cast<unsigned char>(message.back()) <= '.') return message;
    return message + ".";
}

std::string PortLabel(const std::string& portName)
{
    std::string device = ComPortDevice(portName);
    // A link in the ports folder is named by the device it leads to.
    std::error_code error;
    const std::filesystem::path path = PathFromUtf8(device);
    if (!device.empty() && std::filesystem::is_symlink(path, error)) {
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (!error) device = Utf8FromPath(target);
    }
    if (device == portName) return portName;
    return portName + " -> " + (device.empty() ? "no such device" : device);
}

bool IsNoSuchPort(const std::string& portName, const std::exception& error)
{
    // The open's failure with "file not found": ENOENT and
    // ERROR_FILE_NOT_FOUND are both 2. A converter's address fails otherwise.
    const auto* portError = dynamic_cast<const EComPort*>(&error);
    return portError != nullptr && portError->ErrorCode() == 1 && portError->WinErrorCode() == 2 &&
           ComPortNetworkAddress(portName).empty();
}

std::string PortErrorHint(const std::string& portName, const std::exception& error)
{
    const auto* portError = dynamic_cast<const EComPort*>(&error);
    if (portError == nullptr) return {};
    // A converter on the network: what its address lacks, else what the
    // socket layer's number means there.
    if (const std::string address = ComPortNetworkAddress(portName); !address.empty()) {
        const std::string problem = NetworkAddressProblem(address, false);
        return problem.empty() ? NetworkFailureText(portError->WinErrorCode()) : problem;
    }
#ifndef _WIN32
    if (portError->WinErrorCode() == EACCES) {
        const std::string group = ComPortDeviceGroup(portName);
        const std::string device = ComPortDevice(portName);
        if (group.empty()) return "this user may not read and write " + device;
        return "only members of the group " + group + " may use " + device +
               ": add this user to it (adduser USER " + group + ") and log in again";
    }
    if (portError->WinErrorCode() == EBUSY) return "another program is using the port";
#endif
    if (IsNoSuchPort(portName, error)) {
#ifdef _WIN32
        return "there is no serial port " + portName +
               " on this computer; Device Manager lists the ports it has under \"Ports (COM & LPT)\"";
#else
        return "there is no serial port " + portName +
               " on this computer; the serial ports it has are listed in /dev/serial/by-id";
#endif
    }
    return {};
}
