#pragma once
// The bytes behind the text fields. The core holds CP932 texts and file names as the file
// system spells them; a field shows them decoded and hands back exactly the bytes it was given
// as long as the user has not changed the text, so that nothing is lost in the round trip.
#include <QString>
#include <string>

class QComboBox;
class QLineEdit;

// How a text the user typed becomes bytes: a path as the file system spells names, any other
// text in CP932 (characters CP932 lacks become 〓).
enum class tfieldkind { Path, Text };

std::string TypedBytes(const QString& text, tfieldkind kind);

// Shows `bytes` in `field` and remembers them.
void SetFieldBytes(QLineEdit* field, const std::string& bytes);

// The remembered bytes while the field shows what it was given, otherwise the typed text.
std::string FieldBytes(const QLineEdit* field, tfieldkind kind);

// Selects `position` (-1: none) of an editable list and shows `text` in its edit part.
void SetListField(QComboBox* list, int position, const std::string& text);

// The selected position: the current item while the edit part shows its text, an item whose
// text was typed exactly, otherwise -1. An empty edit part selects nothing unless the current
// item is the empty one.
int ListPosition(const QComboBox* list);
