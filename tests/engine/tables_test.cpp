// Listing the tables of an alias.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine.h"

namespace {
namespace fs = std::filesystem;
using enginetest::ContextEntries;
using enginetest::EngineTest;
using enginetest::WriteFile;

class TablesTest : public EngineTest {
 protected:
  fs::path Folder() const { return dir_.path() / "alias"; }
  void SetUp() override {
    for (const char* f : {"orders.db", "Customer.DB", "ANIMALS.DB", "beta.Db", "CUSTOMER.PX",
                          "CUSTOMER.MB", "notes.txt", "ORDERS.X02", "db", ".db", "archive.dbf"}) {
      WriteFile(Folder() / f, "x");
    }
    fs::create_directories(Folder() / "folder.DB");  // a folder is no table
    fs::create_symlink("nowhere.DB", Folder() / "dangling.DB");
    ASSERT_EQ(StartWith("[T]\nTYPE=STANDARD\nPATH=" + Folder().string() +
                        "\n[GONE]\nTYPE=STANDARD\nPATH=" + (dir_.path() / "gone").string() + "\n"),
              DBIERR_NONE);
  }

  std::vector<TBLBASEDesc> List(const char* wild) {
    std::vector<TBLBASEDesc> out;
    hDBIDb db = 0;
    hDBICur cur = 0;
    EXPECT_EQ(DbiOpenDatabase("T", &db), DBIERR_NONE);
    EXPECT_EQ(DbiOpenTableList(db, 0, 0, wild, &cur), DBIERR_NONE);
    TBLBASEDesc d;
    DBIResult rc;
    while ((rc = DbiGetNextRecord(cur, 0, &d, nullptr)) == DBIERR_NONE) out.push_back(d);
    EXPECT_EQ(rc, DBIERR_EOF);
    EXPECT_EQ(DbiCloseCursor(&cur), DBIERR_NONE);
    EXPECT_EQ(DbiCloseDatabase(&db), DBIERR_NONE);
    EXPECT_EQ(db, 0u);
    return out;
  }

  static std::vector<std::string> Names(const std::vector<TBLBASEDesc>& list) {
    std::vector<std::string> names;
    for (const TBLBASEDesc& d : list) names.push_back(std::string(d.szName) + "|" + d.szExt);
    return names;
  }
};

TEST_F(TablesTest, ParadoxTablesOnlySortedByNameAsStored) {
  const std::vector<TBLBASEDesc> list = List("*.*");
  EXPECT_EQ(Names(list),
            (std::vector<std::string>{"ANIMALS|DB", "beta|Db", "Customer|DB", "orders|db"}));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_STREQ(list[2].szFileName, (Folder() / "Customer.DB").string().c_str());
  EXPECT_STREQ(list[2].szType, "PARADOX");
  EXPECT_EQ(list[2].bSystem, 0);
  EXPECT_EQ(Names(List(nullptr)), Names(list));
}

TEST_F(TablesTest, PatternSelectsTablesIgnoringCase) {
  EXPECT_EQ(Names(List("c*")), (std::vector<std::string>{"Customer|DB"}));
  EXPECT_EQ(Names(List("?RDERS.DB")), (std::vector<std::string>{"orders|db"}));
  EXPECT_TRUE(List("*.txt").empty());
}

TEST_F(TablesTest, NamesThatAreNotUtf8AreListedAsTheirBytes) {
  // "Zamówienia" in code page 1250, in a folder "Spółka" in the same code page.
  const fs::path folder = Folder() / "Sp\xF3\xB3ka";
  WriteFile(folder / "Zam\xF3wienia.DB", "x");
  ASSERT_EQ(DbiExit(), DBIERR_NONE);  // restarted with an alias of that name
  ASSERT_EQ(StartWith("[Sp\xF3\xB3ka]\nTYPE=STANDARD\nPATH=" + folder.string() + "\n"),
            DBIERR_NONE);
  hDBIDb db = 0;
  ASSERT_EQ(DbiOpenDatabase("Sp\xF3\xB3ka", &db), DBIERR_NONE);
  hDBICur cur = 0;
  ASSERT_EQ(DbiOpenTableList(db, 0, 0, "*.*", &cur), DBIERR_NONE);
  TBLBASEDesc d;
  ASSERT_EQ(DbiGetNextRecord(cur, 0, &d, nullptr), DBIERR_NONE);
  EXPECT_STREQ(d.szName, "Zam\xF3wienia");
  EXPECT_STREQ(d.szExt, "DB");
  EXPECT_EQ(std::string(d.szFileName), (folder / "Zam\xF3wienia.DB").string());
  EXPECT_EQ(DbiGetNextRecord(cur, 0, &d, nullptr), DBIERR_EOF);
  EXPECT_EQ(DbiCloseCursor(&cur), DBIERR_NONE);
  EXPECT_EQ(DbiCloseDatabase(&db), DBIERR_NONE);
  DBDesc desc;
  ASSERT_EQ(DbiGetDatabaseDesc("Sp\xF3\xB3ka", &desc), DBIERR_NONE);
  EXPECT_EQ(std::string(desc.szPhyName), folder.string());
}

TEST_F(TablesTest, MissingFolderNamesTheFolder) {
  hDBIDb db = 0;
  EXPECT_EQ(DbiOpenDatabase("GONE", &db), DBIERR_DIRNOTFOUND);
  EXPECT_EQ(ContextEntries(), (std::vector<std::string>{
                                  "Alias: GONE", "Katalog: " + (dir_.path() / "gone").string()}));
  EXPECT_EQ(db, 0u);

  // A folder that goes away after the database was opened.
  ASSERT_EQ(DbiOpenDatabase("T", &db), DBIERR_NONE);
  fs::remove_all(Folder());
  hDBICur cur = 0;
  EXPECT_EQ(DbiOpenTableList(db, 0, 0, "*.*", &cur), DBIERR_DIRNOTFOUND);
  EXPECT_EQ(cur, 0u);
  EXPECT_EQ(ContextEntries().at(1), "Katalog: " + Folder().string());
}

TEST_F(TablesTest, UnknownAliasAndBadArguments) {
  hDBIDb db = 0;
  EXPECT_EQ(DbiOpenDatabase("NOPE", &db), DBIERR_UNKNOWNDB);
  EXPECT_EQ(ContextEntries(), (std::vector<std::string>{"Alias: NOPE"}));
  EXPECT_EQ(DbiOpenDatabase(nullptr, &db), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiOpenDatabase("T", nullptr), DBIERR_INVALIDPARAM);
  ASSERT_EQ(DbiOpenDatabase("T", &db), DBIERR_NONE);
  EXPECT_EQ(DbiOpenTableList(db, 0, 0, "*.*", nullptr), DBIERR_INVALIDPARAM);
  hDBIDb stale = db;
  ASSERT_EQ(DbiCloseDatabase(&db), DBIERR_NONE);
  hDBICur cur = 0;
  EXPECT_EQ(DbiOpenTableList(stale, 0, 0, "*.*", &cur), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiCloseDatabase(&stale), DBIERR_INVALIDHNDL);
}

TEST_F(TablesTest, TablePathBeyondTheLimitIsReportedNotDropped) {
  // Folder of 250 bytes: short enough for the alias, too long for a table path in it.
  fs::path deep = dir_.path();
  while (deep.string().size() < 240) deep /= std::string(30, 'd');
  deep /= std::string(250 - deep.string().size() - 1, 'e');
  ASSERT_EQ(deep.string().size(), 250u);
  WriteFile(deep / "LONGNAMEDTABLE.DB", "x");
  ASSERT_EQ(DbiExit(), DBIERR_NONE);
  ASSERT_EQ(StartWith("[DEEP]\nTYPE=STANDARD\nPATH=" + deep.string() + "\n"), DBIERR_NONE);
  hDBIDb db = 0;
  hDBICur cur = 0;
  ASSERT_EQ(DbiOpenDatabase("DEEP", &db), DBIERR_NONE);
  EXPECT_EQ(DbiOpenTableList(db, 0, 0, "*.*", &cur), DBIERR_PATHTOOLONG);
  const std::vector<std::string> context = ContextEntries();
  ASSERT_EQ(context.size(), 2u);
  EXPECT_NE(context[1].find("LONGNAMEDTABLE.DB"), std::string::npos) << context[1];
}

}  // namespace
