// A window for tests: the state the operations read and write, held in plain
// members, and a log of every message shown to the operator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "clocklink/clockwindow.h"
#include "utils/errors.h"

struct ShownMessage {
    enum Kind { MessageBox, ErrorDialog, InformationDialog, ErrorReport } kind;
    std::string text;
    std::string caption;  // MessageBox only
};

class FakeWindow : public ClockWindow {
public:
    // Window defaults.
    bool rs232 = true;
    std::string selectedClock = "1";
    std::string com = "1";
    std::string baudRate = "9600";
    bool vireo = false;
    std::string portName;  // when not empty, the port opened instead of "COM" + com
    std::string start = "0";
    std::string count = "19500";
    std::string fromDate = "880101";
    std::string toDate = "880501";

    std::string recordTotal, recordsRead, readIndex, writeIndex;
    std::int32_t progressMaximum = 100, progressPosition = 0;
    bool buttonsEnabled = true;
    bool waitPanelVisible = false;
    bool stopRequested = false;
    int processMessagesCalls = 0;
    std::vector<ShownMessage> messages;
    std::vector<std::string> dumpLines, badRecordLines;
    bool failDumpWrites = false;
    // Totals the clock answered its record counter with, and whether a
    // download gave up on a clock that had gone silent.
    std::vector<std::int32_t> countersAnswered;
    bool clockStoppedAnswering = false;
    // The warning of a download whose records did not fit the layout chosen.
    std::string layoutWarning;
    // Called on every ProcessMessages(), e.g. to act as the operator mid-run.
    std::function<void(FakeWindow&)> onProcessMessages;
    // Called on every message shown, before it is logged.
    std::function<void(FakeWindow&, const ShownMessage&)> onMessage;

    bool IsRs232() const override { return rs232; }
    std::string SelectedClockText() const override { return selectedClock; }
    std::string ComText() const override { return com; }
    std::string BaudRateText() const override { return baudRate; }
    bool IsVireo() const override { return vireo; }
    std::string PortName() const override { return portName.empty() ? ClockWindow::PortName() : portName; }

    std::string StartText() const override { return start; }
    void SetStartText(const std::string& text) override { start = text; }
    std::string CountText() const override { return count; }
    void SetCountText(const std::string& text) override { count = text; }
    std::string FromDateText() const override { return fromDate; }
    std::string ToDateText() const override { return toDate; }

    void SetRecordTotalText(const std::string& text) override { recordTotal = text; }
    void SetRecordsReadText(const std::string& text) override { recordsRead = text; }
    void SetReadIndexText(const std::string& text) override { readIndex = text; }
    std::string ReadIndexText() const override { return readIndex; }
    void SetWriteIndexText(const std::string& text) override { writeIndex = text; }
    std::string WriteIndexText() const override { return writeIndex; }
    void SetProgressMaximum(std::int32_t maximum) override { progressMaximum = maximum; }
    void SetProgressPosition(std::int32_t position) override { progressPosition = position; }
    std::int32_t ProgressPosition() const override { return progressPosition; }

    void SetOperationButtonsEnabled(bool enabled) override { buttonsEnabled = enabled; }
    void SetWaitPanelVisible(bool visible) override { waitPanelVisible = visible; }
    void ProcessMessages() override
    {
        ++processMessagesCalls;
        if (onProcessMessages) onProcessMessages(*this);
    }
    bool StopRequested() const override { return stopRequested; }

    void ShowMessageBox(const std::string& text, const std::string& caption) override
    {
        show({ShownMessage::MessageBox, text, caption});
    }
    void ShowErrorDialog(const std::string& text) override
    {
        show({ShownMessage::ErrorDialog, text, "Error"});
    }
    void ShowInformationDialog(const std::string& text) override
    {
        show({ShownMessage::InformationDialog, text, "Information"});
    }
    void ReportError(const std::exception& error) override
    {
        show({ShownMessage::ErrorReport, ErrorReportText(error.what()), ""});
    }

    void RecordCounterAnswered(std::int32_t total) override { countersAnswered.push_back(total); }
    void ClockStoppedAnswering() override { clockStoppedAnswering = true; }
    void RecordLayoutDoubtful(const std::string& warning) override { layoutWarning = warning; }

    void WriteDumpLine(const std::string& line) override
    {
        if (failDumpWrites) throw EInOutError("Cannot write to Dump.Txt: disk full");
        dumpLines.push_back(line);
    }
    void WriteBadRecordLine(const std::string& line) override { badRecordLines.push_back(line); }

private:
    void show(const ShownMessage& message)
    {
        if (onMessage) onMessage(*this, message);
        messages.push_back(message);
    }
};
