// The modal messages the window shows the operator.
//
// Five kinds: the plain message box (caller's caption, no icon), the message
// dialogs of the error kind (caption "Error"), information kind (caption
// "Information") and warning kind (caption "Warning"), and the report of an error that escaped a handler
// (caption the application title, error icon). Each has one "OK" button. A window may route them to a hook
// instead, so tests can record them without a modal loop.
#pragma once

#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>
#include <memory>

struct ShownDialog {
    enum Kind { PlainMessageBox, ErrorDialog, InformationDialog, ErrorReport, WarningDialog };
    Kind kind;
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

// Receives a dialog instead of it being shown.
using DialogHook = std::function<void(const ShownDialog&)>;

ShownDialog PlainMessageBox(const QString& text, const QString& caption);
ShownDialog ErrorDialog(const QString& text);
ShownDialog InformationDialog(const QString& text);
// A warning after an operation that did its work (caption "Warning").
ShownDialog WarningDialog(const QString& text);
// The report of `error`: its text under the "." rule of ErrorReportText.
ShownDialog ErrorReport(const std::exception& error);
// Text of an error whose type is unknown (caught as ...).
ShownDialog UnknownErrorReport();

// The program's title: the executable's file name without its extension.
QString ApplicationTitle();

// The box that shows `dialog` over `parent`, not yet shown.
std::unique_ptr<QMessageBox> DialogBox(QWidget* parent, const ShownDialog& dialog);

// The text as a dialog shows it: line breaks as "\n" alone. The operations
// break lines with CR LF; Qt's Windows text layout counts the CR into the
// line's width and then cuts its first letter off a right-to-left line
// ("شاره" for "اشاره"), where Linux shows the line whole.
QString DialogDisplayText(const QString& text);

// Shows `dialog` modally over `parent` and returns when the operator has
// closed it.
void ExecDialog(QWidget* parent, const ShownDialog& dialog);
