// Shows the main window on the current display and saves pictures of it:
//   gui_screenshot OUTPUT_DIR
// writes window.png (the window as it opens), rs485-vireo.png (bus, clock 32
// typed and date range chosen), wait.png (the wait panel over the date
// fields), screen.png (the whole screen with the window centred on it), and
// two messages: layout-warning.png (a download whose records did not fit the
// layout chosen) and port-error.png (a port refused for permission). It also
// prints where eCom, eCount and Button1 are in the window ("geometry NAME X
// Y WIDTH HEIGHT"), so a script can click them in the real program.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/dialogs.h"
#include "app/tform1.h"
#include "serial/comport.h"
#include "ui_tform1.h"

namespace {

void settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool save(QWidget& form, const QString& path)
{
    const bool ok = form.grab().save(path);
    std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
    return ok;
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("Tahoma"), 8));
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    QDir().mkpath(out.absolutePath());

    std::vector<ShownDialog> shown;
    TForm1 form([&shown](const ShownDialog& d) {
        std::printf("dialog: %s\n", qPrintable(d.text));
        shown.push_back(d);
    });
    form.show();
    settle();
    bool ok = save(form, out.filePath("window.png"));
    for (QWidget* control :
         std::initializer_list<QWidget*>{form.ui().eCom, form.ui().eCount, form.ui().Button1}) {
        const QRect r(control->mapTo(&form, QPoint(0, 0)), control->size());
        std::printf("geometry %s %d %d %d %d\n", qPrintable(control->objectName()), r.x(), r.y(), r.width(),
                    r.height());
    }
    if (QScreen* screen = form.screen()) {
        const bool saved = screen->grabWindow(0).save(out.filePath("screen.png"));
        std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(out.filePath("screen.png")));
    }

    Ui::TForm1& ui = form.ui();
    ui.RadioButton2->click();
    for (const char* digit : {"3", "2"}) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_3 + (digit[0] - '3'), Qt::NoModifier,
                        QString::fromLatin1(digit));
        QApplication::sendEvent(ui.SelectedClock, &press);
    }
    ui.ChboxIsVireo->click();
    ui.chboxVireoFromToDate->click();
    form.SetRecordTotalText("12345");
    form.SetRecordsReadText("6789");
    form.SetReadIndexText("253578");
    form.SetWriteIndexText("1200");
    form.SetProgressMaximum(100);
    form.SetProgressPosition(40);
    settle();
    ok = save(form, out.filePath("rs485-vireo.png")) && ok;

    form.SetWaitPanelVisible(true);
    settle();
    ok = save(form, out.filePath("wait.png")) && ok;
    form.SetWaitPanelVisible(false);

    const std::pair<const char*, ShownDialog> messages[] = {
        {"layout-warning.png", WarningDialog(QStringLiteral(
                                   "433 of 500 records read have no plausible date and time in the standard "
                                   "record layout: the clock most likely uses the Vireo layout. Check the "
                                   "Vireo box and read again."))},
        {"port-error.png", ErrorReport(std::runtime_error(
                               "Unable to open com port (win error code: 13)\nCOM1 -> /dev/ttyUSB0: only "
                               "members of the group dialout may use /dev/ttyUSB0: add this user to it "
                               "(adduser USER dialout) and log in again"))},
    };
    // The failure boxes as the window words them: the line that did not
    // answer, a port that does not exist, where the records read are.
    ui.RadioButton1->click();
    ui.eCom->setText(QStringLiteral("98"));
    shown.clear();
    form.ShowMessageBox("خطا در ارتباط ", "خطا");
    form.ReportError(EComPort(1, 2));
    form.ShowMessageBox("خطا در رکورد", "خطا");
    const char* const failureNames[] = {"communication-error.png", "no-such-port.png", "record-error.png"};
    std::vector<std::pair<const char*, ShownDialog>> boxes(std::begin(messages), std::end(messages));
    for (std::size_t i = 0; i < shown.size() && i < 3; ++i) boxes.emplace_back(failureNames[i], shown[i]);
    for (const auto& [name, message] : boxes) {
        std::unique_ptr<QMessageBox> box = DialogBox(&form, message);
        box->show();
        settle();
        ok = save(*box, out.filePath(name)) && ok;
        box->close();
    }
    form.close();
    return ok ? 0 : 1;
}
