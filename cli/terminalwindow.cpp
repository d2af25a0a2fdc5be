#include "terminalwindow.h"

#include <filesystem>

#include "clocklink/clocklink.h"
#include "messages.h"
#include "process.h"
#include "serial/comport.h"
#include "utils/utf8path.h"

namespace cli {

int StatusOfMessageBox(const std::string& text)
{
    if (text == kCommunicationErrorText) return kExitCommunicationError;
    if (text == kRecordErrorText) return kExitRecordError;
    // The window shows plain message boxes for failures only.
    return kExitOtherError;
}

int StatusOfErrorDialog(const std::string& text)
{
    if (text == kClockDateErrorText) return kExitComplete;
    if (text == kCountInvalidText || text == kFromDateInvalidText || text == kToDateInvalidText)
        return kExitBadInput;
    for (std::string_view label : kSearchErrorLabels)
        if (text.compare(0, label.size(), label) == 0) return kExitCommunicationError;
    return kExitOtherError;
}

int StatusOfError(const std::exception& error)
{
    return dynamic_cast<const EComPort*>(&error) ? kExitPortError : kExitOtherError;
}

TerminalWindow::TerminalWindow(const Options& options, ProgressMeter& progress, std::FILE* messages,
                               std::string program, std::function<bool()> stopRequested)
    : m_options(options),
      m_progress(progress),
      m_messages(messages),
      m_program(std::move(program)),
      m_stopRequested(std::move(stopRequested)),
      m_clock(options.clock),
      m_start(options.start),
      m_count(options.count)
{
    const std::string name = PortName();
    const std::string device = ComPortDevice(name);
    if (device == name)
        m_portLabel = name;
    else
        m_portLabel = name + " -> " + (device.empty() ? "no such device" : device);
}

void TerminalWindow::OpenOutputFiles(const std::string& directory, bool append)
{
    m_outputEmptied = append;
    std::filesystem::create_directories(PathFromUtf8(directory));
    m_dump.Open(Utf8FromPath(PathFromUtf8(directory) / "Dump.Txt"));
    try {
        m_badRecords.Open(Utf8FromPath(PathFromUtf8(directory) / "BadRecs.Txt"));
    } catch (...) {
        m_dump.Close();
        throw;
    }
}

void TerminalWindow::RecordCounterAnswered(std::int32_t total)
{
    if (total == 0) m_clockHoldsNoRecords = true;
    // The clock is there and talking: from here on this run's output
    // replaces the last one's.
    if (m_outputEmptied || !m_dump.IsOpen()) return;
    m_outputEmptied = true;
    m_dump.Empty();
    m_badRecords.Empty();
}

void TerminalWindow::ResetOutcome()
{
    m_status = kExitComplete;
    m_clockHoldsNoRecords = false;
    m_clockStoppedAnswering = false;
}

void TerminalWindow::CloseOutputFiles()
{
    m_badRecords.Close();
    m_dump.Close();
}

void TerminalWindow::Fail(int status)
{
    if (m_status == kExitComplete) m_status = status;
}

std::string TerminalWindow::PortName() const
{
    return m_options.portPath.empty() ? ClockWindow::PortName() : m_options.portPath;
}

void TerminalWindow::SetProgressMaximum(std::int32_t maximum)
{
    m_progressMaximum = maximum;
    m_progressPosition = 0;
    m_progress.Start(maximum);
}

void TerminalWindow::SetProgressPosition(std::int32_t position)
{
    m_progressPosition = position;
    m_progress.Update(position);
}

void TerminalWindow::SetWaitPanelVisible(bool visible)
{
    if (visible) Say(std::string(kWaitPanelLabel) + " - " + std::string(kWaitPanelText));
}

void TerminalWindow::ProcessMessages()
{
    StopRequested();
    if (const TComPort* port = SharedPort()) m_progress.SetLineErrors(port->LineErrorCount());
    m_progress.Tick();
}

bool TerminalWindow::StopRequested() const
{
    const bool stop = m_stopRequested && m_stopRequested();
    if (stop && !m_stopNoticed) {
        m_stopNoticed = true;
        Say(m_program + (Downloads(m_options) ? ": stopping after the current record" : ": stopping"));
    }
    return stop;
}

void TerminalWindow::ShowMessageBox(const std::string& text, const std::string& caption)
{
    // A clock that holds no records has nothing to give: no failure.
    if (text == kCommunicationErrorText && m_clockHoldsNoRecords) {
        Say(m_program + ": the clock holds no records");
        return;
    }
    Say(caption + ": " + text);
    if (text == kRecordErrorText && m_clockStoppedAnswering) {
        Say(m_program + ": the clock stopped answering");
        Fail(kExitCommunicationError);
        return;
    }
    Fail(StatusOfMessageBox(text));
}

void TerminalWindow::ShowErrorDialog(const std::string& text)
{
    Say("Error: " + text);
    Fail(StatusOfErrorDialog(text));
}

void TerminalWindow::ShowInformationDialog(const std::string& text)
{
    // The search shows this dialog only when it has found both positions.
    m_searchDone = true;
    Say("Information: " + text);
}

void TerminalWindow::ReportError(const std::exception& error)
{
    // The port's messages carry no name; the operator needs the device.
    const bool portError = dynamic_cast<const EComPort*>(&error) != nullptr;
    Say(m_program + ": " + (portError ? m_portLabel + ": " : "") + ErrorReportText(error.what()));
    Fail(StatusOfError(error));
}

void TerminalWindow::Say(const std::string& text) const
{
    m_progress.Clear();
    // Dialog texts break lines with CR LF; a terminal wants LF alone. Other
    // control characters (a clock's raw reply) are shown as escapes, so they
    // cannot move the cursor or garble the terminal.
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) {
            line.push_back(static_cast<char>(c));
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            line += escape;
        }
    }
    WriteText(m_messages, line + "\n");
    std::fflush(m_messages);
}

}  // namespace cli
