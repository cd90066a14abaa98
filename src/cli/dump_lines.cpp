#include "dump_lines.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "paradox/value.h"

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
    case K::kNull: return nullText;
    case K::kBool: return v.boolean ? "true" : "false";
    case K::kInteger: return std::to_string(v.integer);
    case K::kReal: return RealText(v.real);
    case K::kText: return v.text;
    case K::kBytes: return HexText(v.bytes);
  }
  return {};
}

nlohmann::ordered_json JsonValue(const OutValue& v) {
  using K = OutValue::Kind;
  switch (v.kind) {
    case K::kNull: return nullptr;
    case K::kBool: return v.boolean;
    case K::kInteger: return v.integer;
    case K::kReal:
      if (std::isfinite(v.real)) return v.real;
      return RealText(v.real);  // JSON has no NaN or infinity
    case K::kText:
      if (!v.fileName.empty()) return {{"file", v.fileName}};
      return v.text;
    case K::kBytes: return {{"base64", Base64Text(v.bytes)}};
  }
  return nullptr;
}

}  // namespace

char* WriteReal(char* out, double d) {
  if (std::isnan(d)) return std::copy_n("NaN", 3, out);
  if (std::isinf(d)) return d > 0 ? std::copy_n("Infinity", 8, out) : std::copy_n("-Infinity", 9, out);
  char* end = out;
  for (int p = 15; p <= 17; ++p) {
    end = std::to_chars(out, out + 32, d, std::chars_format::general, p).ptr;
    double back = 0;
    const auto r = std::from_chars(out, end, back);
    // from_chars may refuse what strtod reads (out of range): strtod decides then.
    if (r.ec != std::errc()) back = std::strtod(std::string(out, end).c_str(), nullptr);
    if (back == d) break;
  }
  return end;
}

DumpLines::DumpLines(const paradox::TableHeader& h, const paradox::Charset& charset, paradox::BlobFile* blobs,
                     DumpSettings settings, paradox::FileSystem* fs)
    : h_(h),
      charset_(charset),
      blobs_(blobs),
      settings_(std::move(settings)),
      render_(h, charset, blobs, settings_.blobDir, settings_.stem, fs),
      utf8_(charset) {
  for (const paradox::FieldDesc& f : h.fields) names_.push_back(paradox::ToUtf8(f.name, charset));
  if (settings_.json) names_ = DistinctNames(names_);  // keys of one object
  nullField_ = CsvField(settings_.nullText);
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
    if (settings_.json) object[names_[i]] = JsonValue(v);
    else line += (i ? "," : "") + CsvField(CsvText(v, settings_.nullText));
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

// Whether DecodeField takes the field: the checks it makes, without making a value.
bool DumpLines::FieldDecodes(size_t i, const uint8_t* p) const {
  const paradox::FieldDesc& f = h_.fields[i];
  const size_t n = f.Size();
  switch (f.type) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
    case FieldType::kMoney:
    case FieldType::kNumber:
      return true;
    default:
      break;
  }
  if (AllZero(p, n)) return true;
  switch (f.type) {
    case FieldType::kDate: return paradox::DecodeInt32(p) <= 3652059;
    case FieldType::kTime: {
      const int32_t t = paradox::DecodeInt32(p);
      return t >= 0 && t <= 86399999;
    }
    case FieldType::kTimestamp: {
      const double v = paradox::DecodeDouble(p);
      return !std::isinf(v) && !(v >= 3652060.0 * 86400000.0);
    }
    case FieldType::kLogical: return p[0] == 0x80 || p[0] == 0x81;
    case FieldType::kBcd:
      if ((p[0] & 0xC0) == 0 && AllZero(p + 1, n - 1)) return true;
      return f.sizeByte <= 32 && (p[0] & 0x40) != 0 && (p[0] & 0x3F) == f.sizeByte;
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic: {
      if (n < paradox::BlobPointer::kEncodedLength) return false;
      const size_t leader = f.LeaderSize();
      const uint32_t offset = paradox::DecodeU32(p + leader) & 0xFFFFFF00u;
      const uint32_t length = paradox::DecodeU32(p + leader + 4);
      return length == 0 || length <= leader || offset != 0;
    }
    default: return false;
  }
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

void DumpLines::AppendBlob(size_t i, const uint8_t* p, uint64_t ordinal, std::string* out,
                           std::vector<std::string>* problems) {
  const paradox::FieldDesc& f = h_.fields[i];
  const size_t leader = f.LeaderSize();
  paradox::BlobPointer ptr;
  ptr.DecodeFrom(p + leader);
  if (ptr.length == 0) {
    *out += nullField_;
    return;
  }
  if (!settings_.blobDir.empty()) {
    // Files to write: the renderer names and writes them, as for JSON.
    auto v = paradox::DecodeField(f, paradox::ByteSpan(p, f.Size()));
    std::string problem;
    OutValue o = render_.Render(i, v.value(), ordinal, &problem);
    if (!problem.empty()) problems->push_back(problem);
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
      problems->push_back("record " + std::to_string(ordinal + 1) + " field " + names_[i] + ": blob of " +
                          std::to_string(ptr.length) + " bytes unreadable: " + st.message());
      *out += nullField_;
      return;
    }
    data = blob_.data();
    size = blob_.size();
  }
  if (f.type == FieldType::kMemo) {
    const size_t at = out->size();
    utf8_.Append(std::string_view(reinterpret_cast<const char*>(data), size), out);
    QuoteFrom(out, at);
    return;
  }
  // G and O values begin with an 8-byte sub-header (a u32 kind, a u32 equal to the
  // length of the data after it): the data is the value.
  if ((f.type == FieldType::kGraphic || f.type == FieldType::kOle) && size >= 8 &&
      paradox::DecodeU32(data + 4) == size - 8) {
    data += 8;
    size -= 8;
  }
  AppendHex(out, data, size);
}

bool DumpLines::Append(paradox::ByteSpan raw, uint64_t ordinal, std::string* out, std::vector<std::string>* problems,
                       std::string* error) {
  if (settings_.json) return AppendReference(raw, ordinal, out, problems, error);
  const size_t nf = h_.fields.size();
  for (size_t i = 0; i < nf; ++i) {
    const paradox::FieldDesc& f = h_.fields[i];
    if (!FieldDecodes(i, raw.data() + f.offset)) {
      // DecodeField says why (and has the last word).
      return AppendReference(raw, ordinal, out, problems, error);
    }
  }
  const size_t lineStart = out->size();
  for (size_t i = 0; i < nf; ++i) {
    if (i) *out += ',';
    const paradox::FieldDesc& f = h_.fields[i];
    const uint8_t* p = raw.data() + f.offset;
    const size_t n = f.Size();
    if (paradox::IsBlobType(f.type)) {
      if (AllZero(p, n)) *out += nullField_;
      else AppendBlob(i, p, ordinal, out, problems);
      continue;
    }
    if (f.type == FieldType::kAlpha) {
      const size_t len = strnlen(reinterpret_cast<const char*>(p), n);
      if (len == 0) {
        *out += nullField_;
        continue;
      }
      const size_t at = out->size();
      utf8_.Append(std::string_view(reinterpret_cast<const char*>(p), len), out);
      QuoteFrom(out, at);
      continue;
    }
    if (AllZero(p, n)) {
      *out += nullField_;
      continue;
    }
    char buf[2 * paradox::kMaxDateTimeText + 8];
    char* e = buf;
    switch (f.type) {
      case FieldType::kBytes: AppendHex(out, p, n); continue;
      case FieldType::kShort: e = std::to_chars(buf, buf + sizeof buf, paradox::DecodeInt16(p)).ptr; break;
      case FieldType::kLong:
      case FieldType::kAutoInc: e = std::to_chars(buf, buf + sizeof buf, paradox::DecodeInt32(p)).ptr; break;
      case FieldType::kMoney:
      case FieldType::kNumber: e = WriteReal(buf, paradox::DecodeDouble(p)); break;
      case FieldType::kDate: e = paradox::WriteDate(buf, paradox::Date{paradox::DecodeInt32(p)}); break;
      case FieldType::kTime: e = paradox::WriteTime(buf, paradox::Time{paradox::DecodeInt32(p)}); break;
      case FieldType::kTimestamp: paradox::AppendTimestamp(out, paradox::Timestamp{paradox::DecodeDouble(p)}); continue;
      case FieldType::kLogical: *out += p[0] == 0x81 ? "true" : "false"; continue;
      case FieldType::kBcd: {
        if ((p[0] & 0xC0) == 0 && AllZero(p + 1, n - 1)) {  // another writer's blank
          *out += nullField_;
          continue;
        }
        bool bad;
        e = paradox::WriteBcdText(buf, p, f.sizeByte, &bad);
        break;
      }
      default: break;
    }
    out->append(buf, e);
  }
  // A line holding one empty field would read as no record at all.
  if (out->size() == lineStart) *out += "\"\"";
  *out += '\n';
  return true;
}

}  // namespace rekasto
