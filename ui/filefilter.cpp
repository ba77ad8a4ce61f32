#include "ui/filefilter.h"

namespace {

// The description without a trailing "(...)" and the blanks before it.
QString BareDescription(QString description) {
  description = description.trimmed();
  if (description.endsWith(QLatin1Char(')'))) {
    const qsizetype open = description.lastIndexOf(QLatin1Char('('));
    if (open >= 0) description.truncate(open);
  }
  return description.trimmed();
}

}  // namespace

QStringList QtNameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    if (patterns.isEmpty()) continue;
    QString description = BareDescription(parts[i]);
    if (!description.isEmpty()) description += QLatin1Char(' ');
    filters << description + QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters;
}
