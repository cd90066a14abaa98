// rekasto dump: the records of a table as CSV (RFC 4180) or JSON lines, in UTF-8
// converted from the table's code page.
#include <cmath>
#include <ostream>

#include "cli.h"
#include "dump_lines.h"
#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/family.h"
#include "paradox/format/reader.h"
#include "paradox/format/value.h"
#include "table_out.h"

namespace rekasto {

namespace {

const char* kUsage = "dump [--format csv|json] [--codepage N] [--null TEXT] [--blobs DIR] TABLE";

const char* kHelp =
    "Writes the records in UTF-8, converted from the table's code page.\n"
    "  --format csv   CSV per RFC 4180 with a header line of field names (the default)\n"
    "  --format json  JSON lines: one object per record, field name to typed value\n"
    "                 (numbers, true/false, text, null; bytes as {\"base64\": ...})\n"
    "  --codepage N   read text as code page N (a number such as 865, or an iconv\n"
    "                 name such as CP865 or HP-ROMAN8) instead of the table's own\n"
    "  --null TEXT    CSV: write TEXT for a blank value (default: an empty field)\n"
    "  --blobs DIR    write each memo, formatted memo, blob, OLE and graphic value to\n"
    "                 a file in DIR named TABLE_RECORD_FIELDNUMBER_FIELD.EXT; the output\n"
    "                 holds the file name (JSON: {\"file\": ...})\n"
    "Dates, times and timestamps are ISO 8601 (years before 1 as -0001); BCD values\n"
    "are exact decimals; bytes (Y, B, F, O, G) show as hex in CSV.\n";

struct DumpOptions {
  bool json = false;
  std::optional<paradox::Charset> charset;
  std::string nullText;
  std::string blobDir;
  std::string table;
};

// The exit code when the command ends before the dump.
std::optional<int> ParseArgs(const std::vector<std::string>& args, DumpOptions* o, Io& io) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine(
          "dump", kUsage, kHelp, args,
          {{"format", 0, true}, {"codepage", 0, true}, {"null", 0, true}, {"blobs", 0, true}},
          &parsed, io))
    return done;
  for (const auto& [name, value] : parsed.options) {
    if (name == "codepage") {
      if (!ParseCodepageOption(value, &o->charset, io)) return kExitFailed;
    } else if (name == "format") {
      if (value != "csv" && value != "json") {
        Error(io, "dump: --format: '" + value + "' is neither csv nor json");
        return kExitFailed;
      }
      o->json = value == "json";
    } else if (name == "null") {
      o->nullText = value;
    } else if (name == "blobs") {
      o->blobDir = value;
      if (o->blobDir.empty()) {
        Error(io, "dump: --blobs needs a folder");
        return kExitFailed;
      }
    }
  }
  if (parsed.operands.size() > 1) {
    Error(io, "dump: one table at a time");
    return kExitFailed;
  }
  if (parsed.operands.empty()) {
    UsageError(io, "dump", kUsage, "no table given");
    return kExitFailed;
  }
  o->table = parsed.operands[0];
  return std::nullopt;
}

int RunDump(const std::vector<std::string>& args, Io& io) {
  DumpOptions o;
  if (std::optional<int> done = ParseArgs(args, &o, io)) return *done;
  if (!CheckTablePath(o.table, io)) return kExitFailed;
  auto reader = paradox::TableReader::Open(io.fs, o.table);
  if (!reader.ok()) {
    Error(io, o.table + ": cannot read: " + reader.status().message());
    return kExitFailed;
  }
  const paradox::TableHeader& h = reader.value()->header();
  paradox::Charset charset = ChooseCharset(h, o.charset, o.table, io);
  std::unique_ptr<paradox::BlobFile> blobs;
  auto family = paradox::FindFamily(io.fs, o.table);
  if (family.ok() && !family->mb.empty()) {
    auto b = paradox::BlobFile::Open(io.fs, family->mb, h.EncryptionKey());
    if (b.ok()) blobs = std::move(b.value());
  }
  if (!o.blobDir.empty() && !io.fs->IsDirectory(o.blobDir)) {
    if (paradox::Status st = io.fs->MakeDir(o.blobDir); !st.ok()) {
      Error(io, o.blobDir + ": cannot make the blob folder: " + st.message());
      return kExitFailed;
    }
  }
  if (blobs) blobs->KeepLastUnit();  // dump reads the blobs in record order
  DumpLines lines(h, charset, blobs.get(),
                  {o.json, o.nullText, o.blobDir, paradox::PathStem(o.table)}, io.fs);
  // Lines go out through one buffer, written when it holds 256 KiB, and before each
  // error so that the two streams keep their order on a terminal.
  std::string buf = lines.HeaderLine();
  auto flush = [&] {
    io.out.write(buf.data(), std::streamsize(buf.size()));
    buf.clear();
  };
  auto cursor = reader.value()->Records();
  uint64_t bad = 0;
  std::vector<std::string> problems;
  std::string error;
  while (cursor.Next()) {
    const uint64_t ordinal = cursor.record().ordinal;
    const size_t lineStart = buf.size();
    if (!lines.Append(cursor.record().bytes, ordinal, &buf, &problems, &error)) {
      ++bad;
      flush();
      Error(io, o.table + ": record " + std::to_string(ordinal + 1) + " skipped: " + error);
      continue;
    }
    if (!problems.empty()) {
      // The problems, then the line with the blanks they left.
      const std::string line = buf.substr(lineStart);
      buf.resize(lineStart);
      flush();
      for (const std::string& p : problems) {
        ++bad;
        Error(io, o.table + ": " + p);
      }
      problems.clear();
      buf = line;
    }
    if (buf.size() >= (256u << 10)) flush();
  }
  flush();
  if (!cursor.status().ok()) {
    Error(io, o.table + ": reading stopped: " + cursor.status().message());
    return kExitFailed;
  }
  return bad ? kExitProblems : kExitOk;
}

}  // namespace

REKASTO_COMMAND({"dump", kUsage, "records as CSV or JSON lines in UTF-8, blobs to files",
                 &RunDump});

}  // namespace rekasto
