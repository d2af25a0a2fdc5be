// The window's rules: what enables what, the baud-rate box that cannot be
// typed into, the port set up from the fields, the output files, and how
// errors reach the operator.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QProgressBar>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

#include "clocklink/clocklink.h"
#include "guitesting.h"
#include "simprocess.h"
#include "utils/errors.h"

namespace fs = std::filesystem;

TEST(EnablingRules, BusChoiceEnablesTheClockNumberAndKeepsItsValue)
{
    RecordedWindow w;
    w.ui.RadioButton2->click();
    EXPECT_TRUE(w.ui.SelectedClock->isEnabled());
    EXPECT_TRUE(w.ui.UpDown->isEnabled());
    EXPECT_FALSE(w.form.IsRs232());

    for (int i = 0; i < 4; ++i) w.ui.UpDown->upButton()->click();
    EXPECT_EQ(w.form.SelectedClockText(), "5");

    w.ui.RadioButton1->click();
    EXPECT_FALSE(w.ui.SelectedClock->isEnabled());
    EXPECT_FALSE(w.ui.UpDown->isEnabled());
    EXPECT_TRUE(w.form.IsRs232());
    EXPECT_EQ(w.form.SelectedClockText(), "5");
    w.ui.RadioButton2->click();
    EXPECT_EQ(w.form.SelectedClockText(), "5");
}

TEST(EnablingRules, TheClockNumberStaysBetween1And32)
{
    RecordedWindow w;
    w.ui.RadioButton2->click();
    w.ui.UpDown->downButton()->click();
    EXPECT_EQ(w.form.SelectedClockText(), "1");
    for (int i = 0; i < 40; ++i) w.ui.UpDown->upButton()->click();
    EXPECT_EQ(w.form.SelectedClockText(), "32");

    // The keyboard sets the number too: typed digits (a digit that would
    // leave the range starts a new number), the arrows, PageUp and PageDown
    // by ten, Home and End. Letters change nothing.
    w.form.show();
    const std::vector<std::pair<std::function<void()>, QString>> keys = {
        {[&] { QTest::keyClicks(w.ui.SelectedClock, "7"); }, "7"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_Down); }, "6"},
        {[&] { QTest::keyClicks(w.ui.SelectedClock, "32"); }, "32"},
        {[&] { QTest::keyClicks(w.ui.SelectedClock, "45"); }, "5"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_Backspace); }, "5"},
        {[&] { QTest::keyClicks(w.ui.SelectedClock, "0x"); }, "5"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_PageUp); }, "15"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_PageUp); }, "25"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_PageUp); }, "32"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_Home); }, "1"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_PageDown); }, "1"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_End); }, "32"},
        {[&] {
             // Persian digits, as a Persian keyboard types them.
             for (const QString& digit : {QString::fromUtf8("۱"), QString::fromUtf8("۲")}) {
                 QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, digit);
                 QApplication::sendEvent(w.ui.SelectedClock, &press);
             }
         },
         "12"},
        {[&] { QTest::keyClick(w.ui.SelectedClock, Qt::Key_Up); }, "13"},
    };
    for (const auto& [press, expected] : keys) {
        press();
        EXPECT_EQ(w.ui.SelectedClock->text(), expected);
    }
    EXPECT_EQ(w.ui.UpDown->position(), 13);
    // On RS-232 the number is not the operator's to change.
    w.ui.RadioButton1->click();
    QTest::keyClicks(w.ui.SelectedClock, "2");
    EXPECT_EQ(w.form.SelectedClockText(), "13");
}

TEST(EnablingRules, VireoAndDateRangeBoxesGateTheSearchFields)
{
    RecordedWindow w;
    auto dateControls = [&] {
        return std::vector<QWidget*>{w.ui.edFromDate, w.ui.Label1, w.ui.Label3, w.ui.edToDate,
                                     w.ui.btnSearchPointers};
    };
    w.ui.ChboxIsVireo->click();
    EXPECT_TRUE(w.form.IsVireo());
    EXPECT_TRUE(w.ui.chboxVireoFromToDate->isEnabled());
    EXPECT_FALSE(w.ui.chboxVireoFromToDate->isChecked());
    for (QWidget* c : dateControls()) EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();

    w.ui.chboxVireoFromToDate->click();
    for (QWidget* c : dateControls()) EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();

    w.ui.ChboxIsVireo->click();
    EXPECT_FALSE(w.ui.chboxVireoFromToDate->isEnabled());
    EXPECT_FALSE(w.ui.chboxVireoFromToDate->isChecked());
    for (QWidget* c : dateControls()) EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
}

TEST(EnablingRules, NoOperationButtonIsOfferedWhileOneRuns)
{
    RecordedWindow w;
    w.ui.ChboxIsVireo->click();
    w.ui.chboxVireoFromToDate->click();
    w.form.SetOperationButtonsEnabled(false);
    EXPECT_FALSE(w.ui.Button1->isEnabled());
    EXPECT_FALSE(w.ui.Button2->isEnabled());
    EXPECT_FALSE(w.ui.btnSearchPointers->isEnabled());
    // Toggling the date range meanwhile does not bring the search back.
    w.ui.chboxVireoFromToDate->click();
    w.ui.chboxVireoFromToDate->click();
    EXPECT_FALSE(w.ui.btnSearchPointers->isEnabled());

    w.form.SetOperationButtonsEnabled(true);
    EXPECT_TRUE(w.ui.Button1->isEnabled());
    EXPECT_TRUE(w.ui.Button2->isEnabled());
    EXPECT_TRUE(w.ui.btnSearchPointers->isEnabled());
    w.ui.chboxVireoFromToDate->click();
    w.form.SetOperationButtonsEnabled(true);
    EXPECT_FALSE(w.ui.btnSearchPointers->isEnabled());
}

TEST(Keyboard, TabReachesEveryEnabledControlRightToLeftAndKeysPressButtons)
{
    // An empty port folder: a pressed operation button fails at once and
    // reports it, which shows the press.
    const fs::path ports = fs::temp_directory_path() / ("gui-keys-ports-" + std::to_string(::getpid()));
    fs::create_directories(ports);
    SetComPortDirectory(ports.string());
    RecordedWindow w;
    w.form.show();
    w.form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.form));
    auto tabChain = [&](QWidget* first) {
        std::vector<QWidget*> chain;
        first->setFocus();
        for (QWidget* focus = QApplication::focusWidget(); focus != nullptr && chain.size() < 40;) {
            chain.push_back(focus);
            QTest::keyClick(focus, Qt::Key_Tab);
            focus = QApplication::focusWidget();
            if (focus == first) break;
        }
        return chain;
    };
    auto names = [](const std::vector<QWidget*>& widgets) {
        QStringList list;
        for (QWidget* widget : widgets) list << widget->objectName();
        return list.join(' ');
    };
    // Each group from its right edge to its left, row by row; the bus
    // buttons are one stop, their arrow keys choose between them.
    EXPECT_EQ(names(tabChain(w.ui.RadioButton1)),
              "RadioButton1 cbBuadRate eCom ChboxIsVireo eStart eCount Button1 Button2");
    QTest::keyClick(w.ui.RadioButton1, Qt::Key_Down);
    EXPECT_TRUE(w.ui.RadioButton2->isChecked());
    for (QCheckBox* box : {w.ui.ChboxIsVireo, w.ui.chboxVireoFromToDate}) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Space);
        EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
    }
    const std::vector<QWidget*> chain = tabChain(w.ui.RadioButton2);
    EXPECT_EQ(
        names(chain),
        "RadioButton2 cbBuadRate eCom SelectedClock ChboxIsVireo chboxVireoFromToDate edFromDate edToDate "
        "btnSearchPointers eStart eCount Button1 Button2");
    // Nothing enabled is left out (the spinner's arrows are worked through
    // the clock number's arrow keys).
    for (QWidget* control : w.form.findChildren<QWidget*>()) {
        const bool operable = qobject_cast<QAbstractButton*>(control) || qobject_cast<QLineEdit*>(control) ||
                              qobject_cast<QComboBox*>(control);
        auto* radio = qobject_cast<QRadioButton*>(control);
        if (!operable || !control->isEnabled() || !control->isVisible() || (radio && !radio->isChecked()) ||
            control->parentWidget() == w.ui.UpDown || control == w.ui.cbBuadRate->lineEdit())
            continue;
        EXPECT_NE(std::find(chain.begin(), chain.end(), control), chain.end())
            << control->objectName().toStdString();
    }

    w.ui.eCom->setText("99");
    const std::pair<QPushButton*, Qt::Key> presses[] = {{w.ui.Button2, Qt::Key_Space},
                                                        {w.ui.Button2, Qt::Key_Return},
                                                        {w.ui.Button1, Qt::Key_Enter},
                                                        {w.ui.btnSearchPointers, Qt::Key_Return}};
    for (const auto& [button, key] : presses) {
        const std::size_t before = w.dialogs.size();
        button->setFocus();
        QTest::keyClick(button, key);
        EXPECT_GT(w.dialogs.size(), before) << button->objectName().toStdString() << " key " << key;
        EXPECT_TRUE(button->isEnabled());
    }
    SetComPortDirectory("");
    fs::remove_all(ports);
}

TEST(BaudRateBox, TypedCharactersAreDiscardedButDeleteAndArrowsWork)
{
    RecordedWindow w;
    w.form.show();
    QComboBox* box = w.ui.cbBuadRate;
    box->setFocus();
    QLineEdit* edit = box->lineEdit();
    for (QWidget* target : {static_cast<QWidget*>(box), static_cast<QWidget*>(edit)}) {
        QTest::keyClicks(target, "12a");
        QTest::keyClick(target, Qt::Key_Backspace);
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(w.form.BaudRateText(), "9600");
    }
    EXPECT_EQ(box->count(), 5);

    // The arrow keys choose from the list.
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(w.form.BaudRateText(), "19200");
    QTest::keyClick(box, Qt::Key_Up);
    QTest::keyClick(box, Qt::Key_Up);
    EXPECT_EQ(w.form.BaudRateText(), "4800");

    // Delete still removes text, so the box can be emptied.
    edit->setCursorPosition(0);
    for (int i = 0; i < 4; ++i) QTest::keyClick(edit, Qt::Key_Delete);
    EXPECT_EQ(w.form.BaudRateText(), "");
    EXPECT_EQ(BaudRateFromText(w.form.BaudRateText()), br9600);
}

TEST(PortSetup, BaudRateAndPortNameComeFromTheFields)
{
    RecordedWindow w;
    const std::pair<int, TBaudRate> choices[] = {
        {0, br2400}, {1, br4800}, {2, br9600}, {3, br19200}, {4, br57600}};
    for (const auto& [index, rate] : choices) {
        w.ui.cbBuadRate->setCurrentIndex(index);
        EXPECT_EQ(SetUpPortFromWindow(w.form).BaudRate(), rate) << w.form.BaudRateText();
    }

    w.ui.eCom->setText(" 3 ");
    TComPort& port = SetUpPortFromWindow(w.form);
    EXPECT_EQ(port.Port(), "COM3");
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(SharedPort(), &port);

    w.ui.eCom->setText("");
    EXPECT_EQ(SetUpPortFromWindow(w.form).Port(), "COM");
    ReleaseSharedPort();
}

TEST(Progress, TheBarStaysWithinItsRange)
{
    RecordedWindow w;
    w.form.SetProgressMaximum(3);
    w.form.SetProgressPosition(5);
    EXPECT_EQ(w.form.ProgressPosition(), 3);
    w.form.SetProgressPosition(-2);
    EXPECT_EQ(w.form.ProgressPosition(), 0);

    // Nothing to read shows an empty bar, not the toolkit's busy animation.
    w.form.SetProgressMaximum(0);
    w.form.SetProgressPosition(1);
    EXPECT_EQ(w.form.ProgressPosition(), 0);
    EXPECT_GT(w.ui.ProgressBar->maximum(), w.ui.ProgressBar->minimum());

    EXPECT_THROW(w.form.SetProgressMaximum(-1), Exception);
}

TEST(OutputFiles, EachStartEmptiesBothFilesAndLinesEndInCrLf)
{
    {
        RecordedWindow w;
        w.form.WriteDumpLine("first record");
        w.form.WriteBadRecordLine("flagged ???");
        EXPECT_EQ(ReadWholeFile(DumpPath()), "first record\r\n");
        EXPECT_EQ(ReadWholeFile(BadRecsPath()), "flagged ???\r\n");
        w.form.close();
        // Once closed, a write fails with an I/O error.
        EXPECT_THROW(w.form.WriteDumpLine("late"), EInOutError);
    }
    {
        RecordedWindow second;
        EXPECT_TRUE(fs::exists(DumpPath()));
        EXPECT_EQ(fs::file_size(DumpPath()), 0u);
        EXPECT_EQ(fs::file_size(BadRecsPath()), 0u);
        EXPECT_TRUE(second.dialogs.empty());
    }
    // The previous run's pair is kept as .bak; an empty pair replaces no
    // backup, so a second start in a row loses nothing.
    const std::string dumpBak = DumpPath() + ".bak", badBak = BadRecsPath() + ".bak";
    EXPECT_EQ(ReadWholeFile(dumpBak), "first record\r\n");
    EXPECT_EQ(ReadWholeFile(badBak), "flagged ???\r\n");
    {
        RecordedWindow third;
    }
    EXPECT_EQ(ReadWholeFile(dumpBak), "first record\r\n");
    // A start killed after the bad records were kept and before the dump
    // was: the next start keeps the dump and the bad records' backup.
    fs::remove(BadRecsPath());
    std::ofstream(DumpPath(), std::ios::binary) << "second record\r\n";
    std::ofstream(badBak, std::ios::binary) << "second flagged\r\n";
    {
        RecordedWindow afterKill;
        EXPECT_TRUE(afterKill.dialogs.empty());
        EXPECT_EQ(fs::file_size(DumpPath()), 0u);
        EXPECT_EQ(fs::file_size(BadRecsPath()), 0u);
    }
    EXPECT_EQ(ReadWholeFile(dumpBak), "second record\r\n");
    EXPECT_EQ(ReadWholeFile(badBak), "second flagged\r\n");
    fs::remove(dumpBak);
    fs::remove(badBak);
}

TEST(OutputFiles, AFileThatCannotBeCreatedIsReportedAndTheWindowStillOpens)
{
    fs::remove(DumpPath());
    fs::create_directory(DumpPath());  // nothing can create a file in its place
    {
        std::ofstream(BadRecsPath(), std::ios::binary) << "left over\r\n";
        RecordedWindow w;
        w.form.show();
        EXPECT_TRUE(w.form.isVisible());
        ASSERT_EQ(w.dialogs.size(), 1u);
        EXPECT_EQ(w.dialogs[0].kind, ShownDialog::ErrorReport);
        EXPECT_EQ(w.dialogs[0].caption, ApplicationTitle());
        EXPECT_EQ(w.dialogs[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(w.dialogs[0].text.endsWith('.'));
        // The other file is still made new, its lines kept as .bak.
        EXPECT_EQ(fs::file_size(BadRecsPath()), 0u);
        EXPECT_EQ(ReadWholeFile(BadRecsPath() + ".bak"), "left over\r\n");

        EXPECT_THROW(w.form.WriteDumpLine("record"), EInOutError);
        w.form.WriteBadRecordLine("flagged");
        EXPECT_EQ(ReadWholeFile(BadRecsPath()), "flagged\r\n");
        w.form.close();
    }
    fs::remove(DumpPath());
}

TEST(OutputFiles, AMissingUserFolderIsMadeAndOneThatCannotBeIsReported)
{
    // An installed copy writes to a folder of the user's own. /proc takes no
    // new folder, not even from root: a home where nothing can be written.
    const fs::path home = fs::temp_directory_path() / ("gui-test-home-" + std::to_string(::getpid()));
    for (const fs::path& folder : {home / "ClockReader", fs::path("/proc/no-such-home/ClockReader")}) {
        SCOPED_TRACE(folder.string());
        SetOutputFolder(folder.string());
        const bool usable = folder.string().rfind("/proc", 0) != 0;
        // A folder a scheduled collection also uses: its store and its
        // published files are none of the window's business.
        const std::vector<std::string> collected = {"Punches.db", "Dump-0000000001-0000000002.Txt"};
        if (usable) {
            fs::create_directories(folder);
            for (const std::string& name : collected) std::ofstream(folder / name) << name;
        }
        RecordedWindow w;
        w.form.show();
        EXPECT_TRUE(w.form.isVisible());
        if (usable) {
            EXPECT_TRUE(w.dialogs.empty());
            w.form.WriteDumpLine("record");
            EXPECT_EQ(ReadWholeFile((folder / "Dump.Txt").string()), "record\r\n");
            EXPECT_TRUE(fs::exists(folder / "BadRecs.Txt"));
            for (const std::string& name : collected)
                EXPECT_EQ(ReadWholeFile((folder / name).string()), name);
        } else {
            // One message says which folder is at fault and why; the window
            // stays usable.
            ASSERT_EQ(w.dialogs.size(), 1u);
            // The reason names the part of the path at fault (Z:\proc under Wine).
            EXPECT_TRUE(w.dialogs[0].text.startsWith("Cannot create Dump.Txt and BadRecs.Txt in " +
                                                     QString::fromStdString(folder.string()) + ": "))
                << w.dialogs[0].text.toStdString();
            EXPECT_THROW(w.form.WriteDumpLine("record"), EInOutError);
            w.ui.RadioButton2->click();
            w.ui.UpDown->upButton()->click();
            EXPECT_EQ(w.form.SelectedClockText(), "2");
            EXPECT_TRUE(w.ui.Button1->isEnabled());
        }
        w.form.close();
    }
    SetOutputFolder("");
    fs::remove_all(home);
}

// Files another program holds (a command-line run, another window) are left
// as they are: the window says so and is not to be shown.
TEST(OutputFiles, FilesAnotherProgramHoldsAreReportedAndLeftAlone)
{
    RecordedWindow first;
    first.form.WriteDumpLine("first record");
    {
        RecordedWindow second;
        EXPECT_TRUE(second.form.OutputFilesInUse());
        ASSERT_EQ(second.dialogs.size(), 1u);
        EXPECT_EQ(second.dialogs[0].kind, ShownDialog::ErrorReport);
        EXPECT_TRUE(second.dialogs[0].text.contains("in use by another program"))
            << qPrintable(second.dialogs[0].text);
    }
    first.form.WriteDumpLine("second record");
    EXPECT_EQ(ReadWholeFile(DumpPath()), "first record\r\nsecond record\r\n");
    first.form.close();
    EXPECT_FALSE(first.form.OutputFilesInUse());

    // Only BadRecs.Txt held: Dump.Txt is not emptied either.
    TextFile holder;
    holder.Open(BadRecsPath());
    RecordedWindow third;
    EXPECT_TRUE(third.form.OutputFilesInUse());
    EXPECT_EQ(third.dialogs.size(), 1u);
    EXPECT_EQ(ReadWholeFile(DumpPath()), "first record\r\nsecond record\r\n");
}

TEST(ErrorReport, TextGetsAFullStopUnlessItEndsInOneOrBelow)
{
    RecordedWindow w;
    w.form.ReportError(EConvertError("'x' is not a valid integer value"));
    w.form.ReportError(Exception("Done."));
    w.form.ReportError(Exception("Stop!"));  // "!" sorts before "."
    w.form.ReportError(Exception("mixed case Z"));
    ASSERT_EQ(w.dialogs.size(), 4u);
    EXPECT_EQ(w.dialogs[0].text, "'x' is not a valid integer value.");
    EXPECT_EQ(w.dialogs[1].text, "Done.");
    EXPECT_EQ(w.dialogs[2].text, "Stop!");
    EXPECT_EQ(w.dialogs[3].text, "mixed case Z.");
    for (const ShownDialog& d : w.dialogs) {
        EXPECT_EQ(d.kind, ShownDialog::ErrorReport);
        EXPECT_EQ(d.caption, QStringLiteral("gui_test"));
        EXPECT_EQ(d.icon, QMessageBox::Critical);
    }
}

TEST(ErrorReport, TheMessageKindsCarryTheirCaptionsAndIcons)
{
    RecordedWindow w;
    w.form.ShowMessageBox("text", "caption");
    w.form.ShowErrorDialog("bad");
    w.form.ShowInformationDialog("fine");
    ASSERT_EQ(w.dialogs.size(), 3u);
    EXPECT_EQ(w.dialogs[0].caption, "caption");
    EXPECT_EQ(w.dialogs[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(w.dialogs[1].caption, "Error");
    EXPECT_EQ(w.dialogs[1].icon, QMessageBox::Critical);
    EXPECT_EQ(w.dialogs[2].caption, "Information");
    EXPECT_EQ(w.dialogs[2].icon, QMessageBox::Information);
    // The operations' CR LF line breaks are shown as LF: a CR cuts the first
    // letter off a right-to-left line on Windows.
    EXPECT_EQ(DialogDisplayText(QString::fromUtf8("اشاره گرها\r\nهمچنين\rو")),
              QString::fromUtf8("اشاره گرها\nهمچنين\nو"));
}

TEST(ErrorReport, AFailedOperationIsReportedAndLeavesTheWindowUsable)
{
    // An empty port folder: no COM99 there, nor a /dev/ttyS98.
    const fs::path ports = fs::temp_directory_path() / ("gui-test-ports-" + std::to_string(::getpid()));
    fs::create_directories(ports);
    SetComPortDirectory(ports.string());
    RecordedWindow w;
    w.ui.eCom->setText("99");
    w.form.show();
    w.ui.Button2->setFocus();
    QTest::keyClick(w.ui.Button2, Qt::Key_Space);
    // The report names the device the port leads to and says in words
    // that there is no such port, and where the ports there are are listed.
    ASSERT_EQ(w.dialogs.size(), 1u);
#ifdef _WIN32
    const char* const device =
        "\\\\.\\COM99: there is no serial port COM99 on this computer; Device Manager"
        " lists the ports it has under \"Ports (COM & LPT)\"";
#else
    const char* const device =
        "/dev/ttyS98: there is no serial port COM99 on this computer; the serial ports"
        " it has are listed in /dev/serial/by-id";
#endif
    EXPECT_EQ(w.dialogs[0].text.toStdString(),
              std::string("Unable to open com port (win error code: 2)\nCOM99 -> ") + device);
    // The keyboard user carries on from the button they pressed.
    EXPECT_EQ(w.form.focusWidget(), w.ui.Button2);
    EXPECT_TRUE(w.ui.Button1->isEnabled());
    EXPECT_TRUE(w.ui.Button2->isEnabled());
    EXPECT_FALSE(w.form.OperationRunning());
    EXPECT_TRUE(SharedPort() == nullptr || !SharedPort()->Connected());
    SetComPortDirectory("");
    fs::remove_all(ports);
}
