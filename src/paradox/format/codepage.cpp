#include "paradox/format/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

namespace paradox {

namespace {

constexpr const char* kHpRoman8 = "HP-ROMAN8";

void AppendUtf8(std::string* s, uint32_t c) {
  if (c < 0x80) {
    *s += static_cast<char>(c);
  } else if (c < 0x800) {
    *s += static_cast<char>(0xC0 | (c >> 6));
    *s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *s += static_cast<char>(0xE0 | (c >> 12));
    *s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *s += static_cast<char>(0xF0 | (c >> 18));
    *s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *s += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; 0 bytes consumed when it is malformed.
size_t NextUtf8(std::string_view s, size_t i, uint32_t* cp) {
  const unsigned char c = s[i];
  size_t n;
  uint32_t u;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    u = c & 0x1F;
    n = 2;
  } else if ((c & 0xF0) == 0xE0) {
    u = c & 0x0F;
    n = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    u = c & 0x07;
    n = 4;
  } else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char cc = s[i + k];
    if ((cc & 0xC0) != 0x80) return 0;
    u = (u << 6) | (cc & 0x3F);
  }
  if ((n == 3 && (u < 0x800 || (u >= 0xD800 && u <= 0xDFFF))) ||
      (n == 4 && (u < 0x10000 || u > 0x10FFFF)))
    return 0;
  *cp = u;
  return n;
}

std::string Hex4(uint32_t u) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", u);
  return buf;
}

struct Iconv {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
  void Reset() { iconv(cd, nullptr, nullptr, nullptr, nullptr); }
};

// One charset's converters. Single-byte charsets that convert byte by byte exactly as
// iconv converts whole strings get a 256-entry table built from iconv itself: the
// same result, without a library call per value. Others (CJK, and pages whose iconv
// composes a letter with the following accent, as 1255 and 1258) go through iconv.
class Codec {
 public:
  explicit Codec(const std::string& name)
      : to_("UTF-8", name.c_str()), from_(name.c_str(), "UTF-8") {
    if (!to_.ok() || !from_.ok()) return;
    ok_ = true;
    bytewise_ = true;
    for (int b = 0; b < 256; ++b) {
      std::string out;
      const int r = ConvertOne(static_cast<char>(b), &out);
      if (r == EINVAL || (r == 0 && out.empty())) {
        bytewise_ = false;  // a lead byte of a longer sequence, or a shift state
        continue;
      }
      defined_[b] = r == 0;
      table_[b] = out;
    }
    if (!bytewise_) return;
    // A byte the page leaves undefined keeps its value: the code point of that value
    // (C1 controls, Latin-1) unless a defined byte already gives that character, then
    // the private-use U+F700 + byte. Either way it converts back to the same byte.
    std::unordered_map<uint32_t, int> used;
    for (int b = 0; b < 256; ++b) {
      uint32_t cp = 0;
      if (defined_[b] && NextUtf8(table_[b], 0, &cp) == table_[b].size()) used[cp] = b;
    }
    for (int b = 0; b < 256; ++b) {
      if (defined_[b]) continue;
      table_[b].clear();
      AppendUtf8(&table_[b], used.count(uint32_t(b)) ? 0xF700u + uint32_t(b) : uint32_t(b));
    }
    table_ok_ = PairsMatchTable();
    for (int b = 0; b < 256; ++b) {
      // Single-byte pages map into the Basic Multilingual Plane: at most 3 bytes each.
      if (table_[b].size() > 3) table_ok_ = false;
      fast_[b].length = static_cast<uint8_t>(std::min<size_t>(table_[b].size(), 3));
      std::memcpy(fast_[b].bytes, table_[b].data(), fast_[b].length);
    }
    for (int b = 0; b < 256; ++b) {
      uint32_t cp = 0;
      if (NextUtf8(table_[b], 0, &cp) != table_[b].size() || reverse_.count(cp)) continue;
      // A character at two bytes goes back to the one iconv writes.
      std::string back;
      reverse_[cp] = defined_[b] && EncodeOne(table_[b], &back) && back.size() == 1
                         ? static_cast<uint8_t>(back[0])
                         : static_cast<uint8_t>(b);
    }
  }

  bool ok() const { return ok_; }
  // The byte-to-UTF-8 table Decode uses, when it uses one.
  bool ByteTable(std::string table[256]) const {
    if (!table_ok_) return false;
    for (int b = 0; b < 256; ++b) table[b].assign(fast_[b].bytes, fast_[b].length);
    return true;
  }

  std::string Decode(std::string_view in) {
    std::string out;
    if (table_ok_) {
      out.resize(in.size() * 3 + 1);
      char* o = out.data();
      for (unsigned char c : in) {
        const Utf8Char& u = fast_[c];
        std::memcpy(o, u.bytes, 4);  // room: at most 3 bytes a character, and one spare
        o += u.length;
      }
      out.resize(static_cast<size_t>(o - out.data()));
      return out;
    }
    to_.Reset();
    char buf[1024];
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    while (true) {
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t r = left ? iconv(to_.cd, &src, &left, &dst, &room)
                            : iconv(to_.cd, nullptr, nullptr, &dst, &room);
      const int err = r == static_cast<size_t>(-1) ? errno : 0;
      out.append(buf, static_cast<size_t>(dst - buf));
      if (err == E2BIG) continue;
      if (err == EILSEQ || err == EINVAL) {
        // Flush what a composing converter holds back, then the byte that starts no
        // character: a single-byte page keeps its value, a multi-byte one marks it.
        dst = buf;
        room = sizeof buf;
        iconv(to_.cd, nullptr, nullptr, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        const unsigned char c = static_cast<unsigned char>(*src);
        if (bytewise_)
          out += table_[c];
        else
          AppendUtf8(&out, 0xFFFD);
        ++src;
        --left;
        to_.Reset();
        continue;
      }
      if (left == 0 && r != static_cast<size_t>(-1)) {
        // Flush what a composing converter holds back.
        dst = buf;
        room = sizeof buf;
        iconv(to_.cd, nullptr, nullptr, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        return out;
      }
    }
  }

  Result<std::string> Encode(std::string_view utf8, const std::string& label) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
      uint32_t cp = 0;
      const size_t n = NextUtf8(utf8, i, &cp);
      if (n == 0) return Status::InvalidArgument("text is not valid UTF-8");
      if (bytewise_) {
        auto it = reverse_.find(cp);
        if (it != reverse_.end() && (table_ok_ || !defined_[it->second] || cp < 0x80)) {
          out += static_cast<char>(it->second);
          i += n;
          continue;
        }
        if (table_ok_) return NoCode(cp, label);
      }
      // Through iconv, one character at a time, so an error names its character.
      std::string one;
      if (!EncodeOne(std::string(utf8.substr(i, n)), &one)) return NoCode(cp, label);
      out += one;
      i += n;
    }
    return out;
  }

 private:
  static Status NoCode(uint32_t cp, const std::string& label) {
    return Status::InvalidArgument("character " + Hex4(cp) + " has no code in code page " + label);
  }

  // 0, or the errno of converting one byte alone (flushing a held-back character).
  int ConvertOne(char byte, std::string* out) {
    to_.Reset();
    char in[1] = {byte};
    char buf[32];
    char* src = in;
    size_t left = 1;
    char* dst = buf;
    size_t room = sizeof buf;
    if (iconv(to_.cd, &src, &left, &dst, &room) == static_cast<size_t>(-1)) return errno;
    if (iconv(to_.cd, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1)) return errno;
    out->assign(buf, static_cast<size_t>(dst - buf));
    return 0;
  }

  bool EncodeOne(const std::string& utf8, std::string* out) {
    from_.Reset();
    char buf[16];
    char* src = const_cast<char*>(utf8.data());
    size_t left = utf8.size();
    char* dst = buf;
    size_t room = sizeof buf;
    if (iconv(from_.cd, &src, &left, &dst, &room) == static_cast<size_t>(-1) ||
        iconv(from_.cd, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1))
      return false;
    out->assign(buf, static_cast<size_t>(dst - buf));
    return true;
  }

  // Whether every pair of defined bytes converts as its two table entries: false for
  // converters that compose (a letter and a following combining accent).
  bool PairsMatchTable() {
    std::string in, want;
    for (int a = 0; a < 256; ++a) {
      if (!defined_[a]) continue;
      for (int b = 0; b < 256; ++b) {
        if (!defined_[b]) continue;
        in += static_cast<char>(a);
        in += static_cast<char>(b);
        want += table_[a];
        want += table_[b];
      }
    }
    to_.Reset();
    std::string got(want.size() + 64, '\0');
    char* src = in.data();
    size_t left = in.size();
    char* dst = got.data();
    size_t room = got.size();
    if (iconv(to_.cd, &src, &left, &dst, &room) == static_cast<size_t>(-1)) return false;
    if (iconv(to_.cd, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1)) return false;
    got.resize(static_cast<size_t>(dst - got.data()));
    return got == want;
  }

  Iconv to_, from_;
  bool ok_ = false;
  bool bytewise_ = false;
  bool table_ok_ = false;
  bool defined_[256] = {};
  std::string table_[256];
  struct Utf8Char {
    char bytes[4] = {};
    uint8_t length = 0;
  };
  Utf8Char fast_[256];
  std::unordered_map<uint32_t, uint8_t> reverse_;
};

// iconv descriptors are not shared between threads: each thread keeps its own.
Codec* CodecFor(const std::string& name) {
  thread_local std::map<std::string, std::unique_ptr<Codec>> cache;
  thread_local Codec* last = nullptr;
  thread_local std::string lastName;
  if (last && name == lastName) return last;
  auto it = cache.find(name);
  if (it == cache.end()) it = cache.emplace(name, std::make_unique<Codec>(name)).first;
  Codec* c = it->second->ok() ? it->second.get() : nullptr;
  if (c) {
    last = c;
    lastName = name;
  }
  return c;
}

const Charset& Fallback() {
  static const Charset cs{1252, "CP1252"};
  return cs;
}

struct SortOrderName {
  const char* name;
  uint16_t codePage;  // 0: HP Roman-8
};

// The sort order names a table can carry, with the code page each implies.
const SortOrderName kSortOrderNames[] = {
    {"DBWINUS0", 1252}, {"DBWINWE0", 1252}, {"DBWINES0", 1252}, {"BLLT1DA0", 1252},
    {"BLLT1DE0", 1252}, {"BLLT1UK0", 1252}, {"BLLT1US0", 1252}, {"BLLT1ES0", 1252},
    {"BLLT1FI0", 1252}, {"BLLT1FR0", 1252}, {"BLLT1CA0", 1252}, {"BLLT1IS0", 1252},
    {"BLLT1IT0", 1252}, {"BLLT1NL0", 1252}, {"BLLT1NO0", 1252}, {"BLLT1PT0", 1252},
    {"BLLT1SV0", 1252}, {"ANSIINTL", 1252}, {"ANSII850", 1252}, {"ANSINOR4", 1252},
    {"ANSISPAN", 1252}, {"ANSISWFN", 1252}, {"anthai", 1252},   {"ancyrr", 1251},
    {"anczech", 1250},  {"anhundc", 1250},  {"anpolish", 1250}, {"ansislov", 1250},
    {"angreek1", 1253}, {"ANTURK", 1254},   {"ANHEBREW", 1255}, {"DB852CZ0", 852},
    {"DB867CZ0", 867},  {"DB865DA0", 865},  {"DB437DE0", 437},  {"DB850DE0", 850},
    {"db437gr0", 737},  {"DB437UK0", 437},  {"DB850UK0", 850},  {"DB437US0", 437},
    {"DB850US0", 850},  {"DB437ES1", 437},  {"DB850ES0", 850},  {"DB437FI0", 437},
    {"DB437FR0", 437},  {"DB850FR0", 850},  {"DB850CF0", 850},  {"DB863CF1", 863},
    {"db852hdc", 852},  {"DB437IT0", 437},  {"DB850IT1", 850},  {"DB437NL0", 437},
    {"DB850NL0", 850},  {"DB865NO0", 865},  {"db852po0", 852},  {"DB850PT0", 850},
    {"DB860PT0", 860},  {"db866ru0", 866},  {"db852sl0", 852},  {"DB437SV0", 437},
    {"DB850SV1", 850},  {"db437th0", 437},  {"DB857TR0", 857},  {"dbHebrew", 862},
    {"ORAWE850", 850},  {"SYDC437", 437},   {"SYDC850", 850},   {"ascii", 437},
    {"intl", 437},      {"intl850", 850},   {"nordan", 865},    {"nordan40", 865},
    {"swedfin", 437},   {"cyrr", 866},      {"czech", 852},     {"cskamen", 867},
    {"SPANISH", 437},   {"grcp437", 737},   {"hebrew", 862},    {"hun852dc", 852},
    {"iceland", 861},   {"polish", 852},    {"slovene", 852},   {"thai", 437},
    {"turk", 857},      {"china", 936},     {"BLROM800", 0},
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string Charset::Label() const {
  if (name.empty()) return codePage ? std::to_string(codePage) + " (unknown)" : "unknown";
  return codePage ? std::to_string(codePage) : name;
}

Charset CharsetForCodePage(uint16_t cp) {
  if (cp == 0) return Charset{};
  Charset cs{cp, "CP" + std::to_string(cp)};
  if (!CodecFor(cs.name)) cs.name.clear();
  return cs;
}

Result<Charset> ParseCharset(std::string_view text) {
  std::string t(text);
  if (t.empty()) return Status::InvalidArgument("empty code page");
  if (t.find_first_not_of("0123456789") == std::string::npos) {
    unsigned long n = 100000;
    if (t.size() <= 5) std::from_chars(t.data(), t.data() + t.size(), n);
    Charset cs = n <= 65535 ? CharsetForCodePage(static_cast<uint16_t>(n)) : Charset{};
    if (!cs.known()) return Status::InvalidArgument("code page " + t + " has no converter");
    return cs;
  }
  if (!CodecFor(t))
    return Status::InvalidArgument("\"" + t + "\" is neither a code page number nor an iconv name");
  Charset cs{0, t};
  // "cp865" and "CP865" are code page 865.
  if (t.size() > 2 && EqualsNoCase(t.substr(0, 2), "cp") &&
      t.find_first_not_of("0123456789", 2) == std::string::npos && t.size() <= 7) {
    unsigned long n = 100000;
    std::from_chars(t.data() + 2, t.data() + t.size(), n);
    if (n <= 65535) cs.codePage = static_cast<uint16_t>(n);
  }
  return cs;
}

int CodePageForSortOrderName(std::string_view name) {
  for (const SortOrderName& s : kSortOrderNames)
    if (EqualsNoCase(name, s.name)) return s.codePage;
  return -1;
}

uint16_t CodePageForSortOrder(uint8_t sortOrder) {
  // The DOS product's sort orders (level 3 tables store only the byte).
  switch (sortOrder) {
    case 0x00:
      return 437;  // ascii
    case 0xB7:
      return 437;  // intl
    case 0x54:
      return 850;  // intl850
    case 0x82:
    case 0xE6:
      return 865;  // nordan, nordan40
    case 0xF0:
      return 437;  // swedfin
    case 0x8F:
      return 852;  // polish
    case 0xC0:
      return 866;  // cyrr
    case 0x0D:
      return 852;  // czech
    case 0xE2:
      return 867;  // cskamen
    case 0x16:
      return 437;  // SPANISH
    case 0x4A:
      return 737;  // grcp437
    case 0x7D:
      return 862;  // hebrew
    case 0xB1:
      return 852;  // hun852dc
    case 0xD0:
      return 861;  // iceland
    case 0xFC:
      return 852;  // slovene
    case 0xA6:
      return 437;  // thai
    case 0xC6:
      return 857;  // turk
    case 0x11:
    case 0x40:
    case 0x4C:
    case 0x62:
    case 0x5D:
      return 1252;
    case 0x03:
      return 936;  // china
    default:
      return 0;
  }
}

TableCharset CharsetOfTable(const TableHeader& h) {
  TableCharset out;
  const uint16_t stored = h.CodePage();
  if (stored != 0) {
    out.charset = CharsetForCodePage(stored);
    out.source = TableCharset::Source::kHeader;
    if (!out.charset.known())
      out.problem = "code page " + std::to_string(stored) + " has no converter";
    return out;
  }
  if (h.hasExtension) {
    const int cp = CodePageForSortOrderName(h.sortOrderId);
    out.source = TableCharset::Source::kSortOrderName;
    if (cp == 0)
      out.charset = Charset{0, kHpRoman8};
    else if (cp > 0)
      out.charset = CharsetForCodePage(static_cast<uint16_t>(cp));
    if (!out.charset.known())
      out.problem = cp > 0
                        ? "code page " + std::to_string(cp) + " (from sort order \"" +
                              h.sortOrderId + "\") has no converter"
                        : "code page 0 and sort order \"" + h.sortOrderId + "\" name no code page";
    return out;
  }
  const uint16_t cp = CodePageForSortOrder(h.fixed.sortOrder);
  out.source = TableCharset::Source::kSortOrderByte;
  out.charset = CharsetForCodePage(cp);
  if (!out.charset.known()) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", h.fixed.sortOrder);
    out.problem =
        cp ? "code page " + std::to_string(cp) + " (from sort order " + buf + ") has no converter"
           : std::string("no code page stored and sort order ") + buf + " names none";
  }
  return out;
}

void SortOrderForCodePage(uint16_t cp, uint8_t* sortOrder, std::string* sortOrderId) {
  switch (cp) {
    case 1252:
      *sortOrder = 0x11;
      *sortOrderId = "ANSII850";
      return;
    case 852:
      *sortOrder = 0x8F;
      *sortOrderId = "polish";
      return;
    case 866:
      *sortOrder = 0xC0;
      *sortOrderId = "cyrr";
      return;
    case 850:
      *sortOrder = 0xB7;
      *sortOrderId = "intl";
      return;
    default:
      *sortOrder = 0x00;
      *sortOrderId = "ascii";
      return;
  }
}

bool IsSupportedCodePage(uint16_t cp) {
  return CharsetForCodePage(cp).known();
}

// Without any converter (a system lacking glibc's gconv modules) bytes keep their
// values as code points: nothing is lost, and nothing crashes.
static std::string Latin1(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) AppendUtf8(&out, c);
  return out;
}

std::string ToUtf8(std::string_view bytes, const Charset& cs) {
  Codec* c = cs.known() ? CodecFor(cs.name) : nullptr;
  if (!c) c = CodecFor(Fallback().name);
  return c ? c->Decode(bytes) : Latin1(bytes);
}

Utf8Appender::Utf8Appender(Charset charset) : charset_(std::move(charset)) {
  Codec* c = charset_.known() ? CodecFor(charset_.name) : nullptr;
  if (!c) c = CodecFor(Fallback().name);
  std::string table[256];
  if (!c || !c->ByteTable(table)) return;
  static_assert(std::endian::native == std::endian::little,
                "the packed table is read as little-endian");
  for (int b = 0; b < 256; ++b) {
    uint32_t u = uint32_t(table[b].size()) << 24;
    for (size_t i = 0; i < table[b].size(); ++i) u |= uint32_t(uint8_t(table[b][i])) << (8 * i);
    utf8_[b] = u;
  }
  table_ = true;
}

std::string ToUtf8(std::string_view bytes, uint16_t cp) {
  // Callers convert value after value in one page: keep its converter at hand.
  thread_local uint16_t lastPage = 0;
  thread_local Codec* last = nullptr;
  if (!last || cp != lastPage) {
    const Charset cs = CharsetForCodePage(cp);
    last = CodecFor(cs.known() ? cs.name : Fallback().name);
    lastPage = cp;
  }
  return last ? last->Decode(bytes) : Latin1(bytes);
}

Result<std::string> FromUtf8(std::string_view utf8, const Charset& cs) {
  Codec* c = cs.known() ? CodecFor(cs.name) : nullptr;
  if (!c) return Status::InvalidArgument("code page " + cs.Label() + " is not supported");
  return c->Encode(utf8, cs.Label());
}

Result<std::string> FromUtf8(std::string_view utf8, uint16_t cp) {
  return FromUtf8(utf8, CharsetForCodePage(cp));
}

size_t DisplayWidth(std::string_view s) {
  size_t w = 0;
  for (size_t i = 0; i < s.size();) {
    uint32_t u = 0;
    size_t n = NextUtf8(s, i, &u);
    if (n == 0) {
      ++w;
      ++i;
      continue;
    }
    i += n;
    const bool zero = (u >= 0x0300 && u <= 0x036F) || (u >= 0x0483 && u <= 0x0489) ||
                      (u >= 0x0591 && u <= 0x05C7) || (u >= 0x0610 && u <= 0x061A) ||
                      (u >= 0x064B && u <= 0x065F) || u == 0x0E31 || (u >= 0x0E34 && u <= 0x0E3A) ||
                      (u >= 0x0E47 && u <= 0x0E4E) || (u >= 0x200B && u <= 0x200F) ||
                      (u >= 0x20D0 && u <= 0x20FF) || (u >= 0xFE20 && u <= 0xFE2F);
    const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF && u != 0x303F) ||
                      (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
                      (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
                      (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x20000 && u <= 0x3FFFD);
    w += zero ? 0 : wide ? 2 : 1;
  }
  return w;
}

}  // namespace paradox
