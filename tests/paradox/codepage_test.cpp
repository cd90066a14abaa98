// Code pages: every page a table can imply converts exactly as glibc's iconv does, in
// both directions; a table's charset comes from its header or sort order, and an
// unknown one is said to be unknown. Real tables' text agrees with pxlib's own
// conversion.
#include "paradox/format/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "paradox/format/format.h"
#include "paradox/format/reader.h"

extern "C" {
#include <paradox.h>
}

namespace paradox {
namespace {

// Direct iconv: false when iconv refuses the input.
bool Iconv(const std::string& to, const std::string& from, const std::string& in,
           std::string* out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  char* dst = buf.data();
  size_t room = buf.size();
  bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &dst, &room) != static_cast<size_t>(-1);
  iconv_close(cd);
  buf.resize(static_cast<size_t>(dst - buf.data()));
  *out = buf;
  return ok;
}

const uint16_t kPages[] = {437,  737,  775,  850,  852,  855, 857,  860,  861,  862,
                           863,  864,  865,  866,  869,  874, 1250, 1251, 1252, 1253,
                           1254, 1255, 1256, 1257, 1258, 932, 936,  949,  950};

// Random strings, each a mix of single bytes and byte pairs (so multi-byte pages see
// lead and trail bytes), compared with iconv wherever iconv accepts them.
TEST(CodePage, EveryPageConvertsAsIconvBothWays) {
  std::mt19937 rng(14);
  std::vector<Charset> charsets;
  for (uint16_t cp : kPages) charsets.push_back(CharsetForCodePage(cp));
  charsets.push_back(ParseCharset("HP-ROMAN8").value());
  for (const Charset& cs : charsets) {
    SCOPED_TRACE(cs.name);
    ASSERT_TRUE(cs.known());
    int compared = 0;
    // Every single byte.
    for (int b = 1; b < 256; ++b) {
      const std::string one(1, static_cast<char>(b));
      std::string want;
      if (Iconv("UTF-8", cs.name, one, &want)) {
        EXPECT_EQ(ToUtf8(one, cs), want) << b;
        ++compared;
      }
    }
    for (int n = 0; n < 3000; ++n) {
      std::string s;
      const int len = 1 + int(rng() % 12);
      for (int i = 0; i < len; ++i) s += static_cast<char>(1 + rng() % 255);
      std::string want, back;
      if (!Iconv("UTF-8", cs.name, s, &want)) continue;
      ++compared;
      const std::string got = ToUtf8(s, cs);
      ASSERT_EQ(got, want) << testing::PrintToString(s);
      // Back to the page: as iconv does, and where iconv gives the same bytes, those.
      if (Iconv(cs.name, "UTF-8", want, &back)) {
        auto ours = FromUtf8(got, cs);
        ASSERT_TRUE(ours.ok()) << ours.status().ToString();
        EXPECT_EQ(ours.value(), back);
      }
    }
    EXPECT_GT(compared, 600) << "too few strings iconv accepts";
  }
}

// Bytes a single-byte page leaves undefined keep their value through a round trip,
// and text the page cannot hold is refused naming the character.
TEST(CodePage, UndefinedBytesRoundTripAndMissingCharactersAreRefused) {
  for (uint16_t cp : {437, 737, 775, 850, 852,  855,  857,  860,  861,  862,  863, 864,
                      865, 866, 869, 874, 1250, 1251, 1252, 1253, 1254, 1256, 1257}) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    auto back = FromUtf8(ToUtf8(all, cp), cp);
    ASSERT_TRUE(back.ok()) << cp << " " << back.status().ToString();
    EXPECT_EQ(back.value(), all) << cp;
  }
  EXPECT_EQ(ToUtf8("\x9Dsterrike", 865), "\xC3\x98sterrike");  // Østerrike
  EXPECT_EQ(ToUtf8("\xD6\xD0", 936), "\xE4\xB8\xAD");          // 中
  auto refused = FromUtf8("\xD0\x90", 1252);
  EXPECT_TRUE(refused.status().IsInvalidArgument());
  EXPECT_NE(refused.status().message().find("U+0410"), std::string::npos)
      << refused.status().message();
  EXPECT_TRUE(FromUtf8("\xC3", 1252).status().IsInvalidArgument());    // broken UTF-8
  EXPECT_TRUE(FromUtf8("x", Charset{}).status().IsInvalidArgument());  // unknown charset
}

TEST(CodePage, ChoiceByNumberOrIconvName) {
  EXPECT_EQ(ParseCharset("865").value(), (Charset{865, "CP865"}));
  EXPECT_EQ(ParseCharset("cp1251").value().codePage, 1251);
  EXPECT_EQ(ParseCharset("KOI8-R").value().name, "KOI8-R");
  for (const char* bad : {"", "867", "70000", "99999999999", "no-such-charset", "-1"})
    EXPECT_TRUE(ParseCharset(bad).status().IsInvalidArgument()) << bad;
}

// The charset a table names: the header's code page, else its sort order's.
TEST(CodePage, TableCharsetFromHeaderOrSortOrder) {
  TableHeader h;
  h.hasExtension = true;
  h.ext.codePage = 865;
  EXPECT_EQ(CharsetOfTable(h).charset.name, "CP865");
  EXPECT_EQ(CharsetOfTable(h).source, TableCharset::Source::kHeader);
  h.ext.codePage = 0;
  h.sortOrderId = "BLROM800";
  EXPECT_EQ(CharsetOfTable(h).charset.name, "HP-ROMAN8");
  EXPECT_EQ(CharsetOfTable(h).source, TableCharset::Source::kSortOrderName);
  h.sortOrderId = "ancyrr";
  EXPECT_EQ(CharsetOfTable(h).charset.codePage, 1251);
  for (const char* unknown : {"nosuch", "cskamen"}) {  // 867 has no converter
    h.sortOrderId = unknown;
    TableCharset cs = CharsetOfTable(h);
    EXPECT_FALSE(cs.charset.known()) << unknown;
    EXPECT_FALSE(cs.problem.empty());
  }
  h.ext.codePage = 867;
  EXPECT_FALSE(CharsetOfTable(h).charset.known());
  EXPECT_NE(CharsetOfTable(h).problem.find("867"), std::string::npos);
  // Level 3: no code page stored, the sort order byte decides.
  TableHeader old;
  old.fixed.sortOrder = 0x82;  // nordan
  EXPECT_EQ(CharsetOfTable(old).charset.codePage, 865);
  old.fixed.sortOrder = 0x00;  // ascii
  EXPECT_EQ(CharsetOfTable(old).charset.codePage, 437);
  old.fixed.sortOrder = 0x99;
  EXPECT_FALSE(CharsetOfTable(old).charset.known());
}

TEST(CodePage, DisplayWidthCountsColumns) {
  EXPECT_EQ(DisplayWidth("Name"), 4u);
  EXPECT_EQ(DisplayWidth("N\xC3\xA4me"), 4u);               // ä: one column
  EXPECT_EQ(DisplayWidth("\xE5\x90\x8D\xE5\x89\x8D"), 4u);  // 名前: two wide characters
  EXPECT_EQ(DisplayWidth("e\xCC\x81"), 1u);                 // e + combining acute
}

#define SKIP_WITHOUT_TABLES()                             \
  if (!std::filesystem::is_directory(REKASTO_TABLES_DIR)) \
  GTEST_SKIP() << "sample tables not found at " << REKASTO_TABLES_DIR

// pxlib converts alpha values from the header's code page with iconv too: every alpha
// value of every table it opens and converts reads the same through us.
TEST(CodePage, RealTablesAlphaTextAgreesWithPxlib) {
  SKIP_WITHOUT_TABLES();
  uint64_t compared = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(REKASTO_TABLES_DIR)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(toupper(static_cast<unsigned char>(c)));
    if (ext != ".DB") continue;
    const std::string path = e.path().string();
    SCOPED_TRACE(path);
    pxdoc_t* d = PX_new();
    ASSERT_NE(d, nullptr);
    if (PX_open_file(d, path.c_str()) < 0) {
      PX_delete(d);
      continue;
    }
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok());
    const TableHeader& h = r.value()->header();
    const Charset cs = CharsetOfTable(h).charset;
    if (h.CodePage() == 0 || !cs.known() || PX_set_targetencoding(d, "UTF-8") < 0) {
      PX_close(d);
      PX_delete(d);
      continue;
    }
    auto cur = r.value()->Records();
    int recno = 0;
    while (cur.Next()) {
      auto ours = cur.Decode();
      ASSERT_TRUE(ours.ok());
      pxval_t** theirs = PX_retrieve_record(d, recno);
      ASSERT_NE(theirs, nullptr);
      for (size_t k = 0; k < h.fields.size(); ++k) {
        if (h.fields[k].type == FieldType::kAlpha && !theirs[k]->isnull &&
            !IsNull(ours.value()[k])) {
          EXPECT_EQ(ToUtf8(std::get<std::string>(ours.value()[k]), cs),
                    std::string(theirs[k]->value.str.val))
              << "record " << recno << " field " << h.fields[k].name;
          ++compared;
        }
      }
      for (size_t k = 0; k < h.fields.size(); ++k) {
        if (!theirs[k]->isnull &&
            (theirs[k]->type == pxfAlpha || theirs[k]->type == pxfBCD ||
             theirs[k]->type == pxfBytes ||
             (theirs[k]->type >= pxfMemoBLOb && theirs[k]->type <= pxfGraphic)))
          d->free(d, theirs[k]->value.str.val);
        d->free(d, theirs[k]);
      }
      d->free(d, theirs);
      ++recno;
    }
    PX_close(d);
    PX_delete(d);
  }
  RecordProperty("alphaValuesCompared", std::to_string(compared));
  EXPECT_GT(compared, 50000u);
}

// The one table naming HP Roman-8 only by its sort order.
TEST(CodePage, RealRoman8TableReadsAsRoman8) {
  SKIP_WITHOUT_TABLES();
  const std::string path = std::string(REKASTO_TABLES_DIR) + "/leonhad__paradoxdriver/db/ROMAN8.db";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "ROMAN8.db missing";
  auto r = TableReader::Open(DefaultFileSystem(), path);
  ASSERT_TRUE(r.ok());
  const Charset cs = CharsetOfTable(r.value()->header()).charset;
  EXPECT_EQ(cs.name, "HP-ROMAN8");
  auto cur = r.value()->Records();
  ASSERT_TRUE(cur.Next());
  EXPECT_EQ(ToUtf8(std::get<std::string>(cur.Decode().value()[0]), cs),
            "\xC5\xA0\xC2\xBD\xC6\x92\xC2\xB6");  // Š½ƒ¶
}

}  // namespace
}  // namespace paradox
