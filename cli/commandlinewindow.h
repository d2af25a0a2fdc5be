// The window as a terminal: ClockWindow for clockreader-cli.
//
// The settings come from the command line and stay fixed for the run; the
// fields the operations fill (eStart and eCount after a search, the counters,
// the pointers) are kept so the front end can print them. Progress goes to a
// ProgressMeter, and every message the window would show in a box or dialog
// is written to standard error instead, never waiting for an operator.
//
// From the messages it shows, the window tells how the operation ended: the
// first failure decides the exit status (see ExitStatus). The clock date
// warning is only a message, since the download goes on after it. What the
// window's messages do not tell apart, the clock link reports besides: a
// clock that answered it holds no records is no failure, and a clock that
// stopped answering is a communication error, not a record error.
//
// Dump.Txt and BadRecs.Txt are taken (held, not emptied) before the operation
// starts, and emptied only once the clock has answered its record counter, so
// a run that is refused or reaches no clock leaves the last run's files as
// they were.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "clocklink/clockwindow.h"
#include "options.h"
#include "progress.h"
#include "utils/textfile.h"

namespace cli {

// `text` as one word of a command line to copy: in quotes when it holds a
// blank.
std::string ShellWord(const std::string& text);

class CommandLineWindow : public ClockWindow {
public:
    // `stopRequested` is asked whenever an operation wants to know whether
    // to stop; `program` names the program in error reports. The port's
    // device is looked up here, so a port error names the device the run
    // tried even when a link to it is gone by then.
    CommandLineWindow(const Options& options, ProgressMeter& progress, std::FILE* messages,
                      std::string program, std::function<bool()> stopRequested);

    // Creates `directory` when missing and takes Dump.Txt and BadRecs.Txt in
    // it, keeping what they hold until the clock answers its record counter;
    // with `append` for good, new lines going after them. Raises EFileInUse
    // when another program holds either (both are then left as they were),
    // and EInOutError, which says why (a read-only folder says so), when the
    // folder cannot be made or written.
    void OpenOutputFiles(const std::string& directory, bool append = false);
    // The two files while they are open.
    TextFile& DumpFile() { return m_dump; }
    TextFile& BadRecordsFile() { return m_badRecords; }
    // Closes both files; raises EInOutError when a close fails.
    void CloseOutputFiles();

    // The exit status the operations' messages amount to so far.
    int Status() const { return m_status; }
    // Records a failure unless one is already recorded.
    void Fail(int status);
    // Forgets how the last operation ended, so the next one (the next clock
    // of a sweep) has an outcome of its own.
    void ResetOutcome();
    // The clock the next operation talks to, as SelectedClock.
    void SetSelectedClock(const std::string& clock) { m_clock = clock; }

    // The clock answered its record counter with 0.
    bool ClockHoldsNoRecords() const { return m_clockHoldsNoRecords; }
    // The date-range search ended with its success message.
    bool SearchDone() const { return m_searchDone; }
    // Writes `text` to the message stream, as the window's messages are:
    // one log line, which starts with the time when the stream is no
    // terminal.
    void Say(const std::string& text) const;
    // The last line said since the outcome was last reset, without the
    // program's name: what a status file gives as a clock's last error.
    const std::string& LastSaid() const { return m_lastSaid; }
    // Records the clock flagged, written to BadRecs.Txt.
    std::int64_t FlaggedWritten() const { return m_flaggedWritten; }
    const std::string& ProgramName() const { return m_program; }
    // Port (with its device), bus and clock of the run: "COM1 -> /dev/ttyS0,
    // RS-232, clock 1".
    std::string Where() const;
    // One error line: the program, Where(), the reason in English and, when
    // the window has one, its Persian text in brackets.
    void SayError(const std::string& reason, std::string_view windowText = {}) const;

    std::string RecordTotalText() const { return m_recordTotal; }
    std::string RecordsReadText() const { return m_recordsRead; }
    std::int32_t ProgressMaximum() const { return m_progressMaximum; }

    bool IsRs232() const override { return m_options.rs232 != m_tryingOtherBus; }
    std::string SelectedClockText() const override { return m_clock; }
    std::string ComText() const override { return m_options.comText; }
    std::string BaudRateText() const override { return m_options.baudRate; }
    bool IsVireo() const override { return m_options.vireo; }
    std::string PortName() const override;

    std::string StartText() const override { return m_start; }
    void SetStartText(const std::string& text) override { m_start = text; }
    std::string CountText() const override { return m_count; }
    void SetCountText(const std::string& text) override { m_count = text; }
    std::string FromDateText() const override { return m_options.fromDate; }
    std::string ToDateText() const override { return m_options.toDate; }

    void SetRecordTotalText(const std::string& text) override { m_recordTotal = text; }
    void SetRecordsReadText(const std::string& text) override { m_recordsRead = text; }
    void SetReadIndexText(const std::string& text) override { m_readIndex = text; }
    std::string ReadIndexText() const override { return m_readIndex; }
    void SetWriteIndexText(const std::string& text) override { m_writeIndex = text; }
    std::string WriteIndexText() const override { return m_writeIndex; }
    void SetProgressMaximum(std::int32_t maximum) override;
    void SetProgressPosition(std::int32_t position) override;
    std::int32_t ProgressPosition() const override { return m_progressPosition; }

    void SetOperationButtonsEnabled(bool) override {}
    void SetWaitPanelVisible(bool visible) override;
    void ProcessMessages() override;
    bool StopRequested() const override;

    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    void ShowErrorDialog(const std::string& text) override;
    void ShowInformationDialog(const std::string& text) override;
    void ReportError(const std::exception& error) override;

    void RecordCounterAnswered(std::int32_t total) override;
    void ClockStoppedAnswering() override { m_clockStoppedAnswering = true; }
    void RecordLayoutDoubtful(const std::string& warning) override;

    void WriteDumpLine(const std::string& line) override { m_dump.WriteLine(line); }
    void WriteBadRecordLine(const std::string& line) override
    {
        m_badRecords.WriteLine(line);
        ++m_flaggedWritten;
    }

private:
    void SuggestOtherBus();

    const Options& m_options;
    ProgressMeter& m_progress;
    std::FILE* m_messages;
    std::string m_program;
    std::function<bool()> m_stopRequested;
    std::string m_portLabel;  // "COM1 -> /dev/ttyS0", or the device path given
    // After a clock that does not answer, the record counter is tried once
    // more in the other bus's form, and that bus suggested when a clock
    // answers it. It costs one more time-out on a run that has failed
    // already; a sweep, where silent addresses are expected, does not ask.
    bool m_suggestOtherBus = false;
    bool m_tryingOtherBus = false;
    bool m_searching = false;  // the date search's wait panel is up
    // Characters the clock link had received when the operation began: a
    // clock that sent nothing since did not answer at all.
    std::uint64_t m_heardAtStart = 0;
    mutable bool m_stopNoticed = false;
    int m_status = kExitComplete;
    bool m_clockHoldsNoRecords = false;
    bool m_clockStoppedAnswering = false;
    bool m_searchDone = false;
    bool m_outputEmptied = false;
    mutable std::string m_lastSaid;
    std::int64_t m_flaggedWritten = 0;

    std::string m_clock, m_start, m_count;
    std::string m_recordTotal, m_recordsRead, m_readIndex, m_writeIndex;
    std::int32_t m_progressMaximum = 100, m_progressPosition = 0;
    TextFile m_dump, m_badRecords;
};

// The exit status that a message of the operations stands for, or
// kExitComplete when it reports no failure.
int StatusOfMessageBox(const std::string& text);
int StatusOfErrorDialog(const std::string& text);
int StatusOfError(const std::exception& error);

}  // namespace cli
