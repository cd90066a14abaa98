#include "val.h"

namespace paradox {

static Status DecodeFooter(ByteSpan data, ValFile* v) {
  ByteReader r(data, ".VAL footer");
  if (!r.Seek(v->footerOffset)) return r.Error("footer offset beyond the end of the file");
  uint16_t n;
  if (!r.U16(&n) || !r.Skip(4)) return r.Error("footer cut short");
  if (n > 255 || !r.Fits(n, 4)) return r.Error("field count " + std::to_string(n) + " does not fit");
  v->fields.resize(n);
  for (auto& f : v->fields) r.U16(&f.number);
  for (auto& f : v->fields) {
    uint8_t t, s;
    r.U8(&t);
    r.U8(&s);
    if (!IsKnownFieldType(t)) return r.Error("unknown field type " + std::to_string(t));
    f.type = static_cast<FieldType>(t);
    f.sizeByte = s;
  }
  // Level-7 files use the longer table-name area, as the table header does.
  if (!r.FixedString(TableNameLength(v->version), &v->tableName)) return r.Error("table name cut short");
  for (auto& f : v->fields)
    if (!r.CString(&f.name)) return r.Error("field name not terminated");
  return Status::OK();
}

Result<ValFile> DecodeVal(ByteSpan data) {
  ValFile v;
  ByteReader r(data, ".VAL header");
  uint8_t count;
  if (!r.U8(&v.changeCount) || !r.U8(&v.version)) return r.Error("file too short");
  if (v.version < 9 || v.version > 12) return v;  // older layout: only byte 0 is known
  v.layoutKnown = true;
  if (!r.U8(&count) || !r.Seek(0x09) || !r.U32(&v.footerOffset) || !r.U32(&v.refIntegrityOffset))
    return r.Error("header cut short");
  PARADOX_RETURN_IF_ERROR(DecodeFooter(data, &v));
  if (!r.Seek(0x35)) return r.Error("checks area missing");
  for (uint8_t i = 0; i < count; ++i) {
    ValCheck c;
    uint8_t picLen, req;
    uint32_t lookup, unknown, hasMin, hasMax, hasDef, hasPic;
    if (!r.U8(&c.fieldIndex) || !r.U8(&picLen) || !r.U8(&req) || !r.U8(&c.lookupFlags) || !r.U32(&lookup) ||
        !r.U32(&unknown) || !r.U32(&hasMin) || !r.U32(&hasMax) || !r.U32(&hasDef) || !r.U32(&hasPic))
      return r.Error("check " + std::to_string(i + 1) + " cut short");
    if (c.fieldIndex >= v.fields.size())
      return r.Error("check " + std::to_string(i + 1) + " names field " + std::to_string(c.fieldIndex + 1) +
                     " of " + std::to_string(v.fields.size()));
    c.required = req != 0;
    const ValField& f = v.fields[c.fieldIndex];
    uint32_t size = StoredFieldSize(f.type, f.sizeByte);
    if (lookup) {
      if (!r.FixedString(26, &c.lookupTable) || !r.Skip(0x36)) return r.Error("lookup cut short");
    }
    for (auto [present, slot] : {std::pair{hasMin, &c.minimum}, std::pair{hasMax, &c.maximum},
                                 std::pair{hasDef, &c.defaultValue}}) {
      if (!present) continue;
      ByteSpan b;
      if (!r.Take(size, &b)) return r.Error("check value cut short");
      *slot = Bytes(b.begin(), b.end());
    }
    if (hasPic && !r.CString(&c.picture)) return r.Error("picture not terminated");
    v.checks.push_back(std::move(c));
  }
  return v;
}

Result<ValFile> ReadVal(FileSystem* fs, const std::string& path) {
  auto data = fs->ReadFile(path);
  if (!data.ok()) return data.status();
  auto v = DecodeVal(data.value());
  if (!v.ok()) return Status::Corruption(PathBaseName(path) + ": " + v.status().message());
  return v;
}

}  // namespace paradox
