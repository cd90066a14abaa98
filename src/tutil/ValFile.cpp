#include "ValFile.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "format.h"

namespace tutil {

using paradox::Bytes;
using paradox::ByteSpan;
using paradox::DecodeU16;
using paradox::DecodeU32;
using paradox::Result;
using paradox::Status;

namespace {

// Offsets as documented for version 9..12 files.
constexpr size_t kHeaderSize = 0x11;
constexpr size_t kFirstCheck = 0x35;
constexpr size_t kCheckFixed = 0x1C;
constexpr size_t kLookupBytes = 26 + 0x36;
constexpr size_t kLinkSize = 0x1E0;

class Cursor {
 public:
  explicit Cursor(ByteSpan d) : d_(d) {}
  bool Has(size_t pos, size_t n) const { return pos <= d_.size() && n <= d_.size() - pos; }
  const uint8_t* At(size_t pos) const { return d_.data() + pos; }
  size_t size() const { return d_.size(); }
  std::string Text(size_t pos, size_t max) const {
    size_t n = 0;
    while (n < max && pos + n < d_.size() && d_[pos + n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(d_.data() + pos), n);
  }

 private:
  ByteSpan d_;
};

Status Bad(size_t offset, const std::string& what) {
  char where[32];
  std::snprintf(where, sizeof where, " at offset 0x%zx", offset);
  return Status::Corruption(".VAL " + what + where);
}

}  // namespace

Result<ValInfo> DecodeVal(ByteSpan data) {
  ValInfo info;
  Cursor c(data);
  if (!c.Has(0, 3)) return Bad(0, "file is shorter than its header");
  info.structureStamp = data[0];
  info.version = data[1];
  if (info.version < 9) return info;  // 3.x layout: not documented
  if (!c.Has(0, kHeaderSize)) return Bad(0, "file is shorter than its header");
  info.documentedLayout = true;
  info.declaredChecks = data[2];
  const uint32_t footer = DecodeU32(c.At(0x09));
  const uint32_t riSection = DecodeU32(c.At(0x0D));

  // The footer lists the table's fields; the check entries' values are as long as
  // the fields they belong to.
  if (footer < kFirstCheck || !c.Has(footer, 6)) return Bad(0x09, "footer offset out of range");
  const uint16_t nFields = DecodeU16(c.At(footer));
  const size_t types = footer + 6 + size_t(nFields) * 2;
  if (!c.Has(types, size_t(nFields) * 2)) return Bad(footer, "field list runs past the end");
  std::vector<uint32_t> fieldSize(nFields);
  for (uint16_t i = 0; i < nFields; ++i) {
    const uint8_t type = data[types + 2 * i];
    const uint8_t size = data[types + 2 * i + 1];
    fieldSize[i] = paradox::IsKnownFieldType(type)
                       ? paradox::StoredFieldSize(static_cast<paradox::FieldType>(type), size)
                       : size;
  }

  size_t pos = kFirstCheck;
  for (uint16_t i = 0; i < info.declaredChecks; ++i) {
    if (!c.Has(pos, kCheckFixed) || pos + kCheckFixed > footer)
      return Bad(pos, "validity entry runs past its section");
    const uint8_t* e = c.At(pos);
    ValCheck check;
    check.fieldIndex = e[0];
    const uint8_t pictureLength = e[1];
    check.required = e[2] != 0;
    check.lookupFlags = e[3];
    check.hasLookup = DecodeU32(e + 0x04) != 0;
    check.hasMin = DecodeU32(e + 0x0C) != 0;
    check.hasMax = DecodeU32(e + 0x10) != 0;
    check.hasDefault = DecodeU32(e + 0x14) != 0;
    const bool hasPicture = DecodeU32(e + 0x18) != 0;
    if (check.fieldIndex >= nFields)
      return Bad(pos, "validity entry names field " + std::to_string(check.fieldIndex + 1) +
                          " of " + std::to_string(nFields));
    pos += kCheckFixed;
    if (check.hasLookup) {
      if (!c.Has(pos, kLookupBytes)) return Bad(pos, "lookup table name runs past the end");
      check.lookupTable = c.Text(pos, 26);
      pos += kLookupBytes;
    }
    const uint32_t valueSize = fieldSize[check.fieldIndex];
    for (auto [present, out] :
         {std::pair{check.hasMin, &check.minValue}, std::pair{check.hasMax, &check.maxValue},
          std::pair{check.hasDefault, &check.defaultValue}}) {
      if (!present) continue;
      if (!c.Has(pos, valueSize)) return Bad(pos, "validity value runs past the end");
      out->assign(c.At(pos), c.At(pos) + valueSize);
      pos += valueSize;
    }
    if (hasPicture) {
      if (!c.Has(pos, pictureLength)) return Bad(pos, "picture runs past the end");
      check.picture = c.Text(pos, pictureLength);
      pos += pictureLength;
    }
    info.checks.push_back(std::move(check));
  }

  if (riSection != 0) {
    if (!c.Has(riSection, 2)) return Bad(0x0D, "referential-integrity offset out of range");
    info.declaredLinks = DecodeU16(c.At(riSection));
    size_t at = riSection + 2;
    if (info.declaredLinks > (c.size() - at) / kLinkSize)
      return Bad(riSection, "referential-integrity links run past the end");
    for (uint16_t i = 0; i < info.declaredLinks; ++i, at += kLinkSize) {
      const uint8_t* e = c.At(at);
      ValLink link;
      link.name = c.Text(at, 0x40);
      link.masterTable = c.Text(at + 0xD4, 0x72);
      link.updateRule = DecodeU32(e + 0x19A);
      const uint16_t n = DecodeU16(e + 0x19E);
      if (n > 10) return Bad(at + 0x19E, "link has " + std::to_string(n) + " fields, at most 10");
      for (uint16_t k = 0; k < n; ++k) {
        link.thisFields.push_back(DecodeU16(e + 0x1A0 + 2 * k));
        link.masterFields.push_back(DecodeU16(e + 0x1C0 + 2 * k));
      }
      info.links.push_back(std::move(link));
    }
  }
  return info;
}

}  // namespace tutil
