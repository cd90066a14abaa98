// Field profiles: a column's plausibility as a type, and the judgement of records and
// blocks against the other blocks of a table, over many generated tables.
#include "paradox/verify/field_profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "paradox/format/value.h"

namespace paradox {
namespace {

// A table of Alpha 12, Long, Number, Date and AutoInc fields, `blocks` blocks of
// `perBlock` records, values as real data has them.
struct Generated {
  std::vector<ProfileColumn> cols{{FieldType::kAlpha, 12, 0, "Name"},
                                  {FieldType::kLong, 4, 12, "Qty"},
                                  {FieldType::kNumber, 8, 16, "Price"},
                                  {FieldType::kDate, 4, 24, "Day"},
                                  {FieldType::kAutoInc, 4, 28, "Id"}};
  static constexpr uint32_t kRecord = 32;
  uint32_t blocks, perBlock;
  std::vector<uint8_t> bytes;
  uint32_t nextId = 1;

  Generated(uint32_t b, uint32_t per, std::mt19937& rng, bool binaryText = false)
      : blocks(b), perBlock(per), bytes(size_t(b) * per * kRecord) {
    for (uint32_t i = 0; i < b * per; ++i) {
      uint8_t* r = &bytes[size_t(i) * kRecord];
      const int len = 3 + int(rng() % 8);
      for (int k = 0; k < len; ++k)
        r[k] = binaryText ? uint8_t(1 + rng() % 40) : uint8_t('a' + rng() % 26);
      EncodeInt32(int32_t(rng() % 500), r + 12);
      EncodeDouble(double(rng() % 100000) / 100.0, r + 16);
      EncodeInt32(DaysFromCivil(1995 + int(rng() % 20), 1 + rng() % 12, 1 + rng() % 28), r + 24);
      EncodeInt32(int32_t(nextId++), r + 28);
    }
  }
  uint8_t* Block(uint32_t b) { return &bytes[size_t(b) * perBlock * kRecord]; }
  TableProfile Learn() {
    TableProfile p(cols, kRecord, nextId - 1);
    for (uint32_t b = 0; b < blocks; ++b)
      for (uint32_t r = 0; r < perBlock; ++r) p.Learn(b, Block(b) + size_t(r) * kRecord);
    p.Finish();
    return p;
  }
};

TEST(FieldProfile, ColumnPlausibilityTellsDataFromRandomBytes) {
  std::mt19937 rng(7);
  FieldProfile dates(FieldType::kDate, 4), noise(FieldType::kDate, 4);
  FieldProfile longs(FieldType::kLong, 4), noisyLongs(FieldType::kLong, 4);
  FieldProfile text(FieldType::kAlpha, 10), noisyText(FieldType::kAlpha, 10);
  uint8_t v[10], w[10];
  for (uint32_t i = 0; i < 400; ++i) {
    EncodeInt32(DaysFromCivil(1980 + int(i % 30), 1 + i % 12, 1 + i % 28), v);
    for (uint8_t& b : w) b = uint8_t(rng());
    dates.Learn(v, i / 50);
    noise.Learn(w, i / 50);
    EncodeInt32(int32_t(i * 3), v);
    longs.Learn(v, i / 50);
    noisyLongs.Learn(w, i / 50);
    std::memset(v, 0, sizeof v);
    std::memcpy(v, "Smith", 5);
    text.Learn(v, i / 50);
    noisyText.Learn(w, i / 50);
  }
  EXPECT_GT(dates.Summary().plausibility, 0.9);
  EXPECT_EQ(dates.Summary().modern, 400u);
  EXPECT_LT(noise.Summary().plausibility, 0.1);
  EXPECT_GT(noise.Summary().invalid, 350u);
  EXPECT_GT(longs.Summary().plausibility, 0.9);
  EXPECT_LT(noisyLongs.Summary().plausibility, 0.6);
  EXPECT_GT(text.Summary().plausibility, 0.99);
  EXPECT_LT(noisyText.Summary().plausibility, 0.3);
  FieldProfile blank(FieldType::kLong, 4);
  std::memset(v, 0, 4);
  blank.Learn(v, 0);
  EXPECT_EQ(blank.Summary().blanks, 1u);
  EXPECT_EQ(blank.Summary().plausibility, 0.5);
}

// Over many tables: a block of random bytes (its header kept) and a block whose second
// half is zeroed are damaged; every other block is sound and none of its records is
// implausible; nothing at all is in a table of one record or a table whose text field
// holds binary codes.
TEST(FieldProfile, JudgementFindsGarbageBlocksAndNeverHealthyOnes) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const uint32_t blocks = 2 + seed % 9, per = 8 + seed % 30;
    Generated healthy(blocks, per, rng, seed % 5 == 0);
    {
      TableProfile p = healthy.Learn();
      for (uint32_t b = 0; b < blocks; ++b) {
        std::vector<RecordJudgement> out;
        const BlockJudgement j = p.JudgeBlock(b, healthy.Block(b), per, &out);
        EXPECT_EQ(j.implausible, 0u) << "block " << b << ": " << p.Reasons(out[0]);
        EXPECT_FALSE(j.damaged);
      }
    }
    const uint32_t bad = seed % blocks;
    Generated random = healthy;
    for (uint32_t i = 0; i < per * Generated::kRecord; ++i) random.Block(bad)[i] = uint8_t(rng());
    // A torn write zeroes whole sectors: from the block's 512-byte boundary (its records
    // begin 6 bytes in), where that leaves a whole record zero.
    Generated torn = healthy;
    const uint32_t area = per * Generated::kRecord;
    const bool tears = area >= 506 + Generated::kRecord;
    if (tears) std::memset(torn.Block(bad) + 506, 0, area - 506);
    uint32_t firstChanged = per;
    for (uint32_t r = per; r-- > 0;)
      if (std::memcmp(torn.Block(bad) + r * Generated::kRecord,
                      healthy.Block(bad) + r * Generated::kRecord, Generated::kRecord) != 0)
        firstChanged = r;
    for (Generated* g : {&random, &torn}) {
      if (g == &torn && !tears) continue;
      TableProfile p = g->Learn();
      const std::vector<uint32_t> suspects = p.SuspectBlocks();
      EXPECT_TRUE(std::binary_search(suspects.begin(), suspects.end(), bad));
      for (uint32_t b = 0; b < blocks; ++b) {
        std::vector<RecordJudgement> out;
        const BlockJudgement j = p.JudgeBlock(b, g->Block(b), per, &out);
        if (b == bad) {
          // Every record the tear changed is set aside, and only those: the records
          // before the tear are the table's.
          if (g == &torn) {
            EXPECT_LE(j.tornFrom, firstChanged);
            EXPECT_EQ(j.setAside, per - j.tornFrom);
            EXPECT_FALSE(j.damaged);
          } else {
            EXPECT_TRUE(j.damaged) << "block " << b << " " << j.implausible << "/" << per;
          }
        } else {
          EXPECT_EQ(j.implausible, 0u) << "block " << b << ": " << p.Reasons(out[0]);
          EXPECT_EQ(j.tornFrom, per);
        }
      }
    }
  }
  // A table of one record, its text of binary codes: nothing to hold it against.
  std::mt19937 rng(3);
  Generated one(1, 1, rng, true);
  TableProfile p = one.Learn();
  EXPECT_TRUE(p.SuspectBlocks().size() <= 1);
  EXPECT_EQ(p.JudgeBlock(0, one.Block(0), 1).implausible, 0u);
}

}  // namespace
}  // namespace paradox
