// Collations (collation.h): the sort key orders like the comparison for every driver;
// a few facts of the drivers' orders; generated keyed tables in every known collation,
// written out of order, rebuild into the driver's order with indexes byte-identical to
// a table written sorted; real tables with a non-"ascii" sort order verify in order.
#include "paradox/format/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <utility>

#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/reader.h"
#include "paradox/format/writer.h"
#include "paradox/repair/rebuild.h"
#include "paradox/repair/salvage.h"
#include "paradox/verify/verifier.h"

namespace paradox {
namespace {

namespace fsys = std::filesystem;

int Sign(int v) {
  return (v > 0) - (v < 0);
}

int KeyOrderOf(const Bytes& a, const Bytes& b) {
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return Sign(c);
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Text of up to `len` bytes, NUL-padded to `len`: letters of both cases, every byte of
// the upper half (the code pages' accented letters), digits, blanks and punctuation.
Bytes RandomText(std::mt19937& rng, size_t len) {
  static const std::string ascii = "aAbBcCdDhHsSzZeElLoOuUyY  -.09'";
  Bytes v(len, 0);
  const size_t n = std::uniform_int_distribution<size_t>(0, len)(rng);
  for (size_t i = 0; i < n; ++i) {
    if (rng() % 2)
      v[i] = uint8_t(ascii[rng() % ascii.size()]);
    else
      v[i] = uint8_t(0x80 + rng() % 0x80);
  }
  return v;
}

// Every known collation by name, "ascii" first; each driver is a case of its own so that
// a failure names it.
std::vector<std::string> CollationNames() {
  std::vector<std::string> names;
  for (const Collation* c : Collation::All()) names.push_back(c->name());
  return names;
}

class EachCollation : public ::testing::TestWithParam<std::string> {
 protected:
  const Collation* c = Collation::ForName(GetParam());
};

std::string DriverName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

INSTANTIATE_TEST_SUITE_P(Drivers, EachCollation, ::testing::ValuesIn(CollationNames()), DriverName);

TEST_P(EachCollation, SortKeyAgreesWithCompare) {
  ASSERT_NE(c, nullptr);
  std::mt19937 rng(16);
  std::vector<Bytes> texts;
  for (int i = 0; i < 250; ++i) texts.push_back(RandomText(rng, 6));
  // Near neighbours: case and accent variants of one another.
  for (int i = 0; i < 50; ++i) {
    Bytes t = texts[size_t(i)];
    c->FoldUpper(t);
    texts.push_back(t);
  }
  std::vector<Bytes> keys;
  for (const Bytes& t : texts) {
    Bytes k;
    c->AppendSortKey(t, &k);
    keys.push_back(std::move(k));
  }
  int mismatches = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = 0; j < texts.size(); ++j) {
      const int cmp = c->Compare(texts[i], texts[j]);
      if (cmp != KeyOrderOf(keys[i], keys[j]) && ++mismatches <= 5)
        ADD_FAILURE() << "compare " << cmp << " but sort keys " << KeyOrderOf(keys[i], keys[j])
                      << " for " << i << ", " << j;
      if (cmp != -c->Compare(texts[j], texts[i]) && ++mismatches <= 5)
        ADD_FAILURE() << "not antisymmetric";
      // A total order: only identical texts are equal.
      if ((cmp == 0) != (texts[i] == texts[j]) && ++mismatches <= 5)
        ADD_FAILURE() << "equal but different";
    }
  }
  EXPECT_EQ(mismatches, 0);
  // Sorting by the comparison gives ascending sort keys (transitivity).
  std::vector<size_t> idx(texts.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
  std::sort(idx.begin(), idx.end(),
            [&](size_t a, size_t b) { return c->Compare(texts[a], texts[b]) < 0; });
  for (size_t i = 1; i < idx.size(); ++i) EXPECT_LE(KeyOrderOf(keys[idx[i - 1]], keys[idx[i]]), 0);
  // Upper case is a fold: applying it twice changes nothing more.
  for (int b = 0; b < 256; ++b)
    EXPECT_EQ(c->Upper(c->Upper(uint8_t(b))), c->Upper(uint8_t(b))) << b;
}

Bytes T(const char* s) {
  return Bytes(s, s + std::strlen(s));
}

// The plain orders (no collation): alpha fields by ASCII-folded bytes then bytes, or all
// by bytes; their sort keys order as they compare, and equal means byte-identical.
TEST(KeyOrderPlain, FoldedAndByteOrdersAgreeWithTheirSortKeys) {
  TableHeader h;
  h.fixed.primaryKeyFields = 2;
  h.fields = {FieldDesc{FieldType::kAlpha, 4, "A", 1, 0},
              FieldDesc{FieldType::kShort, 2, "S", 2, 4}};
  std::mt19937 rng(11);
  for (auto plain : {KeyOrder::Plain::kBytes, KeyOrder::Plain::kFoldedAscii}) {
    const KeyOrder order(h, plain);
    EXPECT_EQ(order.keyLength(), 6u);
    for (int i = 0; i < 2000; ++i) {
      Bytes a = RandomText(rng, 4), b = RandomText(rng, 4);
      for (int k = 0; k < 2; ++k) {
        a.push_back(uint8_t(rng() % 3));
        b.push_back(uint8_t(rng() % 3));
      }
      Bytes ka, kb;
      order.AppendSortKey(a.data(), &ka);
      order.AppendSortKey(b.data(), &kb);
      const int c = order.Compare(a.data(), b.data());
      EXPECT_EQ(c, KeyOrderOf(ka, kb));
      EXPECT_EQ(c == 0, a == b);
      if (plain == KeyOrder::Plain::kBytes) {
        EXPECT_EQ(c, Sign(std::memcmp(a.data(), b.data(), 6)));
      }
    }
  }
  const Bytes lower{'a', 'b', 0, 0, 0, 1}, upper{'B', 0, 0, 0, 0, 1};
  EXPECT_LT(KeyOrder(h, KeyOrder::Plain::kFoldedAscii).Compare(lower.data(), upper.data()), 0);
  EXPECT_GT(KeyOrder(h, KeyOrder::Plain::kBytes).Compare(lower.data(), upper.data()), 0);
  // Only the fields within the bytes given take part.
  EXPECT_EQ(KeyOrder(h, KeyOrder::Plain::kBytes, 4).keyLength(), 4u);
}

// Orders that follow from the drivers' weights (bytes in each driver's code page).
TEST(Collation, DriverFacts) {
  struct Case {
    const char* driver;
    std::vector<const char*> ascending;
  };
  std::vector<Case> cases = {
      // DOS 852: a < a-ogonek < b, l < l-stroke < m, z < z-acute < z-dot; lower case first.
      {"polish", {"", "a", "A", "\xA5", "\xA4", "b", "l", "\x88", "m", "z", "\xAB", "\xBE"}},
      // Windows 1250: the same letters at their 1250 bytes.
      {"anpolish", {"", "a", "A", "\xB9", "\xA5", "b", "l", "\xB3", "m", "z", "\x9F", "\xBF"}},
      // a-umlaut sorts as "ae", after it; blanks and shorter texts first.
      {"ANSII850", {"", "a", "A", "ae", "\xE4", "\xC4", "af", "ss", "\xDF", "st"}},
      // a-ring is a letter after z, lower case first.
      {"ANSIINTL", {"z", "Z", "\xE5", "\xC5", "\xE6", "\xC6"}},
      // Windows 1250 Czech: c < c-caron < d, and "ch" a letter between h and i.
      {"anczech", {"c", "cz", "\xE8", "d", "h", "hz", "ch", "cH", "CH", "i"}},
      // DOS 852 Czech: sharp s sorts as "ss", after it.
      {"czech", {"ss", "\xE1", "st"}},
      // DOS 865 Norwegian/Danish: upper case first; AE, O-slash, A-ring after Z.
      {"nordan40",
       {"A", "a", "Z", "z", "\x92", "\x8E", "\x91", "\x84", "\x9D", "\x9B", "\x8F", "\x86"}},
      // DOS 852 Hungarian: "cs" is a letter after c, "zs" after z.
      {"hun852dc", {"c", "cz", "cs", "Cs", "CS", "d", "z", "zz", "zs"}},
      // Cyrillic: Latin first, yo between ye and zhe, lower case first (866 and 1251).
      {"cyrr", {"z", "\xA0", "\x80", "\xA5", "\xF1", "\xF0", "\xA6"}},
      {"ancyrr", {"z", "\xE0", "\xC0", "\xE5", "\xB8", "\xA8", "\xE6"}},
      // DOS 857 Turkish: c < c-cedilla < d; dotless i, I, then i, I-dot; o < o-umlaut < p.
      {"turk",
       {"c", "cz", "\x87", "\x80", "d", "h", "\x8D", "I", "i", "\x98", "j", "o", "oz", "\x94",
        "p"}},
      // Windows 1254 Turkish: the same letters at their 1254 bytes (dotless i is 0xFD).
      {"ANTURK", {"c", "cz", "\xE7", "\xC7", "d", "h", "\xFD", "I", "i", "\xDD", "j"}},
      // Windows 1252 Spanish: "ch" after c, "ll" after l, n-tilde after n.
      {"ANSISPAN",
       {"c", "cz", "ch", "Ch", "CH", "d", "l", "lz", "ll", "m", "n", "nz", "\xF1", "o"}},
      // Windows 1253 Greek: Latin first; alpha, alpha-tonos, Alpha; then beta.
      {"angreek1", {"z", "Z", "\xE1", "\xDC", "\xC1", "\xE2"}},
      // dBASE PLK 852: digits before letters; a < A < A-ogonek < a-ogonek < b; l < L-stroke.
      {"db852po0",
       {"1", "a", "A", "\xA4", "\xA5", "b", "l", "\x88", "\x9D", "m", "z", "\xAB", "\xBE", "!"}},
      // dBASE CSY 852: letters before digits; c < c-caron < d, "ch" after h.
      {"DB852CZ0", {"c", "cz", "\x9F", "d", "h", "hz", "ch", "Ch", "CH", "i", "z", "0", "!"}},
      // dBASE RUS 866: Latin, then Cyrillic with yo after ye; lower case first.
      {"db866ru0", {"z", "Z", "\xA0", "\x80", "\xA5", "\x85", "\xF1", "\xF0", "\xA6"}},
      // dBASE SLO 852: c < c-caron < c-acute < d < d-stroke < e; s < s-caron < t.
      {"db852sl0", {"c", "cz", "\x9F", "\xAC", "\x86", "d", "\xD0", "e", "s", "\xE7", "t"}},
      // dBASE ENU 437/850 and Borland ENU Latin-1: letters without regard to case (lower
      // case first), then the rest in byte order; no accent folds into its letter.
      {"DB437US0", {"", "a", "A", "b", "z", "Z", "[", "{", "\x80", "\xFF"}},
      {"DB850US0", {"a", "A", "z", "Z", "[", "{", "\x80", "\xFF"}},
      {"BLLT1US0", {"a", "A", "z", "Z", "{", "\xC0", "\xE0", "\xFF"}},
      // dBASE ENG 437: blank, digits, letters with accents second (a a-acute a-grave
      // a-circumflex a-umlaut a-ring), then punctuation.
      {"DB437UK0",
       {" ", "0", "9", "a", "A", "\xA0", "\x85", "\x83", "\x84", "\x8E", "\x86", "\x8F", "b", "z",
        "(", "!"}},
      // dBASE DEU 437: punctuation, the upper half, digits, then letters; a-umlaut an
      // accented a; sharp s as "ss", after it.
      {"DB437DE0",
       {" ", "!", "{", "\xB0", "0", "9", "a", "A", "\x84", "\x8E", "b", "s", "ss", "\xE1", "st",
        "z"}},
      // dBASE SVE 437: z < a-ring < a-umlaut < ae < o-umlaut, then punctuation; u-umlaut an
      // accented u; sharp s between s and t.
      {"DB437SV0",
       {" ", "0", "s", "\xE1", "t", "u", "\x81", "z", "Z", "\x86", "\x8F", "\x84", "\x91", "\x94",
        "\x99", "("}},
      // dBASE FIN 437: z < a-ring < a-umlaut < ae < o-umlaut < cent sign, then punctuation.
      {"DB437FI0", {" ", "0", "z", "Z", "\x86", "\x84", "\x91", "\x94", "\x9B", "\x9D", "!"}},
      // dBASE DAN and NOR 865: z < ae < a-umlaut < o-slash < o-umlaut < a-ring.
      {"DB865DA0",
       {" ", "0", "z", "Z", "\x91", "\x92", "\x84", "\x9B", "\x9D", "\x94", "\x86", "!"}},
      {"DB865NO0", {"z", "\x91", "\x84", "\x9B", "\x94", "\x86", "\x8F"}},
      // dBASE PTG 860: punctuation, digits, letters with upper case first; a < a-acute
      // (0xA0) < a-tilde (0x84); n < n-tilde < o.
      {"DB860PT0",
       {" ", "!", "0", "A", "a", "\x86", "\xA0", "\x84", "b", "n", "\xA5", "\xA4", "o", "z"}},
      // dBASE FRC 863: e < e-acute (0x82) < E-acute (0x90) < e-grave (0x8A) < f.
      {"DB863CF1", {" ", "0", "e", "E", "\x82", "\x90", "\x8A", "f", "z", "(", "!"}},
      // dBASE TRK 857: c < c-cedilla < d; i < dotless i < I-dot < j; s < s-cedilla < t.
      {"DB857TR0",
       {" ", "0", "c", "C", "\x87", "\x80", "d", "i", "I", "\x8D", "\x98", "j", "s", "\x9F", "\x9E",
        "t", "!"}},
      // dBASE ESP 437: comma before digits; c < c-cedilla < "ch" < d; l < "ll" < m; n <
      // n-tilde < o.
      {"DB437ES1", {" ", ",",  "0",  "c",  "cz", "\x87", "ch", "Ch",   "CH",   "d",
                    "l", "lz", "ll", "Ll", "LL", "m",    "n",  "\xA4", "\xA5", "o"}},
      // dBASE ENG 850: blank < hyphen (same first place); digits; ae after "ae"; sharp s
      // after "ss"; then punctuation.
      {"DB850UK0",
       {" ", "-", "0", "a", "A", "ae", "\x91", "af", "s", "ss", "\xE1", "st", "z", "!"}},
      // dBASE PTB 850: blank, control bytes, punctuation, digits, then letters with upper
      // case first; n < N-tilde < n-tilde < o.
      {"DB850PT0", {" ", "\x01", "!", "0", "9", "A", "a", "\x83", "n", "\xA5", "\xA4", "o", "z"}},
      // dBASE DEU 850: each punctuation byte has a first-level place; digits after letters.
      {"DB850DE0", {" ", "_", "-", "'", "\x01", "!", "a", "ss", "\xE1", "st", "z", "0", "9"}},
      // dBASE FRC 850: a < A < a-acute < a-grave < b; punctuation, then control bytes.
      {"DB850CF0", {" ", "0", "9", "a", "A", "\xA0", "\x85", "b", "z", "(", "!", "\x01"}},
      // dBASE SVE 850: u-diaeresis is a y; after z: a-ring, a-diaeresis, ae, o-diaeresis,
      // o-slash; then control bytes and punctuation.
      {"DB850SV1",
       {" ", "_", "-", "0", "a", "A", "y", "\x81", "z", "\x86", "\x8F", "\x84", "\x91", "\x94",
        "\x9B", "\x01", "!"}},
      // dBASE ESP 850: "ch" after c, "ll" after l (the case of the pair second), n-tilde
      // after n.
      {"DB850ES0", {" ",  "-",  "0",  "c",  "\x87", "cz", "ch", "cH", "Ch",   "CH",   "d", "l",
                    "lz", "ll", "lL", "Ll", "LL",   "m",  "n",  "nz", "\xA4", "\xA5", "o", "!"}},
      // Borland DEU Latin-1: punctuation is ignorable, accents compare from the end
      // (cote < co^te < cote' < co^te'); digits before letters.
      {"BLLT1DE0",
       {"\xA0", "0", "\xBC", "1", "\xB9", "a", "-b", "c", "cote", "c\xF4te", "cot\xE9",
        "c\xF4t\xE9", "ss", "\xDF", "st", "z"}},
      // Borland DAN Latin-1: upper case first; u-diaeresis a y; after z: ae (a-diaeresis
      // an accented ae), o-slash (o-diaeresis an accented o-slash), a-ring, then "aa" as a
      // two-byte a-ring (the case of the pair on the second and third levels).
      {"BLLT1DA0",
       {"A", "a", "b", "y", "\xFD", "\xFC", "z", "\xC6", "\xE6", "\xE4", "\xD8", "\xF8", "\xF6",
        "\xC5", "\xE5", "Aa", "aa", "AA", "aA"}},
      // Borland ESP Latin-1: "ch" after c, "ll" after l, n-tilde (no accent of n) after n;
      // a text without punctuation before the same with it.
      {"BLLT1ES0", {"c",  "\xE7", "cz", "ch", "cH", "Ch", "CH",   "d",    "l", "lz", "ll",
                    "lL", "Ll",   "LL", "m",  "n",  "nz", "\xF1", "\xD1", "o", "ob", "o-b"}},
      // Borland FIN and SVE Latin-1: u-diaeresis a y; after z: a-ring, a-diaeresis < ae,
      // o-diaeresis < o-slash; sharp s an accented "ss".
      {"BLLT1FI0",
       {"ss", "\xDF", "st", "y", "\xFC", "z", "\xE5", "\xC5", "\xE4", "\xE6", "\xF6", "\xF8"}},
      {"BLLT1SV0", {"y", "\xFC", "z", "\xE5", "\xC5", "\xE4", "\xE6", "\xF6", "\xF8"}},
      // Borland ISL Latin-1: a-acute, eth, e-acute, i-acute, o-acute, u-acute and y-acute
      // are letters of their own after their base; thorn, ae, o-diaeresis after z.
      {"BLLT1IS0", {"a", "A", "\xE1", "\xC1", "b",    "d",    "\xF0", "e",   "\xE9",
                    "f", "i", "\xED", "j",    "o",    "\xF3", "p",    "u",   "\xFA",
                    "v", "y", "\xFD", "z",    "\xFE", "\xE6", "\xF6", "\xF8"}},
      // Borland NOR Latin-1: a-diaeresis an accented a; after z: ae, o-slash, a-ring, then
      // "aa" as a two-byte a-ring.
      {"BLLT1NO0",
       {"a", "\xE4", "b", "z", "\xE6", "\xC6", "\xF8", "\xD8", "\xE5", "\xC5", "aa", "Aa", "aA",
        "AA"}},
      {"ascii", {"", "A", "B", "a", "b", "\x80"}},
  };
  // The Borland Latin-1 drivers with the weights of BLLT1DE0: accents compare from the
  // end of the text (cote < co^te < cote' < co^te'), ae sorts after "ae".
  for (const char* d : {"BLLT1UK0", "BLLT1FR0", "BLLT1CA0", "BLLT1IT0", "BLLT1NL0", "BLLT1PT0"})
    cases.push_back({d,
                     {"0", "a", "ae", "\xE6", "af", "cote", "c\xF4te", "cot\xE9", "c\xF4t\xE9",
                      "ss", "\xDF", "st", "z"}});
  for (const Case& k : cases) {
    const Collation* c = Collation::ForName(k.driver);
    ASSERT_NE(c, nullptr) << k.driver;
    for (size_t i = 1; i < k.ascending.size(); ++i)
      EXPECT_LT(c->Compare(T(k.ascending[i - 1]), T(k.ascending[i])), 0)
          << k.driver << ": \"" << k.ascending[i - 1] << "\" < \"" << k.ascending[i] << "\"";
  }
  // The name decides; a header without one goes by the byte, DOS drivers first.
  EXPECT_EQ(Collation::ForId(0x8F)->name(), "polish");
  EXPECT_EQ(Collation::ForName("DB852SL0")->name(), "db852sl0");
  EXPECT_EQ(Collation::ForName("ANSII850")->id(), 0x11);
  EXPECT_EQ(Collation::ForName("DBWINUS0"), nullptr);
  // Turkish upper case: i becomes I-dot, dotless i becomes I.
  EXPECT_EQ(Collation::ForName("turk")->Upper('i'), 0x98);
  EXPECT_EQ(Collation::ForName("turk")->Upper(0x8D), 'I');
  // A byte shared with a dBASE driver (0xFC: slovene and DB437US0) finds the Paradox one.
  EXPECT_EQ(Collation::ForId(0xFC)->name(), "slovene");
  EXPECT_EQ(Collation::ForName("db437us0")->name(), "DB437US0");
  // Upper case: Latin-1 accented letters keep their accents, y-diaeresis becomes Y.
  EXPECT_EQ(Collation::ForName("BLLT1US0")->Upper(0xE0), 0xC0);
  EXPECT_EQ(Collation::ForName("BLLT1US0")->Upper(0xF7), 0xF7);
  EXPECT_EQ(Collation::ForName("BLLT1US0")->Upper(0xFF), 'Y');
  EXPECT_EQ(Collation::ForName("DB850US0")->Upper(0x84), 0x8E);
  EXPECT_EQ(Collation::ForName("DB850US0")->Upper(0x98), 'Y');
  EXPECT_EQ(Collation::ForName("DB437US0")->Upper(0x84), 0x84);
  EXPECT_EQ(Collation::ForName("DB437UK0")->Upper(0x84), 0x8E);
  // DB437FR0 orders as DB437UK0 but upper-cases c-cedilla and u-umlaut to C and U.
  EXPECT_EQ(Collation::ForName("DB437FR0")->Upper(0x87), 'C');
  EXPECT_EQ(Collation::ForName("DB437FR0")->Upper(0x81), 'U');
  EXPECT_EQ(Collation::ForName("DB437UK0")->Upper(0x87), 0x80);
  EXPECT_LT(Collation::ForName("DB437FR0")->Compare(T("\x87"), T("d")), 0);
  EXPECT_EQ(Collation::ForName("DB437IT0")->Upper(0x82), 'E');
  EXPECT_EQ(Collation::ForName("DB437NL0")->Upper(0x82), 0x90);
  EXPECT_EQ(Collation::ForName("DB850FR0")->Upper(0x87), 'C');
  EXPECT_EQ(Collation::ForName("DB850UK0")->Upper(0x87), 0x80);
  EXPECT_EQ(Collation::ForName("DB850IT1")->Upper(0x87), 0x80);
  EXPECT_EQ(Collation::ForId(0xF1)->name(), "DB437IT0");
  EXPECT_EQ(Collation::ForName("DB850NL0")->Upper(0x98), 'Y');
  EXPECT_EQ(Collation::ForId(0xED)->name(), "DB437ES1");
  EXPECT_EQ(Collation::ForName("DB850PT0")->Upper(0x91), 0x91);
  EXPECT_EQ(Collation::ForName("DB850PT0")->Upper(0x84), 0x8E);
  EXPECT_EQ(Collation::ForId(0xDC)->name(), "anczech");
  EXPECT_EQ(Collation::ForName("DB850CF0")->Upper(0x9B), 0x9B);
  EXPECT_EQ(Collation::ForName("DB850CF0")->Upper(0x91), 0x92);
  EXPECT_EQ(Collation::ForId(0xFD)->name(), "DB437SV0");
  EXPECT_EQ(Collation::ForId(0xEB)->name(), "DB850ES0");  // first by name
  EXPECT_EQ(Collation::ForName("DB865NO0")->Upper(0x9B), 0x9D);
  // DB857TR0 shares the byte 0x00 with "ascii": a header without a name is "ascii".
  EXPECT_EQ(Collation::ForId(0x00)->name(), "ascii");
  EXPECT_EQ(Collation::ForName("DB857TR0")->id(), 0x00);
  // The Borland Latin-1 drivers' bytes; a shared byte without a name finds the first by
  // name (0x27 BLLT1ES0 and BLLT1FR0, 0x2C BLLT1IT0 and BLLT1NO0). 0x14 is also BLROM800,
  // which stays unknown: its headers carry the name.
  const std::vector<std::pair<const char*, uint8_t>> borland = {
      {"BLLT1CA0", 0x13}, {"BLLT1DA0", 0x14}, {"BLLT1DE0", 0x18}, {"BLLT1FI0", 0x1E},
      {"BLLT1ES0", 0x27}, {"BLLT1FR0", 0x27}, {"BLLT1NL0", 0x29}, {"BLLT1IS0", 0x2B},
      {"BLLT1IT0", 0x2C}, {"BLLT1NO0", 0x2C}, {"BLLT1UK0", 0x2F}, {"BLLT1PT0", 0x33},
      {"BLLT1US0", 0x37}, {"BLLT1SV0", 0x38}};
  for (const auto& [name, id] : borland) {
    const Collation* c = Collation::ForName(name);
    ASSERT_NE(c, nullptr) << name;
    EXPECT_EQ(c->id(), id) << name;
    EXPECT_EQ(c->codePage(), 1252) << name;
  }
  EXPECT_EQ(Collation::ForId(0x27)->name(), "BLLT1ES0");
  EXPECT_EQ(Collation::ForId(0x2C)->name(), "BLLT1IT0");
  EXPECT_EQ(Collation::ForId(0x14)->name(), "BLLT1DA0");
  EXPECT_EQ(Collation::ForName("BLROM800"), nullptr);
  // BLLT1FR0 upper-cases the French accented letters to their plain capitals; the other
  // Borland Latin-1 drivers keep the accent.
  EXPECT_EQ(Collation::ForName("BLLT1FR0")->Upper(0xE9), 'E');
  EXPECT_EQ(Collation::ForName("BLLT1FR0")->Upper(0xE7), 'C');
  EXPECT_EQ(Collation::ForName("BLLT1FR0")->Upper(0xFC), 'U');
  EXPECT_EQ(Collation::ForName("BLLT1FR0")->Upper(0xE4), 0xC4);
  EXPECT_EQ(Collation::ForName("BLLT1FR0")->Upper(0xFF), 'Y');
  EXPECT_EQ(Collation::ForName("BLLT1CA0")->Upper(0xE9), 0xC9);
  EXPECT_EQ(Collation::ForName("BLLT1DA0")->Upper(0xE5), 0xC5);
}

// Findings other than blank key fields (the generated keys have some on purpose).
std::string Unexpected(const VerifyReport& r) {
  std::string out;
  for (const Finding& f : r.findings)
    if (f.check != "key.blank") out += f.ToString() + "\n";
  return out;
}

// Every byte of the file from `from` on.
Bytes Tail(MemFileSystem& fs, const std::string& path, uint32_t from) {
  Bytes* b = fs.Contents(path);
  if (!b || b->size() < from) return {};
  return Bytes(b->begin() + from, b->end());
}

uint16_t HeaderSizeOf(MemFileSystem& fs, const std::string& path) {
  Bytes* b = fs.Contents(path);
  return b && b->size() >= 4 ? DecodeU16(b->data() + 2) : 0;
}

// A keyed table in the collation (a key of two alpha fields, a case-sensitive
// .X03 and a case-insensitive .XG0 on City), its records shuffled, rebuilds into the
// order of a table the writer sorted, member for member, block for block.
TEST_P(EachCollation, ShuffledTableRebuildsInDriverOrder) {
  ASSERT_NE(c, nullptr);
  std::mt19937 rng(c->id() + 1u);
  TableSchema s;
  s.level = c->codePage() >= 1250 ? TableLevel::k7 : TableLevel::k4;
  s.blockSize = 1024;
  s.codePage = c->codePage();
  s.sortOrder = c->id();
  s.sortOrderId = c->name();
  s.fields = {{"Name", FieldType::kAlpha, 7},
              {"Part", FieldType::kAlpha, 2},
              {"City", FieldType::kAlpha, 6},
              {"N", FieldType::kShort}};
  s.keyFieldCount = 2;
  s.secondaryIndexes = {{"", {"City"}}, {"CityCI", {"City"}, true}};
  // Distinct keys; case and accent variants of one another; repeated and blank cities.
  std::set<Bytes> seen;
  std::vector<Bytes> records;
  while (records.size() < 400) {
    Bytes name = RandomText(rng, 7), part = RandomText(rng, 2);
    if (records.size() % 5 == 1) {
      name.assign(records.back().begin(), records.back().begin() + 7);
      c->FoldUpper(name);
    }
    Bytes key = name;
    key.insert(key.end(), part.begin(), part.end());
    if (std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; }) ||
        !seen.insert(key).second)
      continue;
    Bytes rec = key;
    Bytes city = records.size() % 7 == 0 ? Bytes(6, 0) : RandomText(rng, 6);
    if (records.size() % 3 == 0 && !records.empty())
      city.assign(records.back().begin() + 9, records.back().begin() + 15);
    rec.insert(rec.end(), city.begin(), city.end());
    rec.push_back(0x80);
    rec.push_back(uint8_t(records.size()));
    records.push_back(std::move(rec));
  }
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/ref").ok());
  ASSERT_TRUE(fs.MakeDir("/data").ok());
  WriteOptions sorted;
  sorted.sortInMemory = true;
  sorted.sync = false;
  sorted.fileUpdateTime = 1;
  auto w = TableWriter::Create(&fs, "/ref/T.DB", s, sorted);
  ASSERT_TRUE(w.ok()) << w.status().ToString();
  for (const Bytes& r : records) ASSERT_TRUE((*w)->AddRawRecord(r).ok());
  ASSERT_TRUE((*w)->Finish().ok());

  // The reference: keys ascending by the driver's comparison, field by field, and
  // the case-insensitive index upper-cased; the verifier agrees.
  {
    auto rd = TableReader::Open(&fs, "/ref/T.DB");
    ASSERT_TRUE(rd.ok());
    Bytes prev;
    auto cur = (*rd)->Records();
    while (cur.Next()) {
      Bytes r(cur.record().bytes.begin(), cur.record().bytes.end());
      if (!prev.empty()) {
        int f1 = c->Compare(ByteSpan(prev.data(), 7), ByteSpan(r.data(), 7));
        EXPECT_TRUE(f1 < 0 || (f1 == 0 && c->Compare(ByteSpan(prev.data() + 7, 2),
                                                     ByteSpan(r.data() + 7, 2)) < 0));
      }
      prev = r;
    }
    auto xg = TableReader::Open(&fs, "/ref/T.XG0");
    ASSERT_TRUE(xg.ok());
    auto xc = (*xg)->Records();
    while (xc.Next()) EXPECT_TRUE(c->IsFolded(xc.record().bytes.subspan(0, 6)));
    VerifyOptions vo;
    vo.fs = &fs;
    VerifyReport rep = VerifyTable("/ref/T.DB", vo);
    EXPECT_EQ(Unexpected(rep), "");
  }

  // The same records out of order: the verifier says so, the rebuild puts them back.
  std::shuffle(records.begin(), records.end(), rng);
  WriteOptions given;
  given.keepGivenOrder = true;
  given.sync = false;
  given.fileUpdateTime = 1;
  auto w2 = TableWriter::Create(&fs, "/data/T.DB", s, given);
  ASSERT_TRUE(w2.ok());
  for (const Bytes& r : records) ASSERT_TRUE((*w2)->AddRawRecord(r).ok());
  ASSERT_TRUE((*w2)->Finish().ok());
  VerifyOptions vo;
  vo.fs = &fs;
  EXPECT_TRUE(VerifyTable("/data/T.DB", vo).Has("key.order"));
  {
    // The salvage's sort through runs on disk gives the order of its sort in memory.
    auto fam = FindFamily(&fs, "/data/T.DB");
    ASSERT_TRUE(fam.ok() && fs.MakeDir("/spill").ok());
    SalvageOptions tiny;
    tiny.keepBytes = false;
    tiny.spillDir = "/spill";
    tiny.sortMemory = 200;
    auto held = SalvageTable(&fs, *fam);
    auto spilled = SalvageTable(&fs, *fam, tiny);
    ASSERT_TRUE(held.ok() && spilled.ok());
    ASSERT_EQ(held->records.size(), spilled->recordPlaces.size());
    SalvagedRecord r;
    size_t i = 0;
    for (RecordPlace at : spilled->recordPlaces) {
      ASSERT_TRUE(spilled->source->Fetch(at, &r).ok());
      EXPECT_EQ(r.raw, held->records[i++].raw) << "record " << i;
    }
    EXPECT_TRUE(fs.ListDir("/spill")->empty());
  }
  RebuildOptions ro;
  ro.fs = &fs;
  RebuildResult rr = RebuildTable("/data/T.DB", ro);
  ASSERT_TRUE(rr.status.ok()) << rr.status.ToString();
  EXPECT_EQ(rr.recordsKept, records.size());
  VerifyReport after = VerifyTable("/data/T.DB", vo);
  EXPECT_EQ(Unexpected(after), "");
  for (const char* ext : {".DB", ".PX", ".X03", ".Y03", ".XG0", ".YG0"}) {
    const std::string a = std::string("/ref/T") + ext, b = std::string("/data/T") + ext;
    EXPECT_EQ(Tail(fs, a, HeaderSizeOf(fs, a)), Tail(fs, b, HeaderSizeOf(fs, b))) << ext;
  }
}

// Names compare without regard to case as the table's sort order upper-cases them,
// whatever the process's locale: bytes above ASCII by the driver's map, ASCII letters as
// ASCII (even in the Turkish drivers, whose map makes 'i' a dotted capital).
TEST(Collation, NamesCompareInTheSortOrdersUpperCase) {
  const Collation* polish = Collation::ForName("polish");  // code page 852: 0xA5 is a-ogonek
  ASSERT_NE(polish, nullptr);
  EXPECT_EQ(UpperCaseName("za\245b", polish), "ZA\244B");  // octal: 0xA5, 0xA4
  EXPECT_EQ(UpperCaseName("id", Collation::ForName("turk")), "ID");
  EXPECT_EQ(UpperCaseName("\245x", nullptr), "\245X");  // unknown sort order: ASCII only
  TableHeader h;
  h.sortOrderId = "polish";
  h.fields.resize(2);
  h.fields[0].name = "Id";
  h.fields[1].name = "Ma\245ka";
  EXPECT_EQ(h.FieldIndex("ID"), 0);
  EXPECT_EQ(h.FieldIndex("MA\244KA"), 1);
  EXPECT_EQ(h.FieldIndex("MAKA"), -1);
}

// Real tables written by other programs: every one with a known non-"ascii" sort order
// has its keys, its .PX and its secondary indexes in our order; an unknown sort order
// is reported as such.
TEST(Collation, RealTablesVerifyInOrder) {
  const fsys::path root = REKASTO_TABLES_DIR;
  if (!fsys::is_directory(root)) GTEST_SKIP() << "shared tables folder " << root << " is absent";
  FileSystem* fs = DefaultFileSystem();
  int known = 0, unknown = 0;
  for (const auto& e : fsys::recursive_directory_iterator(root)) {
    std::string ext = e.path().extension().string();
    for (char& ch : ext) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    if (ext != ".DB") continue;
    auto h = ReadHeader(fs, e.path().string());
    if (!h.ok() || h->fixed.primaryKeyFields == 0) continue;
    const Collation* c = Collation::ForHeader(*h);
    if (c && c->IsByteOrder()) continue;
    auto fam = FindFamily(fs, e.path().string());
    if (!fam.ok() || (fam->px.empty() && fam->secondary.empty())) continue;
    SCOPED_TRACE(e.path().string());
    VerifyReport rep = VerifyTable(e.path().string());
    for (const char* id :
         {"key.order", "key.duplicate", "index.order", "index.first-key", "index.x-case"})
      EXPECT_FALSE(rep.Has(id)) << id;
    EXPECT_EQ(rep.Has("key.sort-order-unknown"), c == nullptr && !KeyOrder(*h).known());
    (c ? known : unknown)++;
  }
  EXPECT_GT(known, 0);
  std::printf("real keyed tables with an index: %d in a known collation, %d in an unknown one\n",
              known, unknown);
}

}  // namespace
}  // namespace paradox
