// TUVerifyTable's work: the verifier's findings and verdict, and the findings written as
// a Paradox table in the table's repair folder.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Facts.h"
#include "Progress.h"
#include "paradox/format/codepage.h"
#include "paradox/format/writer.h"
#include "paradox/repair/rebuild.h"
#include "paradox/verify/verifier.h"

namespace tutil {

namespace {

namespace fs = std::filesystem;
using paradox::Value;

std::string Clip(const std::string& text, size_t length) {
  return text.substr(0, std::min(text.size(), length));
}

paradox::TableSchema FindingsSchema(uint16_t codePage, const std::string& name) {
  using paradox::FieldType;
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k5;
  s.blockSize = 4096;
  s.codePage = paradox::IsSupportedCodePage(codePage) ? codePage : 1252;
  s.tableName = name;
  s.fields = {
      {"Nr", FieldType::kLong, 0},        {"Severity", FieldType::kAlpha, 8},
      {"Check", FieldType::kAlpha, 40},   {"File", FieldType::kAlpha, 80},
      {"Block", FieldType::kLong, 0},     {"Record", FieldType::kLong, 0},
      {"Offset", FieldType::kNumber, 0},  {"Field", FieldType::kAlpha, 32},
      {"Detail", FieldType::kAlpha, 255},
  };
  return s;
}

std::vector<std::vector<Value>> FindingsRows(const paradox::VerifyReport& report) {
  std::vector<std::vector<Value>> rows;
  int64_t nr = 0;
  for (const paradox::Finding& f : report.findings) {
    std::vector<Value> row;
    row.emplace_back(++nr);
    row.emplace_back(std::string(paradox::SeverityName(f.severity)));
    row.emplace_back(Clip(f.check, 40));
    row.emplace_back(Clip(f.where.file, 80));
    row.emplace_back(f.where.block ? Value(int64_t(f.where.block)) : Value());
    // Records are numbered from 1 here, as a user counts them.
    row.emplace_back(f.where.record >= 0 ? Value(int64_t(f.where.record + 1)) : Value());
    row.emplace_back(f.where.offset ? Value(double(*f.where.offset)) : Value());
    row.emplace_back(Clip(f.field, 32));
    row.emplace_back(Clip(f.detail, 255));
    rows.push_back(std::move(row));
  }
  // The last row sums up, so the table alone tells the verdict.
  std::string summary = "verdict " + std::to_string(int(report.verdict)) + " (" +
                        paradox::VerdictName(report.verdict) +
                        "): " + std::to_string(report.errors) + " errors, " +
                        std::to_string(report.warnings) + " warnings";
  if (report.suppressed)
    summary += ", " + std::to_string(report.suppressed) + " findings over the budget not listed";
  rows.push_back({Value(++nr), Value(std::string("summary")), Value(std::string("verdict")),
                  Value(Clip(paradox::PathBaseName(report.table), 80)), Value(), Value(), Value(),
                  Value(), Value(Clip(summary, 255))});
  return rows;
}

// Where findings go when the folder beside the table cannot be written (read-only media).
std::string StateFolder(const std::string& tablePath) {
  std::string base;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.local/state";
  else
    return {};
  std::error_code ec;
  const std::string folder =
      fs::absolute(paradox::PathDirName(tablePath).empty() ? "." : paradox::PathDirName(tablePath),
                   ec)
          .lexically_normal()
          .string();
  // FNV-1a of the folder keeps tables of the same name in different folders apart.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : folder) h = (h ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return base + "/qel-db-rekasto/repair/" + paradox::PathStem(tablePath) + "-" + hex;
}

paradox::Status WriteInto(const std::string& folder, const std::string& name,
                          const paradox::TableSchema& schema,
                          const std::vector<std::vector<Value>>& rows) {
  paradox::FileSystem* fsys = paradox::DefaultFileSystem();
  // Written under a scratch name and renamed, so a reader never meets half a table.
  const std::string scratch = paradox::PathJoin(folder, "~" + paradox::PathStem(name) + ".DB");
  paradox::Status st = paradox::WriteTable(fsys, scratch, schema, rows);
  if (st.ok()) st = fsys->Rename(scratch, paradox::PathJoin(folder, name));
  if (!st.ok()) (void)fsys->Remove(scratch);
  return st;
}

}  // namespace

VerifyDone Verify(const std::string& path, const std::string& findingsName, const char* password) {
  CheckLooksLikeTable(path);
  ProgressRelay relay(paradox::PathBaseName(path));
  paradox::VerifyOptions options;
  options.progress = [&relay](int phase, int percent) { relay(phase, percent); };
  relay.Begin();
  const paradox::VerifyReport report = paradox::VerifyTable(path, options);

  const paradox::TableSchema schema = FindingsSchema(report.summary.codePage, findingsName);
  const auto rows = FindingsRows(report);
  paradox::FileSystem* fsys = paradox::DefaultFileSystem();
  // Beside the table's real files (through a symbolic link), where its rebuilds put theirs.
  const auto real = fsys->ResolveLink(path);
  const std::string root = paradox::RepairFolderRoot(real.ok() ? real.value() : path);
  VerifyDone done;
  done.verdict = static_cast<int32_t>(report.verdict);
  done.errors = report.errors;
  done.warnings = report.warnings;
  done.unknownLevel = report.Has("header.version");
  done.findingsPath = paradox::PathJoin(root, findingsName);
  paradox::Status besideTable = fsys->MakeDir(root);
  if (besideTable.ok()) besideTable = WriteInto(root, findingsName, schema, rows);
  if (!besideTable.ok()) {
    const std::string state = StateFolder(path);
    std::error_code ec;
    if (state.empty() || (!fs::create_directories(state, ec) && ec)) {
      FailWith(besideTable, root, true);
    }
    paradox::Status st = WriteInto(state, findingsName, schema, rows);
    done.findingsPath = paradox::PathJoin(state, findingsName);
    if (!st.ok()) FailWith(st, done.findingsPath, true);
  }
  return done;
}

}  // namespace tutil
