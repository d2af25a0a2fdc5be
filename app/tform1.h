// The main window: every setting the operator gives, every result the
// operations show, the two output files, and the three operation buttons.
//
// The form comes from tform1.ui (all controls with their defaults). TForm1
// is the ClockWindow the operations below the window read and write at every
// command and record; its handlers only start those operations. Nothing a
// handler raises ever leaves it: what escapes is reported in a message box and
// the window stays usable, its operation buttons enabled again and the port
// closed. Dump.Txt and BadRecs.Txt in the output folder (beside the executable
// when the user may write there, see utils/outputfolder.h) are created empty
// when the window is built, held for its whole life and closed when it closes;
// a file that cannot be created is reported, and writing to it later fails
// with a reported I/O error. Files another program holds are reported and
// left alone, and the window then closes.
//
// Everything runs on the window's thread. While an operation runs all three
// operation buttons are disabled; a close request during an operation asks it
// to stop and closes the window once it has returned.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/dialogs.h"
#include "clocklink/clockwindow.h"
#include "utils/textfile.h"

namespace Ui {
class TForm1;
}
class QKeyEvent;

class TForm1 : public QWidget, public ClockWindow {
    Q_OBJECT

public:
    // Builds the window from its stored layout and runs FormCreate. With a
    // hook, every dialog (those of FormCreate included) goes to it instead of
    // being shown.
    explicit TForm1(DialogHook dialogHook = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // The controls, by their names in the form.
    Ui::TForm1& ui() { return *m_ui; }

    // --- handlers -------------------------------------------------------------
    void FormCreate();
    void FormClose();
    void RadioButton1Click();
    void RadioButton2Click();
    // True when the key produces a character, which is then discarded.
    bool cbBuadRateKeyPress(const QKeyEvent& event);
    void ChboxIsVireoClick();
    void chboxVireoFromToDateClick();
    void Button1Click();
    void Button2Click();
    void btnSearchPointersClick();

    bool OperationRunning() const { return m_operationRunning; }
    // True when another program held Dump.Txt or BadRecs.Txt at FormCreate:
    // the window has said so, touched neither file, and is not to be shown.
    bool OutputFilesInUse() const { return m_outputFilesInUse; }

    // --- ClockWindow ------------------------------------------------------------
    bool IsRs232() const override;
    std::string SelectedClockText() const override;
    std::string ComText() const override;
    std::string BaudRateText() const override;
    bool IsVireo() const override;

    std::string StartText() const override;
    void SetStartText(const std::string& text) override;
    std::string CountText() const override;
    void SetCountText(const std::string& text) override;
    std::string FromDateText() const override;
    std::string ToDateText() const override;

    void SetRecordTotalText(const std::string& text) override;
    void SetRecordsReadText(const std::string& text) override;
    void SetReadIndexText(const std::string& text) override;
    std::string ReadIndexText() const override;
    void SetWriteIndexText(const std::string& text) override;
    std::string WriteIndexText() const override;
    // A maximum below the minimum 0 raises "QProgressBar property out of range".
    void SetProgressMaximum(std::int32_t maximum) override;
    // Kept within the bar's range.
    void SetProgressPosition(std::int32_t position) override;
    std::int32_t ProgressPosition() const override;

    void SetOperationButtonsEnabled(bool enabled) override;
    void SetWaitPanelVisible(bool visible) override;
    void ProcessMessages() override;
    bool StopRequested() const override { return m_stopRequested; }

    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    void ShowErrorDialog(const std::string& text) override;
    void ShowInformationDialog(const std::string& text) override;
    void ReportError(const std::exception& error) override;

    void RecordLayoutDoubtful(const std::string& warning) override;

    void WriteDumpLine(const std::string& line) override;
    void WriteBadRecordLine(const std::string& line) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Runs `action`, reporting whatever it raises.
    void guarded(const std::function<void()>& action);
    // Runs one operation with all operation buttons disabled; afterwards the
    // buttons are enabled, the wait panel hidden and the port closed whatever
    // happened, and a close asked for meanwhile is carried out.
    // The focus goes back to `starter`, the button that started it.
    void runOperation(const std::function<void(ClockWindow&)>& operation, QWidget* starter);
    // A key in SelectedClock while the bus is RS-485: typed digits, Home,
    // End, PageUp, PageDown and the arrows set the clock number. True when
    // the key was taken.
    bool selectedClockKey(const QKeyEvent& key);
    void showDialog(const ShownDialog& dialog);
    void placeWaitPanel();
    // Renames the previous run's non-empty pair of output files to .bak
    // (those of them that were there at start) and opens both anew.
    void keepPreviousFiles(bool dumpExisted, bool badRecordsExisted);
    void setUpStatusPanel();

    std::unique_ptr<Ui::TForm1> m_ui;
    DialogHook m_dialogHook;
    // Declared in this order: the dump file is created first and, when the
    // window is destroyed, closed last.
    TextFile m_dumpFile;
    TextFile m_badRecordsFile;
    bool m_outputFilesInUse = false;
    bool m_operationRunning = false;
    bool m_stopRequested = false;
    bool m_closePending = false;
    bool m_placed = false;
    // The layout warning of the download that runs, until a message carries it.
    std::string m_layoutWarning;
    // Digits typed into SelectedClock since it last took the focus.
    QString m_typedClock;
    // The maximum the operation asked for; the bar itself never shows 0..0.
    std::int32_t m_progressMaximum = 100;
};
