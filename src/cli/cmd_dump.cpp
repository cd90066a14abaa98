// rekasto dump: the records of a table as CSV in UTF-8 (converted from the table's code page).
#include <ostream>

#include "blob.h"
#include "cli.h"
#include "codepage.h"
#include "family.h"
#include "reader.h"
#include "value.h"

namespace rekasto {

namespace {

const char* kUsage = "dump [--codepage N] TABLE";

int RunDump(const std::vector<std::string>& args, Io& io) {
  int codePage = -1;
  std::string table;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      io.out << "Usage: rekasto " << kUsage << "\n"
             << "Writes the records as CSV (UTF-8, a header line of field names, RFC 4180 quoting).\n"
                "  --codepage N  read text as code page N instead of the table's own\n"
                "                (437, 850, 852, 866, 1250, 1251, 1252)\n"
                "Memo texts are read from the .MB; other blobs show as <blob N bytes>.\n";
      return kExitOk;
    }
    if (a == "--codepage") {
      if (i + 1 >= args.size()) {
        Error(io, "--codepage needs a number");
        return kExitFailed;
      }
      const std::string& v = args[++i];
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0 || n > 65535 || !paradox::IsSupportedCodePage(uint16_t(n))) {
        Error(io, "--codepage: unsupported code page '" + v + "' (437, 850, 852, 866, 1250, 1251, 1252)");
        return kExitFailed;
      }
      codePage = int(n);
    } else if (a.size() > 1 && a[0] == '-') {
      Error(io, "dump: unknown option " + a);
      return kExitFailed;
    } else if (table.empty()) {
      table = a;
    } else {
      Error(io, "dump: one table at a time");
      return kExitFailed;
    }
  }
  if (table.empty()) {
    Error(io, "dump: no table given (usage: rekasto " + std::string(kUsage) + ")");
    return kExitFailed;
  }
  if (!CheckTablePath(table, io)) return kExitFailed;
  auto reader = paradox::TableReader::Open(io.fs, table);
  if (!reader.ok()) {
    Error(io, table + ": cannot read: " + reader.status().message());
    return kExitFailed;
  }
  const paradox::TableHeader& h = reader.value()->header();
  const uint16_t cp = codePage >= 0 ? uint16_t(codePage)
                      : h.hasExtension ? h.CodePage()
                                       : paradox::CodePageForSortOrder(h.fixed.sortOrder);
  std::unique_ptr<paradox::BlobFile> blobs;
  auto family = paradox::FindFamily(io.fs, table);
  if (family.ok() && !family->mb.empty()) {
    auto b = paradox::BlobFile::Open(io.fs, family->mb, h.EncryptionKey());
    if (b.ok()) blobs = std::move(b.value());
  }
  // Each line is built in one buffer and written in one call.
  std::string line;
  for (size_t i = 0; i < h.fields.size(); ++i) {
    if (i) line += ',';
    AppendCsvField(&line, paradox::ToUtf8(h.fields[i].name, cp));
  }
  line += '\n';
  io.out.write(line.data(), std::streamsize(line.size()));
  auto cursor = reader.value()->Records();
  uint64_t bad = 0;
  while (cursor.Next()) {
    auto values = cursor.Decode();
    if (!values.ok()) {
      ++bad;
      Error(io, table + ": record " + std::to_string(cursor.record().ordinal + 1) +
                    " skipped: " + values.status().message());
      continue;
    }
    line.clear();
    for (size_t i = 0; i < values->size(); ++i) {
      const paradox::Value& v = (*values)[i];
      std::string text;
      const auto* blob = std::get_if<paradox::BlobRef>(&v);
      const paradox::FieldType t = h.fields[i].type;
      if (blob && (t == paradox::FieldType::kMemo || t == paradox::FieldType::kFmtMemo)) {
        if (blob->InLeader()) {
          text = paradox::ToUtf8(std::string(blob->leader.begin(), blob->leader.begin() + blob->pointer.length), cp);
        } else if (blobs) {
          auto full = blobs->Read(*blob);
          text = full.ok() ? paradox::ToUtf8(std::string(full->begin(), full->end()), cp)
                           : "<blob unreadable: " + full.status().message() + ">";
        } else {
          text = "<blob " + std::to_string(blob->pointer.length) + " bytes; .MB missing>";
        }
        while (!text.empty() && text.back() == '\0') text.pop_back();
      } else {
        text = paradox::ValueToText(v, cp);
      }
      if (i) line += ',';
      AppendCsvField(&line, text);
    }
    line += '\n';
    io.out.write(line.data(), std::streamsize(line.size()));
  }
  if (!cursor.status().ok()) {
    Error(io, table + ": reading stopped: " + cursor.status().message());
    return kExitFailed;
  }
  return bad ? kExitProblems : kExitOk;
}

}  // namespace

REKASTO_COMMAND({"dump", kUsage, "records as CSV in UTF-8 (--codepage N to override)", &RunDump});

}  // namespace rekasto
