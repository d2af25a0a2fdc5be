// The window as the layers below it see it.
//
// The clock link, the record decoding and the three operations read the
// window's state through this interface at the moment they need it (every
// command, every record) and never cache it, so a change the operator makes
// during an operation applies from the next command or record on. They write
// their results and messages through it too. The Qt window (TForm1) implements
// it; the command-line front end and the tests have their own implementations.
//
// Every call comes from the thread that runs the operations (the window's
// thread). Texts are byte strings; operator messages are UTF-8.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class ClockWindow {
public:
    virtual ~ClockWindow() = default;

    // --- link settings --------------------------------------------------
    // RS-232 chosen (RadioButton1 checked); otherwise the RS-485 bus.
    virtual bool IsRs232() const = 0;
    // Text of SelectedClock: the clock number on the RS-485 bus, "1".."32".
    virtual std::string SelectedClockText() const = 0;
    // Text of eCom: the COM port number as typed.
    virtual std::string ComText() const = 0;
    // Text of cbBuadRate.
    virtual std::string BaudRateText() const = 0;
    // ChboxIsVireo checked: records use the Vireo layout.
    virtual bool IsVireo() const = 0;
    // The port name an operation opens. The window forms "COM" + trimmed
    // eCom; another front end may name a device path instead.
    virtual std::string PortName() const;

    // --- fields ------------------------------------------------------------
    virtual std::string StartText() const = 0;  // eStart
    virtual void SetStartText(const std::string& text) = 0;
    virtual std::string CountText() const = 0;  // eCount
    virtual void SetCountText(const std::string& text) = 0;
    virtual std::string FromDateText() const = 0;  // edFromDate
    virtual std::string ToDateText() const = 0;    // edToDate

    // --- results (labels are repainted at once) -------------------------------
    virtual void SetRecordTotalText(const std::string& text) = 0;  // LMax
    virtual void SetRecordsReadText(const std::string& text) = 0;  // LCount
    virtual void SetReadIndexText(const std::string& text) = 0;    // lARI
    virtual std::string ReadIndexText() const = 0;
    virtual void SetWriteIndexText(const std::string& text) = 0;  // lAWI
    virtual std::string WriteIndexText() const = 0;
    virtual void SetProgressMaximum(std::int32_t maximum) = 0;  // ProgressBar
    virtual void SetProgressPosition(std::int32_t position) = 0;
    virtual std::int32_t ProgressPosition() const = 0;

    // --- the operation's frame --------------------------------------------
    // Disables (false) or enables (true) the three operation buttons
    // (Button1, Button2, btnSearchPointers); while an operation runs all three
    // are disabled.
    virtual void SetOperationButtonsEnabled(bool enabled) = 0;
    // Shows or hides pnlWait over the date fields.
    virtual void SetWaitPanelVisible(bool visible) = 0;
    // Lets the toolkit dispatch pending window messages once. Operations call
    // ProcessWindowMessages() (clocklink.h), which also runs pending serial
    // port dispatches, rather than this directly.
    virtual void ProcessMessages() = 0;
    // True once the operator has asked to close the window: a running
    // operation stops after its current record.
    virtual bool StopRequested() const = 0;

    // --- messages to the operator (all modal) -------------------------------------
    // The platform's plain message box: no icon, one OK button.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
    // The toolkit's message dialog of the error kind (caption "Error").
    virtual void ShowErrorDialog(const std::string& text) = 0;
    // The toolkit's message dialog of the information kind (caption "Information").
    virtual void ShowInformationDialog(const std::string& text) = 0;
    // The report of an error that escaped an operation: the error's text with
    // "." appended unless it ends in "." or a character before it; caption
    // the executable's name; error icon.
    virtual void ReportError(const std::exception& error) = 0;

    // --- what the clock did, for front ends that tell more than the window ----------
    // The clock answered its record counter with `total` records (0: it holds
    // none). It comes before an operation writes anything, so a front end that
    // keeps the previous run's output files until the clock has answered
    // empties them here. The window does nothing.
    virtual void RecordCounterAnswered(std::int32_t total) { (void)total; }
    // The download is about to end with the record error although nothing at
    // all has arrived from the clock since the last record it delivered: the
    // clock stopped answering rather than answering badly.
    virtual void ClockStoppedAnswering() {}
    // Most records of the download just ended did not read as a date and a
    // time in the layout chosen (IsVireo): the other layout is the likely
    // one. `warning` names it in the operator's words. Comes once, before the
    // run's final message (if any). The download counts as done all the
    // same; the window adds the warning to its final message.
    virtual void RecordLayoutDoubtful(const std::string& warning) { (void)warning; }

    // --- output files ----------------------------------------------------------------
    // One line (CR LF appended, flushed) to Dump.Txt / BadRecs.Txt; raises
    // EInOutError when the file cannot be written.
    virtual void WriteDumpLine(const std::string& line) = 0;
    virtual void WriteBadRecordLine(const std::string& line) = 0;
};

// The error report's text: `message` with "." appended unless its last
// character is "." or sorts before it.
std::string ErrorReportText(const std::string& message);

// The port `portName` with the device an open of it tries, as messages name
// it: "COM1 -> /dev/ttyS0", "COM3 -> no such device", or the name alone when
// it is the device itself (a path, a network address).
std::string PortLabel(const std::string& portName);
// What the operator can do about a port error raised while opening
// `portName`, in a few words; empty when there is nothing to add. A device
// refused for permission names the group whose members may use it.
std::string PortErrorHint(const std::string& portName, const std::exception& error);
// Whether `error` says the port `portName` does not exist on this computer.
bool IsNoSuchPort(const std::string& portName, const std::exception& error);
