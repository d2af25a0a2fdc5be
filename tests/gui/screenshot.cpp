// Shows the main window on the current display and saves pictures of it:
//   gui_screenshot OUTPUT_DIR
// writes window.png (the window as it opens), rs485-vireo.png (bus and date
// range chosen), wait.png (the wait panel over the date fields) and
// screen.png (the whole screen with the window centred on it). It also
// prints where eCom, eCount and Button1 are in the window ("geometry NAME X
// Y WIDTH HEIGHT"), so a script can click them in the real program.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <initializer_list>

#include "app/tform1.h"
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

    TForm1 form([](const ShownDialog& d) { std::printf("dialog: %s\n", qPrintable(d.text)); });
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
    ui.UpDown->stepBy(4);
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
    form.close();
    return ok ? 0 : 1;
}
