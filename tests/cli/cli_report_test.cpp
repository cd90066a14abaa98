// rekasto verify --report: the page stands alone (nothing fetched, no script), has one
// cell per block in the state the damage gives it, the chain's order, and one row per
// finding.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli.h"
#include "mutators.h"
#include "report.h"
#include "writer.h"

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
    size_t listed = p.order == "none" ? 0 : 1;
    for (size_t at = p.order.find("\xE2\x86\x92"); at != std::string::npos;
         at = p.order.find("\xE2\x86\x92", at + 1))
      ++listed;
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

}  // namespace
