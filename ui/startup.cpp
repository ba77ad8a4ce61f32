#include "ui/startup.h"

#include <QApplication>
#include <QTranslator>
#include <clocale>
#include <cstdlib>

#include "ui/NabikU.h"
#include "ui/messages.h"
#include "unlha32/unlha32.h"

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

void PrepareApplication() {
  QApplication::setApplicationName(AppTitle());
  QApplication::setFont(NabikFont());
  std::setlocale(LC_NUMERIC, "C");
}

bool HaveDisplay() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

int RunWindows(int argc, char** argv) {
  int status = 2;
  {
    QApplication app(argc, argv);
    PrepareApplication();
    // The program speaks Japanese whatever the locale; so do Qt's own dialogs.
    const std::unique_ptr<QTranslator> translation = InstallQtTranslation();
    InstallUnlhaMessageBox();
    StartUnlha();
    if (std::unique_ptr<TNabikF> window = CreateWindows()) {
      window->show();
      status = app.exec();
    }
  }
  StopUnlha();
  return status;
}
