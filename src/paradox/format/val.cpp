#include "paradox/format/val.h"

namespace paradox {

namespace {

constexpr size_t kFirstCheck = 0x35;
constexpr size_t kLookupTail = 0x36;  // after the 26-byte lookup table name
constexpr size_t kLinkSize = 0x1E0;
constexpr uint16_t kMaxLinkFields = 10;

// Footer: u16 field count, 4 bytes, numbers, (type, size) pairs, table name, names.
Status DecodeFooter(ByteSpan data, ValFile* v) {
  ByteReader r(data, ".VAL footer");
  if (v->footerOffset < kFirstCheck || !r.Seek(v->footerOffset))
    return Status::Corruption(".VAL header: footer offset " + std::to_string(v->footerOffset) +
                              " at offset 0x9 is out of range");
  uint16_t n;
  if (!r.U16(&n) || !r.Skip(4)) return r.Error("footer cut short");
  if (n == 0) return r.Error("field list is empty");
  if (n > 255 || !r.Fits(n, 4))
    return r.Error("field count " + std::to_string(n) + " does not fit");
  std::vector<FieldDesc> fields(n);
  for (auto& f : fields) r.U16(&f.number);
  for (auto& f : fields) {
    uint8_t t, s;
    r.U8(&t);
    r.U8(&s);
    if (!IsKnownFieldType(t)) return r.Error("unknown field type " + std::to_string(t));
    f.type = static_cast<FieldType>(t);
    f.sizeByte = s;
  }
  // Level-7 files use the longer table-name area, as the table header does.
  if (!r.FixedString(TableNameLength(v->version), &v->tableName))
    return r.Error("table name cut short");
  for (auto& f : fields)
    if (!r.CString(&f.name)) return r.Error("field name not terminated");
  v->fields = std::move(fields);
  v->fieldsRead = true;
  return Status::OK();
}

// Checks from 0x35, one per field with checks; their values are as long as the field.
Status DecodeChecks(ByteSpan data, ValFile* v) {
  ByteReader r(data, ".VAL checks");
  if (!r.Seek(kFirstCheck)) return r.Error("checks area missing");
  for (unsigned i = 0; i < v->declaredChecks; ++i) {
    ValCheck c;
    uint8_t field, picLen, req;
    uint32_t lookup, unknown, hasMin, hasMax, hasDef, hasPic;
    if (!r.U8(&field) || !r.U8(&picLen) || !r.U8(&req) || !r.U8(&c.lookupFlags) ||
        !r.U32(&lookup) || !r.U32(&unknown) || !r.U32(&hasMin) || !r.U32(&hasMax) ||
        !r.U32(&hasDef) || !r.U32(&hasPic))
      return r.Error("check " + std::to_string(i + 1) + " cut short");
    if (field >= v->fields.size())
      return r.Error("check " + std::to_string(i + 1) + " names field " +
                     std::to_string(field + 1) + " of " + std::to_string(v->fields.size()));
    c.fieldIndex = field;
    c.required = req != 0;
    c.hasLookup = lookup != 0;
    const FieldDesc& f = v->fields[field];
    const uint32_t size = StoredFieldSize(f.type, f.sizeByte);
    if (c.hasLookup && (!r.FixedString(26, &c.lookupTable) || !r.Skip(kLookupTail)))
      return r.Error("lookup cut short");
    for (auto [present, slot] : {std::pair{hasMin, &c.minimum}, std::pair{hasMax, &c.maximum},
                                 std::pair{hasDef, &c.defaultValue}}) {
      if (!present) continue;
      ByteSpan b;
      if (!r.Take(size, &b)) return r.Error("check value cut short");
      *slot = Bytes(b.begin(), b.end());
    }
    if (hasPic && !r.CString(&c.picture)) return r.Error("picture not terminated");
    v->checks.push_back(std::move(c));
  }
  return Status::OK();
}

Status DecodeLinks(ByteSpan data, ValFile* v) {
  ByteReader r(data, ".VAL links");
  if (!r.Seek(v->refIntegrityOffset) || !r.U16(&v->declaredLinks))
    return r.Error("links section out of range");
  if (!r.Fits(v->declaredLinks, kLinkSize)) return r.Error("links run past the end");
  for (unsigned i = 0; i < v->declaredLinks; ++i) {
    ByteSpan e;
    r.Take(kLinkSize, &e);
    ByteReader er(e, ".VAL link", r.fileOffset() - kLinkSize);
    ValLink link;
    uint16_t n = 0;
    er.FixedString(0x40, &link.name);
    er.Seek(0xD4);
    er.FixedString(0x72, &link.masterTable);
    er.Seek(0x19A);
    er.U32(&link.updateRule);
    er.U16(&n);
    if (n > kMaxLinkFields)
      return er.Error("link has " + std::to_string(n) + " fields, at most " +
                      std::to_string(kMaxLinkFields));
    for (uint16_t k = 0; k < n; ++k) {
      link.thisFields.push_back(DecodeU16(e.data() + 0x1A0 + 2 * k));
      link.masterFields.push_back(DecodeU16(e.data() + 0x1C0 + 2 * k));
    }
    v->links.push_back(std::move(link));
  }
  return Status::OK();
}

}  // namespace

bool ValFile::FieldsMatch(const std::vector<FieldDesc>& table, bool names) const {
  if (!fieldsRead || fields.size() != table.size()) return false;
  for (size_t i = 0; i < table.size(); ++i)
    if (fields[i].type != table[i].type || fields[i].sizeByte != table[i].sizeByte ||
        (names && fields[i].name != table[i].name))
      return false;
  return true;
}

Result<ValFile> DecodeValSections(ByteSpan data) {
  ValFile v;
  ByteReader r(data, ".VAL header");
  if (!r.U8(&v.changeCount) || !r.U8(&v.version) || !r.U8(&v.declaredChecks))
    return r.Error("file too short");
  if (v.version < 9) return v;  // the older layout is not documented
  if (!r.Seek(0x09) || !r.U32(&v.footerOffset) || !r.U32(&v.refIntegrityOffset)) {
    v.problem = r.Error("header cut short");
    return v;
  }
  v.layoutKnown = true;
  // The checks' values are as long as their fields, so they need the footer first.
  v.problem = DecodeFooter(data, &v);
  if (v.problem.ok()) v.problem = DecodeChecks(data, &v);
  if (v.refIntegrityOffset != 0) {
    Status links = DecodeLinks(data, &v);
    if (v.problem.ok()) v.problem = links;
  }
  return v;
}

Result<ValFile> DecodeVal(ByteSpan data) {
  auto v = DecodeValSections(data);
  if (v.ok() && !v->problem.ok()) return v->problem;
  return v;
}

Result<ValFile> ReadVal(FileSystem* fs, const std::string& path) {
  auto data = fs->ReadFile(path, kMaxValFileSize);
  if (!data.ok()) return data.status();
  auto v = DecodeVal(data.value());
  if (!v.ok()) return Status::Corruption(PathBaseName(path) + ": " + v.status().message());
  return v;
}

}  // namespace paradox
