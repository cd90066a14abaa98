#include "table_out.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <set>

namespace rekasto {

bool ParseCodepageOption(const std::string& text, std::optional<paradox::Charset>* out, Io& io) {
  auto cs = paradox::ParseCharset(text);
  if (!cs.ok()) {
    Error(io,
          "--codepage: " + cs.status().message() +
              " (give a code page number such as 865, or an iconv name such as CP865 or KOI8-R)");
    return false;
  }
  *out = cs.value();
  return true;
}

paradox::Charset ChooseCharset(const paradox::TableHeader& h,
                               const std::optional<paradox::Charset>& override,
                               const std::string& table, Io& io) {
  if (override) return *override;
  paradox::TableCharset cs = paradox::CharsetOfTable(h);
  if (cs.charset.known()) return cs.charset;
  io.err << "rekasto: warning: " << table << ": " << cs.problem
         << "; text is read as code page 1252 (--codepage N chooses one)\n";
  return paradox::CharsetForCodePage(1252);
}

namespace {

bool IsGraphicOrOle(paradox::FieldType t) {
  return t == paradox::FieldType::kGraphic || t == paradox::FieldType::kOle;
}

// G and O values begin with an 8-byte sub-header: a u32 kind and a u32 equal to the
// data length that follows.
paradox::Bytes WithoutSubHeader(paradox::Bytes b) {
  if (b.size() >= 8 && paradox::DecodeU32(b.data() + 4) == b.size() - 8)
    b.erase(b.begin(), b.begin() + 8);
  return b;
}

std::string Extension(paradox::FieldType t, const paradox::Bytes& b) {
  auto starts = [&](const char* magic) {
    const size_t n = std::strlen(magic);
    return b.size() >= n && std::memcmp(b.data(), magic, n) == 0;
  };
  if (t == paradox::FieldType::kMemo) return "txt";
  if (starts("BM")) return "bmp";
  if (starts("GIF8")) return "gif";
  if (starts("\x89PNG")) return "png";
  if (starts("\xFF\xD8\xFF")) return "jpg";
  if (starts("II*") || starts("MM")) return "tif";
  if (starts("\xD0\xCF\x11\xE0")) return "ole";
  return "bin";
}

std::string SafeName(const std::string& utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
      out += char(c);
    else if (c < 0x80 || (c & 0xC0) != 0x80)
      out += '_';
  }
  return out;
}

}  // namespace

ValueRenderer::ValueRenderer(const paradox::TableHeader& h, paradox::Charset charset,
                             paradox::BlobFile* blobs, std::string blobDir, std::string stem,
                             paradox::FileSystem* fs)
    : h_(h),
      charset_(std::move(charset)),
      blobs_(blobs),
      blobDir_(std::move(blobDir)),
      stem_(std::move(stem)),
      fs_(fs) {}

paradox::Result<paradox::Bytes> ValueRenderer::BlobBytes(size_t field, const paradox::BlobRef& ref,
                                                         const paradox::Bytes* resolved) {
  paradox::Bytes data;
  if (resolved) {
    data = *resolved;
  } else if (ref.InLeader()) {
    data.assign(ref.leader.begin(), ref.leader.begin() + ref.pointer.length);
  } else {
    if (!blobs_) return paradox::Status::NotFound("the .MB file is missing");
    auto full = blobs_->Read(ref);
    if (!full.ok()) return full.status();
    data = std::move(full).value();
  }
  if (IsGraphicOrOle(h_.fields[field].type)) data = WithoutSubHeader(std::move(data));
  return data;
}

OutValue ValueRenderer::Render(size_t field, const paradox::Value& v, uint64_t ordinal,
                               std::string* problem, const paradox::Bytes* resolved) {
  using K = OutValue::Kind;
  OutValue out;
  const paradox::FieldDesc& f = h_.fields[field];
  if (paradox::IsNull(v)) return out;
  if (auto* b = std::get_if<bool>(&v)) {
    out.kind = K::kBool;
    out.boolean = *b;
  } else if (auto* i = std::get_if<int64_t>(&v)) {
    out.kind = K::kInteger;
    out.integer = *i;
  } else if (auto* d = std::get_if<double>(&v)) {
    out.kind = K::kReal;
    out.real = *d;
  } else if (auto* s = std::get_if<std::string>(&v)) {
    out.kind = K::kText;
    out.text = paradox::ToUtf8(*s, charset_);
  } else if (auto* y = std::get_if<paradox::Bytes>(&v)) {
    out.kind = K::kBytes;
    out.bytes = *y;
  } else if (auto* ref = std::get_if<paradox::BlobRef>(&v)) {
    auto data = BlobBytes(field, *ref, resolved);
    if (!data.ok()) {
      *problem = "record " + std::to_string(ordinal + 1) + " field " +
                 paradox::ToUtf8(f.name, charset_) + ": blob of " +
                 std::to_string(ref->pointer.length) +
                 " bytes unreadable: " + data.status().message();
      return out;
    }
    // A formatted memo is binary formatting records around its text: bytes.
    const bool text = f.type == paradox::FieldType::kMemo;
    if (!blobDir_.empty()) {
      const std::string name =
          stem_ + "_" + std::to_string(ordinal + 1) + "_" + std::to_string(field + 1) + "_" +
          SafeName(paradox::ToUtf8(f.name, charset_)) + "." + Extension(f.type, *data);
      // Memo files hold UTF-8 text; the others the stored bytes.
      paradox::Bytes content = *data;
      if (f.type == paradox::FieldType::kMemo) {
        const std::string t = paradox::ToUtf8(std::string(data->begin(), data->end()), charset_);
        content.assign(t.begin(), t.end());
      }
      auto file = fs_->Open(paradox::PathJoin(blobDir_, name), paradox::OpenMode::kCreate);
      paradox::Status st = file.ok() ? file.value()->WriteAt(0, content) : file.status();
      if (st.ok()) st = file.value()->Close();
      if (!st.ok()) {
        *problem = "record " + std::to_string(ordinal + 1) + " field " +
                   paradox::ToUtf8(f.name, charset_) + ": cannot write " +
                   paradox::PathJoin(blobDir_, name) + ": " + st.message();
        return out;
      }
      out.kind = K::kText;
      out.text = name;
      out.fileName = name;
      return out;
    }
    if (text) {
      out.kind = K::kText;
      out.text = paradox::ToUtf8(std::string(data->begin(), data->end()), charset_);
    } else {
      out.kind = K::kBytes;
      out.bytes = std::move(data).value();
    }
  } else {
    // Date, time, timestamp, BCD: their exact text forms.
    out.kind = K::kText;
    out.text = paradox::ValueToText(v, charset_.codePage);
  }
  return out;
}

std::vector<std::string> DistinctNames(const std::vector<std::string>& names) {
  auto lower = [](std::string t) {
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return t;
  };
  std::set<std::string> seen;
  std::vector<std::string> out;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string base = names[i].empty() ? "field " + std::to_string(i + 1) : names[i];
    std::string name = base;
    for (int n = 2; seen.count(lower(name)); ++n) name = base + "_" + std::to_string(n);
    seen.insert(lower(name));
    out.push_back(name);
  }
  return out;
}

std::string RealText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[40];
  char* end = buf;
  for (int p = 15; p <= 17; ++p) {
    end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, p).ptr;
    double back = 0;
    if (std::from_chars(buf, end, back).ec == std::errc() && back == d) break;
  }
  return std::string(buf, end);
}

std::string HexText(const paradox::Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(b.size() * 2);
  for (uint8_t c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

std::string Base64Text(const paradox::Bytes& b) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  s.reserve((b.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < b.size(); i += 3) {
    const uint32_t n = uint32_t(b[i]) << 16 | uint32_t(b[i + 1]) << 8 | b[i + 2];
    s += a[n >> 18];
    s += a[(n >> 12) & 63];
    s += a[(n >> 6) & 63];
    s += a[n & 63];
  }
  if (i + 1 == b.size()) {
    const uint32_t n = uint32_t(b[i]) << 16;
    s += a[n >> 18];
    s += a[(n >> 12) & 63];
    s += "==";
  } else if (i + 2 == b.size()) {
    const uint32_t n = uint32_t(b[i]) << 16 | uint32_t(b[i + 1]) << 8;
    s += a[n >> 18];
    s += a[(n >> 12) & 63];
    s += a[(n >> 6) & 63];
    s += '=';
  }
  return s;
}

}  // namespace rekasto
