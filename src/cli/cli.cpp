// Dispatcher, help text and the helpers shared by the subcommands.
#include "cli.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

#include "paradox/format/format.h"
#include "paradox/format/table_evidence.h"

namespace rekasto {

namespace {

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> registry;
  return registry;
}

void PrintHelp(std::ostream& os) {
  os << "Usage: rekasto COMMAND [OPTIONS] ARGS...\n"
        "       rekasto --help | --version\n"
        "Checks, describes and dumps Paradox tables (.DB with .PX, .MB, .Xnn/.Ynn, .VAL).\n\n"
        "Commands:\n";
  for (const Command& c : Commands()) {
    std::string u = c.usage;
    os << "  " << u;
    if (u.size() < 44)
      os << std::string(44 - u.size(), ' ');
    else
      os << "\n" << std::string(46, ' ');
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

const char* Version() {
  return REKASTO_VERSION;
}

void Error(Io& io, const std::string& message) {
  io.err << "rekasto: " << message << "\n";
}

void UsageError(Io& io, const std::string& command, const char* usage, const std::string& what) {
  Error(io, command + ": " + what + " (usage: rekasto " + usage + ")");
}

bool ParseNumber(const std::string& value, size_t maxDigits, const std::string& option,
                 size_t* number, Io& io) {
  // Digits only: a sign or trailing letters are no number.
  if (value.empty() || value.size() > maxDigits ||
      value.find_first_not_of("0123456789") != std::string::npos) {
    Error(io, "--" + option + " needs a number, not '" + value + "'");
    return false;
  }
  std::from_chars(value.data(), value.data() + value.size(), *number);
  return true;
}

std::string OnTable(const std::string& path, const std::string& message) {
  return path.empty() ? message : path + ": " + message;
}

std::function<void(int, int)> TerminalProgress(Io& io, const std::string& doing,
                                               const std::string& table) {
  if (!io.errIsTerminal) return {};
  const std::string label = doing + " " + paradox::PathBaseName(table) + ": ";
  return [&io, label, last = -1](int phase, int percent) mutable {
    if (phase != 8 || percent == last) return;
    last = percent;
    if (percent >= 100)
      io.err << "\r\033[K" << std::flush;  // the result lines follow on a clean line
    else
      io.err << "\r" << label << percent << " %" << std::flush;
  };
}

bool ParsedArgs::Has(const std::string& name) const {
  return Value(name) != nullptr;
}

const std::string* ParsedArgs::Value(const std::string& name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it)
    if (it->first == name) return &it->second;
  return nullptr;
}

bool ParseOptions(const std::string& command, const std::vector<std::string>& args,
                  const std::vector<Option>& options, ParsedArgs* parsed, Io& io) {
  // getopt_long permutes argv in place, so it works on a copy.
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back("rekasto " + command);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Leading ':' tells a missing value (':') from an unknown option ('?').
  std::string shortOptions = ":";
  std::vector<struct option> longOptions;
  for (size_t i = 0; i < options.size(); ++i) {
    const Option& o = options[i];
    if (o.shortName) {
      shortOptions += o.shortName;
      if (o.takesValue) shortOptions += ':';
    }
    // Values past 255 stand for long-only options; a short one returns its letter.
    longOptions.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr,
                           o.shortName ? o.shortName : int(256 + i)});
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  auto byReturn = [&](int c) -> const Option* {
    for (size_t i = 0; i < options.size(); ++i)
      if ((options[i].shortName && options[i].shortName == c) || int(256 + i) == c)
        return &options[i];
    return nullptr;
  };
  auto longName = [](const Option& o) { return std::string("--") + o.name; };
  optind = 0;  // 0, not 1: glibc then also forgets its place inside a group of short options
  opterr = 0;
  const int argc = int(argv.size() - 1);
  int c;
  while ((c = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr)) !=
         -1) {
    const Option* o = byReturn(c == '?' || c == ':' ? optopt : c);
    // After a fault in a long option getopt has stepped past it: argv[optind - 1] is what
    // was written. In a group of short options it may not have, so optopt names those.
    const std::string element = optind > 0 ? argv[optind - 1] : "";
    const bool wasLong = element.rfind("--", 0) == 0;
    if (c == ':') {
      Error(io, command + ": option '" +
                    (wasLong || !o->shortName ? longName(*o) : std::string("-") + o->shortName) +
                    "' needs a value");
      return false;
    }
    if (c == '?' && o) {  // a value given to a long option that takes none
      Error(io, command + ": option '" + longName(*o) + "' takes no value");
      return false;
    }
    if (c == '?') {
      std::string bad =
          optopt ? std::string("-") + char(optopt) : element.substr(0, element.find('='));
      std::vector<std::string> matches;
      if (!optopt && bad.size() > 2)
        for (const Option& each : options)
          if (std::string(each.name).rfind(bad.substr(2), 0) == 0)
            matches.push_back(longName(each));
      if (matches.size() > 1) {
        std::string list;
        for (const std::string& m : matches) list += (list.empty() ? "" : ", ") + m;
        Error(io, command + ": ambiguous option '" + bad + "' (" + list + ")");
      } else {
        Error(io, command + ": unknown option '" + bad + "' (rekasto " + command +
                      " --help lists the options)");
      }
      return false;
    }
    parsed->options.emplace_back(o->name, o->takesValue && optarg ? optarg : "");
  }
  for (int i = optind; i < argc; ++i) parsed->operands.push_back(argv[i]);
  return true;
}

std::optional<int> ParseCommandLine(const std::string& command, const char* usage, const char* help,
                                    const std::vector<std::string>& args,
                                    const std::vector<Option>& options, ParsedArgs* parsed,
                                    Io& io) {
  std::vector<Option> all{{"help", 'h', false}};
  all.insert(all.end(), options.begin(), options.end());
  if (!ParseOptions(command, args, all, parsed, io)) return kExitFailed;
  if (!parsed->Has("help")) return std::nullopt;
  io.out << "Usage: rekasto " << usage << "\n" << help;
  return kExitOk;
}

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
  if (name == "--version") {
    io.out << "rekasto " << Version() << "\n";
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
  const bool levelKnown =
      h.DecodeFrom(head).ok() && paradox::LevelFromVersionId(h.fileVersionId, &level);
  const bool otherMember =
      paradox::AsciiUpper(paradox::PathExtension(path)) != ".DB" && levelKnown &&
      (paradox::IsIndexFileType(h.fileType) || paradox::IsSecondaryDataType(h.fileType));
  // A damaged header is no reason to turn the table away: the commands say what it needs.
  if ((!levelKnown || (h.fileType != 0 && h.fileType != 2 && !otherMember)) &&
      !paradox::ParadoxTableEvidence(fs, path).empty())
    return Status::OK();
  if (!levelKnown)
    return Status::InvalidArgument("not a Paradox table (unknown level byte " +
                                   std::to_string(h.fileVersionId) + ")");
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
  if (!st.ok()) Error(io, OnTable(path, st.message()));
  return st.ok();
}

std::string ValidUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += char(c);
      ++i;
      continue;
    }
    // Copy a well-formed sequence; anything else is one Latin-1 byte (U+0080..U+00FF).
    const size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size() && c >= 0xC2 && c <= 0xF4;
    for (size_t k = 1; ok && k < len; ++k)
      ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok && len >= 3) {
      // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8 either.
      const unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0) && !(c == 0xF0 && c1 < 0x90) &&
           !(c == 0xF4 && c1 >= 0x90);
    }
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
      ++i;
    }
  }
  return out;
}

std::string JsonString(const std::string& s) {
  return nlohmann::json(ValidUtf8(s)).dump();
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
