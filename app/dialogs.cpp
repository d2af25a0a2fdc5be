#include "app/dialogs.h"

#include <QCoreApplication>
#include <QFileInfo>

#include "clocklink/clockwindow.h"

ShownDialog PlainMessageBox(const QString& text, const QString& caption)
{
    return {ShownDialog::PlainMessageBox, text, caption, QMessageBox::NoIcon};
}

ShownDialog ErrorDialog(const QString& text)
{
    return {ShownDialog::ErrorDialog, text, QStringLiteral("Error"), QMessageBox::Critical};
}

ShownDialog InformationDialog(const QString& text)
{
    return {ShownDialog::InformationDialog, text, QStringLiteral("Information"), QMessageBox::Information};
}

ShownDialog WarningDialog(const QString& text)
{
    return {ShownDialog::WarningDialog, text, QStringLiteral("Warning"), QMessageBox::Warning};
}

ShownDialog ErrorReport(const std::exception& error)
{
    return {ShownDialog::ErrorReport, QString::fromStdString(ErrorReportText(error.what())),
            ApplicationTitle(), QMessageBox::Critical};
}

ShownDialog UnknownErrorReport()
{
    return {ShownDialog::ErrorReport, QStringLiteral("Unknown error."), ApplicationTitle(),
            QMessageBox::Critical};
}

QString ApplicationTitle()
{
    const QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty()) return QCoreApplication::applicationName();
    return QFileInfo(path).completeBaseName();
}

QString DialogDisplayText(const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

std::unique_ptr<QMessageBox> DialogBox(QWidget* parent, const ShownDialog& dialog)
{
    auto box = std::make_unique<QMessageBox>(dialog.icon, dialog.caption, DialogDisplayText(dialog.text),
                                             QMessageBox::NoButton, parent);
    // The caption is exactly "OK" whatever translation the toolkit has loaded.
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setTextFormat(Qt::PlainText);
    return box;
}

void ExecDialog(QWidget* parent, const ShownDialog& dialog) { DialogBox(parent, dialog)->exec(); }
