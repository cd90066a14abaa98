// The page is plain HTML and CSS: it opens from a mail attachment or a USB stick, in any
// browser, offline, with scripts off.
#include "report.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "cli.h"
#include "paradox/format/chain.h"
#include "paradox/format/reader.h"

namespace rekasto {

namespace {

std::string Esc(const std::string& raw) {
  const std::string s = ValidUtf8(raw);
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string LevelText(int level) {
  if (level == 35) return "3.5";
  if (level == 3) return "3.0";
  return level ? std::to_string(level) : "unknown";
}

const char* kStyle =
    R"(body{font:14px/1.45 system-ui,sans-serif;margin:1.5em 2em;color:#1d1d1f;background:#fff}
h1{font-size:1.5em;margin:0 0 .2em}h2{font-size:1.15em;margin:1.6em 0 .5em}
.verdict{font-size:1.1em;padding:.4em .8em;border-radius:4px;display:inline-block}
.v0{background:#dff5df}.v1{background:#ffe9c2}.v2,.v3,.v4{background:#ffd6d6}
table{border-collapse:collapse}td,th{border:1px solid #c8c8cc;padding:2px 8px;text-align:left;vertical-align:top}
th{background:#f2f2f4}.facts th{font-weight:normal;color:#555}
.map{display:flex;flex-wrap:wrap;gap:2px;margin:.5em 0}
.b{width:30px;height:20px;font-size:10px;line-height:20px;text-align:center;border-radius:2px;box-sizing:border-box}
.small .b{width:8px;height:8px;font-size:0;border-radius:1px}
.chain{background:#5cb85c;color:#fff}.free{background:#d9d9de}.orphan{background:#f5c542}
.damaged{background:#d9363e;color:#fff}.cut-off{background:#fff;border:1px dashed #d9363e}
.legend span.b{display:inline-block;vertical-align:middle;margin-right:.3em}.legend li{display:inline-block;margin-right:1.5em}
.legend{padding:0}.error{color:#b0141c}.warning{color:#8a5a00}.order{font-family:monospace}
footer{margin-top:2em;color:#777;font-size:.9em})";

// The page's head, the table's name and path, and the verdict line.
void AppendHead(const std::string& table, const paradox::VerifyReport& report, std::string* out) {
  std::string& o = *out;
  o += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  o += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  o += "<title>" + Esc(paradox::PathBaseName(table)) + " \xE2\x80\x94 rekasto report</title>\n";
  o += std::string("<style>\n") + kStyle + "\n</style>\n</head>\n<body>\n";
  o += "<h1>" + Esc(paradox::PathBaseName(table)) + "</h1>\n<p>" + Esc(table) + "</p>\n";
  const int v = int(report.verdict);
  o += "<p class=\"verdict v" + std::to_string(v) + "\">Verdict " + std::to_string(v) + " (" +
       paradox::VerdictName(report.verdict) + "): " + std::to_string(report.errors) + " errors, " +
       std::to_string(report.warnings) + " warnings</p>\n";
}

// The table's facts, as far as its header could be read, and its family.
void AppendFacts(const paradox::TableSummary& s, std::string* out) {
  std::string& o = *out;
  o += "<h2>Table</h2>\n<table class=\"facts\">\n";
  auto fact = [&](const std::string& name, const std::string& value) {
    o += "<tr><th>" + name + "</th><td>" + Esc(value) + "</td></tr>\n";
  };
  if (s.headerRead) {
    fact("Type", s.keyFields ? "keyed (" + std::to_string(s.keyFields) +
                                   (s.keyFields == 1 ? " key field)" : " key fields)")
                             : std::string("unkeyed"));
    fact("Level", LevelText(s.level));
    fact("Block size", std::to_string(s.blockSize) + " bytes");
    fact("Record size",
         std::to_string(s.recordSize) + " bytes, " + std::to_string(s.numFields) + " fields");
    fact("Records", std::to_string(s.declaredRecords) + " in the header, " +
                        std::to_string(s.countedRecords) + " in the block chain");
    fact("Blocks", std::to_string(s.fileBlocks) + " in the header, " +
                       std::to_string(s.chainBlocks) + " chained, " + std::to_string(s.freeBlocks) +
                       " free");
    fact("Code page", s.codePage ? std::to_string(s.codePage) : "not stored");
    fact("Sort order", s.sortOrder.empty() ? "-" : s.sortOrder);
    fact("Encrypted", s.encrypted ? "yes" : "no");
  } else {
    fact("Header", "could not be read");
  }
  std::string members;
  for (const std::string& m : s.members) members += (members.empty() ? "" : " ") + m;
  fact("Family", members.empty() ? "-" : members);
  o += "</table>\n";
}

// What the cells mean, with how many blocks each state has.
void AppendLegend(const BlockMap& map, std::string* out) {
  std::string& o = *out;
  std::map<BlockCell::State, size_t> count;
  for (const BlockCell& c : map.cells) ++count[c.state];
  o += "<p>One cell per block of the .DB, in file order; the number in a chained block is its "
       "place in the "
       "chain" +
       std::string(map.chainBroken ? " (the chain breaks off: the walk stopped at a bad link)"
                                   : "") +
       ". Point at a cell for its details.</p>\n<ul class=\"legend\">\n";
  const std::pair<BlockCell::State, const char*> legend[] = {
      {BlockCell::State::kChain, "in the chain"},
      {BlockCell::State::kFree, "free"},
      {BlockCell::State::kOrphan, "orphan (in neither list)"},
      {BlockCell::State::kDamaged, "damaged"},
      {BlockCell::State::kCutOff, "cut off (counted, not in the file)"}};
  for (const auto& [state, text] : legend)
    o += std::string("<li><span class=\"b ") + BlockStateName(state) + "\"></span>" + text + ": " +
         std::to_string(count[state]) + "</li>\n";
  o += "</ul>\n";
}

// One cell per block, its details in the title.
void AppendCells(const BlockMap& map, std::string* out) {
  std::string& o = *out;
  o += "<div class=\"map" + std::string(map.cells.size() > 2000 ? " small" : "") + "\">\n";
  for (const BlockCell& c : map.cells) {
    std::string title = "block " + std::to_string(c.block) + ": " + BlockStateName(c.state);
    if (c.chainPosition > 0)
      title += ", place " + std::to_string(c.chainPosition) + " in the chain";
    if (c.records >= 0 && c.state != BlockCell::State::kCutOff)
      title += ", " + std::to_string(c.records) + " records";
    o += std::string("<span class=\"b ") + BlockStateName(c.state) + "\" title=\"" + title + "\">" +
         (c.chainPosition > 0 ? std::to_string(c.chainPosition) : "") + "</span>";
  }
  o += "\n</div>\n";
}

// The block numbers of the chain in its order.
void AppendChainOrder(const BlockMap& map, std::string* out) {
  std::string& o = *out;
  o += "<p>Chain order (block numbers): <span class=\"order\">";
  size_t shown = 0;
  for (const BlockCell& c : map.cells)
    if (c.chainPosition > 0) ++shown;
  std::vector<uint32_t> order(shown);
  for (const BlockCell& c : map.cells)
    if (c.chainPosition > 0 && size_t(c.chainPosition) <= order.size())
      order[c.chainPosition - 1] = c.block;
  // Runs of consecutive blocks as one "a-b" (an en dash): a healthy chain is one run.
  for (size_t i = 0; i < order.size();) {
    size_t j = i;
    while (j + 1 < order.size() && order[j + 1] == order[j] + 1) ++j;
    o += (i ? " \xE2\x86\x92 " : "") + std::to_string(order[i]);
    if (j > i) o += "\xE2\x80\x93" + std::to_string(order[j]);
    i = j + 1;
  }
  if (order.empty()) o += "none";
  o += "</span></p>\n";
}

void AppendBlockMap(const BlockMap& map, std::string* out) {
  *out += "<h2>Block map</h2>\n";
  if (!map.problem.empty()) {
    *out += "<p>" + Esc(map.problem) + "</p>\n";
    return;
  }
  AppendLegend(map, out);
  AppendCells(map, out);
  AppendChainOrder(map, out);
}

void AppendFindings(const paradox::VerifyReport& report, std::string* out) {
  std::string& o = *out;
  o += "<h2>Findings</h2>\n";
  if (report.findings.empty()) {
    o += "<p>None.</p>\n";
    return;
  }
  o += "<table "
       "class=\"findings\">\n<tr><th>Severity</th><th>Check</th><th>File</th><th>Block</"
       "th><th>Record</th>"
       "<th>Field</th><th>Detail</th></tr>\n";
  for (const paradox::Finding& f : report.findings) {
    const char* sev = paradox::SeverityName(f.severity);
    o += std::string("<tr class=\"") + sev + "\"><td>" + sev + "</td><td>" + Esc(f.check) +
         "</td><td>" + Esc(paradox::PathBaseName(f.where.file)) + "</td><td>" +
         (f.where.block ? std::to_string(f.where.block) : "") + "</td><td>" +
         (f.where.record >= 0 ? std::to_string(f.where.record + 1) : "") + "</td><td>" +
         Esc(f.field) + "</td><td>" + Esc(f.detail) + "</td></tr>\n";
  }
  o += "</table>\n";
  if (report.suppressed)
    o += "<p>" + std::to_string(report.suppressed) +
         " more findings not listed (--max-findings).</p>\n";
}

}  // namespace

const char* BlockStateName(BlockCell::State s) {
  switch (s) {
    case BlockCell::State::kChain:
      return "chain";
    case BlockCell::State::kFree:
      return "free";
    case BlockCell::State::kOrphan:
      return "orphan";
    case BlockCell::State::kDamaged:
      return "damaged";
    case BlockCell::State::kCutOff:
      return "cut-off";
  }
  return "";
}

BlockMap MapBlocks(paradox::FileSystem* fs, const std::string& path,
                   const paradox::VerifyReport& report) {
  BlockMap map;
  auto header = paradox::ReadHeader(fs, path);
  auto file = fs->Open(path, paradox::OpenMode::kRead);
  auto size = file.ok() ? file.value()->Size() : paradox::Result<uint64_t>(file.status());
  if (!header.ok() || !size.ok()) {
    map.problem =
        "the blocks cannot be read: " + (header.ok() ? size.status() : header.status()).message();
    return map;
  }
  const paradox::TableHeader& h = header.value();
  if (h.BlockSize() == 0 || h.fixed.headerSize == 0 || h.fixed.recordSize == 0) {
    map.problem = "the header gives no usable block layout";
    return map;
  }
  paradox::BlockLists lists;
  if (paradox::Status st = paradox::WalkBlockLists(file.value().get(), h, *size, &lists);
      !st.ok()) {
    map.problem = "the blocks cannot be read: " + st.message();
    return map;
  }
  map.chainBroken = lists.chainBroken;
  // Blocks an error of the .DB names.
  std::map<uint32_t, bool> named;
  const std::string db = paradox::AsciiUpper(paradox::PathBaseName(path));
  for (const paradox::Finding& f : report.findings)
    if (f.severity == paradox::Severity::kError && f.where.block > 0 &&
        paradox::AsciiUpper(paradox::PathBaseName(f.where.file)) == db)
      named[f.where.block] = true;
  std::vector<int> position(lists.presentBlocks + 1, -1);
  for (size_t i = 0; i < lists.chain.size(); ++i)
    if (lists.chain[i] < position.size()) position[lists.chain[i]] = int(i + 1);
  const uint32_t last = std::max({lists.fileBlocks, lists.physicalBlocks, lists.presentBlocks});
  for (uint32_t k = 1; k <= last; ++k) {
    BlockCell c;
    c.block = k;
    if (k > lists.presentBlocks) {
      c.state = BlockCell::State::kCutOff;
    } else {
      const uint8_t owner = k < lists.owner.size() ? lists.owner[k] : 0;
      c.chainPosition = position[k];
      c.records = lists.RecordsIn(k);
      c.state = owner == 1   ? BlockCell::State::kChain
                : owner == 2 ? BlockCell::State::kFree
                             : BlockCell::State::kOrphan;
      // An orphan stays one (where records may lie that the chain lost); a block of a
      // list that an error names is damaged.
      if (owner != 0 && (named.count(k) || (owner == 1 && c.records < 0)))
        c.state = BlockCell::State::kDamaged;
    }
    map.cells.push_back(c);
  }
  return map;
}

std::string HtmlReport(const std::string& table, const paradox::VerifyReport& report,
                       const BlockMap& map) {
  std::string o;
  AppendHead(table, report, &o);
  AppendFacts(report.summary, &o);
  AppendBlockMap(map, &o);
  AppendFindings(report, &o);
  o += std::string("<footer>rekasto ") + Version() + "</footer>\n</body>\n</html>\n";
  return o;
}

}  // namespace rekasto
