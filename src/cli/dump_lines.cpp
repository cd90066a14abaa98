#include "dump_lines.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "paradox/format/field_rules.h"
#include "paradox/format/value.h"

namespace rekasto {

namespace {

using paradox::FieldType;

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

void AppendHex(std::string* out, const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  const size_t at = out->size();
  out->resize(at + 2 * n);
  char* o = out->data() + at;
  for (size_t i = 0; i < n; ++i) {
    *o++ = digits[p[i] >> 4];
    *o++ = digits[p[i] & 15];
  }
}

std::string CsvText(const OutValue& v, const std::string& nullText) {
  using K = OutValue::Kind;
  switch (v.kind) {
    case K::kNull:
      return nullText;
    case K::kBool:
      return v.boolean ? "true" : "false";
    case K::kInteger:
      return std::to_string(v.integer);
    case K::kReal:
      return RealText(v.real);
    case K::kText:
      return v.text;
    case K::kBytes:
      return HexText(v.bytes);
  }
  return {};
}

std::string JsonText(const nlohmann::ordered_json& j);

nlohmann::ordered_json JsonValue(const OutValue& v) {
  using K = OutValue::Kind;
  switch (v.kind) {
    case K::kNull:
      return nullptr;
    case K::kBool:
      return v.boolean;
    case K::kInteger:
      return v.integer;
    case K::kReal:
      if (std::isfinite(v.real)) return v.real;
      return RealText(v.real);  // JSON has no NaN or infinity
    case K::kText:
      if (!v.fileName.empty()) return {{"file", v.fileName}};
      return v.text;
    case K::kBytes:
      return {{"base64", Base64Text(v.bytes)}};
  }
  return nullptr;
}

}  // namespace

char* WriteReal(char* out, double d) {
  if (std::isnan(d)) return std::copy_n("NaN", 3, out);
  if (std::isinf(d))
    return d > 0 ? std::copy_n("Infinity", 8, out) : std::copy_n("-Infinity", 9, out);
  char* end = out;
  for (int p = 15; p <= 17; ++p) {
    end = std::to_chars(out, out + 32, d, std::chars_format::general, p).ptr;
    double back = 0;
    // One refused (out of range) tries more digits; 17 always read back.
    if (std::from_chars(out, end, back).ec == std::errc() && back == d) break;
  }
  return end;
}

DumpLines::DumpLines(const paradox::TableHeader& h, const paradox::Charset& charset,
                     paradox::BlobFile* blobs, DumpSettings settings, paradox::FileSystem* fs)
    : h_(h),
      blobs_(blobs),
      settings_(std::move(settings)),
      render_(h, charset, blobs, settings_.blobDir, settings_.stem, fs),
      utf8_(charset) {
  for (const paradox::FieldDesc& f : h.fields)
    fieldNames_.push_back(paradox::ToUtf8(f.name, charset));
  names_ = settings_.json ? DistinctNames(fieldNames_) : fieldNames_;  // JSON: keys of one object
  for (const std::string& name : names_) jsonKeys_.push_back(JsonText(name) + ":");
  nullField_ = CsvField(settings_.nullText);
  for (const paradox::FieldDesc& f : h.fields) {
    const bool blob = paradox::IsBlobType(f.type);
    columns_.push_back({f.type, f.offset, f.Size(), blob, paradox::CanBeInvalid(f.type)});
  }
  bytewise_ = utf8_.bytewise();
  asciiSame_ = bytewise_;
  for (int b = 0; b < 0x80 && asciiSame_; ++b) {
    const char c = char(b);
    asciiSame_ = utf8_.Utf8Of(uint8_t(b)) == std::string_view(&c, 1);
  }
  for (int b = 0; b < 256 && bytewise_; ++b)
    for (char c : utf8_.Utf8Of(uint8_t(b)))
      marked_[b] |= settings_.json ? (uint8_t(c) < 0x20 || c == '"' || c == '\\')
                                   : (c == ',' || c == '"' || c == '\r' || c == '\n');
}

void DumpLines::AppendText(const uint8_t* p, size_t n, std::string* out) const {
  const size_t at = out->size();
  const std::string_view text(reinterpret_cast<const char*>(p), n);
  if (bytewise_) {
    // Every byte's UTF-8 is well-formed, so only the marked ones need a look.
    bool marked = false, high = false;
    for (size_t i = 0; i < n; ++i) {
      marked |= marked_[p[i]];
      high |= p[i] >= 0x80;
    }
    if (!marked) {
      if (settings_.json) *out += '"';
      if (!high && asciiSame_)
        out->append(text);  // the common case: nothing to convert
      else
        utf8_.Append(text, out);
      if (settings_.json) *out += '"';
      return;
    }
  }
  utf8_.Append(text, out);
  Text(out, at);
}

std::string DumpLines::HeaderLine() const {
  if (settings_.json) return "";
  std::string line;
  for (size_t i = 0; i < names_.size(); ++i) line += (i ? "," : "") + CsvField(names_[i]);
  return line + "\n";
}

bool DumpLines::AppendReference(paradox::ByteSpan raw, uint64_t ordinal, std::string* out,
                                std::vector<std::string>* problems, std::string* error) {
  std::vector<paradox::Value> values;
  values.reserve(h_.fields.size());
  for (const paradox::FieldDesc& f : h_.fields) {
    auto v = paradox::DecodeField(f, raw.subspan(f.offset, f.Size()));
    if (!v.ok()) {
      *error = v.status().message();
      return false;
    }
    values.push_back(std::move(v).value());
  }
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    std::string problem;
    OutValue v = render_.Render(i, values[i], ordinal, &problem);
    if (!problem.empty()) problems->push_back(problem);
    if (settings_.json)
      object[names_[i]] = JsonValue(v);
    else
      line += (i ? "," : "") + CsvField(CsvText(v, settings_.nullText));
  }
  if (settings_.json) {
    *out += object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  } else {
    // A line holding one empty field would read as no record at all.
    *out += line.empty() ? "\"\"" : line;
  }
  *out += '\n';
  return true;
}

void DumpLines::QuoteFrom(std::string* out, size_t at) {
  bool quote = false;
  for (size_t i = at; i < out->size(); ++i) {
    const char c = (*out)[i];
    quote |= (c == ',') | (c == '"') | (c == '\r') | (c == '\n');
  }
  if (!quote) return;
  const std::string text = out->substr(at);
  out->resize(at);
  AppendCsvField(out, text);
}

namespace {

// Whether s is well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF), as nlohmann::json's decoder takes it.
bool WellFormedUtf8(const unsigned char* s, size_t n) {
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

void AppendBase64(std::string* out, const uint8_t* b, size_t n) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    const uint32_t v = uint32_t(b[i]) << 16 | uint32_t(b[i + 1]) << 8 | b[i + 2];
    const char q[4] = {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
    out->append(q, 4);
  }
  if (i + 1 == n) {
    const uint32_t v = uint32_t(b[i]) << 16;
    const char q[4] = {a[v >> 18], a[(v >> 12) & 63], '=', '='};
    out->append(q, 4);
  } else if (i + 2 == n) {
    const uint32_t v = uint32_t(b[i]) << 16 | uint32_t(b[i + 1]) << 8;
    const char q[4] = {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    out->append(q, 4);
  }
}

std::string JsonText(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

void DumpLines::JsonQuoteFrom(std::string* out, size_t at) {
  const auto* s = reinterpret_cast<const unsigned char*>(out->data()) + at;
  const size_t n = out->size() - at;
  bool plain = true, ascii = true;
  for (size_t i = 0; i < n; ++i) {
    plain &= (s[i] >= 0x20) & (s[i] != '"') & (s[i] != '\\');
    ascii &= s[i] < 0x80;
  }
  if (!ascii && !WellFormedUtf8(s, n)) {
    // Bytes that are no UTF-8 (never from the code page conversion): the library's
    // replacement characters.
    const std::string text = out->substr(at);
    out->resize(at);
    *out += JsonText(text);
    return;
  }
  if (plain) {
    out->insert(at, 1, '"');
    *out += '"';
    return;
  }
  const std::string text = out->substr(at);
  out->resize(at);
  *out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '\b':
        *out += "\\b";
        break;
      case '\t':
        *out += "\\t";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      default:
        if (c < 0x20) {
          const char u[6] = {
              '\\', 'u', '0', '0', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
          out->append(u, 6);
        } else {
          *out += char(c);
        }
    }
  }
  *out += '"';
}

void DumpLines::Null(std::string* out) const {
  if (settings_.json)
    *out += "null";
  else
    *out += nullField_;
}

void DumpLines::Text(std::string* out, size_t at) const {
  if (settings_.json)
    JsonQuoteFrom(out, at);
  else
    QuoteFrom(out, at);
}

void DumpLines::PlainText(std::string* out, size_t at) const {
  if (settings_.json) {
    out->insert(at, 1, '"');
    *out += '"';
  }
}

void DumpLines::ByteValue(std::string* out, const uint8_t* p, size_t n) const {
  if (!settings_.json) {
    AppendHex(out, p, n);
    return;
  }
  *out += "{\"base64\":\"";
  AppendBase64(out, p, n);
  *out += "\"}";
}

void DumpLines::AppendBlob(size_t i, const uint8_t* p, uint64_t ordinal, std::string* out,
                           std::vector<std::string>* problems) {
  const paradox::FieldDesc& f = h_.fields[i];
  const size_t leader = f.LeaderSize();
  paradox::BlobPointer ptr;
  ptr.DecodeFrom(p + leader);
  if (ptr.length == 0) {
    Null(out);
    return;
  }
  if (!settings_.blobDir.empty()) {
    // Files to write: the renderer names and writes them, as in the reference.
    auto v = paradox::DecodeField(f, paradox::ByteSpan(p, f.Size()));
    std::string problem;
    OutValue o = render_.Render(i, v.value(), ordinal, &problem);
    if (!problem.empty()) problems->push_back(problem);
    if (settings_.json)
      *out += JsonText(JsonValue(o));
    else
      AppendCsvField(out, CsvText(o, settings_.nullText));
    return;
  }
  const uint8_t* data;
  size_t size;
  if (ptr.length <= leader) {
    data = p;
    size = ptr.length;
  } else {
    paradox::Status st = blobs_ ? blobs_->ReadPointerTo(ptr, &blob_)
                                : paradox::Status::NotFound("the .MB file is missing");
    if (!st.ok()) {
      problems->push_back("record " + std::to_string(ordinal + 1) + " field " + fieldNames_[i] +
                          ": blob of " + std::to_string(ptr.length) +
                          " bytes unreadable: " + st.message());
      Null(out);
      return;
    }
    data = blob_.data();
    size = blob_.size();
  }
  if (f.type == FieldType::kMemo) {
    AppendText(data, size, out);
    return;
  }
  // G and O values begin with an 8-byte sub-header (a u32 kind, a u32 equal to the
  // length of the data after it): the data is the value.
  if ((f.type == FieldType::kGraphic || f.type == FieldType::kOle) && size >= 8 &&
      paradox::DecodeU32(data + 4) == size - 8) {
    data += 8;
    size -= 8;
  }
  ByteValue(out, data, size);
}

bool DumpLines::Append(paradox::ByteSpan raw, uint64_t ordinal, std::string* out,
                       std::vector<std::string>* problems, std::string* error) {
  if (!RecordValid(raw, error)) return false;
  const bool json = settings_.json;
  const size_t lineStart = out->size();
  if (json) *out += '{';
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (i) *out += ',';
    if (json) *out += jsonKeys_[i];
    AppendField(i, raw.data() + columns_[i].offset, ordinal, out, problems);
  }
  if (json) *out += '}';
  // A line holding one empty field would read as no record at all.
  else if (out->size() == lineStart)
    *out += "\"\"";
  *out += '\n';
  return true;
}

bool DumpLines::RecordValid(paradox::ByteSpan raw, std::string* error) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (!columns_[i].canFail) continue;
    const paradox::FieldDesc& f = h_.fields[i];
    const uint8_t* p = raw.data() + columns_[i].offset;
    const paradox::FieldCheck c = paradox::CheckField(f, p);
    if (paradox::IsInvalid(c.issue())) {
      *error = paradox::FieldIssueMessage(f, p, c);  // DecodeField's message
      return false;
    }
  }
  return true;
}

void DumpLines::AppendField(size_t i, const uint8_t* p, uint64_t ordinal, std::string* out,
                            std::vector<std::string>* problems) {
  const Column& f = columns_[i];
  if (f.blob) {
    if (AllZero(p, f.size))
      Null(out);
    else
      AppendBlob(i, p, ordinal, out, problems);
    return;
  }
  if (f.type == FieldType::kAlpha) {
    const size_t len = strnlen(reinterpret_cast<const char*>(p), f.size);
    if (len == 0)
      Null(out);
    else
      AppendText(p, len, out);
    return;
  }
  if (AllZero(p, f.size)) {
    Null(out);
    return;
  }
  switch (f.type) {
    case FieldType::kBytes:
      ByteValue(out, p, f.size);
      return;
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kTimestamp:
      AppendMoment(f.type, p, out);
      return;
    case FieldType::kLogical:
      *out += p[0] == 0x81 ? "true" : "false";
      return;
    case FieldType::kBcd:
      AppendBcd(h_.fields[i].sizeByte, p, out);
      return;
    default:
      AppendNumber(f.type, p, out);
      return;
  }
}

void DumpLines::AppendNumber(FieldType type, const uint8_t* p, std::string* out) const {
  char buf[64];
  char* e = buf;
  switch (type) {
    case FieldType::kShort:
      e = std::to_chars(buf, buf + sizeof buf, paradox::DecodeInt16(p)).ptr;
      break;
    case FieldType::kLong:
    case FieldType::kAutoInc:
      e = std::to_chars(buf, buf + sizeof buf, paradox::DecodeInt32(p)).ptr;
      break;
    case FieldType::kMoney:
    case FieldType::kNumber: {
      const double d = paradox::DecodeDouble(p);
      if (!settings_.json) {
        e = WriteReal(buf, d);
      } else if (std::isfinite(d)) {
        e = nlohmann::detail::to_chars(buf, buf + sizeof buf, d);
      } else {  // JSON has no NaN or infinity: RealText's word as a string
        const size_t at = out->size();
        out->append(buf, WriteReal(buf, d));
        PlainText(out, at);
        return;
      }
      break;
    }
    default:
      break;
  }
  out->append(buf, e);
}

void DumpLines::AppendMoment(FieldType type, const uint8_t* p, std::string* out) const {
  char buf[2 * paradox::kMaxDateTimeText + 8];
  const size_t at = out->size();
  if (type == FieldType::kDate)
    out->append(buf, paradox::WriteDate(buf, paradox::Date{paradox::DecodeInt32(p)}));
  else if (type == FieldType::kTime)
    out->append(buf, paradox::WriteTime(buf, paradox::Time{paradox::DecodeInt32(p)}));
  else
    paradox::AppendTimestamp(out, paradox::Timestamp{paradox::DecodeDouble(p)});
  PlainText(out, at);
}

void DumpLines::AppendBcd(uint8_t decimals, const uint8_t* p, std::string* out) const {
  if (paradox::BcdBlank(p, decimals)) {  // another writer's blank
    Null(out);
    return;
  }
  char buf[40];
  bool bad;
  char* e = paradox::WriteBcdText(buf, p, decimals, &bad);
  const size_t at = out->size();
  if (bad)
    *out += paradox::BcdNumberText(std::string_view(buf, size_t(e - buf)));
  else
    out->append(buf, e);
  PlainText(out, at);
}

}  // namespace rekasto
