#include "clocklink/clockwindow.h"

#include "utils/text.h"

std::string ClockWindow::PortName() const { return "COM" + Trim(ComText()); }

std::string ErrorReportText(const std::string& message)
{
    // Bytes compare unsigned, so the lead bytes of UTF-8 text (>= 0x80) sort
    // after "." and get the full stop; blanks and most signs do not.
    if (!message.empty() && static_cast<unsigned char>(message.back()) <= '.') return message;
    return message + ".";
}
