// rekasto verify --report: the page stands alone (nothing fetched, no script), has one
// cell per block in the state the damage gives it, the chain's order, and one row per
// finding.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli.h"
#include "mutators.h"
#include "paradox/format/writer.h"
#include "report.h"

namespace {

using paradox::Bytes;
using paradox::FieldType;
using paradox::Value;
namespace t = paradox::test;

struct Page {
  std::map<std::string, int> cells;  // state -> count
  std::vector<int> positions;        // chain places shown in the cells, file order
  std::string order;                 // the chain order line
  int findingRows = 0;
};

Page Parse(const std::string& html) {
  Page p;
  static const std::regex cell("<span class=\"b ([a-z-]+)\" title=\"[^\"]*\">([0-9]*)</span>");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), cell); it != std::sregex_iterator();
       ++it) {
    ++p.cells[(*it)[1]];
    if ((*it)[2].length()) p.positions.push_back(std::stoi((*it)[2]));
  }
  std::smatch m;
  static const std::regex order("<span class=\"order\">([^<]*)</span>");
  if (std::regex_search(html, m, order)) p.order = m[1];
  static const std::regex row("<tr class=\"(error|warning)\">");
  p.findingRows = int(
      std::distance(std::sregex_iterator(html.begin(), html.end(), row), std::sregex_iterator()));
  return p;
}

TEST(CliReport, PageShowsEachBlockInItsStateAndEveryFinding) {
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k5;
  s.blockSize = 1024;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong}, {"Name & <note>", FieldType::kAlpha, 40}};
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 120; ++i)
    rows.push_back({int64_t(i), std::string("row ") + std::to_string(i)});
  paradox::MemFileSystem base;
  ASSERT_TRUE(base.MakeDir("d").ok());
  ASSERT_TRUE(paradox::WriteTable(&base, "d/T&C.DB", s, rows).ok());
  const Bytes clean = *base.Contents("d/T&C.DB");
  const uint16_t n = paradox::DecodeU16(clean.data() + 0x0C);
  ASSERT_GE(n, 4);

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::map<std::string, int> cells;
  };
  const std::vector<Case> cases = {
      {"clean", [](Bytes&) {}, {{"chain", n}}},
      {"cut off", [&](Bytes& f) { t::SetFileBlocks(f, n + 2); }, {{"chain", n}, {"cut-off", 2}}},
      {"orphan",
       [&](Bytes& f) {
         t::SetNextBlock(f, n - 1, 0);
         t::SetLastBlock(f, n - 1);
         t::SetBlocksInUse(f, n - 1);
       },
       {{"chain", n - 1}, {"orphan", 1}}},
      {"bad count",
       [](Bytes& f) { t::SetAddDataSize(f, 2, 7777); },
       {{"chain", n - 1}, {"damaged", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    paradox::MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("d").ok());
    Bytes db = clean;
    c.damage(db);
    fs.SetContents("d/T&C.DB", db);
    std::ostringstream out, err;
    rekasto::Io io{out, err, &fs};
    const int exit = rekasto::RunCli({"verify", "-q", "--report=d/r.html", "d/T&C.DB"}, io);
    EXPECT_EQ(exit, c.cells.size() == 1 ? rekasto::kExitOk : rekasto::kExitProblems)
        << out.str() << err.str();
    ASSERT_TRUE(fs.Contents("d/r.html")) << err.str();
    const std::string html(fs.Contents("d/r.html")->begin(), fs.Contents("d/r.html")->end());
    // Stands alone: nothing to fetch, nothing to run; names escaped.
    for (const char* banned : {"<script", "http:", "https:", "src=", "url(", "@import", "<link"})
      EXPECT_EQ(html.find(banned), std::string::npos) << banned;
    EXPECT_NE(html.find("<h1>T&amp;C.DB</h1>"), std::string::npos);
    const Page p = Parse(html);
    EXPECT_EQ(p.cells, c.cells);
    // The chain's places in the cells are 1..k, and the order line lists k blocks.
    std::vector<int> sorted = p.positions;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i) EXPECT_EQ(sorted[i], int(i + 1));
    // Runs "a-b" (an en dash) joined by arrows; as many blocks in all as chained cells.
    size_t listed = 0;
    if (p.order != "none") {
      std::string rest = p.order + " \xE2\x86\x92 ";
      for (size_t at; (at = rest.find(" \xE2\x86\x92 ")) != std::string::npos;
           rest.erase(0, at + 5)) {
        const std::string run = rest.substr(0, at);
        const size_t dash = run.find("\xE2\x80\x93");
        listed +=
            dash == std::string::npos ? 1 : std::stoul(run.substr(dash + 3)) - std::stoul(run) + 1;
      }
    }
    EXPECT_EQ(listed, sorted.size()) << p.order;
    // One row per finding the verifier records.
    std::ostringstream jout, jerr;
    rekasto::Io jio{jout, jerr, &fs};
    rekasto::RunCli({"verify", "--json", "d/T&C.DB"}, jio);
    EXPECT_EQ(p.findingRows,
              int(nlohmann::json::parse(jout.str())["tables"][0]["findings"].size()));
  }
  // One page per run: several tables are refused, and so is a folder that cannot be written.
  paradox::MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("d").ok());
  fs.SetContents("d/A.DB", clean);
  fs.SetContents("d/B.DB", clean);
  std::ostringstream out, err;
  rekasto::Io io{out, err, &fs};
  EXPECT_EQ(rekasto::RunCli({"verify", "--report", "r.html", "d/A.DB", "d/B.DB"}, io),
            rekasto::kExitFailed);
  EXPECT_EQ(err.str(), "rekasto: verify: --report writes the page of one table; 2 tables given\n");
  err.str("");
  EXPECT_EQ(rekasto::RunCli({"verify", "--report", "nowhere/r.html", "d/A.DB"}, io),
            rekasto::kExitFailed);
  EXPECT_EQ(err.str().rfind("rekasto: nowhere/r.html: cannot write the report: ", 0), 0u)
      << err.str();
}

// Pixels of each colour in a PNG, by ImageMagick's histogram ("#RRGGBB" -> count).
std::map<std::string, long> Colours(const std::string& png) {
  std::map<std::string, long> out;
  FILE* p = popen(("convert '" + png + "' -format %c histogram:info:- 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char line[256];
  while (fgets(line, sizeof line, p)) {
    long n = 0;
    char hex[16] = {};
    const char* h = strchr(line, '#');
    if (h && sscanf(line, " %ld:", &n) == 1 && sscanf(h, "%7s", hex) == 1) out[hex] += n;
  }
  pclose(p);
  return out;
}

// The page as a browser draws it: Debian's chromium, headless, takes a screenshot of
// the report of a clean table and of a damaged one; the damaged one's map shows the
// damaged (red) and orphan (yellow) blocks, in place of chained (green) ones.
TEST(CliReportRendered, HeadlessChromiumDrawsTheBlockStates) {
  if (std::system("command -v chromium >/dev/null 2>&1 && command -v convert >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "chromium or ImageMagick's convert not installed (scripts/install-deps.sh "
                    "installs them)";
  std::string tmp = (std::filesystem::temp_directory_path() / "rekasto-report-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmp.data()), nullptr);
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k5;
  s.blockSize = 1024;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 40}};
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 200; ++i)
    rows.push_back({int64_t(i), std::string("row ") + std::to_string(i)});
  std::map<std::string, std::map<std::string, long>> seen;
  for (const std::string name : {"clean", "damaged"}) {
    const std::string db = tmp + "/" + name + ".DB";
    ASSERT_TRUE(paradox::WriteTable(paradox::DefaultFileSystem(), db, s, rows).ok());
    if (name == "damaged") {
      auto bytes = paradox::DefaultFileSystem()->ReadFile(db, UINT64_MAX);
      ASSERT_TRUE(bytes.ok());
      const uint16_t n = paradox::DecodeU16(bytes->data() + 0x0C);
      t::SetAddDataSize(*bytes, 2, 7777);
      t::SetAddDataSize(*bytes, 3, 7777);
      t::SetNextBlock(*bytes, n - 1, 0);
      t::SetLastBlock(*bytes, n - 1);
      t::SetBlocksInUse(*bytes, n - 1);
      ASSERT_TRUE(
          paradox::DefaultFileSystem()->WriteFile(db, paradox::ByteSpan(*bytes), false).ok());
    }
    const std::string html = tmp + "/" + name + ".html", png = tmp + "/" + name + ".png";
    ASSERT_EQ(
        std::system(("'" REKASTO_EXE "' verify -q --report='" + html + "' '" + db + "' >/dev/null")
                        .c_str()) == 0,
        name == "clean");
    // No network for the page and none for the browser's own services either.
    const std::string shot =
        "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run "
        "--disable-background-networking --disable-component-update --window-size=1000,1400 "
        "--screenshot='" +
        png + "' 'file://" + html + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(shot.c_str()), 0) << shot;
    seen[name] = Colours(png);
    ASSERT_GT(seen[name]["#5CB85C"], 1000) << name << ": no chained cells drawn";
  }
  // One cell is 30x20 pixels, less its number; the legend's swatches are in both.
  EXPECT_GT(seen["damaged"]["#D9363E"] - seen["clean"]["#D9363E"], 2 * 400);
  EXPECT_GT(seen["damaged"]["#F5C542"] - seen["clean"]["#F5C542"], 400);
  EXPECT_LT(seen["damaged"]["#5CB85C"], seen["clean"]["#5CB85C"] - 2 * 400);
  std::filesystem::remove_all(tmp);
}

}  // namespace
