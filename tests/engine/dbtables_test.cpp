// The C++ wrapper: the message rule, the checking routine, TSession and EngineShutdown.
#include "DBTables.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "EngineTestSupport.h"
#include "SystemErrors.h"

namespace {
namespace fs = std::filesystem;
using enginetest::EngineTest;
using enginetest::WriteFile;

TEST(MessageRule, EngineTextThenEachDistinctContextTextOnItsOwnLine) {
  DbiClearErrorContext();
  DbiAddErrorContext("Alias: DEMO");
  DbiAddErrorContext("Katalog: /data/demo");
  DbiAddErrorContext("Alias: DEMO");
  DbiAddErrorContext("Nie ma takiego katalogu");  // same as the engine text: shown once
  EXPECT_EQ(EDBEngineError::BuildMessage(DBIERR_DIRNOTFOUND),
            "Nie ma takiego katalogu\nAlias: DEMO\nKatalog: /data/demo");
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
    EXPECT_STREQ(e.what(), "Nieznany alias\nAlias: X");
  }
}

TEST(MessageRule, DetailsOnlyGiveTheCodeThenTheContextOfThatMoment) {
  DbiClearErrorContext();
  DbiAddErrorContext("Plik: /t/A.DB");
  DbiAddErrorContext("bajt typu pliku ma wartość 3, inną niż w tabeli Paradox (.DB)");
  try {
    Check(DBIERR_NOTPARADOX);
    FAIL() << "no exception";
  } catch (const EDBEngineError& e) {
    DbiClearErrorContext();
    const EDBEngineError details = e.DetailsOnly();
    EXPECT_EQ(details.ErrorCode(), DBIERR_NOTPARADOX);
    // The engine's own sentence is left out: the box before it gave the reason.
    EXPECT_STREQ(details.what(),
                 "Kod błędu silnika: $2509\nPlik: /t/A.DB\n"
                 "bajt typu pliku ma wartość 3, inną niż w tabeli Paradox (.DB)");
    EXPECT_EQ(details.Context(), e.Context());
  }
  DbiAddErrorContext("Tabela: /t/B.DB");
  DbiAddErrorContext("Tabela: /t/B.DB");
  const EDBEngineError locked(DBIERR_NOACCESS);
  EXPECT_STREQ(locked.DetailsOnly().what(), "Kod błędu silnika: $250d\nTabela: /t/B.DB");
  DbiClearErrorContext();
  EXPECT_STREQ(EDBEngineError(0x1234).DetailsOnly().what(), "Kod błędu silnika: $1234");
}

TEST(SystemErrors, CausesAUserMeetsArePolishOthersNamedByNumber) {
  using rekasto::engine::SystemErrorText;
  EXPECT_EQ(SystemErrorText(EACCES), "brak uprawnień");
  EXPECT_EQ(SystemErrorText(ENOSPC), "brak miejsca na dysku");
  EXPECT_EQ(SystemErrorText(EROFS), "system plików tylko do odczytu");
  EXPECT_EQ(SystemErrorText(std::make_error_code(std::errc::no_such_file_or_directory)),
            "nie ma takiego pliku ani katalogu");
  EXPECT_EQ(SystemErrorText(EPROTO), "błąd systemu nr " + std::to_string(EPROTO));
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
              "Nie można odczytać pliku konfiguracji silnika albo jest w nim błąd\nPlik: " +
                  ConfigFile().string() + "\nWiersz: 1\nAlias DATA nie ma PATH");
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
              "Nie ma takiego katalogu\nAlias: MISSING\nKatalog: " + dir_.str() + "/no");
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
