#include "app/tform1.h"

#include <QCoreApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <algorithm>
#include <filesystem>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "pointers/pointers.h"
#include "serial/comport.h"
#include "ui_tform1.h"
#include "utils/errors.h"
#include "utils/outputfolder.h"
#include "utils/utf8path.h"

namespace {

// Texts of the operations' message boxes, letter for letter.
const char* const kCommunicationErrorText = "خطا در ارتباط ";
const char* const kRecordErrorText = "خطا در رکورد";

QString toQt(const std::string& text) { return QString::fromStdString(text); }
std::string fromQt(const QString& text) { return text.toStdString(); }

// A result label is repainted at once: the operations keep the window's
// thread busy between their message processing.
void showResult(QLabel* label, const std::string& text)
{
    label->setText(toQt(text));
    label->repaint();
}

// Keys that produce no character keep their usual effect in the baud-rate
// box. Delete produces none on every platform, although X11 reports it with
// the text DEL; Tab and Backtab move the focus before any control sees them
// as characters.
bool producesCharacter(const QKeyEvent& event)
{
    switch (event.key()) {
    case Qt::Key_Backspace: return true;
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return false;
    default: return !event.text().isEmpty();
    }
}

}  // namespace

TForm1::TForm1(DialogHook dialogHook, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::TForm1>()), m_dialogHook(std::move(dialogHook))
{
    m_ui->setupUi(this);
    // A fixed dialog frame with a system menu and a minimise button only.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(382, 361);
    setWindowTitle(QString());
    setUpStatusPanel();
    m_ui->pnlWait->hide();

    Ui::TForm1& ui = *m_ui;
    connect(ui.RadioButton1, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) guarded([this] { RadioButton1Click(); });
    });
    connect(ui.RadioButton2, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) guarded([this] { RadioButton2Click(); });
    });
    connect(ui.UpDown, &UpDownSpinner::positionChanged, this,
            [this](int position) { m_ui->SelectedClock->setText(QString::number(position)); });
    connect(ui.ChboxIsVireo, &QCheckBox::toggled, this, [this] { guarded([this] { ChboxIsVireoClick(); }); });
    connect(ui.chboxVireoFromToDate, &QCheckBox::toggled, this,
            [this] { guarded([this] { chboxVireoFromToDateClick(); }); });
    connect(ui.Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(ui.Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(ui.btnSearchPointers, &QPushButton::clicked, this, [this] { btnSearchPointersClick(); });

    // Keys reach an editable combo box and its line edit; both are watched.
    ui.cbBuadRate->installEventFilter(this);
    if (QLineEdit* edit = ui.cbBuadRate->lineEdit()) {
        edit->installEventFilter(this);
        // Composed input would bypass the key filter; every character must
        // arrive as a key press so it can be discarded.
        edit->setAttribute(Qt::WA_InputMethodEnabled, false);
    }
    ui.SelectedClock->installEventFilter(this);

    FormCreate();
}

// A window destroyed without being closed still closes its files in order:
// members go in reverse, the bad-records file before the dump file.
TForm1::~TForm1() = default;

void TForm1::setUpStatusPanel()
{
    QLabel* panel = m_ui->StatusPanel;
    // 50 wide as stored; wider only when the substituted font needs the room.
    const int needed = panel->fontMetrics().horizontalAdvance(panel->text()) + 8;
    panel->setFixedWidth(std::max(50, needed));
    m_ui->StatusBar1->addWidget(panel);
}

// ---- lifecycle ------------------------------------------------------------------

void TForm1::FormCreate()
{
    const std::string directory = OutputFolder();
    // The user's own folder of an installed copy may not exist yet. A folder
    // that cannot be made or written is reported once, with the reason (a
    // read-only folder says so), and neither file is tried.
    if (const std::string problem = PrepareOutputFolder(directory); !problem.empty()) {
        guarded([&] {
            throw EInOutError("Cannot create Dump.Txt and BadRecs.Txt in " + directory + ": " + problem);
        });
        return;
    }
    // Both files are taken before either is emptied: when another program
    // holds one of them, the window says so and leaves both as they are,
    // and the program ends (see OutputFilesInUse).
    const std::pair<TextFile*, const char*> files[] = {{&m_dumpFile, "Dump.Txt"},
                                                       {&m_badRecordsFile, "BadRecs.Txt"}};
    // Which of them were there before this start; a missing one keeps its
    // backup (see keepPreviousFiles).
    bool existed[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        std::error_code error;
        existed[i] = std::filesystem::exists(PathFromUtf8(PathInFolder(directory, files[i].second)), error);
    }
    for (const auto& [file, name] : files) {
        guarded([&] {
            try {
                file->Open(PathInFolder(directory, name));
            } catch (const EFileInUse&) {
                m_outputFilesInUse = true;
                throw;
            }
        });
        if (m_outputFilesInUse) {
            FormClose();
            return;
        }
    }
    if ((m_dumpFile.IsOpen() && m_dumpFile.Size() > 0) ||
        (m_badRecordsFile.IsOpen() && m_badRecordsFile.Size() > 0))
        guarded([&] { keepPreviousFiles(existed[0], existed[1]); });
    // Each file is emptied on its own, so one that cannot be created does
    // not leave the other holding the previous run's lines.
    for (const auto& [file, name] : files)
        if (file->IsOpen()) guarded([&] { file->Empty(); });
}

void TForm1::keepPreviousFiles(bool dumpExisted, bool badRecordsExisted)
{
    // The previous run's pair becomes Dump.Txt.bak and BadRecs.Txt.bak, the
    // bad records first and the dump last, each renamed whole. A kill midway
    // leaves the dump under one of its names; at the next start a file that
    // is missing (already renamed) keeps its backup, and a pair that is
    // empty is not kept at all, so the previous dump is never replaced by
    // an empty one.
    // Only a file that was opened is kept: one that could not be (a folder
    // in its place) has been reported already and is left alone.
    const bool dumpOpen = m_dumpFile.IsOpen(), badRecordsOpen = m_badRecordsFile.IsOpen();
    m_badRecordsFile.Close();
    m_dumpFile.Close();
    // A rename the system refuses raises before either file is opened
    // again, so nothing of the previous run is emptied; the operations then
    // report the closed files when they write.
    if (badRecordsOpen && badRecordsExisted) MoveToBackup(m_badRecordsFile.Path());
    if (dumpOpen && dumpExisted) MoveToBackup(m_dumpFile.Path());
    if (dumpOpen) m_dumpFile.Open(m_dumpFile.Path());
    if (badRecordsOpen) m_badRecordsFile.Open(m_badRecordsFile.Path());
}

void TForm1::FormClose()
{
    guarded([this] { m_badRecordsFile.Close(); });
    guarded([this] { m_dumpFile.Close(); });
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (m_operationRunning) {
        // The operation stops after its current record; runOperation closes
        // the window once it has returned with its files flushed.
        m_stopRequested = true;
        m_closePending = true;
        event->ignore();
        return;
    }
    // Closing a file twice does nothing, so a second close request is harmless.
    FormClose();
    event->accept();
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Centred when it first appears; later the operator's placement stands.
    if (!m_placed) {
        m_placed = true;
        if (QScreen* screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    placeWaitPanel();
}

// ---- link settings ----------------------------------------------------------------

void TForm1::RadioButton1Click()
{
    m_ui->SelectedClock->setEnabled(false);
    m_ui->UpDown->setEnabled(false);
}

void TForm1::RadioButton2Click()
{
    m_ui->SelectedClock->setEnabled(true);
    m_ui->UpDown->setEnabled(true);
}

bool TForm1::cbBuadRateKeyPress(const QKeyEvent& event) { return producesCharacter(event); }

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto& key = static_cast<const QKeyEvent&>(*event);
        if (watched == m_ui->cbBuadRate || watched == m_ui->cbBuadRate->lineEdit()) {
            bool discard = false;
            guarded([&] { discard = cbBuadRateKeyPress(key); });
            if (discard) return true;
        } else if (watched == m_ui->SelectedClock && m_ui->UpDown->isEnabled()) {
            if (selectedClockKey(key)) return true;
        }
    } else if (event->type() == QEvent::FocusIn && watched == m_ui->SelectedClock) {
        m_typedClock.clear();
    }
    return QWidget::eventFilter(watched, event);
}

bool TForm1::selectedClockKey(const QKeyEvent& key)
{
    UpDownSpinner* spinner = m_ui->UpDown;
    switch (key.key()) {
    case Qt::Key_Up: spinner->stepBy(1); break;
    case Qt::Key_Down: spinner->stepBy(-1); break;
    case Qt::Key_PageUp: spinner->stepBy(10); break;
    case Qt::Key_PageDown: spinner->stepBy(-10); break;
    case Qt::Key_Home: spinner->setPosition(spinner->minimum()); break;
    case Qt::Key_End: spinner->setPosition(spinner->maximum()); break;
    case Qt::Key_Backspace:
        // Takes back the last digit typed.
        m_typedClock.chop(1);
        if (!m_typedClock.isEmpty()) spinner->setPosition(m_typedClock.toInt());
        return true;
    default: {
        // Digits add up to a number as in any spin box: "3" then "2" is 32.
        // A digit that would leave the range starts a new number, so an
        // operator who mistyped simply types again. Persian and Arabic-Indic
        // digits count too.
        const QString text = key.text();
        if (text.size() != 1 || !text[0].isDigit()) {
            m_typedClock.clear();
            return false;
        }
        const QString digit = QString::number(text[0].digitValue());
        const auto inRange = [&](const QString& number) {
            const int value = number.toInt();
            return value >= spinner->minimum() && value <= spinner->maximum();
        };
        if (inRange(m_typedClock + digit))
            m_typedClock += digit;
        else if (inRange(digit))
            m_typedClock = digit;
        else
            return true;
        spinner->setPosition(m_typedClock.toInt());
        return true;
    }
    }
    m_typedClock.clear();
    return true;
}

// ---- date range -----------------------------------------------------------------

void TForm1::ChboxIsVireoClick()
{
    const bool vireo = m_ui->ChboxIsVireo->isChecked();
    m_ui->chboxVireoFromToDate->setEnabled(vireo);
    if (!m_ui->chboxVireoFromToDate->isEnabled()) m_ui->chboxVireoFromToDate->setChecked(false);
    chboxVireoFromToDateClick();
}

void TForm1::chboxVireoFromToDateClick()
{
    const bool range = m_ui->chboxVireoFromToDate->isChecked();
    m_ui->edFromDate->setEnabled(range);
    m_ui->Label1->setEnabled(range);
    m_ui->Label3->setEnabled(range);
    m_ui->edToDate->setEnabled(range);
    // The search is not offered while the other operation buttons are
    // withheld: an operation holds the port.
    m_ui->btnSearchPointers->setEnabled(range && m_ui->Button1->isEnabledTo(this));
}

// ---- operations ---------------------------------------------------------------------

void TForm1::Button1Click() { runOperation(RunDownload, m_ui->Button1); }

void TForm1::Button2Click() { runOperation(RunPointerQuery, m_ui->Button2); }

void TForm1::btnSearchPointersClick()
{
    runOperation([](ClockWindow& window) { RunDateRangeSearch(window); }, m_ui->btnSearchPointers);
}

void TForm1::runOperation(const std::function<void(ClockWindow&)>& operation, QWidget* starter)
{
    // The buttons are disabled while an operation runs; this also covers a
    // click that was queued before they were.
    if (m_operationRunning) return;
    m_operationRunning = true;
    m_stopRequested = false;
    SetOperationButtonsEnabled(false);
    guarded([&] { operation(*this); });
    // Whatever happened, no button stays dead and no port stays open.
    guarded([] { CloseSharedPort(); });
    m_operationRunning = false;
    SetWaitPanelVisible(false);
    SetOperationButtonsEnabled(true);
    // A run that ended without a message still owes its layout warning.
    if (!m_layoutWarning.empty()) showDialog(WarningDialog(toQt(m_layoutWarning)));
    // Disabling the button sent the focus elsewhere; the keyboard user
    // carries on from the button they pressed.
    if (starter->isEnabled()) starter->setFocus(Qt::OtherFocusReason);
    if (m_closePending) {
        m_closePending = false;
        close();
    }
}

void TForm1::guarded(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& error) {
        try {
            showDialog(ErrorReport(error));
        } catch (...) {
        }
    } catch (...) {
        try {
            showDialog(UnknownErrorReport());
        } catch (...) {
        }
    }
}

// ---- ClockWindow: settings and fields ------------------------------------------

bool TForm1::IsRs232() const { return m_ui->RadioButton1->isChecked(); }
std::string TForm1::SelectedClockText() const { return fromQt(m_ui->SelectedClock->text()); }
std::string TForm1::ComText() const { return fromQt(m_ui->eCom->text()); }
std::string TForm1::BaudRateText() const { return fromQt(m_ui->cbBuadRate->currentText()); }
bool TForm1::IsVireo() const { return m_ui->ChboxIsVireo->isChecked(); }

std::string TForm1::StartText() const { return fromQt(m_ui->eStart->text()); }
void TForm1::SetStartText(const std::string& text) { m_ui->eStart->setText(toQt(text)); }
std::string TForm1::CountText() const { return fromQt(m_ui->eCount->text()); }
void TForm1::SetCountText(const std::string& text) { m_ui->eCount->setText(toQt(text)); }
std::string TForm1::FromDateText() const { return fromQt(m_ui->edFromDate->text()); }
std::string TForm1::ToDateText() const { return fromQt(m_ui->edToDate->text()); }

// ---- ClockWindow: results ---------------------------------------------------------

void TForm1::SetRecordTotalText(const std::string& text) { showResult(m_ui->LMax, text); }

void TForm1::SetRecordsReadText(const std::string& text) { showResult(m_ui->LCount, text); }

void TForm1::SetReadIndexText(const std::string& text) { showResult(m_ui->lARI, text); }

std::string TForm1::ReadIndexText() const { return fromQt(m_ui->lARI->text()); }

void TForm1::SetWriteIndexText(const std::string& text) { showResult(m_ui->lAWI, text); }

std::string TForm1::WriteIndexText() const { return fromQt(m_ui->lAWI->text()); }

void TForm1::SetProgressMaximum(std::int32_t maximum)
{
    QProgressBar* bar = m_ui->ProgressBar;
    // The toolkit would quietly move the minimum instead.
    if (maximum < bar->minimum())
        throw Exception(std::string(bar->metaObject()->className()) + " property out of range");
    // A range of 0 to 0 would show an endless busy animation; an empty bar
    // is the right picture of "nothing to read".
    bar->setMaximum(std::max(maximum, 1));
    m_progressMaximum = maximum;
    SetProgressPosition(ProgressPosition());
}

void TForm1::SetProgressPosition(std::int32_t position)
{
    QProgressBar* bar = m_ui->ProgressBar;
    bar->setValue(std::clamp(position, bar->minimum(), std::max(m_progressMaximum, bar->minimum())));
}

std::int32_t TForm1::ProgressPosition() const
{
    return std::max(m_ui->ProgressBar->value(), m_ui->ProgressBar->minimum());
}

// ---- ClockWindow: the operation's frame -----------------------------------------

void TForm1::SetOperationButtonsEnabled(bool enabled)
{
    m_ui->Button1->setEnabled(enabled);
    m_ui->Button2->setEnabled(enabled);
    m_ui->btnSearchPointers->setEnabled(enabled && m_ui->chboxVireoFromToDate->isChecked());
}

void TForm1::placeWaitPanel()
{
    // The panel covers the date fields and the search button.
    Ui::TForm1& ui = *m_ui;
    QRect area = ui.Label1->geometry() | ui.edFromDate->geometry() | ui.Label3->geometry() |
                 ui.edToDate->geometry() | ui.btnSearchPointers->geometry();
    area.setLeft(ui.DatePanel->contentsRect().left() + 4);
    area.setRight(ui.DatePanel->contentsRect().right() - 4);
    ui.pnlWait->setGeometry(area);
    // "Please wait" along the top; the panel's own caption is bottom-aligned.
    ui.Label5->setGeometry(2, 3, area.width() - 4, ui.Label5->sizeHint().height());
}

void TForm1::SetWaitPanelVisible(bool visible)
{
    if (visible) {
        placeWaitPanel();
        m_ui->pnlWait->raise();
    }
    m_ui->pnlWait->setVisible(visible);
    // The search waits without letting the window paint, so paint now.
    if (isVisible()) m_ui->DatePanel->repaint();
}

void TForm1::ProcessMessages() { QCoreApplication::processEvents(); }

// ---- ClockWindow: messages -------------------------------------------------------

void TForm1::showDialog(const ShownDialog& dialog)
{
    // The layout warning goes with the operation's final message.
    ShownDialog shown = dialog;
    // A message about the output files that does not say where they are
    // gets a line naming their folder.
    const QString folder = toQt(OutputFolder());
    if ((shown.text.contains(QStringLiteral("Dump.Txt")) ||
         shown.text.contains(QStringLiteral("BadRecs.Txt"))) &&
        !shown.text.contains(folder))
        shown.text += QStringLiteral("\n") + toQt("Dump.Txt and BadRecs.Txt are in ") + folder;
    if (!m_layoutWarning.empty()) {
        if (shown.kind != ShownDialog::WarningDialog)
            shown.text += QStringLiteral("\n\n") + toQt(m_layoutWarning);
        m_layoutWarning.clear();
    }
    if (m_dialogHook)
        m_dialogHook(shown);
    else
        ExecDialog(this, shown);
}

void TForm1::RecordLayoutDoubtful(const std::string& warning)
{
    m_layoutWarning = warning + (IsVireo() ? ". Uncheck the Vireo box and read again."
                                           : ". Check the Vireo box and read again.");
}

void TForm1::ShowMessageBox(const std::string& text, const std::string& caption)
{
    // The operation's text stays first, as it is; a second line tells the
    // clerk what it concerns: the line that did not answer, or where the
    // records read before the failure are.
    std::string shown = text;
    if (text == kCommunicationErrorText)
        shown += "\n" + PortLabel(PortName()) + ", " +
                 (IsRs232() ? "RS-232" : "RS-485, clock " + SelectedClockText());
    else if (text == kRecordErrorText)
        shown += "\nThe records read so far are in Dump.Txt and BadRecs.Txt in " + OutputFolder();
    showDialog(PlainMessageBox(toQt(shown), toQt(caption)));
}

void TForm1::ShowErrorDialog(const std::string& text) { showDialog(ErrorDialog(toQt(text))); }

void TForm1::ShowInformationDialog(const std::string& text) { showDialog(InformationDialog(toQt(text))); }

void TForm1::ReportError(const std::exception& error)
{
    ShownDialog report = ErrorReport(error);
    // A port error names the device tried and, when there is one, what the
    // operator can do about it.
    if (dynamic_cast<const EComPort*>(&error) != nullptr) {
        const std::string hint = PortErrorHint(PortName(), error);
        report.text += toQt("\n" + PortLabel(PortName()) + (hint.empty() ? "" : ": " + hint));
    }
    showDialog(report);
}

// ---- ClockWindow: output files -----------------------------------------------------

void TForm1::WriteDumpLine(const std::string& line) { m_dumpFile.WriteLine(line); }

void TForm1::WriteBadRecordLine(const std::string& line) { m_badRecordsFile.WriteLine(line); }
