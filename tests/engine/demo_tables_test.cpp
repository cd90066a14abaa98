// The demo tables as built: the files, the DEMO alias of a user without a configuration,
// and the damage each damaged table is meant to show.
#include <gtest/gtest.h>

#include <algorithm>

#include "DBTables.h"
#include "EngineTestSupport.h"
#include "paradox/verify/verifier.h"

namespace {
namespace fs = std::filesystem;
using enginetest::EngineTest;
using enginetest::ScopedEnv;

const fs::path kBuilt = REKASTO_TEST_BUILD_DEMO_DIR;

TEST(DemoTables, BuildWritesTheWholeSet) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(kBuilt))
    files.push_back(e.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{
                       "BADCHAIN.DB", "BADCOUNT.DB", "CUSTOMER.DB", "CUSTOMER.MB", "CUSTOMER.PX",
                       "CUSTOMER.X02", "CUSTOMER.XG0", "CUSTOMER.Y02", "CUSTOMER.YG0", "NOMEMO.DB",
                       "NOMEMO.PX", "ORDERS.DB", "STALEIDX.DB", "STALEIDX.MB", "STALEIDX.PX"}));
}

TEST_F(EngineTest, DemoAliasOfANewUserListsTheBuiltTables) {
  ASSERT_FALSE(fs::exists(ConfigFile()));  // REKASTO_DEMO_DIR is unset by the fixture
  TSession session;
  session.SetActive(true);
  std::vector<std::string> names;
  session.GetTableNames("DEMO", "*.*", true, false, names);
  EXPECT_EQ(names, (std::vector<std::string>{"BADCHAIN.DB", "BADCOUNT.DB", "CUSTOMER.DB",
                                             "NOMEMO.DB", "ORDERS.DB", "STALEIDX.DB"}));
  EXPECT_TRUE(fs::exists(dir_.path() / "data/qel-db-rekasto/demo/CUSTOMER.MB"));
}

struct Expectation {
  const char* table;
  const char* check;  // "" = the table must be clean
};

class DemoTableDamage : public ::testing::TestWithParam<Expectation> {};

TEST_P(DemoTableDamage, VerifierFindsWhatTheTableShows) {
  const Expectation& e = GetParam();
  const paradox::VerifyReport report = paradox::VerifyTable((kBuilt / e.table).string());
  std::string all;
  for (const auto& f : report.findings) all += f.ToString() + "\n";
  if (std::string(e.check).empty()) {
    EXPECT_EQ(report.verdict, paradox::Verdict::kClean) << all;
    EXPECT_EQ(report.errors + report.warnings, 0u) << all;
  } else {
    EXPECT_TRUE(report.Has(e.check)) << all;
    EXPECT_NE(report.verdict, paradox::Verdict::kClean);
  }
}

INSTANTIATE_TEST_SUITE_P(Set, DemoTableDamage,
                         ::testing::Values(Expectation{"CUSTOMER.DB", ""},
                                           Expectation{"ORDERS.DB", ""},
                                           Expectation{"BADCOUNT.DB", "header.record-count"},
                                           Expectation{"BADCHAIN.DB", "chain.out-of-range"},
                                           Expectation{"STALEIDX.DB", "index.count"},
                                           Expectation{"NOMEMO.DB", "mb.missing"}),
                         [](const ::testing::TestParamInfo<Expectation>& info) {
                           std::string name = info.param.table;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
