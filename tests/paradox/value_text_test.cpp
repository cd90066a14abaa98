// Text forms of values: every date, time and timestamp the dump writes reads back to
// the same value (ISO 8601, expanded years before year 1), and a BCD value with
// nibbles above 9 shows them and is written back to the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "paradox/format/reader.h"
#include "paradox/format/value.h"

extern "C" {
#include <paradox.h>
}

namespace paradox {
namespace {

TEST(ValueText, DatesTimesAndTimestampsReadBackExactly) {
  std::mt19937_64 rng(14);
  // Edges, then generated values over the whole stored range.
  std::vector<int32_t> days = {1, 2, 0, -1, -365, -366, -367, 36160, 730120, 3652059, -3652059};
  for (int i = 0; i < 20000; ++i) days.push_back(int32_t(rng() % 7304119) - 3652059);
  for (int32_t d : days) {
    const std::string text = FormatDate(Date{d});
    Date back{};
    ASSERT_TRUE(ParseDate(text, &back)) << d << " " << text;
    ASSERT_EQ(back.days, d) << text;
  }
  std::vector<int32_t> times = {0, 1, 999, 86399999};
  for (int i = 0; i < 20000; ++i) times.push_back(int32_t(rng() % 86400000));
  for (int32_t t : times) {
    Time back{};
    ASSERT_TRUE(ParseTime(FormatTime(Time{t}), &back)) << t;
    ASSERT_EQ(back.ms, t);
  }
  std::vector<double> stamps = {86400000.0,
                                63716202001000.0,
                                63716202001000.5,
                                -366 * 86400000.0 + 3600000.0,
                                86400000.0 * 3652059 + 86399999.0,
                                1.0,
                                0.25,
                                -0.125};
  for (int i = 0; i < 20000; ++i) {
    const double day = double(int64_t(rng() % 7304119) - 3652059);
    const double ms = double(rng() % 86400000);
    stamps.push_back(day * 86400000.0 + ms);
    // Fractions of a millisecond, as other writers leave them.
    uint64_t bits;
    double v = day * 86400000.0 + ms + double(rng() % 1000000) / 1000000.0;
    std::memcpy(&bits, &v, 8);
    bits ^= rng() % 4;  // the last bits too
    std::memcpy(&v, &bits, 8);
    stamps.push_back(v);
  }
  for (double s : stamps) {
    const std::string text = FormatTimestamp(Timestamp{s});
    Timestamp back{};
    ASSERT_TRUE(ParseTimestamp(text, &back)) << text;
    ASSERT_EQ(back.ms, s) << text;
  }
  EXPECT_EQ(FormatDate(Date{-366}), "-0001-12-31");
  EXPECT_EQ(FormatDate(Date{0}), "0000-12-31");
  EXPECT_EQ(FormatTimestamp(Timestamp{-366 * 86400000.0 + 3600000.0}), "-0001-12-31 01:00:00.000");
  EXPECT_EQ(FormatTimestamp(Timestamp{63716202001000.5}), "2020-02-01 01:00:01.0005");
  Timestamp t{};
  EXPECT_TRUE(ParseTimestamp("2020-02-01T01:00:01.000", &t));
  EXPECT_EQ(t.ms, 63716202001000.0);
  Date d{};
  for (const char* bad :
       {"-001-12-31", "2020-02-30", "2021-02-29", "2020-13-01", "20200101", "2020-01-01x"})
    EXPECT_FALSE(ParseDate(bad, &d)) << bad;
  Time tm{};
  for (const char* bad : {"24:00:00.000", "12:60:00.000", "12:00:00", "12:00:00.0000"})
    EXPECT_FALSE(ParseTime(bad, &tm)) << bad;
}

// Generated BCD values of every decimal count, with any nibbles: decoding shows the
// nibbles above 9 as A-F and flags them, and encoding the text gives the same bytes.
TEST(ValueText, BcdKeepsEveryNibble) {
  std::mt19937 rng(14);
  int bad = 0;
  for (int i = 0; i < 20000; ++i) {
    const uint8_t decimals = uint8_t(rng() % 33);
    uint8_t in[17];
    in[0] = uint8_t((rng() % 2 ? 0xC0 : 0x40) | decimals);
    for (int k = 1; k < 17; ++k) {
      // Mostly decimal digits, some nibbles above 9.
      uint8_t hi = uint8_t(rng() % 10), lo = uint8_t(rng() % 10);
      if (rng() % 8 == 0) hi = uint8_t(10 + rng() % 6);
      if (rng() % 8 == 0) lo = uint8_t(10 + rng() % 6);
      in[k] = uint8_t(hi << 4 | lo);
    }
    auto v = DecodeBcd(in, decimals);
    ASSERT_TRUE(v.ok());
    const bool hasLetters = v->text.find_first_of("ABCDEF") != std::string::npos;
    EXPECT_EQ(v->hasBadNibbles, hasLetters) << v->text;
    bad += v->hasBadNibbles;
    uint8_t out[17];
    ASSERT_TRUE(EncodeBcd(v->text, decimals, out).ok()) << v->text;
    // A negative zero is written as zero; every other value as it was.
    const bool zero = v->text.find_first_not_of("-0.") == std::string::npos;
    if (!zero) {
      EXPECT_EQ(std::memcmp(in, out, 17), 0) << v->text;
    }
  }
  EXPECT_GT(bad, 1000);
  uint8_t odd[17] = {0xC2};
  odd[16] = 0x0F;  // the last digit is F
  EXPECT_EQ(DecodeBcd(odd, 2)->text, "0.0F");
}

// Shown, a BCD value with nibbles above 9 is the number its decimal digits give, cut at
// the first of them: what a writer that went through a binary double meant.
TEST(ValueText, BcdWithNibblesAboveNineShowsItsDigitsUpToTheFirst) {
  const std::pair<const char*, const char*> cases[] = {
      {"0.1229999999999999980B00E00000BF4A", "0.1229999999999999980"},  // bcd.db
      {"-0.1229999999999999980B00E00000BF4A", "-0.1229999999999999980"},
      {"0.9999000000000000118A00E00000EF4A", "0.9999000000000000118"},
      {"12B4.56", "1200"},  // integer digits keep their places
      {"B.5", "0"},
      {"-0.0B", "0.0"},  // nothing but zeros: no sign
      {"1.B5", "1"},
      {"-1.23", "-1.23"},
      {"7", "7"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(BcdNumberText(text), shown) << text;
  EXPECT_EQ(ValueToText(Value(Bcd{"0.1229999999999999980B00E00000BF4A", true}), 1252),
            "0.1229999999999999980");
}

// pxlib writes a BCD nibble above 9 as the character '0' + nibble (':' for 10 ... '?'
// for 15) and ends an integral value with '.': with those read as A-F and dropped, every
// BCD value of the real tables it opens reads as ours.
TEST(ValueText, RealTablesBcdAgreesWithPxlib) {
  if (!std::filesystem::is_directory(REKASTO_TABLES_DIR)) GTEST_SKIP() << "sample tables not found";
  int compared = 0, badNibbles = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(REKASTO_TABLES_DIR)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(toupper(static_cast<unsigned char>(c)));
    if (ext != ".DB") continue;
    const std::string path = e.path().string();
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok()) << path;
    const auto& fields = r.value()->header().fields;
    // pxlib reads encrypted tables without decrypting them.
    if (r.value()->header().IsEncrypted() ||
        std::none_of(fields.begin(), fields.end(),
                     [](const FieldDesc& f) { return f.type == FieldType::kBcd; }))
      continue;
    SCOPED_TRACE(path);
    pxdoc_t* d = PX_new();
    if (PX_open_file(d, path.c_str()) < 0) {
      PX_delete(d);
      continue;
    }
    auto cur = r.value()->Records();
    for (int recno = 0; cur.Next(); ++recno) {
      auto ours = cur.Decode();
      ASSERT_TRUE(ours.ok());
      pxval_t** theirs = PX_retrieve_record(d, recno);
      ASSERT_NE(theirs, nullptr);
      for (size_t k = 0; k < fields.size(); ++k) {
        if (fields[k].type == FieldType::kBcd) {
          const Value& v = ours.value()[k];
          ASSERT_EQ(IsNull(v), bool(theirs[k]->isnull));
          if (!IsNull(v)) {
            std::string text = theirs[k]->value.str.val;
            for (char& c : text)
              if (c >= ':' && c <= '?') c = char('A' + (c - ':'));
            if (!text.empty() && text.back() == '.') text.pop_back();
            EXPECT_EQ(std::get<Bcd>(v).text, text);
            badNibbles += std::get<Bcd>(v).hasBadNibbles;
            ++compared;
          }
        }
      }
      for (size_t k = 0; k < fields.size(); ++k) {
        if (!theirs[k]->isnull &&
            (theirs[k]->type == pxfAlpha || theirs[k]->type == pxfBCD ||
             theirs[k]->type == pxfBytes ||
             (theirs[k]->type >= pxfMemoBLOb && theirs[k]->type <= pxfGraphic)))
          d->free(d, theirs[k]->value.str.val);
        d->free(d, theirs[k]);
      }
      d->free(d, theirs);
    }
    PX_close(d);
    PX_delete(d);
  }
  RecordProperty("bcdValuesCompared", std::to_string(compared));
  EXPECT_GE(compared, 8);
  EXPECT_GE(badNibbles, 3);
}

}  // namespace
}  // namespace paradox
