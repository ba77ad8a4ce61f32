#pragma once
// File dialog filters written as "description|patterns|description|patterns", patterns
// separated by ';', turned into the name filters of a Qt file dialog.
#include <QString>
#include <QStringList>

// One name filter per row: "description (pattern pattern)"; a parenthesised pattern list at the
// end of a description is replaced by the row's patterns. A row without patterns is dropped.
QStringList QtNameFilters(const QString& filter);
