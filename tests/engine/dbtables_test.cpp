// The C++ wrapper: the message rule, the checking routine, TSession and EngineShutdown.
#include "DBTables.h"

#include <gtest/gtest.h>

#include "EngineTestSupport.h"

namespace {
namespace fs = std::filesystem;
using enginetest::EngineTest;
using enginetest::WriteFile;

TEST(MessageRule, EngineTextThenEachDistinctContextTextOnItsOwnLine) {
  DbiClearErrorContext();
  DbiAddErrorContext("Alias: DEMO");
  DbiAddErrorContext("Folder: /data/demo");
  DbiAddErrorContext("Alias: DEMO");
  DbiAddErrorContext("Folder not found");  // same as the engine text: shown once
  EXPECT_EQ(EDBEngineError::BuildMessage(DBIERR_DIRNOTFOUND),
            "Folder not found\nAlias: DEMO\nFolder: /data/demo");
}

TEST(MessageRule, FallbackWhenThereIsNoTextAtAll) {
  DbiClearErrorContext();
  EXPECT_EQ(EDBEngineError::BuildMessage(0x1234), "BDE error $1234");
  EXPECT_EQ(EDBEngineError::BuildMessage(0xABCD), "BDE error $abcd");
  EXPECT_EQ(EDBEngineError::BuildMessage(0x0007), "BDE error $0007");
  // An unknown code with context shows the context only.
  DbiAddErrorContext("Table: /t/A.DB");
  EXPECT_EQ(EDBEngineError::BuildMessage(0x1234), "Table: /t/A.DB");
  DbiClearErrorContext();
}

TEST(MessageRule, CheckThrowsWithTheCodeAndTheMessageOfThatMoment) {
  EXPECT_NO_THROW(Check(DBIERR_NONE));
  DbiClearErrorContext();
  DbiAddErrorContext("Alias: X");
  try {
    Check(DBIERR_UNKNOWNDB);
    FAIL() << "no exception";
  } catch (const EDBEngineError& e) {
    DbiClearErrorContext();  // the message was fixed when the error was made
    EXPECT_EQ(e.ErrorCode(), DBIERR_UNKNOWNDB);
    EXPECT_STREQ(e.what(), "Unknown alias\nAlias: X");
  }
}

class SessionTest : public EngineTest {
 protected:
  fs::path Folder() const { return dir_.path() / "tables"; }
  void SetUp() override {
    for (const char* f : {"zoo.db", "Animals.DB", "Animals.PX", "readme.txt"})
      WriteFile(Folder() / f, "x");
    WriteFile(ConfigFile(), "[DATA]\nTYPE=STANDARD\nPATH=" + Folder().string() +
                                "\n[EMPTY]\nTYPE=STANDARD\nPATH=" + dir_.str() +
                                "/config\n[MISSING]\nTYPE=STANDARD\nPATH=" + dir_.str() + "/no\n");
    fs::create_directories(dir_.path() / "config");
  }
};

TEST_F(SessionTest, ActivatingStartsTheEngineAndANamedSessionOnce) {
  TSession session;
  EXPECT_EQ(session.SessionName(), "Session1");
  EXPECT_FALSE(session.Active());
  session.SetActive(true);
  EXPECT_TRUE(session.Active());
  hDBISes def = 0, cur = 0;
  ASSERT_EQ(DbiGetDefaultSession(&def), DBIERR_NONE);
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_NE(cur, def) << "the named session is open and current";
  session.SetActive(true);  // no effect
  hDBISes again = 0;
  ASSERT_EQ(DbiGetCurrSession(&again), DBIERR_NONE);
  EXPECT_EQ(again, cur);

  session.SetActive(false);
  EXPECT_FALSE(session.Active());
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, def);
  EXPECT_EQ(DbiCloseSession(again), DBIERR_INVALIDHNDL) << "already closed";
}

TEST_F(SessionTest, SecondSessionUsesTheRunningEngine) {
  TSession first("First");
  first.SetActive(true);
  TSession second("Second");
  EXPECT_NO_THROW(second.SetActive(true));
}

TEST_F(SessionTest, BrokenConfigurationThrowsOutOfSetActive) {
  WriteFile(ConfigFile(), "[DATA]\nTYPE=STANDARD\n");
  TSession session;
  try {
    session.SetActive(true);
    FAIL() << "no exception";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_CONFIG);
    EXPECT_EQ(std::string(e.what()),
              "The engine configuration file cannot be read or has an error\nFile: " +
                  ConfigFile().string() + "\nLine: 1\nAlias DATA has no PATH");
  }
  EXPECT_FALSE(session.Active());
}

TEST_F(SessionTest, TableNamesWithAndWithoutExtensions) {
  TSession session;
  session.SetActive(true);
  std::vector<std::string> list{"stale"};
  session.GetTableNames("DATA", "*.*", true, false, list);
  EXPECT_EQ(list, (std::vector<std::string>{"Animals.DB", "zoo.db"}));
  session.GetTableNames("DATA", "*.*", false, false, list);
  EXPECT_EQ(list, (std::vector<std::string>{"Animals", "zoo"}));
  session.GetTableNames("EMPTY", "*.*", true, false, list);
  EXPECT_TRUE(list.empty());
}

TEST_F(SessionTest, FailedListingThrowsAndLeavesTheListCleared) {
  TSession session;
  session.SetActive(true);
  std::vector<std::string> list{"stale"};
  try {
    session.GetTableNames("MISSING", "*.*", true, false, list);
    FAIL() << "no exception";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_DIRNOTFOUND);
    EXPECT_EQ(std::string(e.what()),
              "Folder not found\nAlias: MISSING\nFolder: " + dir_.str() + "/no");
  }
  EXPECT_TRUE(list.empty());
  list = {"stale"};
  EXPECT_THROW(session.GetTableNames("NOPE", "*.*", true, false, list), EDBEngineError);
  EXPECT_TRUE(list.empty());
}

TEST_F(SessionTest, DestructorAndShutdownNeverThrow) {
  {
    TSession session;
    session.SetActive(true);
    EngineShutdown();  // engine gone first: the destructor's close fails quietly
  }
  EXPECT_NO_THROW(EngineShutdown());  // twice is harmless
  TSession session;
  session.SetActive(true);  // and the engine starts again
  EXPECT_TRUE(session.Active());
}

TEST(DatabaseComponent, ExistsAndIsNeverConnected) {
  TDatabase db;
  EXPECT_EQ(db.DatabaseName, "MainDB");
  EXPECT_EQ(db.SessionName, "Session1");
  EXPECT_FALSE(db.Connected());
}

}  // namespace
