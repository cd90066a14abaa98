// Shared by the utility-library tests: a temporary folder, a started engine of the test's
// own, tables written with our writer, progress recording and file snapshots.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <strings.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TUtil32.h"
#include "TUtilRecords.h"
#include "engine.h"
#include "paradox/format/file.h"
#include "paradox/format/reader.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"

namespace tutiltest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "rekasto-tutil-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(path_, ec)) {
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline std::vector<std::string> ContextEntries() {
  std::vector<std::string> entries;
  char text[DBIMAXMSGLEN + 1];
  for (uint16_t i = 1; DbiGetErrorEntry(i, text) == DBIERR_NONE; ++i) entries.emplace_back(text);
  return entries;
}

// Every file under a folder with its bytes, to show that a failed call changed nothing.
inline std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    files[e.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

struct ProgressLog {
  struct Report {
    int phase;
    int percent;
  };
  std::vector<Report> reports;
  CBPROGRESSDesc buffer{};
};

// The client value is 32 bits wide, too narrow for a pointer: the log in use is global.
inline ProgressLog*& CurrentProgressLog() {
  static ProgressLog* log = nullptr;
  return log;
}

inline uint32_t RecordProgress(uint32_t type, uint32_t client, void* info) {
  ProgressLog* log = CurrentProgressLog();
  (void)client;
  if (type != cbGENPROGRESS || log == nullptr) return 0;
  const auto* p = static_cast<const CBPROGRESSDesc*>(info);
  log->reports.push_back({p->iPhase, p->iPercentDone});
  return 0;
}

// Each test: its own folder and XDG folders, a started engine with one alias on the
// folder, and one open utility session.
class TUtilTest : public ::testing::Test {
 protected:
  TUtilTest()
      : config_("REKASTO_ENGINE_CONFIG", (dir_.path() / "engine.ini").string()),
        configHome_("XDG_CONFIG_HOME", (dir_.path() / "config").string()),
        dataHome_("XDG_DATA_HOME", (dir_.path() / "data").string()),
        stateHome_("XDG_STATE_HOME", (dir_.path() / "state").string()) {}

  void SetUp() override {
    tables_ = dir_.path() / "tables";
    fs::create_directories(tables_);
    std::ofstream(dir_.path() / "engine.ini")
        << "[TEST]\nTYPE=STANDARD\nPATH=" << tables_.string() << "\n";
    ASSERT_EQ(DbiInit(), DBIERR_NONE);
    ASSERT_EQ(TUInit(&session_), DBIERR_NONE);
  }
  void TearDown() override {
    if (session_) TUExit(session_);
    DbiExit();
    CurrentProgressLog() = nullptr;
  }

  // Registers a progress recorder with the engine's current session.
  void RecordProgressInto(ProgressLog* log) {
    CurrentProgressLog() = log;
    ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof(CBPROGRESSDesc), &log->buffer,
                                  RecordProgress),
              DBIERR_NONE);
  }

  std::string Table(const std::string& name) const { return (tables_ / name).string(); }

  // A keyed level-7 table: Id (I, key), Name (A20), Born (D), Amount ($), Note (M),
  // with a secondary index on Name; `rows` records.
  std::string WriteCustomers(const std::string& name = "CUSTOMER.DB", int rows = 60) {
    using paradox::FieldType;
    paradox::TableSchema s;
    s.level = paradox::TableLevel::k7;
    s.blockSize = 2048;
    s.codePage = 1252;
    s.fields = {{"Id", FieldType::kLong, 0},
                {"Name", FieldType::kAlpha, 20},
                {"Born", FieldType::kDate, 0},
                {"Amount", FieldType::kMoney, 0},
                {"Note", FieldType::kMemo, 10}};
    s.keyFieldCount = 1;
    s.secondaryIndexes = {{"ByName", {"Name"}, true, false, false}};
    std::vector<std::vector<paradox::Value>> records;
    for (int i = 1; i <= rows; ++i) {
      std::string note =
          i % 7 == 0 ? std::string(300, char('a' + i % 26)) : "short " + std::to_string(i);
      records.push_back({paradox::Value(int64_t(i)),
                         paradox::Value("Name " + std::to_string(1000 - i)),
                         paradox::Value(paradox::Date{730000 + i}),
                         paradox::Value(double(i) * 1.25), paradox::Value(note)});
    }
    const std::string path = Table(name);
    paradox::Status st = paradox::WriteTable(paradox::DefaultFileSystem(), path, s, records);
    EXPECT_TRUE(st.ok()) << st.ToString();
    return path;
  }

  // An unkeyed level-4 table with a few alpha and number fields.
  std::string WritePlain(const std::string& name = "PLAIN.DB", int rows = 25) {
    using paradox::FieldType;
    paradox::TableSchema s;
    s.level = paradox::TableLevel::k4;
    s.blockSize = 1024;
    s.codePage = 852;
    s.fields = {{"Code", FieldType::kAlpha, 6},
                {"Value", FieldType::kNumber, 0},
                {"Qty", FieldType::kShort, 0}};
    std::vector<std::vector<paradox::Value>> records;
    for (int i = 0; i < rows; ++i) {
      records.push_back({paradox::Value("C" + std::to_string(i)), paradox::Value(i * 0.5),
                         paradox::Value(int64_t(i))});
    }
    const std::string path = Table(name);
    paradox::Status st = paradox::WriteTable(paradox::DefaultFileSystem(), path, s, records);
    EXPECT_TRUE(st.ok()) << st.ToString();
    return path;
  }

  // Records of a table in reading order, decoded.
  static std::vector<std::vector<paradox::Value>> ReadAll(const std::string& path) {
    std::vector<std::vector<paradox::Value>> rows;
    auto reader = paradox::TableReader::Open(paradox::DefaultFileSystem(), path);
    EXPECT_TRUE(reader.ok()) << reader.status().ToString();
    if (!reader.ok()) return rows;
    auto cur = reader.value()->Records();
    while (cur.Next()) {
      auto values = cur.Decode();
      EXPECT_TRUE(values.ok());
      if (values.ok()) rows.push_back(values.value());
    }
    return rows;
  }

  TempDir dir_;
  ScopedEnv config_, configHome_, dataHome_, stateHome_;
  fs::path tables_;
  hTUses session_ = 0;
};

// A descriptor with arrays sized from TUGetCRTblDescCount, as the program prepares it.
struct Descriptor {
  CRTblDesc desc{};
  std::vector<FLDDesc> fields;
  std::vector<IDXDesc> indexes;
  std::vector<SECDesc> security;
  std::vector<VCHKDesc> checks;
  std::vector<RINTDesc> links;
  std::vector<FLDDesc> params;
  std::vector<uint8_t> data;

  DBIResult Prepare(hTUses h, const std::string& location) {
    uint16_t c[7] = {};
    DBIResult r =
        TUGetCRTblDescCount(h, location.c_str(), &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]);
    if (r != DBIERR_NONE) return r;
    std::memset(&desc, 0, sizeof desc);
    std::strncpy(desc.szTblName, location.c_str(), sizeof desc.szTblName - 1);
    std::strcpy(desc.szTblType, "PARADOX");
    std::strcpy(desc.szErrTblName, "Rebuild.DB");
    fields.assign(c[0], FLDDesc{});
    indexes.assign(c[1], IDXDesc{});
    security.assign(c[2], SECDesc{});
    checks.assign(c[3], VCHKDesc{});
    links.assign(c[4], RINTDesc{});
    params.assign(c[5], FLDDesc{});
    data.assign(size_t(c[6]) * TU_OPTDATA_UNIT, 0);
    desc.iFldCount = c[0];
    desc.pfldDesc = c[0] ? fields.data() : nullptr;
    desc.iIdxCount = c[1];
    desc.pidxDesc = c[1] ? indexes.data() : nullptr;
    desc.iSecRecCount = c[2];
    desc.psecDesc = c[2] ? security.data() : nullptr;
    desc.iValChkCount = c[3];
    desc.pvchkDesc = c[3] ? checks.data() : nullptr;
    desc.iRintCount = c[4];
    desc.printDesc = c[4] ? links.data() : nullptr;
    desc.iOptParams = c[5];
    desc.pfldOptParams = c[5] ? params.data() : nullptr;
    desc.pOptData = c[6] ? data.data() : nullptr;
    return DBIERR_NONE;
  }
  DBIResult Fill(hTUses h, const std::string& location) {
    DBIResult r = Prepare(h, location);
    return r != DBIERR_NONE ? r : TUFillCRTblDesc(h, &desc, location.c_str(), nullptr);
  }
};

inline std::string Shared(const std::string& rel) {
  return std::string(REKASTO_SHARED_TABLES) + "/" + rel;
}
inline bool HaveShared() {
  return fs::is_directory(REKASTO_SHARED_TABLES);
}

// Copies a shared table's family (same stem, any extension) into `dir`; returns the .DB copy.
inline std::string CopyFamily(const std::string& db, const fs::path& dir) {
  const fs::path src(db);
  const std::string stem = src.stem().string();
  for (auto& e : fs::directory_iterator(src.parent_path())) {
    if (strcasecmp(e.path().stem().string().c_str(), stem.c_str()) == 0) {
      fs::copy_file(e.path(), dir / e.path().filename(), fs::copy_options::overwrite_existing);
      fs::permissions(dir / e.path().filename(), fs::perms::owner_read | fs::perms::owner_write,
                      fs::perm_options::add);
    }
  }
  return (dir / src.filename()).string();
}

}  // namespace tutiltest

namespace tutiltest {

// Phases only 0, 1, 2, 8; percentages 0..100 rising strictly within each phase (so at
// most one report per step); a bounded number of reports.
inline void ExpectWellFormedProgress(const ProgressLog& log) {
  // Every bar is put to 0 before any moves on: a caller chaining a verification and a
  // rebuild must not see the first one's bars while the second begins.
  ASSERT_GE(log.reports.size(), 4u);
  std::set<int> started;
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(log.reports[i].percent, 0) << "report " << i << ", phase " << log.reports[i].phase;
    started.insert(log.reports[i].phase);
  }
  EXPECT_EQ(started, (std::set<int>{0, 1, 2, 8}));
  std::map<int, int> last;
  for (const auto& r : log.reports) {
    EXPECT_TRUE(r.phase == 0 || r.phase == 1 || r.phase == 2 || r.phase == 8)
        << "phase " << r.phase;
    EXPECT_LE(r.percent, 100);
    auto it = last.find(r.phase);
    if (it != last.end()) {
      EXPECT_GT(r.percent, it->second)
          << "phase " << r.phase << " went from " << it->second << " to " << r.percent;
    }
    last[r.phase] = r.percent;
  }
  EXPECT_LE(log.reports.size(), 4u * 101u);
  ASSERT_TRUE(last.count(8)) << "no overall progress";
  EXPECT_EQ(last[8], 100);
}

}  // namespace tutiltest
