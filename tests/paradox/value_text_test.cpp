// Text forms of values: every date, time and timestamp the dump writes reads back to
// the same value (ISO 8601, expanded years before year 1), and a BCD value with
// nibbles above 9 shows them and is written back to the same bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "value.h"

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
  std::vector<double> stamps = {86400000.0, 63716202001000.0, 63716202001000.5, -366 * 86400000.0 + 3600000.0,
                                86400000.0 * 3652059 + 86399999.0, 1.0, 0.25, -0.125};
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
  for (const char* bad : {"-001-12-31", "2020-02-30", "2021-02-29", "2020-13-01", "20200101", "2020-01-01x"})
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

}  // namespace
}  // namespace paradox
