// rekasto: exit codes, --json shape, info and dump output, one-line errors for bad input.
#include "cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "faulty_file_system.h"
#include "mutators.h"
#include "paradox/format/writer.h"

namespace {

using paradox::Bytes;
using paradox::FieldType;
using paradox::Value;

class CliTest : public ::testing::Test {
 protected:
  // Small keyed level-5 table in code page 1252 with one text holding non-ASCII bytes.
  void WriteSmall(const std::string& path = "d/PEOPLE.DB") {
    paradox::TableSchema s;
    s.level = paradox::TableLevel::k5;
    s.codePage = 1252;
    s.fields = {{"Id", FieldType::kLong},
                {"Name", FieldType::kAlpha, 20},
                {"Born", FieldType::kDate},
                {"Note", FieldType::kMemo, 5}};
    s.keyFieldCount = 1;
    (void)fs_.MakeDir("d");
    paradox::WriteOptions o;
    o.sync = false;
    auto w = paradox::TableWriter::Create(&fs_, path, s, o);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    ASSERT_TRUE(w.value()
                    ->AddRecord({int64_t(1), std::string("Zo\xEB, \"Z\""), paradox::Date{730120},
                                 std::string("hi")})
                    .ok());
    ASSERT_TRUE(
        w.value()->AddRecord({int64_t(2), std::string("Bob"), Value{}, std::string(20, 'm')}).ok());
    ASSERT_TRUE(w.value()->Finish().ok());
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

TEST_F(CliTest, HelpListsTheCommands) {
  EXPECT_EQ(Run({"--help"}), rekasto::kExitOk);
  for (const char* c : {"info", "verify", "dump"})
    EXPECT_NE(out_.str().find(c), std::string::npos) << c;
  EXPECT_EQ(Run({}), rekasto::kExitFailed);
  EXPECT_EQ(Run({"frobnicate"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(),
            "rekasto: unknown command 'frobnicate' (rekasto --help lists the commands)\n");
  EXPECT_EQ(Run({"verify", "--help"}), rekasto::kExitOk);
  EXPECT_EQ(Run({"verify", "--bogus", "x.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(Run({"verify", "--list-checks"}), rekasto::kExitOk);
  EXPECT_NE(
      out_.str().find(
          "chain.cycle                 error    verdict 1   data chain reaches a block twice\n"),
      std::string::npos)
      << out_.str();
}

TEST_F(CliTest, VerifyExitCodesFollowTheVerdict) {
  WriteSmall();
  EXPECT_EQ(Run({"verify", "d/PEOPLE.DB"}), rekasto::kExitOk) << out_.str();
  EXPECT_NE(out_.str().find("verdict 0 (clean)"), std::string::npos) << out_.str();

  paradox::test::SetRecordCount(*fs_.Contents("d/PEOPLE.DB"), 9);
  EXPECT_EQ(Run({"verify", "d/PEOPLE.DB"}), rekasto::kExitProblems);
  EXPECT_NE(out_.str().find("error header.record-count PEOPLE.DB"), std::string::npos)
      << out_.str();
  EXPECT_NE(out_.str().find("verdict 1 (repairable)"), std::string::npos);

  // Several tables: the worst exit code wins; a missing one means "could not check".
  WriteSmall("d/OTHER.DB");
  EXPECT_EQ(Run({"verify", "--quiet", "d/OTHER.DB", "d/PEOPLE.DB"}), rekasto::kExitProblems);
  EXPECT_EQ(Run({"verify", "d/OTHER.DB", "d/GONE.DB"}), rekasto::kExitFailed);
  EXPECT_EQ(err_.str(), "rekasto: d/GONE.DB: no such file\n");
}

TEST_F(CliTest, VerifyJsonShape) {
  WriteSmall();
  paradox::test::SetU8(*fs_.Contents("d/PEOPLE.DB"), 0x14, 1);
  EXPECT_EQ(Run({"verify", "--json", "d/PEOPLE.DB", "d/NONE.DB"}), rekasto::kExitFailed);
  const nlohmann::json j = nlohmann::json::parse(out_.str());
  ASSERT_EQ(j["tables"].size(), 2u) << j;
  const nlohmann::json& t = j["tables"][0];
  EXPECT_EQ(t["table"], "d/PEOPLE.DB");
  EXPECT_EQ(t["verdict"], 1);
  EXPECT_EQ(t["verdictName"], "repairable");
  EXPECT_FALSE(t.contains("error"));
  EXPECT_EQ(t["summary"]["countedRecords"], 2);
  EXPECT_EQ(t["summary"]["codePage"], 1252);
  EXPECT_EQ(t["summary"]["encrypted"], false);
  bool flagFound = false;
  for (const nlohmann::json& f : t["findings"]) {
    if (f["check"] != "header.rebuild-flag") continue;
    flagFound = true;
    EXPECT_EQ(f["severity"], "error");
    EXPECT_EQ(f["file"], "PEOPLE.DB");
    EXPECT_TRUE(f["block"].is_null());
    EXPECT_TRUE(f["record"].is_null());
    EXPECT_EQ(f["offset"], 20);
    EXPECT_TRUE(f["field"].is_null());
    EXPECT_TRUE(f["detail"].is_string());
  }
  EXPECT_TRUE(flagFound) << j;
  EXPECT_EQ(j["tables"][1]["verdictName"], "incomplete");
  EXPECT_EQ(j["tables"][1]["error"], "rekasto: d/NONE.DB: no such file");
  EXPECT_EQ(j["summary"],
            nlohmann::json::parse(R"({"tables":2,"clean":0,"problems":1,"failed":1})"));
  EXPECT_EQ(j["exitCode"], 2);
  // Text that is not UTF-8 (a Latin-1 file name) still makes valid JSON.
  EXPECT_EQ(nlohmann::json::parse(rekasto::JsonString("Zo\xEB\x01")), "Zo\xC3\xAB\x01");
}

// The text and JSON outputs place every finding alike: an offset in both (0, the header's
// first byte, included) or in neither.
TEST_F(CliTest, TextAndJsonAgreeOnEveryOffset) {
  WriteSmall();
  paradox::Bytes& db = *fs_.Contents("d/PEOPLE.DB");
  paradox::test::SetRecordSize(db, uint16_t(paradox::DecodeU16(db.data()) + 1));  // found at 0x00
  ASSERT_TRUE(fs_.Remove("d/PEOPLE.MB").ok());  // found in no one place
  EXPECT_EQ(Run({"verify", "--json", "d/PEOPLE.DB"}), rekasto::kExitProblems);
  const std::string j = out_.str();
  EXPECT_EQ(Run({"verify", "d/PEOPLE.DB"}), rekasto::kExitProblems);
  std::istringstream text(out_.str());
  std::string line;
  int withOffset0 = 0, withoutOffset = 0, findings = 0;
  for (size_t at = j.find("{\"check\":"); at != std::string::npos;
       at = j.find("{\"check\":", at + 1)) {
    auto field = [&](const std::string& name) {
      const size_t from = j.find("\"" + name + "\":", at) + name.size() + 3;
      const size_t to = j.find_first_of(",}", j[from] == '"' ? j.find('"', from + 1) : from);
      std::string v = j.substr(from, to - from);
      return v.front() == '"' ? v.substr(1, v.size() - 2) : v;
    };
    const std::string prefix = field("severity") + " " + field("check") + " ";
    while (std::getline(text, line) && line.rfind(prefix, 0) != 0) {
    }
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << prefix << " not in the text output\n" << out_.str();
    ++findings;
    const std::string offset = field("offset");
    const size_t shown = line.find(" (offset 0x");
    if (offset == "null") {
      ++withoutOffset;
      EXPECT_EQ(shown, std::string::npos) << line;
    } else {
      withOffset0 += offset == "0";
      ASSERT_NE(shown, std::string::npos) << line;
      EXPECT_EQ(std::stoull(line.substr(shown + 11), nullptr, 16), std::stoull(offset)) << line;
    }
  }
  EXPECT_GE(findings, 2) << j;
  EXPECT_GE(withOffset0, 1) << j;
  EXPECT_GE(withoutOffset, 1) << j;
}

TEST_F(CliTest, InfoDescribesTheTable) {
  WriteSmall();
  ASSERT_EQ(Run({"info", "d/PEOPLE.DB"}), rekasto::kExitOk) << err_.str();
  const std::string s = out_.str();
  for (const char* want :
       {"Type:           keyed (1 key field)", "Level:          5 (version byte 11)",
        "Records:        2 in the header, 2 in the block chain", "Code page:      1252",
        "Encrypted:      no", "Fields:         4", "Name                      A20",
        "Note                      M5", "PEOPLE.PX", "PEOPLE.MB"})
    EXPECT_NE(s.find(want), std::string::npos) << want << "\n" << s;
}

TEST_F(CliTest, DumpWritesUtf8Csv) {
  WriteSmall();
  ASSERT_EQ(Run({"dump", "d/PEOPLE.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            "Id,Name,Born,Note\n"
            "1,\"Zo\xC3\xAB, \"\"Z\"\"\",2000-01-01,hi\n"
            "2,Bob,," +
                std::string(20, 'm') + "\n");
  // The same bytes read as code page 852: 0xEB is U+0170 there.
  ASSERT_EQ(Run({"dump", "--codepage", "852", "d/PEOPLE.DB"}), rekasto::kExitOk);
  EXPECT_NE(out_.str().find("Zo\xC5\xB0"), std::string::npos) << out_.str();
  const std::string as852 = out_.str();
  // The GNU forms give the same: --opt=value, a unique prefix, the table before "--".
  ASSERT_EQ(Run({"dump", "--codepage=852", "d/PEOPLE.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_EQ(out_.str(), as852);
  ASSERT_EQ(Run({"dump", "--code=852", "--format=csv", "--", "d/PEOPLE.DB"}), rekasto::kExitOk)
      << err_.str();
  EXPECT_EQ(out_.str(), as852);
  EXPECT_EQ(Run({"dump", "--codepage", "9999", "d/PEOPLE.DB"}), rekasto::kExitFailed);
}

TEST_F(CliTest, BadInputGivesOneLineErrors) {
  ASSERT_TRUE(fs_.MakeDir("d").ok());
  fs_.SetContents("d/notes.txt", Bytes(300, 'x'));
  fs_.SetContents("d/tiny.DB", Bytes(10, 0));
  ASSERT_TRUE(fs_.MakeDir("d/folder").ok());
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {{"info", "d/missing.DB"}, "rekasto: d/missing.DB: no such file\n"},
           {{"verify", "d/folder"}, "rekasto: d/folder: is a folder, not a table file\n"},
           {{"dump", "d/notes.txt"},
            "rekasto: d/notes.txt: not a Paradox table (unknown level byte 120)\n"},
           {{"info", "d/tiny.DB"}, "rekasto: d/tiny.DB: not a Paradox table (only 10 bytes)\n"},
           {{"info"}, "rekasto: info: no table given (usage: rekasto info TABLE...)\n"},
           // Regression: these were taken as a budget of about 2^64 and of 5.
           {{"verify", "--max-findings", "-1", "d/tiny.DB"},
            "rekasto: --max-findings needs a number, not '-1'\n"},
           {{"verify", "--max-findings", "5x", "d/tiny.DB"},
            "rekasto: --max-findings needs a number, not '5x'\n"},
       }) {
    EXPECT_EQ(Run(c.args), rekasto::kExitFailed) << c.args[0];
    EXPECT_EQ(err_.str(), c.error);
  }
}

// A refused open is "permission denied" by its cause, whatever words its message holds:
// the message names the path.
TEST_F(CliTest, RefusedOpenIsClassifiedByItsCause) {
  WriteSmall("d/PEOPLE.DB");
  struct Case {
    paradox::Status refusal;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {paradox::Status::IOError("open /space/PEOPLE.DB: No space left", EACCES),
            "rekasto: d/PEOPLE.DB: permission denied\n"},
           {paradox::Status::IOError("open /ro/PEOPLE.DB", EROFS),
            "rekasto: d/PEOPLE.DB: permission denied\n"},
           {paradox::Status::IOError("open /Permission denied/PEOPLE.DB", ENOSPC),
            "rekasto: d/PEOPLE.DB: cannot open: open /Permission denied/PEOPLE.DB\n"},
       }) {
    paradox::FaultyFileSystem faulty(&fs_);
    faulty.FailAt(paradox::FaultyFileSystem::Op::kOpen, 1, c.refusal, true);
    out_.str("");
    err_.str("");
    rekasto::Io io{out_, err_, &faulty};
    EXPECT_EQ(rekasto::RunCli({"info", "d/PEOPLE.DB"}, io), rekasto::kExitFailed);
    EXPECT_EQ(err_.str(), c.error);
    const paradox::Status st = rekasto::TablePathStatus("d/PEOPLE.DB", &faulty);
    EXPECT_EQ(st.error_number(), c.refusal.error_number());
  }
}

// The real executable against the OS: exit status and permission errors.
TEST(CliExecutable, ExitStatusAndPermissionDenied) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("rekasto_cli_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string exe = REKASTO_EXE;
  auto run = [&](const std::string& args, std::string* err) {
    const std::string errFile = (dir / "err.txt").string();
    int st = std::system((exe + " " + args + " >/dev/null 2>" + errFile).c_str());
    std::ifstream in(errFile);
    err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  std::string err;
  EXPECT_EQ(run("verify " + (dir / "nothing.DB").string(), &err), 2);
  EXPECT_EQ(err, "rekasto: " + (dir / "nothing.DB").string() + ": no such file\n");
  const fs::path locked = dir / "LOCKED.DB";
  std::ofstream(locked) << std::string(4096, 'x');
  chmod(locked.c_str(), 0);
  if (geteuid() != 0) {  // root reads anything
    EXPECT_EQ(run("info " + locked.string(), &err), 2);
    EXPECT_EQ(err, "rekasto: " + locked.string() + ": permission denied\n");
  }
  fs::remove_all(dir);
}

// On disk, through the real executable: a table another program holds with flock() is
// not rebuilt (exit 2, the reason on one line, nothing written); once it lets go, it is.
// A member the user may not read makes verify stop short: verdict 2 with the reason.
TEST(CliExecutable, RebuildRefusesAHeldTableVerifyAnUnreadableMember) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("rekasto_cli_held_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string exe = REKASTO_EXE;
  auto run = [&](const std::string& args, std::string* err) {
    const std::string errFile = (dir / "err.txt").string();
    int st = std::system((exe + " " + args + " >/dev/null 2>" + errFile).c_str());
    std::ifstream in(errFile);
    err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k5;
  s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 20}};
  s.keyFieldCount = 1;
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= 30; ++i) rows.push_back({int64_t(i), std::string("n") + std::to_string(i)});
  const std::string db = (dir / "T.DB").string();
  ASSERT_TRUE(paradox::WriteTable(paradox::DefaultFileSystem(), db, s, rows).ok());
  const Bytes before = *paradox::DefaultFileSystem()->ReadFile(db, UINT64_MAX);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = open(db.c_str(), O_RDONLY);
    char c = flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  std::string err;
  EXPECT_EQ(run("rebuild " + db, &err), 2);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_NE(err.find("another program holds a lock on T.DB"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(*paradox::DefaultFileSystem()->ReadFile(db, UINT64_MAX), before);
  EXPECT_FALSE(fs::exists(dir / "T.rekasto"));
  EXPECT_EQ(run("rebuild " + db, &err), 0) << err;

  if (geteuid() != 0) {  // root reads anything
    chmod((dir / "T.PX").c_str(), 0);
    std::ostringstream out, errs;
    rekasto::Io io{out, errs, paradox::DefaultFileSystem()};
    EXPECT_EQ(rekasto::RunCli({"verify", db}, io), rekasto::kExitFailed) << out.str();
    EXPECT_NE(out.str().find("verdict 2 (incomplete)"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("Permission denied"), std::string::npos) << out.str();
    chmod((dir / "T.PX").c_str(), 0644);
  }
  fs::remove_all(dir);
}

// Every shared real table: verify and info run, and the record counts agree.
TEST(CliSharedTables, VerifyAndInfoRunOnEveryTable) {
  namespace fs = std::filesystem;
  const fs::path root = REKASTO_TABLES_DIR;
  if (!fs::is_directory(root)) GTEST_SKIP() << "shared tables not found at " << root;
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(toupper(c));
    if (ext != ".DB") continue;
    std::ostringstream out, err;
    rekasto::Io io{out, err, paradox::DefaultFileSystem()};
    int code = rekasto::RunCli({"verify", "--json", e.path().string()}, io);
    EXPECT_LE(code, 1) << e.path() << err.str();
    EXPECT_EQ(rekasto::RunCli({"info", e.path().string()}, io), rekasto::kExitOk)
        << e.path() << err.str();
    ++n;
  }
  EXPECT_GT(n, 70u);
}

// info shows the .VAL's checks and links as the real files hold them.
TEST(CliSharedTables, InfoShowsValidityChecksAndLinks) {
  const std::string root = REKASTO_TABLES_DIR "/leonhad__paradoxdriver/";
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "shared tables not found at " << root;
  for (const auto& [table, want] : std::vector<std::pair<std::string, std::string>>{
           {"db/AREACODE.DB", "  Area Code: picture \"###\"\n"},
           {"fields/logical.db", "  BOOL: required; default true\n"},
           {"joins/fk4.db",
            "  link \"reference\": (FK1, FK) -> two.db (field 1, field 2); on update cascade\n"},
           {"db/DECIMAL.DB", "(its field list differs from the table's)\n  ID: required\n"},
           {"mtdemo/CUSTOMER.DB", "CUSTOMER.VAL in the older layout (not decoded)\n"}}) {
    std::ostringstream out, err;
    rekasto::Io io{out, err, paradox::DefaultFileSystem()};
    ASSERT_EQ(rekasto::RunCli({"info", root + table}, io), rekasto::kExitOk) << table << err.str();
    EXPECT_NE(out.str().find(want), std::string::npos) << table << "\n" << out.str();
  }
}

}  // namespace
