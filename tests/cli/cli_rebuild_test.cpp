// rekasto rebuild: what it prints, its exit codes (0 clean, 1 repaired, 2 not rebuilt),
// --dry-run writing nothing and --json's shape.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli.h"
#include "mutators.h"
#include "paradox/format/writer.h"

namespace {

using paradox::FieldType;
using paradox::Value;

class CliRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paradox::TableSchema s;
    s.level = paradox::TableLevel::k5;
    s.codePage = 1252;
    s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 20}};
    s.keyFieldCount = 1;
    ASSERT_TRUE(fs_.MakeDir("d").ok());
    std::vector<std::vector<Value>> rows;
    for (int i = 1; i <= 40; ++i)
      rows.push_back({int64_t(i), std::string("row ") + std::to_string(i)});
    ASSERT_TRUE(paradox::WriteTable(&fs_, "d/T.DB", s, rows).ok());
  }
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    rekasto::Io io{out_, err_, &fs_};
    return rekasto::RunCli(args, io);
  }
  paradox::MemFileSystem fs_;
  std::ostringstream out_, err_;
};

TEST_F(CliRebuildTest, CleanTableExitsZeroAndSaysWhereTheBackupIs) {
  EXPECT_EQ(Run({"rebuild", "d/T.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("kept 40 record(s)"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("no damage found"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("d/T.rekasto/"), std::string::npos) << out_.str();
  EXPECT_TRUE(err_.str().empty());
}

TEST_F(CliRebuildTest, RepairedTableExitsOneDryRunWritesNothing) {
  paradox::test::SetRecordCount(*fs_.Contents("d/T.DB"), 3);
  auto before = fs_.AllFiles();
  EXPECT_EQ(Run({"rebuild", "--dry-run", "d/T.DB"}), rekasto::kExitProblems) << err_.str();
  EXPECT_NE(out_.str().find("would keep 40 record(s)"), std::string::npos) << out_.str();
  EXPECT_EQ(fs_.AllFiles(), before);
  EXPECT_EQ(Run({"rebuild", "d/T.DB"}), rekasto::kExitProblems) << err_.str();
  EXPECT_NE(out_.str().find("record count is 3 but should be 40"), std::string::npos) << out_.str();
  EXPECT_EQ(Run({"rebuild", "d/T.DB"}), rekasto::kExitOk) << out_.str();
}

TEST_F(CliRebuildTest, JsonListsCountsAndActions) {
  EXPECT_EQ(Run({"rebuild", "--json", "d/T.DB", "d/NONE.DB"}), rekasto::kExitFailed);
  const nlohmann::json j = nlohmann::json::parse(out_.str());
  ASSERT_EQ(j["tables"].size(), 2u) << j;
  EXPECT_EQ(j["tables"][0]["table"], "d/T.DB");
  EXPECT_EQ(j["tables"][0]["ok"], true);
  EXPECT_EQ(j["tables"][0]["recordsKept"], 40);
  EXPECT_TRUE(j["tables"][0]["repairFolder"].is_string());
  bool backup = false;
  for (const nlohmann::json& a : j["tables"][0]["actions"]) backup |= a["action"] == "backup";
  EXPECT_TRUE(backup) << j;
  EXPECT_EQ(j["tables"][1]["table"], "d/NONE.DB");
  EXPECT_EQ(j["tables"][1]["ok"], false);
  EXPECT_EQ(j["tables"][1]["dryRun"], false);
  EXPECT_EQ(j["tables"][1]["error"], "no such file");
  EXPECT_TRUE(j["tables"][1]["repairFolder"].is_null());
  EXPECT_EQ(j["summary"],
            nlohmann::json::parse(R"({"tables":2,"clean":1,"repaired":0,"failed":1})"));
  EXPECT_EQ(j["exitCode"], 2);
}

// Regression: every path that was not a table came out as "Not found".
TEST_F(CliRebuildTest, JsonErrorKindSaysWhyATableWasNotRebuilt) {
  EXPECT_EQ(Run({"rebuild", "--json", "d", "d/NONE.DB"}), rekasto::kExitFailed);
  const std::string j = out_.str();
  EXPECT_NE(
      j.find("\"error\":\"is a folder, not a table file\",\"errorKind\":\"Invalid argument\""),
      std::string::npos)
      << j;
  EXPECT_NE(j.find("\"error\":\"no such file\",\"errorKind\":\"Not found\""), std::string::npos)
      << j;
}

TEST_F(CliRebuildTest, UnusableInputExitsTwoWithOneLine) {
  EXPECT_EQ(Run({"rebuild"}), rekasto::kExitFailed);
  EXPECT_EQ(Run({"rebuild", "--frob", "d/T.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(Run({"rebuild", "d/MISSING.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(), "rekasto: d/MISSING.DB: no such file\n");
  fs_.SetContents("d/PARADOX.LCK", paradox::Bytes(8, 0));
  EXPECT_EQ(Run({"rebuild", "d/T.DB"}), rekasto::kExitFailed);
  EXPECT_NE(err_.str().find("PARADOX.LCK"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"rebuild", "--help"}), rekasto::kExitOk);
  EXPECT_NE(out_.str().find("Backup"), std::string::npos);
}

}  // namespace

namespace {

// rekasto restore after a rebuild: the dry run changes nothing, the restore puts the
// damaged original back and says where the rebuilt files went; refusals exit 2.
TEST_F(CliRebuildTest, RestorePutsTheOriginalBackAndKeepsTheRebuiltFiles) {
  EXPECT_EQ(Run({"restore", "d/T.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str().rfind("rekasto: d/T.DB: not restored: no completed rebuild of T.DB", 0), 0u)
      << err_.str();
  paradox::test::SetRecordCount(*fs_.Contents("d/T.DB"), 3);
  const paradox::Bytes damaged = *fs_.Contents("d/T.DB");
  ASSERT_EQ(Run({"rebuild", "d/T.DB"}), rekasto::kExitProblems) << err_.str();
  const paradox::Bytes rebuilt = *fs_.Contents("d/T.DB");
  ASSERT_NE(rebuilt, damaged);

  const auto files = fs_.AllFiles();
  ASSERT_EQ(Run({"restore", "-n", "d/T.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("d/T.DB: would restore from d/T.rekasto/"), std::string::npos)
      << out_.str();
  EXPECT_NE(out_.str().find("  Backup.Db -> T.DB\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("would keep the files it replaces: T.DB T.PX"), std::string::npos)
      << out_.str();
  EXPECT_EQ(fs_.AllFiles(), files);
  EXPECT_EQ(*fs_.Contents("d/T.DB"), rebuilt);

  fs_.SetContents("d/PDOXUSRS.LCK", paradox::Bytes(4, 0));
  EXPECT_EQ(Run({"restore", "d/T.DB"}), rekasto::kExitFailed);
  EXPECT_NE(err_.str().find("may be in use: lock file PDOXUSRS.LCK"), std::string::npos)
      << err_.str();
  ASSERT_TRUE(fs_.Remove("d/PDOXUSRS.LCK").ok());
  EXPECT_EQ(Run({"restore", "--from=nowhere", "d/T.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(), "rekasto: d/T.DB: not restored: nowhere: no such repair folder\n");
  EXPECT_EQ(fs_.AllFiles(), files);

  ASSERT_EQ(Run({"restore", "d/T.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_EQ(*fs_.Contents("d/T.DB"), damaged);
  const std::string out = out_.str();
  const size_t at = out.find(" in d/T.rekasto/");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string kept = out.substr(at + 4, out.find(':', at) - at - 4);
  ASSERT_TRUE(fs_.Contents(kept + "/T.DB")) << kept;
  EXPECT_EQ(*fs_.Contents(kept + "/T.DB"), rebuilt);
}

}  // namespace
