// Verification and rebuild through the C functions: verdicts, the findings table,
// progress, and a descriptor driving a rebuild that reproduces the table.
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "TUtilTestSupport.h"

namespace tutiltest {
namespace {

void SetU32At(const std::string& path, std::streamoff offset, uint32_t v) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  const char bytes[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  f.seekp(offset);
  f.write(bytes, 4);
}

std::vector<fs::path> RepairFolders(const fs::path& root) {
  std::vector<fs::path> out;
  if (!fs::is_directory(root)) return out;
  for (auto& e : fs::directory_iterator(root)) {
    if (e.is_directory()) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class TUtilVerify : public TUtilTest {
 protected:
  int32_t Verify(const std::string& t, DBIResult expect = DBIERR_NONE) {
    int32_t verdict = -1;
    EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
              expect);
    return verdict;
  }
};

TEST_F(TUtilVerify, CleanTableGivesVerdict0AndAFindingsTable) {
  const std::string t = WriteCustomers();
  EXPECT_EQ(Verify(t), 0);
  const fs::path findings = tables_ / "CUSTOMER.rekasto" / "VERIFY.DB";
  ASSERT_TRUE(fs::exists(findings));
  const auto rows = TUtilTest::ReadAll(findings.string());
  ASSERT_FALSE(rows.empty());
  // The last row sums up.
  EXPECT_EQ(std::get<std::string>(rows.back().at(1)), "summary");
  EXPECT_NE(std::get<std::string>(rows.back().at(8)).find("verdict 0"), std::string::npos);
}

TEST_F(TUtilVerify, DamagedRecordCountGivesVerdict1WithTheFindingListed) {
  const std::string t = WriteCustomers();
  SetU32At(t, 0x06, 999);
  EXPECT_EQ(Verify(t), 1);
  const auto rows = TUtilTest::ReadAll((tables_ / "CUSTOMER.rekasto" / "VERIFY.DB").string());
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(std::get<std::string>(rows.front().at(1)), "error");
  EXPECT_EQ(std::get<std::string>(rows.front().at(3)), "CUSTOMER.DB");
}

TEST_F(TUtilVerify, ProgressIsWellFormed) {
  const std::string t = WriteCustomers("BIG.DB", 2000);
  ProgressLog log;
  RecordProgressInto(&log);
  EXPECT_EQ(Verify(t), 0);
  ExpectWellFormedProgress(log);
  bool sawData = false;
  for (const auto& r : log.reports) sawData = sawData || r.phase == 2;
  EXPECT_TRUE(sawData);
}

TEST_F(TUtilVerify, FindingsGoToTheStateFolderWhenTheTableFolderIsReadOnly) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::string t = WritePlain();
  fs::permissions(tables_,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(Verify(t), 0);
  fs::permissions(tables_, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_FALSE(fs::exists(tables_ / "PLAIN.rekasto"));
  bool found = false;
  for (auto& e : fs::recursive_directory_iterator(dir_.path() / "state")) {
    found = found || e.path().filename() == "VERIFY.DB";
  }
  EXPECT_TRUE(found);
}

TEST_F(TUtilVerify, FindingsGoToTheStateFolderWhenTheRepairFolderCannotBeMade) {
  // A file where the repair folder would go blocks it, for root as well.
  const std::string t = WritePlain();
  std::ofstream(tables_ / "PLAIN.rekasto") << "in the way";
  EXPECT_EQ(Verify(t), 0);
  bool found = false;
  for (auto& e : fs::recursive_directory_iterator(dir_.path() / "state")) {
    found = found || e.path().filename() == "VERIFY.DB";
  }
  EXPECT_TRUE(found);
}

TEST_F(TUtilVerify, RealTablesVerifyWithAVerdict) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  int verified = 0;
  for (auto& e : fs::recursive_directory_iterator(REKASTO_SHARED_TABLES)) {
    if (strcasecmp(e.path().extension().c_str(), ".db") != 0) continue;
    const fs::path copy = dir_.path() / ("v" + std::to_string(verified));
    fs::create_directories(copy);
    const std::string t = CopyFamily(e.path().string(), copy);
    int32_t verdict = -1;
    const DBIResult r =
        TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict);
    if (r == DBIERR_NOTPARADOX) continue;
    EXPECT_EQ(r, DBIERR_NONE) << e.path();
    EXPECT_TRUE(verdict >= 0 && verdict <= 4) << e.path();
    ++verified;
  }
  EXPECT_GT(verified, 20);
}

class TUtilRebuild : public TUtilTest {
 protected:
  DBIResult Rebuild(const std::string& t, Descriptor* d) {
    return TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                          &d->desc);
  }
};

TEST_F(TUtilRebuild, DescriptorOfATableDrivesARebuildThatReproducesIt) {
  const std::string t = WriteCustomers();
  const auto rowsBefore = ReadAll(t);
  CURProps propsBefore;
  ASSERT_EQ(TUFillCURProps(session_, t.c_str(), &propsBefore), DBIERR_NONE);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE)
      << (ContextEntries().empty() ? "" : ContextEntries().back());

  EXPECT_EQ(ReadAll(t), rowsBefore);
  CURProps propsAfter;
  ASSERT_EQ(TUFillCURProps(session_, t.c_str(), &propsAfter), DBIERR_NONE);
  EXPECT_EQ(+propsAfter.iFields, +propsBefore.iFields);
  EXPECT_EQ(+propsAfter.iRecSize, +propsBefore.iRecSize);
  EXPECT_EQ(+propsAfter.iIndexes, +propsBefore.iIndexes);
  EXPECT_EQ(+propsAfter.iCodePage, +propsBefore.iCodePage);
  EXPECT_EQ(+propsAfter.iTblLevel, +propsBefore.iTblLevel);
  EXPECT_EQ(+propsAfter.iBlockSize, +propsBefore.iBlockSize);
  Descriptor again;
  ASSERT_EQ(again.Fill(session_, t), DBIERR_NONE);
  ASSERT_EQ(again.fields.size(), d.fields.size());
  EXPECT_EQ(std::memcmp(again.fields.data(), d.fields.data(), d.fields.size() * sizeof(FLDDesc)),
            0);
  ASSERT_EQ(again.indexes.size(), d.indexes.size());
  for (size_t i = 0; i < d.indexes.size(); ++i) {
    EXPECT_STREQ(again.indexes[i].szName, d.indexes[i].szName);
    EXPECT_EQ(+again.indexes[i].iFldsInKey, +d.indexes[i].iFldsInKey);
    EXPECT_EQ(+again.indexes[i].aiKeyFld[0], +d.indexes[i].aiKeyFld[0]);
    EXPECT_EQ(+again.indexes[i].bCaseInsensitive, +d.indexes[i].bCaseInsensitive);
  }
  int32_t verdict = -1;
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_NONE);
  EXPECT_EQ(verdict, 0);

  // The backup and the report lie in a new repair folder beside the table.
  const auto folders = RepairFolders(tables_ / "CUSTOMER.rekasto");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_TRUE(fs::exists(folders[0] / "Backup.Db"));
  EXPECT_TRUE(fs::exists(folders[0] / "Rebuild.DB"));
}

TEST_F(TUtilRebuild, RepairsADamagedTableAndKeepsEveryBackup) {
  const std::string t = WriteCustomers();
  const auto rowsBefore = ReadAll(t);
  for (int round = 0; round < 2; ++round) {
    SetU32At(t, 0x06, 12345);
    int32_t verdict = -1;
    ASSERT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
              DBIERR_NONE);
    EXPECT_EQ(verdict, 1);
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE);
    ASSERT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
              DBIERR_NONE);
    EXPECT_EQ(verdict, 0);
    EXPECT_EQ(ReadAll(t), rowsBefore);
  }
  EXPECT_EQ(RepairFolders(tables_ / "CUSTOMER.rekasto").size(), 2u);
}

TEST_F(TUtilRebuild, ProgressIsWellFormed) {
  const std::string t = WriteCustomers("BIG.DB", 2000);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ProgressLog log;
  RecordProgressInto(&log);
  ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE);
  ExpectWellFormedProgress(log);
}

TEST_F(TUtilRebuild, ATableWithoutIndexesFillsTheIndexBarWhenTheIndexPhaseIsReached) {
  // Nothing to index: the index bar is done as the rebuild reaches its indexes, not left at
  // 0 until the whole rebuild has ended.
  const std::string t = WritePlain("NOINDEX.DB", 3000);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ProgressLog log;
  RecordProgressInto(&log);
  ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE);
  ExpectWellFormedProgress(log);
  const auto& reports = log.reports;
  size_t indexesDone = reports.size(), lastOverall = 0;
  for (size_t i = 4; i < reports.size(); ++i) {
    if (reports[i].phase == 1 && indexesDone == reports.size()) {
      EXPECT_EQ(reports[i].percent, 100) << "report " << i;
      indexesDone = i;
    }
    if (reports[i].phase == 8 && reports[i].percent < 100) lastOverall = i;
  }
  ASSERT_LT(indexesDone, reports.size()) << "the index bar never moved";
  EXPECT_LT(indexesDone, lastOverall) << "the index bar moved only at the end";

  // A table with indexes still shows its index work step by step.
  const std::string keyed = WriteCustomers("KEYED.DB", 3000);
  Descriptor k;
  ASSERT_EQ(k.Fill(session_, keyed), DBIERR_NONE);
  ProgressLog keyedLog;
  RecordProgressInto(&keyedLog);
  ASSERT_EQ(Rebuild(keyed, &k), DBIERR_NONE);
  int steps = 0;
  for (size_t i = 4; i < keyedLog.reports.size(); ++i)
    steps += keyedLog.reports[i].phase == 1 && keyedLog.reports[i].percent < 100;
  EXPECT_GT(steps, 2);
}

TEST_F(TUtilRebuild, InconsistentDescriptorsAreRefusedAndChangeNothing) {
  const std::string t = WriteCustomers();
  const auto before = Snapshot(dir_.path());
  {
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    d.fields[1].iFldType = 0x42;  // no such type
    EXPECT_EQ(Rebuild(t, &d), DBIERR_INVALIDDESC);
  }
  {
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    d.indexes[1].aiKeyFld[0] = 9;  // beyond the fields
    EXPECT_EQ(Rebuild(t, &d), DBIERR_INVALIDDESC);
  }
  {
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    std::memset(d.fields[0].szName, 'x', sizeof d.fields[0].szName);  // no NUL
    EXPECT_EQ(Rebuild(t, &d), DBIERR_INVALIDDESC);
  }
  {
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    char* data = static_cast<char*>(d.desc.pOptData);
    std::strcpy(data + d.params[0].iOffset, "4");  // another level than the table's
    EXPECT_EQ(Rebuild(t, &d), DBIERR_INVALIDDESC);
  }
  {
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    d.desc.pfldDesc = nullptr;
    EXPECT_EQ(Rebuild(t, &d), DBIERR_INVALIDPARAM);
  }
  EXPECT_EQ(Snapshot(dir_.path()), before);
}

TEST_F(TUtilRebuild, RealTablesRebuildToACleanVerdict) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  const char* tables[] = {
      "leonhad__paradoxdriver/db/CUSTOMER.DB", "leonhad__paradoxdriver/db/AREACODE.DB",
      "leonhad__paradoxdriver/areas/ZIPCODES.DB", "leonhad__paradoxdriver/joins/fk1.db",
      "leonhad__paradoxdriver/db/AREACODES.DB"};
  int n = 0;
  for (const char* rel : tables) {
    SCOPED_TRACE(rel);
    if (!fs::exists(Shared(rel))) continue;
    const fs::path copy = tables_ / ("r" + std::to_string(n++));
    fs::create_directories(copy);
    const std::string t = CopyFamily(Shared(rel), copy);
    const size_t records = ReadAll(t).size();
    Descriptor d;
    ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
    ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE)
        << (ContextEntries().empty() ? "" : ContextEntries().back());
    int32_t verdict = -1;
    ASSERT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
              DBIERR_NONE);
    EXPECT_EQ(verdict, 0);
    EXPECT_EQ(ReadAll(t).size(), records);
  }
}

}  // namespace
}  // namespace tutiltest
