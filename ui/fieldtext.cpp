#include "ui/fieldtext.h"

#include <QByteArray>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QVariant>

#include "common/text.h"
#include "ui/messages.h"

namespace {

constexpr const char* kBytesProperty = "nabikBytes";
constexpr const char* kShownProperty = "nabikShown";

}  // namespace

std::string TypedBytes(const QString& text, tfieldkind kind) {
  if (kind == tfieldkind::Path) return QFile::encodeName(text).toStdString();
  return ToCp932(text.toStdString(), "UTF-8");
}

void SetFieldBytes(QLineEdit* field, const std::string& bytes) {
  const QString shown = ShownText(bytes);
  field->setText(shown);
  field->setCursorPosition(0);  // a long path shows its beginning
  field->setProperty(kBytesProperty, QByteArray::fromStdString(bytes));
  field->setProperty(kShownProperty, shown);
}

std::string FieldBytes(const QLineEdit* field, tfieldkind kind) {
  const QVariant shown = field->property(kShownProperty);
  if (shown.isValid() && shown.toString() == field->text())
    return field->property(kBytesProperty).toByteArray().toStdString();
  return TypedBytes(field->text(), kind);
}

void SetListField(QComboBox* list, int position, const std::string& text) {
  list->setCurrentIndex(position < list->count() ? position : -1);
  list->setEditText(ShownText(text));
}

int ListPosition(const QComboBox* list) {
  const QString text = list->currentText();
  const int current = list->currentIndex();
  if (current >= 0 && list->itemText(current) == text) return current;
  if (text.isEmpty()) return -1;
  return list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
}
