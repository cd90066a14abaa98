// The alias configuration file and the built-in demo default.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineConfig.h"
#include "EngineTestSupport.h"
#include "engine.h"

namespace {
namespace fs = std::filesystem;
using enginetest::ContextEntries;
using enginetest::EngineTest;
using enginetest::ScopedEnv;
using enginetest::WriteFile;

std::vector<DBDesc> ListDatabases() {
  std::vector<DBDesc> out;
  hDBICur cur = 0;
  if (DbiOpenDatabaseList(&cur) != DBIERR_NONE) return out;
  DBDesc d;
  while (DbiGetNextRecord(cur, 0, &d, nullptr) == DBIERR_NONE) out.push_back(d);
  DbiCloseCursor(&cur);
  return out;
}

using ConfigTest = EngineTest;

TEST_F(ConfigTest, AliasesInFileOrderWithTypesPathsAndDescriptions) {
  const std::string ini =
      "\xEF\xBB\xBF; Engine aliases\r\n"
      "[ZETA]\r\n"
      "TYPE=STANDARD\r\n"
      "PATH=/srv/zeta/\r\n"
      "DESCRIPTION = Last letter first \r\n"
      "\r\n"
      "# another comment style\n"
      "[ACCOUNTS]\n"
      "  type = DBASE\n"
      "path=/srv/accounts\n"
      "[Local]\n"
      "PATH=tables\n"
      "TYPE=STANDARD\n";
  ASSERT_EQ(StartWith(ini), DBIERR_NONE) << ::testing::PrintToString(ContextEntries());
  const std::vector<DBDesc> dbs = ListDatabases();
  ASSERT_EQ(dbs.size(), 3u);
  EXPECT_STREQ(dbs[0].szName, "ZETA");
  EXPECT_STREQ(dbs[0].szDbType, "STANDARD");
  EXPECT_STREQ(dbs[0].szPhyName, "/srv/zeta");
  EXPECT_STREQ(dbs[0].szText, "Last letter first");
  EXPECT_STREQ(dbs[1].szName, "ACCOUNTS");
  EXPECT_STREQ(dbs[1].szDbType, "DBASE");
  EXPECT_STREQ(dbs[1].szText, "");
  EXPECT_STREQ(dbs[2].szName, "Local");
  // A relative path is taken from the configuration file's folder.
  EXPECT_STREQ(dbs[2].szPhyName, (dir_.path() / "tables").string().c_str());
}

TEST_F(ConfigTest, AnEmptyFileGivesNoAliases) {
  ASSERT_EQ(StartWith("; nothing yet\n"), DBIERR_NONE);
  EXPECT_TRUE(ListDatabases().empty());
}

// Each malformed file stops the engine from starting, naming the file, the line and the fault.
struct BadCase {
  const char* name;
  std::string ini;
  int line;
  std::string detail;
};

class BadConfigTest : public EngineTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadConfigTest, EngineDoesNotStartAndContextNamesFileAndLine) {
  const BadCase& c = GetParam();
  ASSERT_EQ(StartWith(c.ini), DBIERR_CONFIG);
  const std::vector<std::string> context = ContextEntries();
  ASSERT_EQ(context.size(), 3u) << ::testing::PrintToString(context);
  EXPECT_EQ(context[0], "Plik: " + ConfigFile().string());
  EXPECT_EQ(context[1], "Wiersz: " + std::to_string(c.line));
  EXPECT_EQ(context[2], c.detail);
  hDBISes s = 0;
  EXPECT_EQ(DbiGetDefaultSession(&s), DBIERR_NOTINITIALIZED);
}

const std::string kLongPath = "/" + std::string(260, 'p');

INSTANTIATE_TEST_SUITE_P(
    Faults, BadConfigTest,
    ::testing::Values(
        BadCase{"DuplicateAlias", "[A]\nTYPE=STANDARD\nPATH=/a\n[B]\nTYPE=STANDARD\nPATH=/b\n[a]\n",
                7, "Alias powtórzony: a"},
        BadCase{"LineWithoutEquals", "[A]\nTYPE=STANDARD\nPATH /a\n", 3,
                "Oczekiwano [ALIAS] albo KLUCZ=WARTOŚĆ"},
        BadCase{"SettingBeforeAnySection", "TYPE=STANDARD\n[A]\n", 1,
                "Ustawienie poza sekcją aliasu"},
        BadCase{"UnclosedSection", "[A\nTYPE=STANDARD\n", 1, "Nagłówek sekcji bez zamykającego ]"},
        BadCase{"UnknownKey", "[A]\nTYPE=STANDARD\nPAHT=/a\n", 3,
                "Nieznany klucz PAHT (TYPE, PATH albo DESCRIPTION)"},
        BadCase{"MissingPath", "[A]\nTYPE=STANDARD\n\n[B]\nTYPE=STANDARD\nPATH=/b\n", 1,
                "Alias A nie ma PATH"},
        BadCase{"MissingPathInLastSection", "[A]\nTYPE=STANDARD\nPATH=/a\n[B]\nTYPE=STANDARD\n", 4,
                "Alias B nie ma PATH"},
        BadCase{"MissingType", "[A]\nPATH=/a\n", 1, "Alias A nie ma TYPE"},
        BadCase{"PathTooLong", "[A]\nTYPE=STANDARD\nPATH=" + kLongPath + "\n", 3,
                "PATH dłuższy niż 260 bajtów"},
        BadCase{"AliasNameTooLong", "[" + std::string(32, 'N') + "]\n", 1,
                "Nazwa aliasu dłuższa niż 31 bajtów"},
        BadCase{"DescriptionTooLong",
                "[A]\nTYPE=STANDARD\nPATH=/a\nDESCRIPTION=" + std::string(32, 'd') + "\n", 4,
                "DESCRIPTION dłuższy niż 31 bajtów"},
        BadCase{"PathTwice", "[A]\nTYPE=STANDARD\nPATH=/a\nPATH=/b\n", 4, "PATH podany dwa razy"},
        BadCase{"EmptyAliasName", "[ ]\n", 1, "Pusta nazwa aliasu"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(ConfigParse, PathOfExactly260BytesFits) {
  const std::string path = "/" + std::string(259, 'p');
  const auto r =
      rekasto::engine::ParseConfig("[A]\nTYPE=STANDARD\nPATH=" + path + "\n", "/x/e.ini");
  ASSERT_EQ(r.code, 0) << ::testing::PrintToString(r.context);
  EXPECT_EQ(r.aliases.at(0).path, path);
}

TEST_F(ConfigTest, UnreadableFileStopsTheEngine) {
  // A folder where the file should be cannot be read by anyone, root included.
  fs::create_directories(ConfigFile());
  ASSERT_EQ(DbiInit(), DBIERR_CONFIG);
  std::vector<std::string> context = ContextEntries();
  ASSERT_GE(context.size(), 2u);
  EXPECT_EQ(context[0], "Plik: " + ConfigFile().string());
  EXPECT_EQ(context[1], "Nie można odczytać pliku: to jest katalog");
  fs::remove(ConfigFile());

  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root; the folder case ran";
  WriteFile(ConfigFile(), "[A]\nTYPE=STANDARD\nPATH=/a\n");
  ASSERT_EQ(chmod(ConfigFile().c_str(), 0), 0);
  ASSERT_EQ(DbiInit(), DBIERR_CONFIG);
  context = ContextEntries();
  ASSERT_GE(context.size(), 2u);
  EXPECT_EQ(context[0], "Plik: " + ConfigFile().string());
  EXPECT_EQ(context[1], "Nie można odczytać pliku: brak uprawnień");
}

TEST_F(ConfigTest, FileIsFoundUnderXdgConfigHomeWithoutTheOverride) {
  ScopedEnv noOverride("REKASTO_ENGINE_CONFIG", std::nullopt);
  WriteFile(dir_.path() / "config/qel-db-rekasto/engine.ini", "[XDG]\nTYPE=STANDARD\nPATH=/x\n");
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  const std::vector<DBDesc> dbs = ListDatabases();
  ASSERT_EQ(dbs.size(), 1u);
  EXPECT_STREQ(dbs[0].szName, "XDG");
}

TEST_F(ConfigTest, XdgConfigHomeDefaultsToDotConfig) {
  ScopedEnv noOverride("REKASTO_ENGINE_CONFIG", std::nullopt);
  ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", dir_.str());
  EXPECT_EQ(rekasto::engine::ConfigFilePath(), dir_.str() + "/.config/qel-db-rekasto/engine.ini");
}

// With no configuration file, one alias DEMO on a per-user copy of the bundled tables.
class DemoDefaultTest : public EngineTest {
 protected:
  DemoDefaultTest() : bundledEnv_("REKASTO_DEMO_DIR", (dir_.path() / "bundled").string()) {
    WriteFile(dir_.path() / "bundled/CUSTOMER.DB", "table bytes");
    WriteFile(dir_.path() / "bundled/CUSTOMER.PX", "index bytes");
  }
  fs::path Copy() const { return dir_.path() / "data/qel-db-rekasto/demo"; }
  ScopedEnv bundledEnv_;
};

TEST_F(DemoDefaultTest, MissingFileGivesDemoAliasAndCopiesTheTablesOnFirstUse) {
  ASSERT_FALSE(fs::exists(ConfigFile()));
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  const std::vector<DBDesc> dbs = ListDatabases();
  ASSERT_EQ(dbs.size(), 1u);
  EXPECT_STREQ(dbs[0].szName, "DEMO");
  EXPECT_STREQ(dbs[0].szDbType, "STANDARD");
  EXPECT_STREQ(dbs[0].szPhyName, Copy().string().c_str());
  EXPECT_FALSE(fs::exists(Copy())) << "nothing is copied before the alias is used";

  hDBIDb db = 0;
  ASSERT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_NONE)
      << ::testing::PrintToString(ContextEntries());
  EXPECT_TRUE(fs::exists(Copy() / "CUSTOMER.DB"));
  EXPECT_TRUE(fs::exists(Copy() / "CUSTOMER.PX"));
  EXPECT_EQ(fs::file_size(Copy() / "CUSTOMER.DB"), 11u);
  // No temporary folder is left beside the copy.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(Copy().parent_path())) ++entries;
  EXPECT_EQ(entries, 1);
  ASSERT_EQ(DbiCloseDatabase(&db), DBIERR_NONE);
}

TEST_F(DemoDefaultTest, AnExistingCopyIsNeverTouched) {
  WriteFile(Copy() / "MINE.DB", "the user's own work");
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  hDBIDb db = 0;
  ASSERT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_NONE);
  EXPECT_FALSE(fs::exists(Copy() / "CUSTOMER.DB"));
  EXPECT_TRUE(fs::exists(Copy() / "MINE.DB"));
}

TEST_F(DemoDefaultTest, NoBundledTablesGivesFolderNotFoundWithAHint) {
  ScopedEnv missing("REKASTO_DEMO_DIR", (dir_.path() / "nowhere").string());
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  hDBIDb db = 0;
  EXPECT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_DIRNOTFOUND);
  const std::vector<std::string> context = ContextEntries();
  ASSERT_EQ(context.size(), 3u);
  EXPECT_EQ(context[0], "Alias: DEMO");
  EXPECT_EQ(context[1], "Katalog: " + Copy().string());
  EXPECT_EQ(context[2],
            "Nie znaleziono tabel przykładowych w: " + (dir_.path() / "nowhere").string());
  EXPECT_FALSE(fs::exists(Copy()));
}

TEST_F(DemoDefaultTest, DataFolderTooLongForTheDescriptorStopsTheStart) {
  const std::string longHome = "/" + std::string(250, 'h');
  ScopedEnv dataHome("XDG_DATA_HOME", longHome);
  ASSERT_EQ(DbiInit(), DBIERR_PATHTOOLONG);
  const std::vector<std::string> context = ContextEntries();
  ASSERT_EQ(context.size(), 1u);
  EXPECT_EQ(context[0].rfind("Katalog: ...", 0), 0u) << context[0];
  EXPECT_EQ(context[0].substr(context[0].size() - 20), "/qel-db-rekasto/demo");
}

TEST_F(DemoDefaultTest, RelativeConfigurationFileIsNamedWithItsFullPath) {
  ScopedEnv relative("REKASTO_ENGINE_CONFIG", "engine.ini");
  const fs::path before = fs::current_path();
  fs::current_path(dir_.path());
  WriteFile(dir_.path() / "engine.ini", "[A]\nTYPE=STANDARD\n");
  const DBIResult rc = DbiInit();
  fs::current_path(before);
  ASSERT_EQ(rc, DBIERR_CONFIG);
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + (dir_.path() / "engine.ini").string());
}

TEST_F(DemoDefaultTest, ReadOnlyBundledFilesGiveAWritableCopy) {
  fs::permissions(dir_.path() / "bundled/CUSTOMER.DB",
                  fs::perms::owner_read | fs::perms::group_read);
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  hDBIDb db = 0;
  ASSERT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_NONE);
  const fs::perms p = fs::status(Copy() / "CUSTOMER.DB").permissions();
  EXPECT_NE(p & fs::perms::owner_write, fs::perms::none);
}

TEST_F(DemoDefaultTest, CopyIntoAnUnwritablePlaceFailsCleanly) {
  // A file where the data folder should be: no copy can be made, whoever runs the test.
  WriteFile(dir_.path() / "data/qel-db-rekasto", "in the way");
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  hDBIDb db = 0;
  EXPECT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_WRITEERR);
  const std::vector<std::string> context = ContextEntries();
  ASSERT_GE(context.size(), 2u);
  EXPECT_EQ(context[0], "Alias: DEMO");
  EXPECT_EQ(context[1], "Katalog: " + (dir_.path() / "data/qel-db-rekasto").string());
  EXPECT_EQ(db, 0u);
}

TEST_F(DemoDefaultTest, BundledFolderFromTheEnvironmentIsTheOnlyOneLookedAt) {
  EXPECT_EQ(rekasto::engine::BundledDemoCandidates(),
            std::vector<std::string>{(dir_.path() / "bundled").string()});
  EXPECT_EQ(rekasto::engine::BundledDemoPath(), (dir_.path() / "bundled").string());
  ScopedEnv unset("REKASTO_DEMO_DIR", std::nullopt);
  const std::vector<std::string> candidates = rekasto::engine::BundledDemoCandidates();
  ASSERT_EQ(candidates.size(), 3u);
  // Beside the running program (an installed tree), the build tree, the install prefix.
  EXPECT_EQ(candidates[0].substr(candidates[0].size() - 26), "/share/qel-db-rekasto/demo");
  EXPECT_EQ(candidates[1], REKASTO_TEST_BUILD_DEMO_DIR);
  EXPECT_EQ(candidates[2].substr(candidates[2].size() - 20), "/qel-db-rekasto/demo");
}

}  // namespace
