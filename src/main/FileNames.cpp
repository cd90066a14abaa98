#include "FileNames.h"

#include <sys/stat.h>

#include <QComboBox>
#include <cstdint>

namespace {

// Code page 1250, bytes 0x80 to 0xFF; U+FFFD where the page defines no character.
constexpr char16_t kCp1250High[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  //
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  //
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  //
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  //
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  //
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  //
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  //
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  //
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  //
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  //
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  //
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  //
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  //
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// Length of the well-formed UTF-8 sequence at the start of `s` (no overlong forms, no
// surrogates, nothing beyond U+10FFFF); 0 when there is none.
size_t Utf8SequenceLength(std::string_view s) {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = at(0);
  if (lead < 0x80) return 1;
  const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((at(i) & 0xC0) != 0x80) return 0;
  }
  const uint8_t second = at(1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

}  // namespace

QString DisplayText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  size_t validFrom = 0;  // start of the run of valid UTF-8 not yet appended
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t length = Utf8SequenceLength(bytes.substr(i));
    if (length != 0) {
      i += length;
      continue;
    }
    text += QString::fromUtf8(bytes.data() + validFrom, static_cast<qsizetype>(i - validFrom));
    text += QChar(kCp1250High[static_cast<uint8_t>(bytes[i]) - 0x80]);
    validFrom = ++i;
  }
  text += QString::fromUtf8(bytes.data() + validFrom, static_cast<qsizetype>(i - validFrom));
  return text;
}

void AddNameItem(QComboBox& combo, const QByteArray& name) {
  combo.addItem(DisplayText(name));
  combo.setItemData(combo.count() - 1, name, kNameBytesRole);
}

QByteArray NameItemBytes(const QComboBox& combo, int index) {
  return combo.itemData(index, kNameBytesRole).toByteArray();
}

bool NameExists(const QByteArray& path) {
  struct stat st;
  return !path.isEmpty() && lstat(path.constData(), &st) == 0;
}
