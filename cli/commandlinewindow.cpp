#include "commandlinewindow.h"

#include <filesystem>
#include <iterator>
#include <system_error>

#include "messages.h"
#include "clocklink/clocklink.h"
#include "collect/punchstore.h"
#include "collect/storewriter.h"
#include "process.h"
#include "serial/comport.h"
#include "utils/outputfolder.h"
#include "utils/text.h"
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

namespace {

// The reason an error gives. The port's error number is Windows's where the
// message says "win error code"; elsewhere it is the system's own, given as
// the system words it.
std::string ReasonOf(const std::exception& error)
{
#ifndef _WIN32
    if (const auto* port = dynamic_cast<const EComPort*>(&error);
        port && port->WinErrorCode() >= 0 && port->ErrorCode() >= 1 && port->ErrorCode() <= 23)
        return std::string(ComErrorMessages[port->ErrorCode() - 1]) + " (" +
               std::generic_category().message(port->WinErrorCode()) + ")";
#endif
    return error.what();
}

}  // namespace

int StatusOfError(const std::exception& error)
{
    if (dynamic_cast<const EComPort*>(&error)) return kExitPortError;
    // A store that is not one, or damaged, is bad input: exit 2.
    // Records refused for their layout: the run's setting is wrong.
    if (dynamic_cast<const collect::WrongLayout*>(&error)) return kExitBadInput;
    if (const auto* store = dynamic_cast<const collect::StoreError*>(&error))
        return store->kind() == collect::StoreError::NotAStore ||
                       store->kind() == collect::StoreError::Damaged
                   ? kExitBadInput
                   : kExitOtherError;
    return kExitOtherError;
}

CommandLineWindow::CommandLineWindow(const Options& options, ProgressMeter& progress, std::FILE* messages,
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
    m_portLabel = PortLabel(PortName());
    m_heardAtStart = CharactersReceived();
    m_suggestOtherBus = options.clockList.empty();
}

void CommandLineWindow::OpenOutputFiles(const std::string& directory, bool append)
{
    m_outputEmptied = append;
    if (const std::string problem = PrepareOutputFolder(directory); !problem.empty())
        throw EInOutError("cannot create Dump.Txt and BadRecs.Txt in " + directory + ": " + problem);
    m_dump.Open(PathInFolder(directory, "Dump.Txt"));
    try {
        m_badRecords.Open(PathInFolder(directory, "BadRecs.Txt"));
    } catch (...) {
        m_dump.Close();
        throw;
    }
}

void CommandLineWindow::RecordCounterAnswered(std::int32_t total)
{
    // The other bus's counter only tells whether a clock is there, and the
    // date search's says how far the records go: neither starts the output.
    if (m_tryingOtherBus || m_searching) return;
    if (total == 0) m_clockHoldsNoRecords = true;
    // The clock is there and talking: from here on this run's output
    // replaces the last one's.
    if (m_outputEmptied || !m_dump.IsOpen()) return;
    m_outputEmptied = true;
    m_dump.Empty();
    m_badRecords.Empty();
}

void CommandLineWindow::ResetOutcome()
{
    m_heardAtStart = CharactersReceived();
    m_status = kExitComplete;
    m_clockHoldsNoRecords = false;
    m_clockStoppedAnswering = false;
    m_lastSaid.clear();
}

void CommandLineWindow::CloseOutputFiles()
{
    m_badRecords.Close();
    m_dump.Close();
}

void CommandLineWindow::Fail(int status)
{
    if (m_status == kExitComplete) m_status = status;
}

std::string CommandLineWindow::PortName() const
{
    return m_options.portPath.empty() ? ClockWindow::PortName() : m_options.portPath;
}

void CommandLineWindow::SetProgressMaximum(std::int32_t maximum)
{
    m_progressMaximum = maximum;
    m_progressPosition = 0;
    m_progress.Start(maximum);
}

void CommandLineWindow::SetProgressPosition(std::int32_t position)
{
    m_progressPosition = position;
    m_progress.Update(position);
}

void CommandLineWindow::SetWaitPanelVisible(bool visible)
{
    m_searching = visible;
    if (visible) Say(std::string(kWaitPanelLabel) + " - " + std::string(kWaitPanelText));
}

void CommandLineWindow::ProcessMessages()
{
    StopRequested();
    if (const TComPort* port = SharedPort()) m_progress.SetLineErrors(port->LineErrorCount());
    m_progress.Tick();
}

bool CommandLineWindow::StopRequested() const
{
    const bool stop = m_stopRequested && m_stopRequested();
    if (stop && !m_stopNoticed) {
        m_stopNoticed = true;
        Say(m_program + (Downloads(m_options) ? ": stopping after the current record" : ": stopping"));
    }
    return stop;
}

void CommandLineWindow::ShowMessageBox(const std::string& text, const std::string& caption)
{
    // A clock that holds no records has nothing to give: no failure.
    if (text == kCommunicationErrorText && m_clockHoldsNoRecords) {
        Say(m_program + ": " + Where() + ": the clock holds no records");
        return;
    }
    if (text == kCommunicationErrorText) {
        SayError(CharactersReceived() == m_heardAtStart ? "no answer within 5 s"
                                                        : "no usable answer to the record counter within 5 s",
                 text);
        SuggestOtherBus();
    } else if (text == kRecordErrorText && m_clockStoppedAnswering) {
        SayError("the clock stopped answering", text);
        Fail(kExitCommunicationError);
        return;
    } else if (text == kRecordErrorText) {
        SayError("six unusable record answers in a row", text);
    } else {
        SayError(caption + ": " + text);
    }
    Fail(StatusOfMessageBox(text));
}

void CommandLineWindow::SuggestOtherBus()
{
    TComPort* port = SharedPort();
    if (!m_suggestOtherBus || port == nullptr || !port->Connected() || StopRequested()) return;
    m_tryingOtherBus = true;
    std::int32_t total = 0;
    try {
        DrainLine(*this);
        total = QueryRecordCounter(*this, 15);
    } catch (const std::exception&) {
        // Only a hint was at stake; the failure itself has been reported.
    }
    m_tryingOtherBus = false;
    if (total <= 0) return;
    // The hint follows the failure; the failure stays the run's last word
    // (the status file's last error).
    const std::string failure = m_lastSaid;
    Say(m_program + (m_options.rs232 ? ": clock " + m_clock + " answers on RS-485: try --bus rs485"
                                     : ": a clock answers on RS-232: try --bus rs232"));
    m_lastSaid = failure;
}

void CommandLineWindow::ShowErrorDialog(const std::string& text)
{
    if (text == kClockDateErrorText) {
        SayError("warning: the clock's date could not be read", text);
    } else if (text == kCountInvalidText) {
        SayError("the record count is negative", text);
    } else if (text == kStartInvalidText) {
        SayError("the start index is negative", text);
    } else if (text == kFromDateInvalidText) {
        SayError("the --from date is not a number", text);
    } else if (text == kToDateInvalidText) {
        SayError("the --to date is not a number", text);
    } else {
        std::string reason = "Error: " + text;
        for (std::size_t i = 0; i < std::size(kSearchErrorLabels); ++i)
            if (text.compare(0, kSearchErrorLabels[i].size(), kSearchErrorLabels[i]) == 0)
                reason = std::string(kSearchErrorReasons[i]) + " (" + text + ")";
        SayError(reason);
    }
    Fail(StatusOfErrorDialog(text));
}

void CommandLineWindow::ShowInformationDialog(const std::string& text)
{
    // The search shows this dialog only when it has found both positions.
    // Its second line speaks of the window's fields; the command line prints
    // its own results.
    m_searchDone = true;
    if (text.compare(0, kSearchDoneText.size(), kSearchDoneText) == 0)
        Say(m_program + ": " + Where() + ": the pointers were read successfully (" +
            std::string(kSearchDoneText) + ")");
    else
        Say("Information: " + text);
}

void CommandLineWindow::ReportError(const std::exception& error)
{
    std::string reason = ReasonOf(error);
    const std::string hint = PortErrorHint(PortName(), error);
    // An absent port is said in words; its error number tells a clerk nothing.
    if (IsNoSuchPort(PortName(), error))
        reason = hint;
    else if (!hint.empty())
        reason += "; " + hint;
    SayError(ErrorReportText(reason));
    Fail(StatusOfError(error));
}

std::string ShellWord(const std::string& text)
{
    return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
}

void CommandLineWindow::RecordLayoutDoubtful(const std::string& warning)
{
    if (!m_options.newOnly) {
        SayError("warning: " + warning + (m_options.vireo ? "; try without --vireo" : "; try --vireo"));
        return;
    }
    // The records are stored raw as well, so what this run stored can be
    // written again in the other layout; the next runs need the setting.
    const std::string folder = ShellWord(m_options.outDirectory);
    const char* other = m_options.vireo ? "standard" : "vireo";
    SayError("warning: " + warning + "; collect " +
             (m_options.siteFile.empty()
                  ? std::string(m_options.vireo ? "without --vireo" : "with --vireo")
                  : std::string("with the layout ") + other + " in " + m_options.siteFile) +
             " from now on, and write the records stored so far in that layout with: " + m_program +
             " export --out " + folder + " --layout " + other);
}

std::string CommandLineWindow::Where() const
{
    return m_portLabel + (m_options.rs232 ? ", RS-232" : ", RS-485") + ", clock " + m_clock;
}

void CommandLineWindow::SayError(const std::string& reason, std::string_view windowText) const
{
    std::string line = m_program + ": " + Where() + ": " + reason;
    if (!windowText.empty()) line += " (" + Trim(windowText) + ")";
    Say(line);
}

void CommandLineWindow::Say(const std::string& text) const
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
    m_lastSaid = line.compare(0, m_program.size() + 2, m_program + ": ") == 0
                     ? line.substr(m_program.size() + 2)
                     : line;
    WriteText(m_messages, LogLine(m_progress.Terminal(), line) + "\n");
    std::fflush(m_messages);
}

}  // namespace cli
