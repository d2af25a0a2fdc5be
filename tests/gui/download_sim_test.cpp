// Button1 in the real window against a simulated clock on a pseudo-terminal.
#include <QTest>
#include <QTimer>
#include <memory>
#include <sstream>

#include "guitesting.h"
#include "clocklink/clocklink.h"
#include "simprocess.h"
#ifndef _WIN32
#include <filesystem>
#include <fstream>

#include "converter.h"
#endif

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The window shown, its eCom naming the link to a clocksim started by the test.
class DownloadInWindow : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& args)
    {
        sim = std::make_unique<SimProcess>(args);
        SetComPortDirectory(sim->PortDirectory());
        w.form.show();
        w.ui.eCom->setText(QString::number(sim->ComNumber()));
    }
    void TearDown() override { SetComPortDirectory(""); }

    std::unique_ptr<SimProcess> sim;
    RecordedWindow w;
};

}  // namespace

TEST_F(DownloadInWindow, Button1ReadsTheRequestedRecordsIntoDumpTxt)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    w.ui.eCount->setText("20");

    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);

    EXPECT_TRUE(w.dialogs.empty()) << w.dialogs.front().text.toStdString();
    EXPECT_EQ(w.ui.LMax->text(), "50");
    EXPECT_EQ(w.ui.LCount->text(), "20");
    const std::vector<std::string> lines = Lines(ReadWholeFile(DumpPath()));
    ASSERT_EQ(lines.size(), 20u);
    for (const std::string& line : lines) EXPECT_TRUE(line.ends_with('\r'));
    EXPECT_TRUE(w.ui.Button1->isEnabled());
    EXPECT_FALSE(SharedPort() && SharedPort()->Connected());
}

// Records that do not fit the Vireo box: the download ends with a warning
// that names the box; the focus goes back to the button.
TEST_F(DownloadInWindow, AWrongLayoutEndsWithAWarningThatNamesTheVireoBox)
{
    StartSim({"--bus", "rs232", "--records", "50", "--layout", "vireo"});
    w.ui.eCount->setText("20");
    w.ui.Button1->setFocus();
    QTest::keyClick(w.ui.Button1, Qt::Key_Space);
    ASSERT_EQ(w.dialogs.size(), 1u);
    EXPECT_EQ(w.dialogs[0].kind, ShownDialog::WarningDialog);
    EXPECT_TRUE(
        w.dialogs[0].text.endsWith("records read have no plausible date and time in the standard record "
                                   "layout: the clock most likely uses "
                                   "the Vireo layout. Check the Vireo box and read again."))
        << w.dialogs[0].text.toStdString();
    EXPECT_EQ(w.form.focusWidget(), w.ui.Button1);
}

#ifndef _WIN32
TEST_F(DownloadInWindow, Button1ReachesAConverterThatAPortsFileNames)
{
    StartSim({"--bus", "rs232", "--records", "50"});
    Converter converter(ConverterKind::Rfc2217, sim->PtyPath());
    // COM9 beside the simulator's own link: a file naming the converter.
    std::ofstream(std::filesystem::path(sim->PortDirectory()) / "COM9") << converter.Url() << "\n";
    w.ui.eCom->setText("9");
    w.ui.eCount->setText("20");

    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);

    EXPECT_TRUE(w.dialogs.empty()) << w.dialogs.front().text.toStdString();
    EXPECT_EQ(w.ui.LCount->text(), "20");
    const std::vector<std::string> lines = Lines(ReadWholeFile(DumpPath()));
    ASSERT_EQ(lines.size(), 20u);
    // The port number the lines carry, just before the last comma, is the Com field's.
    for (const std::string& line : lines) EXPECT_EQ(line[line.rfind(',') - 1], '9') << line;
    EXPECT_FALSE(SharedPort() && SharedPort()->Connected());
}
#endif

TEST_F(DownloadInWindow, ClosingDuringADownloadStopsItThenClosesTheWindow)
{
    StartSim({"--bus", "rs232", "--records", "500"});
    w.ui.eCount->setText("500");
    // Asked while the download processes window messages.
    QTimer::singleShot(0, &w.form, [&] {
        w.form.close();
        EXPECT_TRUE(w.form.isVisible());
        EXPECT_TRUE(w.form.StopRequested());
    });

    w.ui.Button1->click();

    EXPECT_FALSE(w.form.isVisible());
    EXPECT_LT(w.ui.LCount->text().toInt(), 500);
    // Every record received before the stop is in one of the files.
    const size_t written =
        Lines(ReadWholeFile(DumpPath())).size() + Lines(ReadWholeFile(BadRecsPath())).size();
    EXPECT_EQ(written, static_cast<size_t>(w.ui.LCount->text().toInt()));
    EXPECT_THROW(w.form.WriteDumpLine("after close"), EInOutError);
}

// Fault caught: the default count (19500) from a clock holding 50 records
// after eStart read every record, then ended in the record error with the
// bar at 0.25 %.
TEST_F(DownloadInWindow, ACountBeyondTheClocksRecordsEndsAsASuccessWithTheBarFull)
{
    StartSim({"--bus", "rs232", "--records", "60"});
    w.ui.eStart->setText("10");

    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);

    EXPECT_TRUE(w.dialogs.empty()) << w.dialogs.front().text.toStdString();
    EXPECT_EQ(w.ui.LCount->text(), "50");
    EXPECT_EQ(w.ui.ProgressBar->value(), 50);
    EXPECT_EQ(w.ui.ProgressBar->maximum(), 50);
    EXPECT_EQ(Lines(ReadWholeFile(DumpPath())).size(), 50u);

    // A start past the newest record reads none, and says so.
    w.ui.eStart->setText("70");
    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);
    EXPECT_TRUE(w.dialogs.empty()) << w.dialogs.front().text.toStdString();
    EXPECT_EQ(w.ui.LCount->text(), "0");
}

// Faults caught: a failure box that tells the clerk nothing about which
// line failed, or where the records read before it are.
TEST_F(DownloadInWindow, FailureBoxesKeepTheirTextFirstAndNameTheLineOrTheFolder)
{
    StartSim({"--bus", "rs232", "--records", "0"});
    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);
    ASSERT_EQ(w.dialogs.size(), 1u);
    const std::string line = "COM" + std::to_string(sim->ComNumber()) + " -> ";
    EXPECT_TRUE(
        w.dialogs[0].text.startsWith(QString::fromUtf8("خطا در ارتباط \n") + QString::fromStdString(line)))
        << w.dialogs[0].text.toStdString();
    EXPECT_TRUE(w.dialogs[0].text.endsWith(", RS-232")) << w.dialogs[0].text.toStdString();

    w.dialogs.clear();
    StartSim({"--bus", "rs232", "--records", "50", "--faults", "corrupt=1"});
    w.ui.eCom->setText(QString::number(sim->ComNumber()));
    QTest::mouseClick(w.ui.Button1, Qt::LeftButton);
    ASSERT_FALSE(w.dialogs.empty());
    EXPECT_EQ(w.dialogs.back().text.toStdString(),
              "خطا در رکورد\nThe records read so far are in Dump.Txt and BadRecs.Txt in " + OutputFolder());
}
