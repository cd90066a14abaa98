// File names and table locations stay bytes, exactly as the file system and the engine give
// them, from the table listing to the utility library: a name that is not UTF-8 (a CP1250
// name on an old share, say) must reach the library unchanged, whatever the locale. They
// become text only to be shown, through DisplayText.
#pragma once

#include <QByteArray>
#include <QString>
#include <string_view>

class QComboBox;

// The text shown for bytes from the file system, the engine or the utility library: UTF-8
// where the bytes are valid UTF-8; each other byte as its letter in code page 1250, the
// code page of the Polish Windows machines such names come from ("Zam\xF3wienia.DB" shows
// as "Zamówienia.DB"), and the five bytes that page leaves undefined as U+FFFD. The same
// for every locale; display only, never converted back.
QString DisplayText(std::string_view bytes);
inline QString DisplayText(const QByteArray& bytes) {
  return DisplayText(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}
inline QString DisplayText(const char* bytes) {
  return DisplayText(std::string_view(bytes));
}

// The role under which the alias and table lists keep each entry's name as bytes; the
// entry's text is only its DisplayText.
inline constexpr int kNameBytesRole = Qt::UserRole;
// Adds an entry showing the name and holding its bytes.
void AddNameItem(QComboBox& combo, const QByteArray& name);
// The bytes of entry `index` (empty for -1 or an entry without them).
QByteArray NameItemBytes(const QComboBox& combo, int index);

// Whether something (a file, a folder, a dangling link) has this name on disk.
bool NameExists(const QByteArray& path);
