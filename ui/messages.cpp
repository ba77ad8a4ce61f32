#include "ui/messages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

#include "common/text.h"
#include "unlha32/unlha32.h"

tmessagebox ShowMessageBox = ShowModalMessageBox;

QString AppTitle() {
  return QStringLiteral("Nabik");
}

QFont NabikFont() {
  QFont font;
  // The designed face first; fontconfig has no alias for it, so name the Japanese fonts that
  // may stand in for it before the generic family.
  font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                    QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                    QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
  font.setPixelSize(12);
  return font;
}

void ShowModalMessageBox(QWidget* owner, const QString& caption, const QString& text,
                         QMessageBox::Icon icon) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
  box.exec();
}

QString ShownText(const std::string& bytes) {
  return QString::fromStdString(DisplayUtf8(bytes));
}

void ShowError(QWidget* owner, const std::string& message) {
  ShowMessageBox(owner, AppTitle(), ShownText(message), QMessageBox::Critical);
}

namespace {

void UnlhaMessageBox(void*, const std::string& caption, const std::string& text) {
  ShowMessageBox(nullptr, ShownText(caption), ShownText(text), QMessageBox::Critical);
}

}  // namespace

void InstallUnlhaMessageBox() {
  UnlhaMessageHook = UnlhaMessageBox;
}

std::unique_ptr<QTranslator> InstallQtTranslation() {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator.get()))
    return nullptr;
  return translator;
}
