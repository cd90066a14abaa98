// Dispatcher, help text and the helpers shared by the subcommands.
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

#include "format.h"

namespace rekasto {

namespace {

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> registry;
  return registry;
}

void PrintHelp(std::ostream& os) {
  os << "Usage: rekasto COMMAND [OPTIONS] ARGS...\n"
        "Checks, describes and dumps Paradox tables (.DB with .PX, .MB, .Xnn/.Ynn, .VAL).\n\n"
        "Commands:\n";
  for (const Command& c : Commands()) {
    std::string u = c.usage;
    os << "  " << u;
    if (u.size() < 44) os << std::string(44 - u.size(), ' ');
    else os << "\n" << std::string(46, ' ');
    os << c.summary << "\n";
  }
  os << "\nrekasto COMMAND --help shows the options of one command.\n"
        "Exit codes: 0 done (verify: clean), 1 problems found, 2 could not check or bad usage.\n";
}

}  // namespace

bool RegisterCommand(const Command& command) {
  Registry()[command.name] = command;
  return true;
}

std::vector<Command> Commands() {
  std::vector<Command> all;
  for (const auto& [name, c] : Registry()) all.push_back(c);
  return all;
}

void Error(Io& io, const std::string& message) { io.err << "rekasto: " << message << "\n"; }

int RunCli(const std::vector<std::string>& args, Io& io) {
  if (args.empty()) {
    PrintHelp(io.err);
    return kExitFailed;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintHelp(io.out);
    return kExitOk;
  }
  auto it = Registry().find(name);
  if (it == Registry().end()) {
    Error(io, "unknown command '" + name + "' (rekasto --help lists the commands)");
    return kExitFailed;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  return it->second.run(rest, io);
}

paradox::Status TablePathStatus(const std::string& path, paradox::FileSystem* fs) {
  using paradox::Status;
  if (path.empty()) return Status::InvalidArgument("empty table path");
  if (fs->IsDirectory(path)) return Status::InvalidArgument("is a folder, not a table file");
  auto file = fs->Open(path, paradox::OpenMode::kRead);
  if (!file.ok()) {
    const Status& st = file.status();
    if (st.IsNotFound()) return Status::NotFound("no such file");
    if (st.IsNoAccess()) return Status::IOError("permission denied", st.error_number());
    return Status::IOError("cannot open: " + st.message(), st.error_number());
  }
  auto size = file.value()->Size();
  if (!size.ok())
    return Status::IOError("cannot read: " + size.status().message(), size.status().error_number());
  paradox::Bytes head(std::min<uint64_t>(*size, paradox::FixedHeader::kEncodedLength));
  size_t got = 0;
  if (Status st = file.value()->ReadAt(0, head, &got); !st.ok())
    return Status::IOError("cannot read: " + st.message(), st.error_number());
  if (got < paradox::FixedHeader::kEncodedLength)
    return Status::InvalidArgument("not a Paradox table (only " + std::to_string(got) + " bytes)");
  paradox::FixedHeader h;
  paradox::TableLevel level;
  if (!h.DecodeFrom(head).ok() || !paradox::LevelFromVersionId(h.fileVersionId, &level))
    return Status::InvalidArgument("not a Paradox table (unknown level byte " +
                                   std::to_string(head[0x39]) + ")");
  if (h.fileType != 0 && h.fileType != 2) {
    return Status::InvalidArgument(
        "not a Paradox table file (file type " + std::to_string(h.fileType) +
        (paradox::IsIndexFileType(h.fileType) || paradox::IsSecondaryDataType(h.fileType)
             ? ", an index file; give the .DB"
             : "") +
        ")");
  }
  return Status::OK();
}

bool CheckTablePath(const std::string& path, Io& io) {
  paradox::Status st = TablePathStatus(path, io.fs);
  if (!st.ok()) Error(io, path.empty() ? st.message() : path + ": " + st.message());
  return st.ok();
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  size_t i = 0;
  auto hex = [&](unsigned cp) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", cp);
    out += buf;
  };
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') { out += "\\\""; ++i; continue; }
    if (c == '\\') { out += "\\\\"; ++i; continue; }
    if (c == '\n') { out += "\\n"; ++i; continue; }
    if (c == '\r') { out += "\\r"; ++i; continue; }
    if (c == '\t') { out += "\\t"; ++i; continue; }
    if (c < 0x20) { hex(c); ++i; continue; }
    if (c < 0x80) { out += char(c); ++i; continue; }
    // Copy a well-formed UTF-8 sequence; anything else is one Latin-1 byte.
    size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size() && c >= 0xC2 && c <= 0xF4;
    for (size_t k = 1; ok && k < len; ++k)
      ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      hex(c);
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string CsvField(const std::string& s) {
  std::string out;
  AppendCsvField(&out, s);
  return out;
}

void AppendCsvField(std::string* out, std::string_view s) {
  // A plain loop without branches (it vectorises): find_first_of with a set calls
  // memchr once per character.
  bool quote = false;
  for (char c : s) quote |= (c == ',') | (c == '"') | (c == '\r') | (c == '\n');
  if (!quote) {
    out->append(s);
    return;
  }
  *out += '"';
  for (char c : s) {
    if (c == '"') *out += '"';
    *out += c;
  }
  *out += '"';
}

}  // namespace rekasto
