// Bad input in the real window, offscreen: the baud-rate box that cannot be
// typed into but can be pasted into, and every field set to each bad text
// before each operation button is pressed. The port folder is empty, so no
// port can open: every press must end in a message the operator can read,
// with all three operation buttons enabled again.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "badtexts.h"
#include "clocklink/clocklink.h"
#include "guitesting.h"
#include "serial/comport.h"

namespace fs = std::filesystem;

namespace {

// No COM99 in the (empty) port folder, and no /dev/ttyS98 either.
const char* const kAbsentCom = "99";

// Types `text` into `target` one character at a time, each as the key press
// a keyboard would send for it.
void TypeText(QWidget* target, const QString& text)
{
    for (const QChar ch : text) {
        Qt::Key key = Qt::Key_unknown;
        if (ch == '\t')
            key = Qt::Key_Tab;
        else if (ch == '\r')
            key = Qt::Key_Return;
        else if (ch == '\x1b')
            key = Qt::Key_Escape;
        else if (ch.unicode() > 0x20 && ch.unicode() < 0x7F)
            key = static_cast<Qt::Key>(ch.toUpper().unicode());
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(ch));
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
    }
}

QString Shown(const std::vector<ShownDialog>& dialogs)
{
    QString text;
    for (const ShownDialog& d : dialogs) text += "[" + d.caption + "] " + d.text + "\n";
    return text;
}

class BadInputWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_ports = fs::temp_directory_path() / ("badinput-ports-" + std::to_string(::getpid()));
        fs::create_directories(m_ports);
        SetComPortDirectory(m_ports.string());
    }
    void TearDown() override
    {
        ReleaseSharedPort();
        SetComPortDirectory("");
        fs::remove_all(m_ports);
    }

    // The window after an operation, whatever the operation met.
    static void ExpectUsable(RecordedWindow& w)
    {
        EXPECT_FALSE(w.form.OperationRunning());
        EXPECT_TRUE(w.ui.Button1->isEnabled());
        EXPECT_TRUE(w.ui.Button2->isEnabled());
        EXPECT_EQ(w.ui.btnSearchPointers->isEnabled(), w.ui.chboxVireoFromToDate->isChecked());
        EXPECT_TRUE(w.ui.pnlWait->isHidden());
        EXPECT_FALSE(SharedPort() && SharedPort()->Connected());
    }

private:
    fs::path m_ports;
};

// ---- cbBuadRate --------------------------------------------------------------------

// Nothing typed reaches the box, whatever the character.
TEST_F(BadInputWindow, TypingIntoTheBaudRateBoxChangesNothing)
{
    RecordedWindow w;
    w.form.show();
    // The same keys do type into an ordinary field.
    w.ui.eStart->setFocus();
    w.ui.eStart->clear();
    TypeText(w.ui.eStart, "$1x");
    ASSERT_EQ(w.ui.eStart->text(), "$1x");

    QLineEdit* edit = w.ui.cbBuadRate->lineEdit();
    for (const BadText& bad : BadTexts("2400")) {
        SCOPED_TRACE(bad.name);
        edit->setFocus();
        edit->selectAll();
        TypeText(edit, QString::fromStdString(bad.text));
        EXPECT_EQ(w.form.BaudRateText(), "9600");
        EXPECT_EQ(w.ui.cbBuadRate->count(), 5);
    }
    EXPECT_TRUE(w.dialogs.empty()) << Shown(w.dialogs).toStdString();
}

// Pasting is not typing: a pasted text stands in the box. One that is not a
// rate opens the port at 9600 bit/s, and the operation goes on to report the
// absent port.
TEST_F(BadInputWindow, PastedBadTextGivesTheDefaultRate)
{
    RecordedWindow w;
    w.form.show();
    w.ui.eCom->setText(kAbsentCom);
    QLineEdit* edit = w.ui.cbBuadRate->lineEdit();
    QClipboard* clipboard = QGuiApplication::clipboard();
    for (const BadText& bad : BadTexts("2400")) {
        SCOPED_TRACE(bad.name + ": \"" + Printable(bad.text) + "\"");
        clipboard->setText(QString::fromStdString(bad.text));
        ASSERT_EQ(clipboard->text(), QString::fromStdString(bad.text));
        edit->selectAll();
        edit->paste();
        EXPECT_EQ(w.form.BaudRateText(), bad.text);
        // The keyboard's paste key, which produces no character, does the same.
        edit->clear();
        QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
        EXPECT_EQ(w.form.BaudRateText(), bad.text);

        w.dialogs.clear();
        w.ui.Button2->click();
        ExpectUsable(w);
        ASSERT_EQ(w.dialogs.size(), 1u) << Shown(w.dialogs).toStdString();
        // The port's message, then the device it led to on a line of its own.
        EXPECT_EQ(w.dialogs[0].text.section('\n', 0, 0), kOpenError);
        ASSERT_NE(SharedPort(), nullptr);
        EXPECT_EQ(SharedPort()->BaudRate(), br9600);
    }
}

// ---- every field, every button -------------------------------------------------------

// Each field set to each bad text, then each operation button pressed: every
// press ends with exactly one clear message (the field's refusal, or the
// absent port) and a usable window.
TEST_F(BadInputWindow, EveryFieldWithEachBadTextThenEachButton)
{
    struct Field {
        const char* name;
        std::string good;
        std::function<void(RecordedWindow&, const QString&)> set;
    };
    const Field fields[] = {
        {"eCom", kAbsentCom, [](RecordedWindow& w, const QString& t) { w.ui.eCom->setText(t); }},
        {"cbBuadRate", "9600", [](RecordedWindow& w, const QString& t) { w.ui.cbBuadRate->setEditText(t); }},
        {"eStart", "0", [](RecordedWindow& w, const QString& t) { w.ui.eStart->setText(t); }},
        {"eCount", "5", [](RecordedWindow& w, const QString& t) { w.ui.eCount->setText(t); }},
        {"edFromDate", "880101", [](RecordedWindow& w, const QString& t) { w.ui.edFromDate->setText(t); }},
        {"edToDate", "880501", [](RecordedWindow& w, const QString& t) { w.ui.edToDate->setText(t); }},
    };
    const QStringList clearMessages = {kOpenError, kBadCount, kBadFromDate, kBadToDate};

    for (const Field& field : fields) {
        for (const BadText& bad : BadTexts(field.good)) {
            SCOPED_TRACE(std::string(field.name) + ", " + bad.name + ": \"" + Printable(bad.text) + "\"");
            RecordedWindow w;
            w.ui.ChboxIsVireo->click();
            w.ui.chboxVireoFromToDate->click();
            w.ui.eCom->setText(kAbsentCom);
            field.set(w, QString::fromStdString(bad.text));

            for (QPushButton* button : {w.ui.Button1, w.ui.Button2, w.ui.btnSearchPointers}) {
                SCOPED_TRACE(button->objectName().toStdString());
                w.dialogs.clear();
                button->click();
                ExpectUsable(w);
                ASSERT_EQ(w.dialogs.size(), 1u) << Shown(w.dialogs).toStdString();
                EXPECT_TRUE(clearMessages.contains(w.dialogs[0].text.section('\n', 0, 0)))
                    << w.dialogs[0].text.toStdString();
            }
        }
    }
}

}  // namespace
