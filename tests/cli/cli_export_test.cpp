// rekasto dump (CSV and JSON lines, blanks, blobs to files, code pages) and
// rekasto export --sqlite: an export of every shared real table reads back through
// SQLite with the values dump gives; a damaged table exports what the salvage keeps.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli.h"
#include "mutators.h"
#include "paradox/format/codepage.h"
#include "paradox/format/writer.h"
#include "table_out.h"

namespace {

namespace fs = std::filesystem;
using paradox::Bytes;
using paradox::FieldType;
using paradox::Value;
using json = nlohmann::ordered_json;

class DumpTest : public ::testing::Test {
 protected:
  void Write(const std::string& path, const paradox::TableSchema& s,
             const std::vector<std::vector<Value>>& rows) {
    (void)fs_.MakeDir("d");
    paradox::WriteOptions o;
    o.sync = false;
    auto w = paradox::TableWriter::Create(&fs_, path, s, o);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    for (const auto& r : rows) ASSERT_TRUE(w.value()->AddRecord(r).ok());
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

TEST_F(DumpTest, CsvBlanksJsonTypesAndBlobFiles) {
  paradox::TableSchema one;
  one.level = paradox::TableLevel::k7;
  one.fields = {{"When", FieldType::kTime}};
  Write("d/ONE.DB", one, {{paradox::Time{1000}}, {Value{}}, {paradox::Time{0}}});
  // A record of one blank field is a quoted empty field, not an empty line.
  ASSERT_EQ(Run({"dump", "d/ONE.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_EQ(out_.str(), "When\n00:00:01.000\n\"\"\n00:00:00.000\n");
  ASSERT_EQ(Run({"dump", "--null", "NULL", "d/ONE.DB"}), rekasto::kExitOk);
  EXPECT_EQ(out_.str(), "When\n00:00:01.000\nNULL\n00:00:00.000\n");

  paradox::TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kAutoInc},     {"Ok", FieldType::kLogical},
              {"Amount", FieldType::kMoney},   {"Born", FieldType::kDate},
              {"Name", FieldType::kAlpha, 10}, {"Raw", FieldType::kBytes, 3},
              {"Note", FieldType::kMemo, 5},   {"Pic", FieldType::kBlob, 1},
              {"Dec", FieldType::kBcd, 2},     {"Fmt", FieldType::kFmtMemo, 1}};
  s.keyFieldCount = 1;
  Write("d/ALL.DB", s,
        {{int64_t(1), true, 134.85000000000002, paradox::Date{-366}, std::string("Zo\xEB"),
          Bytes{1, 2, 0xFF}, std::string(300, 'n') + std::string(1, '\0'), Bytes(5000, 0x42),
          paradox::Bcd{"-1.25"}, Bytes{0, 2, 0, 1, 'h', 'i', 0, 0, 0, 0, 0, 0}},
         {int64_t(2), Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{}, Value{},
          Value{}}});
  ASSERT_EQ(Run({"dump", "--format", "json", "d/ALL.DB"}), rekasto::kExitOk) << err_.str();
  std::istringstream lines(out_.str());
  std::string line;
  std::vector<json> rows;
  while (std::getline(lines, line)) rows.push_back(json::parse(line));
  ASSERT_EQ(rows.size(), 2u);
  const json& r = rows[0];
  EXPECT_EQ(r["Id"], 1);
  EXPECT_EQ(r["Ok"], true);
  EXPECT_EQ(r["Amount"].get<double>(), 134.85000000000002);
  EXPECT_EQ(r["Born"], "-0001-12-31");
  EXPECT_EQ(r["Name"], "Zo\xC3\xAB");
  EXPECT_EQ(r["Raw"]["base64"], "AQL/");
  EXPECT_EQ(r["Note"].get<std::string>(),
            std::string(300, 'n') + std::string(1, '\0'));  // every byte
  EXPECT_EQ(r["Pic"]["base64"].get<std::string>().size(), 6668u);
  EXPECT_EQ(r["Dec"], "-1.25");
  EXPECT_EQ(r["Fmt"]["base64"], "AAIAAWhpAAAAAAAA");  // all twelve bytes, the trailing NULs too
  for (const char* k : {"Ok", "Amount", "Born", "Name", "Raw", "Note", "Pic", "Dec", "Fmt"})
    EXPECT_TRUE(rows[1][k].is_null()) << k;

  ASSERT_EQ(Run({"dump", "--blobs", "d/out", "d/ALL.DB"}), rekasto::kExitOk) << err_.str();
  EXPECT_NE(out_.str().find(",ALL_1_7_Note.txt,ALL_1_8_Pic.bin,"), std::string::npos) << out_.str();
  const Bytes* pic = fs_.Contents("d/out/ALL_1_8_Pic.bin");
  ASSERT_NE(pic, nullptr);
  EXPECT_EQ(*pic, Bytes(5000, 0x42));
  ASSERT_NE(fs_.Contents("d/out/ALL_1_7_Note.txt"), nullptr);
  EXPECT_EQ(fs_.Contents("d/out/ALL_1_7_Note.txt")->size(), 301u);

  // Code pages by number or iconv name; a page without a converter is refused.
  ASSERT_EQ(Run({"dump", "--codepage", "cp1251", "d/ALL.DB"}), rekasto::kExitOk);
  EXPECT_NE(out_.str().find("Zo\xD0\xBB"), std::string::npos);  // 0xEB is л in 1251
  EXPECT_EQ(Run({"dump", "--codepage", "867", "d/ALL.DB"}), rekasto::kExitFailed);
  EXPECT_NE(err_.str().find("867"), std::string::npos);
  EXPECT_EQ(Run({"dump", "--format", "xml", "d/ALL.DB"}), rekasto::kExitFailed);

  // A table whose code page has no converter: a warning, and verify says so too.
  Bytes& db = *fs_.Contents("d/ALL.DB");
  ASSERT_TRUE(paradox::test::SetU16(db, 0x6A, 867));
  ASSERT_EQ(Run({"dump", "d/ALL.DB"}), rekasto::kExitOk);
  EXPECT_NE(err_.str().find("warning: d/ALL.DB: code page 867 has no converter"), std::string::npos)
      << err_.str();
  Run({"verify", "--json", "d/ALL.DB"});
  EXPECT_NE(out_.str().find("codepage.unknown"), std::string::npos) << out_.str();
}

// The formatted memos of the real fields table: every stored byte (169 and 726).
TEST(DumpReal, FormattedMemosKeepEveryStoredByte) {
  const fs::path t = fs::path(REKASTO_TABLES_DIR) / "leonhad__paradoxdriver/fields/fmemo.db";
  if (!fs::exists(t)) GTEST_SKIP() << "fmemo.db missing";
  std::ostringstream out, err;
  rekasto::Io io{out, err, paradox::DefaultFileSystem()};
  ASSERT_EQ(rekasto::RunCli({"dump", "--format", "json", t.string()}, io), rekasto::kExitOk)
      << err.str();
  std::istringstream lines(out.str());
  std::string line;
  std::vector<size_t> sizes;
  while (std::getline(lines, line)) {
    const std::string b64 = json::parse(line)["FMEMO"]["base64"];
    sizes.push_back(b64.size() / 4 * 3 - std::count(b64.begin(), b64.end(), '='));
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{169, 726}));
}

// A damaged header naming two fields alike: JSON keys and SQLite columns stay distinct,
// so no value is lost.
TEST_F(DumpTest, RepeatedFieldNamesLoseNoValue) {
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.fields = {{"Ab", FieldType::kShort}, {"Ac", FieldType::kShort}};
  Write("d/TWIN.DB", s, {{int64_t(1), int64_t(2)}});
  Bytes& db = *fs_.Contents("d/TWIN.DB");
  const std::string needle("Ac\0", 3);
  auto at = std::search(db.begin(), db.end(), needle.begin(), needle.end());
  ASSERT_NE(at, db.end());
  at[1] = 'b';
  ASSERT_LE(Run({"dump", "--format", "json", "d/TWIN.DB"}), rekasto::kExitProblems) << err_.str();
  EXPECT_EQ(out_.str(), "{\"Ab\":1,\"Ab_2\":2}\n");
  const fs::path file =
      fs::temp_directory_path() / ("rekasto_twin_" + std::to_string(getpid()) + ".sqlite");
  fs::remove(file);
  EXPECT_LE(Run({"export", "--sqlite", file.string(), "d/TWIN.DB"}), rekasto::kExitProblems)
      << err_.str();
  sqlite3* sq = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &sq, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(sq, "SELECT Ab, Ab_2 FROM TWIN", -1, &st, nullptr), SQLITE_OK)
      << sqlite3_errmsg(sq);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 1);
  EXPECT_EQ(sqlite3_column_int(st, 1), 2);
  sqlite3_finalize(st);
  sqlite3_close(sq);
  fs::remove(file);
}

// info: the stored name, the field list aligned whatever the script of the names, and
// each secondary index with its name, fields and case rule.
TEST_F(DumpTest, InfoAlignsNamesAndListsSecondaryIndexes) {
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.codePage = 1251;
  s.fields = {{"Id", FieldType::kLong},
              {"\xD0\xE0\xE7\xEC\xE5\xF0", FieldType::kAlpha, 10},  // Размер
              {"Gr", FieldType::kShort}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"bysize", {"\xD0\xE0\xE7\xEC\xE5\xF0", "Gr"}, true}};
  Write("d/SIZES.DB", s, {{int64_t(1), std::string("a"), int64_t(2)}});
  ASSERT_EQ(Run({"info", "d/SIZES.DB"}), rekasto::kExitOk) << err_.str();
  const std::string text = out_.str();
  EXPECT_NE(text.find("Stored name:    SIZES.DB"), std::string::npos) << text;
  EXPECT_NE(
      text.find(
          "\"bysize\" on \xD0\xA0\xD0\xB0\xD0\xB7\xD0\xBC\xD0\xB5\xD1\x80, Gr; case-insensitive"),
      std::string::npos)
      << text;
  // The type letters of the three fields stand in one column.
  std::istringstream lines(text);
  std::string line;
  std::set<size_t> columns;
  while (std::getline(lines, line)) {
    if (line.size() < 8 || line.compare(0, 3, "   ") != 0 || line[3] < '1' || line[3] > '3')
      continue;
    const size_t nameEnd = line.find(' ', 6);  // these names hold no spaces
    const size_t typeAt = line.find_first_not_of(' ', nameEnd);
    columns.insert(paradox::DisplayWidth(line.substr(0, typeAt)));
  }
  // The other direction: a real table's named index.
  const std::string fk4 = std::string(REKASTO_TABLES_DIR) + "/leonhad__paradoxdriver/joins/fk4.db";
  if (!fs::exists(fk4)) return;
  std::ostringstream out, err;
  rekasto::Io io{out, err, paradox::DefaultFileSystem()};
  ASSERT_EQ(rekasto::RunCli({"info", fk4}, io), rekasto::kExitOk);
  EXPECT_NE(out.str().find("XG0  \"reference\" on FK1, FK; case-sensitive; maintained"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(columns.size(), 1u) << text;
}

// Value as dump's JSON gives it, from a SQLite column.
json FromSqlite(sqlite3_stmt* st, int col) {
  switch (sqlite3_column_type(st, col)) {
    case SQLITE_NULL:
      return nullptr;
    case SQLITE_INTEGER:
      return sqlite3_column_int64(st, col);
    case SQLITE_FLOAT:
      return sqlite3_column_double(st, col);
    case SQLITE_BLOB: {
      const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, col));
      return {{"base64", rekasto::Base64Text(Bytes(p, p + sqlite3_column_bytes(st, col)))}};
    }
    default: {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
      return std::string(p, size_t(sqlite3_column_bytes(st, col)));
    }
  }
}

TEST(ExportSqlite, SharedTablesReadBackAsDumpGivesThem) {
  const fs::path root = REKASTO_TABLES_DIR;
  if (!fs::is_directory(root)) GTEST_SKIP() << "shared tables not found at " << root;
  const fs::path dir = fs::temp_directory_path() / ("rekasto_export_" + std::to_string(getpid()));
  fs::create_directories(dir);
  size_t tables = 0, compared = 0, values = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(toupper(static_cast<unsigned char>(c)));
    if (ext != ".DB") continue;
    SCOPED_TRACE(e.path().string());
    std::ostringstream out, err;
    rekasto::Io io{out, err, paradox::DefaultFileSystem()};
    const int dumped = rekasto::RunCli({"dump", "--format", "json", e.path().string()}, io);
    const std::string db = (dir / (std::to_string(tables) + ".sqlite")).string();
    const int exported = rekasto::RunCli({"export", "--sqlite", db, e.path().string()}, io);
    ASSERT_LE(exported, rekasto::kExitProblems) << err.str();
    ++tables;
    // A damaged family (here: a memo file missing) is left to the damaged-table test.
    if (dumped != rekasto::kExitOk || exported != rekasto::kExitOk) continue;
    ++compared;
    std::vector<std::string> want;
    std::istringstream lines(out.str());
    std::string line;
    while (std::getline(lines, line)) {
      json row = json::parse(line);
      std::string flat;
      for (auto it = row.begin(); it != row.end(); ++it) flat += it.value().dump() + "|";
      want.push_back(flat);
    }
    sqlite3* s = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &s, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    const std::string table = e.path().stem().string();
    ASSERT_EQ(sqlite3_prepare_v2(s, ("SELECT * FROM \"" + table + "\"").c_str(), -1, &st, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(s);
    std::vector<std::string> got;
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string flat;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        flat += FromSqlite(st, c).dump() + "|";
        ++values;
      }
      got.push_back(flat);
    }
    sqlite3_finalize(st);
    sqlite3_close(s);
    // Logical values: 1/0 in SQLite, true/false in JSON.
    for (auto* rows : {&want, &got}) {
      for (std::string& r : *rows) {
        for (auto [from, to] :
             {std::pair<std::string, std::string>{"true|", "1|"}, {"false|", "0|"}}) {
          for (size_t p = 0; (p = r.find(from, p)) != std::string::npos;) {
            if (p == 0 || r[p - 1] == '|') r.replace(p, from.size(), to);
            ++p;
          }
        }
      }
      std::sort(rows->begin(), rows->end());
    }
    EXPECT_EQ(got, want);
    // BCD digits a writer left through a binary double (nibbles b, e, f, a after them):
    // the number of the digits up to the first of those.
    if (e.path().filename() == "bcd.db") {
      std::string all;
      for (const std::string& r : got) all += r;
      EXPECT_NE(all.find("\"-0.1229999999999999980\"|"), std::string::npos) << all;
      EXPECT_EQ(all.find_first_of("ABCDEF"), std::string::npos) << all;
    }
  }
  RecordProperty("tablesExported", std::to_string(tables));
  RecordProperty("tablesCompared", std::to_string(compared));
  RecordProperty("valuesCompared", std::to_string(values));
  EXPECT_GT(tables, 70u);
  EXPECT_GT(compared, 70u);
  EXPECT_GT(values, 100000u);
  fs::remove_all(dir);
}

TEST(ExportSqlite, DamagedTableExportsWhatTheSalvageKeepsAndSaysWhat) {
  paradox::MemFileSystem mem;
  ASSERT_TRUE(mem.MakeDir("d").ok());
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.fields = {{"Id", FieldType::kLong}, {"Flag", FieldType::kLogical}};
  s.keyFieldCount = 1;
  paradox::WriteOptions o;
  o.sync = false;
  auto w = paradox::TableWriter::Create(&mem, "d/T.DB", s, o);
  ASSERT_TRUE(w.ok());
  for (int i = 1; i <= 10; ++i) ASSERT_TRUE(w.value()->AddRecord({int64_t(i), i % 2 == 0}).ok());
  ASSERT_TRUE(w.value()->Finish().ok());
  Bytes& db = *mem.Contents("d/T.DB");
  // Record 4's logical byte is no logical value.
  ASSERT_TRUE(paradox::test::SetU8(db, paradox::test::BlockStart(db, 1) + 6 + 3 * 5 + 4, 0x37));
  const fs::path file =
      fs::temp_directory_path() / ("rekasto_damaged_" + std::to_string(getpid()) + ".sqlite");
  fs::remove(file);
  std::ostringstream out, err;
  rekasto::Io io{out, err, &mem};
  EXPECT_EQ(rekasto::RunCli({"export", "--sqlite", file.string(), "d/T.DB"}, io),
            rekasto::kExitProblems);
  EXPECT_NE(err.str().find("warning: d/T.DB: damaged; exported the 9 record(s)"), std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("left out"), std::string::npos) << err.str();
  sqlite3* sq = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &sq, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(sq, "SELECT count(*), sum(Id) FROM T", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 9);
  EXPECT_EQ(sqlite3_column_int(st, 1), 55 - 4);
  sqlite3_finalize(st);
  // The key is a unique index.
  ASSERT_EQ(
      sqlite3_prepare_v2(sq, "SELECT \"unique\" FROM pragma_index_list('T')", -1, &st, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 1);
  sqlite3_finalize(st);
  sqlite3_close(sq);
  // An existing file is never overwritten.
  EXPECT_EQ(rekasto::RunCli({"export", "--sqlite", file.string(), "d/T.DB"}, io),
            rekasto::kExitFailed);
  EXPECT_TRUE(fs::exists(file));
  fs::remove(file);
}

}  // namespace
