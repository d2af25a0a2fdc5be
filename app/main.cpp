// The window program: one main window, then the message loop until it closes.
// It takes no arguments and keeps no settings between runs.
#include <QApplication>
#include <QFont>

#include "app/tform1.h"
#include "utils/outputfolder.h"

int main(int argc, char* argv[])
{
    // The output folder is chosen once, before anything can depend on it.
    OutputFolder();
    QApplication application(argc, argv);
    // Desktops match the window to its menu entry (and icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("clockreader"));
    // Tahoma 8 pt; the platform substitutes a similar face when it is absent.
    QApplication::setFont(QFont(QStringLiteral("Tahoma"), 8));
    TForm1 form;
    // A file in use cannot be recreated: the window has said so, and ends.
    if (form.OutputFilesInUse()) return 1;
    form.show();
    return application.exec();
}
