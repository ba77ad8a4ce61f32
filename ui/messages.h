#pragma once
// Message boxes of the windows, the application's title and font. Every message box goes
// through ShowMessageBox, so that the tests can see what the user would see.
#include <QFont>
#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <string>

class QTranslator;
class QWidget;

// The application's title: the caption of the run's messages and of error messages.
QString AppTitle();

// "ＭＳ Ｐゴシック", 12 pixels high; an installed Japanese font stands in for it.
QFont NabikFont();

// Shows a modal message box with one OK button and waits until the user closes it.
using tmessagebox = std::function<void(QWidget* owner, const QString& caption, const QString& text,
                                       QMessageBox::Icon icon)>;
extern tmessagebox ShowMessageBox;
void ShowModalMessageBox(QWidget* owner, const QString& caption, const QString& text,
                         QMessageBox::Icon icon);

// Core text (CP932 mixed with file-system bytes) for display.
QString ShownText(const std::string& bytes);

// An error that ended a step, as the general error handler shows it.
void ShowError(QWidget* owner, const std::string& message);

// Runs `step` and shows any error it raises instead of letting it unwind through the window
// toolkit. Returns false when it raised.
template <typename F>
bool Guarded(QWidget* owner, F&& step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    ShowError(owner, e.what());
    return false;
  }
}

// Lets the LHA binding show its messages as message boxes (error icon, no owner window).
void InstallUnlhaMessageBox();

// Qt's own Japanese texts (qtbase_ja from Qt's translations folder) for the file dialogs and
// the message box buttons, installed in the application while the holder lives; null when the
// translation is not installed.
std::unique_ptr<QTranslator> InstallQtTranslation();
