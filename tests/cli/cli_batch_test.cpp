// rekasto's GNU-style options, its JSON read back with a JSON parser, and batch work on
// folder trees: which files are tables, the summary, the worst exit code, progress, and
// the same answers whatever the number of jobs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "cli.h"
#include "mutators.h"
#include "paradox/format/writer.h"

namespace {

using nlohmann::json;
using paradox::FieldType;
using paradox::Value;

paradox::TableSchema Schema() {
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k5;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 20}};
  s.keyFieldCount = 1;
  return s;
}

void Write(paradox::FileSystem* fs, const std::string& path, int rows) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    (void)fs->MakeDir(path.substr(0, slash));
  std::vector<std::vector<Value>> records;
  for (int i = 1; i <= rows; ++i)
    records.push_back({int64_t(i), std::string("row ") + std::to_string(i)});
  ASSERT_TRUE(paradox::WriteTable(fs, path, Schema(), records).ok()) << path;
}

class CliBatchTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, bool terminal = false) {
    out_.str("");
    err_.str("");
    rekasto::Io io{out_, err_, &fs_, terminal};
    return rekasto::RunCli(args, io);
  }
  json Json() { return json::parse(out_.str()); }

  paradox::MemFileSystem fs_;
  std::ostringstream out_, err_;
};

TEST_F(CliBatchTest, OptionsFollowGnuConventions) {
  Write(&fs_, "d/T.DB", 30);
  paradox::test::SetRecordCount(*fs_.Contents("d/T.DB"), 3);
  paradox::test::SetU8(*fs_.Contents("d/T.DB"), 0x14, 1);  // a second finding
  Write(&fs_, "d/-odd.DB", 5);

  EXPECT_EQ(Run({"--version"}), rekasto::kExitOk);
  EXPECT_EQ(out_.str(), std::string("rekasto ") + REKASTO_TEST_VERSION + "\n");

  // One budget written four ways, an operand before the options, a unique prefix.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"verify", "--json", "--max-findings=1", "d/T.DB"},
        {"verify", "--json", "--max-findings", "1", "d/T.DB"},
        {"verify", "d/T.DB", "--json", "--max=1"},
        {"verify", "--js", "--max-findings=0", "--max-findings=1", "d/T.DB"}}) {
    EXPECT_EQ(Run(args), rekasto::kExitProblems) << args[2] << err_.str();
    const json j = Json();
    EXPECT_EQ(j["tables"][0]["findings"].size(), 1u) << args[2];
    EXPECT_GE(j["tables"][0]["suppressed"].get<int>(), 1) << args[2];
  }
  // "--" ends the options: a table whose name starts with a dash.
  EXPECT_EQ(Run({"verify", "--quiet", "--", "d/-odd.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("d/-odd.DB: verdict 0"), std::string::npos) << out_.str();
  // Grouped short options: -qj1 is --quiet --jobs=1; -nv is --dry-run --verbose.
  EXPECT_EQ(Run({"verify", "-qj1", "d/T.DB"}), rekasto::kExitProblems) << err_.str();
  EXPECT_EQ(out_.str().find("error "), std::string::npos) << out_.str();
  EXPECT_EQ(Run({"rebuild", "-nv", "d/T.DB"}), rekasto::kExitProblems) << err_.str();
  EXPECT_NE(out_.str().find("would keep 30 record(s)"), std::string::npos) << out_.str();
  // info and dump take "--" and operands anywhere like the rest.
  EXPECT_EQ(Run({"info", "--", "d/-odd.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("Records:        5 in the header"), std::string::npos) << out_.str();
  EXPECT_EQ(Run({"dump", "--", "d/-odd.DB", "--format=json"}),
            rekasto::kExitFailed);  // after "--": a table
  EXPECT_EQ(Run({"dump", "d/-odd.DB", "--format=json"}), rekasto::kExitOk) << err_.str();
  EXPECT_EQ(json::parse(out_.str().substr(0, out_.str().find('\n')))["Id"], 1);

  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  for (
      const Case& c : std::vector<Case>{
          {{"verify", "--bogus", "d/T.DB"},
           "rekasto: verify: unknown option '--bogus' (rekasto verify --help lists the options)\n"},
          {{"verify", "--bogus=3", "d/T.DB"},
           "rekasto: verify: unknown option '--bogus' (rekasto verify --help lists the options)\n"},
          {{"verify", "-qx", "d/T.DB"},
           "rekasto: verify: unknown option '-x' (rekasto verify --help lists the options)\n"},
          {{"verify", "--json", "-qx", "d/T.DB"},
           "rekasto: verify: unknown option '-x' (rekasto verify --help lists the options)\n"},
          {{"verify", "d/T.DB", "--max-findings"},
           "rekasto: verify: option '--max-findings' needs a value\n"},
          {{"verify", "d/T.DB", "-qj"}, "rekasto: verify: option '-j' needs a value\n"},
          {{"verify", "--json=yes", "d/T.DB"}, "rekasto: verify: option '--json' takes no value\n"},
          {{"verify", "--j", "d/T.DB"},
           "rekasto: verify: ambiguous option '--j' (--json, --jobs)\n"},
          {{"verify", "-j", "two", "d/T.DB"}, "rekasto: --jobs needs a number, not 'two'\n"},
          {{"rebuild", "--frob", "d/T.DB"},
           "rekasto: rebuild: unknown option '--frob' (rekasto rebuild --help lists the "
           "options)\n"},
          {{"dump", "d/T.DB", "--codepage"}, "rekasto: dump: option '--codepage' needs a value\n"},
          {{"dump", "--format=xml", "d/T.DB"},
           "rekasto: dump: --format: 'xml' is neither csv nor json\n"},
          {{"dump", "d/T.DB", "d/-odd.DB"}, "rekasto: dump: one table at a time\n"},
          {{"info", "-x", "d/T.DB"},
           "rekasto: info: unknown option '-x' (rekasto info --help lists the options)\n"},
          {{"export", "--sqlite", "d/T.DB"},
           "rekasto: export: no table given (usage: rekasto export --sqlite FILE [--codepage N] "
           "TABLE...)\n"},
          {{"export", "--sqlite=x.sqlite", "--codepage=klingon", "d/T.DB"},
           "rekasto: --codepage: \"klingon\" is neither a code page number nor an iconv name (give "
           "a code "
           "page number such as 865, or an iconv name such as CP865 or KOI8-R)\n"},
          {{"restore", "--from"}, "rekasto: restore: option '--from' needs a value\n"},
          {{"restore", "d/T.DB", "d/-odd.DB"},
           "rekasto: restore: one table at a time (usage: rekasto restore [--from FOLDER] "
           "[--dry-run] TABLE)\n"},
      }) {
    EXPECT_EQ(Run(c.args), rekasto::kExitFailed) << c.args[1];
    EXPECT_EQ(err_.str(), c.error) << c.args[1];
  }
}

// A folder tree: tables found by extension in any case, the repair folders and other
// files left out; the summary counts; the worst exit code wins; progress goes to a
// terminal only.
TEST_F(CliBatchTest, FolderTreeGivesEveryTableOnceWithASummary) {
  Write(&fs_, "share/A.DB", 10);
  Write(&fs_, "share/sub/deeper/b.db", 20);
  Write(&fs_, "share/sub/C.Db", 15);
  paradox::test::SetRecordCount(*fs_.Contents("share/sub/C.Db"), 1);
  fs_.SetContents("share/notes.txt", paradox::Bytes(100, 'x'));
  fs_.SetContents("share/sub/BROKEN.DB", paradox::Bytes(10, 0));
  ASSERT_TRUE(fs_.MakeDir("empty").ok());

  // Without --recursive a folder is refused as before.
  EXPECT_EQ(Run({"verify", "share"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(), "rekasto: share: is a folder, not a table file\n");

  EXPECT_EQ(Run({"verify", "--json", "-r", "share", "empty", "share/A.DB"}), rekasto::kExitFailed);
  json j = Json();
  std::vector<std::string> tables;
  for (const json& t : j["tables"]) tables.push_back(t["table"]);
  EXPECT_EQ(tables, (std::vector<std::string>{"share/A.DB", "share/sub/BROKEN.DB", "share/sub/C.Db",
                                              "share/sub/deeper/b.db", "empty"}));
  EXPECT_EQ(j["tables"][4]["error"], "rekasto: empty: no tables (*.db) in this folder");
  EXPECT_EQ(j["summary"], json::parse(R"({"tables":5,"clean":2,"problems":1,"failed":2})"));
  EXPECT_EQ(j["exitCode"], 2);

  // A rebuild of the tree repairs C, leaves a repair folder beside each table, and a
  // second check of the tree does not wander into those folders.
  EXPECT_EQ(Run({"rebuild", "--json", "--recursive", "share/sub"}), rekasto::kExitFailed);
  j = Json();
  EXPECT_EQ(j["summary"], json::parse(R"({"tables":3,"clean":1,"repaired":1,"failed":1})"));
  EXPECT_EQ(j["tables"][1]["recordsKept"], 15);
  EXPECT_TRUE(fs_.IsDirectory("share/sub/C.rekasto"));
  EXPECT_EQ(Run({"verify", "-r", "share"}, /*terminal=*/true), rekasto::kExitFailed);
  EXPECT_NE(out_.str().find("4 tables: 3 clean, 0 with problems, 1 not checked\n"),
            std::string::npos)
      << out_.str();
  EXPECT_EQ(out_.str().find(".rekasto"), std::string::npos) << out_.str();
  for (const char* line : {"[1/4] share/A.DB: clean\n", "[2/4] share/sub/BROKEN.DB: not checked\n",
                           "[4/4] share/sub/deeper/b.db: clean\n"})
    EXPECT_NE(err_.str().find(line), std::string::npos) << line << err_.str();
  EXPECT_EQ(Run({"verify", "-r", "share"}, /*terminal=*/false), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(), "rekasto: share/sub/BROKEN.DB: not a Paradox table (only 10 bytes)\n");

  // One table on a terminal: its percentage on one line, moving, cleared at the end;
  // never when standard error is no terminal.
  for (const char* cmd : {"verify", "rebuild"}) {
    EXPECT_EQ(Run({cmd, "share/A.DB"}, /*terminal=*/true), rekasto::kExitOk) << err_.str();
    const std::string e = err_.str();
    const std::string label =
        std::string(cmd == std::string("verify") ? "\rverifying" : "\rrebuilding") + " A.DB: ";
    EXPECT_EQ(e.find(label + "0 %"), 0u) << e;
    EXPECT_NE(e.find(label, 1), std::string::npos) << e;  // and on from there
    EXPECT_EQ(e.substr(e.size() - 4), "\r\033[K") << e;
    EXPECT_EQ(Run({cmd, "share/A.DB"}, /*terminal=*/false), rekasto::kExitOk);
    EXPECT_EQ(err_.str(), "");
  }
}

// On disk through the executable: generated tables, some damaged at random, in a tree;
// verify and rebuild give the same answers with one job and with four, and after the
// rebuild every table is clean with all its records. A linked subfolder is not entered.
TEST(CliBatchExecutable, AnyNumberOfJobsGivesTheSameAnswers) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("rekasto_batch_" + std::to_string(getpid()));
  fs::remove_all(dir);
  paradox::FileSystem* disk = paradox::DefaultFileSystem();
  std::mt19937 rng(17);
  int damaged = 0;
  for (int t = 0; t < 12; ++t) {
    const fs::path folder = dir / ("f" + std::to_string(t % 3)) / (t % 2 ? "x" : "");
    fs::create_directories(folder);
    const std::string path =
        (folder / ("T" + std::to_string(t) + (t % 4 ? ".DB" : ".db"))).string();
    Write(disk, path, 5 + int(rng() % 200));
    if (rng() % 2) {
      paradox::Bytes bytes = *disk->ReadFile(path, UINT64_MAX);
      paradox::test::SetRecordCount(bytes, uint32_t(rng() % 3));
      ASSERT_TRUE(disk->WriteFile(path, bytes).ok());
      ++damaged;
    }
  }
  // A link back up the tree: not entered, so the walk ends and counts each table once.
  fs::create_directory_symlink(dir, dir / "f0" / "loop");
  auto run = [&](const std::string& args) {
    const std::string outFile = (dir / "out.json").string();
    int st = std::system(
        (std::string(REKASTO_EXE) + " " + args + " >" + outFile + " 2>/dev/null").c_str());
    std::ifstream in(outFile);
    json j = json::parse(in);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == j["exitCode"]) << args;
    return j;
  };
  const std::string tree = dir.string() + "/f0 " + dir.string() + "/f1 " + dir.string() + "/f2";
  const json one = run("verify --json -r -j1 " + tree);
  EXPECT_EQ(run("verify --json -r -j4 " + tree), one);
  EXPECT_EQ(one["summary"]["tables"], 12);
  EXPECT_EQ(one["summary"]["problems"], damaged);
  const json dry = run("rebuild --json --dry-run -r --jobs=1 " + tree);
  EXPECT_EQ(run("rebuild --json --dry-run -r --jobs=4 " + tree), dry);
  const json rebuilt = run("rebuild --json -r -j4 " + tree);
  EXPECT_EQ(rebuilt["summary"]["repaired"], damaged);
  EXPECT_EQ(rebuilt["summary"]["failed"], 0);
  for (size_t i = 0; i < 12; ++i)
    EXPECT_EQ(rebuilt["tables"][i]["recordsKept"], one["tables"][i]["summary"]["countedRecords"])
        << i;
  const json after = run("verify --json -r -j4 " + tree);
  EXPECT_EQ(after["summary"]["clean"], 12) << after["summary"];
  fs::remove_all(dir);
}

}  // namespace
