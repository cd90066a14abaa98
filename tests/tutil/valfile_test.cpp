// Decoding of .VAL files: real ones, and every truncation and a flipped byte of them,
// which must give a result or a Corruption naming the offset, never a read past the end.
#include <fstream>
#include <iterator>

#include "TUtilTestSupport.h"
#include "paradox/format/val.h"

namespace tutiltest {
namespace {

paradox::Bytes Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return paradox::Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(TUtilValFile, RealFilesDecode) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  auto area = paradox::DecodeVal(Load(Shared("leonhad__paradoxdriver/db/AREACODE.VAL")));
  ASSERT_TRUE(area.ok()) << area.status().ToString();
  EXPECT_TRUE(area.value().layoutKnown);
  ASSERT_EQ(area.value().checks.size(), 2u);
  EXPECT_EQ(area.value().checks[0].fieldIndex, 0);
  EXPECT_EQ(area.value().checks[0].picture, "###");
  EXPECT_EQ(area.value().checks[1].fieldIndex, 3);

  auto decimal = paradox::DecodeVal(Load(Shared("leonhad__paradoxdriver/db/DECIMAL.VAL")));
  ASSERT_TRUE(decimal.ok());
  ASSERT_EQ(decimal.value().checks.size(), 1u);
  EXPECT_TRUE(decimal.value().checks[0].required);

  auto fk = paradox::DecodeVal(Load(Shared("leonhad__paradoxdriver/joins/fk1.val")));
  ASSERT_TRUE(fk.ok());
  ASSERT_EQ(fk.value().links.size(), 1u);
  EXPECT_EQ(fk.value().links[0].masterTable, "primary.db");

  // The 3.x layout is recognised, not guessed at.
  auto old = paradox::DecodeVal(Load(Shared("leonhad__paradoxdriver/mtdemo/CUSTOMER.VAL")));
  ASSERT_TRUE(old.ok());
  EXPECT_FALSE(old.value().layoutKnown);
  EXPECT_TRUE(old.value().checks.empty());
}

TEST(TUtilValFile, TruncatedAndDamagedFilesNeverReadPastTheEnd) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  int files = 0;
  for (auto& e : fs::recursive_directory_iterator(REKASTO_SHARED_TABLES)) {
    if (strcasecmp(e.path().extension().c_str(), ".val") != 0) continue;
    ++files;
    const paradox::Bytes whole = Load(e.path().string());
    for (size_t n = 0; n < whole.size(); ++n) {
      // A copy of exactly n bytes, so a sanitizer sees any read beyond it.
      const paradox::Bytes part(whole.begin(), whole.begin() + n);
      auto r = paradox::DecodeVal(part);
      if (!r.ok()) {
        EXPECT_TRUE(r.status().IsCorruption()) << e.path() << " cut at " << n;
      }
    }
    for (size_t at = 0; at < whole.size() && at < 0x40; ++at) {
      paradox::Bytes damaged = whole;
      damaged[at] ^= 0xFF;
      (void)paradox::DecodeVal(damaged);
    }
  }
  EXPECT_GT(files, 10);
}

}  // namespace
}  // namespace tutiltest
