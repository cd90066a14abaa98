// The rekasto command-line tool: subcommand registry and the helpers the commands
// share. A subcommand is a function in its own cmd_<name>.cpp that registers itself
// with REKASTO_COMMAND; the dispatcher (RunCli) lists and finds them by name.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "paradox/format/file.h"

namespace rekasto {

// Where a command writes and what it touches. Tests pass string streams and a
// MemFileSystem; the executable passes std::cout/std::cerr and the OS file system.
struct Io {
  std::ostream& out;
  std::ostream& err;
  paradox::FileSystem* fs;
  // Standard error is a terminal: long runs show their progress there.
  bool errIsTerminal = false;
};

// The program's version (project(VERSION) in CMake), printed by --version.
const char* Version();

// Exit codes shared by every command.
enum ExitCode : int {
  kExitOk = 0,        // done; for verify: every table clean
  kExitProblems = 1,  // verify: problems found (a rebuild is needed)
  kExitFailed = 2,    // could not do it: bad usage, missing/foreign/unreadable file
};

struct Command {
  const char* name;     // "verify"
  const char* usage;    // "verify [--json] [--max-findings N] TABLE..."
  const char* summary;  // one line for --help
  int (*run)(const std::vector<std::string>& args, Io& io);  // args after the name
};

// Adds a command; called from static initialisers (REKASTO_COMMAND).
bool RegisterCommand(const Command& command);
// Registered commands sorted by name.
std::vector<Command> Commands();

// One option of a command, parsed the GNU way by ParseOptions.
struct Option {
  const char* name;  // long name without the dashes: "max-findings"
  char shortName;    // 'j', or 0 when the option has no short form
  bool takesValue;   // "--name VALUE", "--name=VALUE", "-j VALUE", "-jVALUE"
};

// What ParseOptions found: the options in command-line order (long name, value or "")
// and the operands.
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> operands;
  bool Has(const std::string& name) const;
  // The value of the last occurrence of `name`, or nullptr.
  const std::string* Value(const std::string& name) const;
};

// Parses a command's arguments with getopt_long: long options by their name or a unique
// prefix of it, "--name=value", short options grouped ("-qr"), operands anywhere, and
// "--" ending the options. On a bad option writes one line naming it ("rekasto: verify:
// unknown option '--bogus'") to io.err and returns false. Not thread-safe (getopt state).
bool ParseOptions(const std::string& command, const std::vector<std::string>& args,
                  const std::vector<Option>& options, ParsedArgs* parsed, Io& io);

// The arguments of a command: ParseOptions with -h/--help ahead of `options`. The exit
// code when the command ends here: kExitFailed after a bad option, kExitOk after --help
// wrote "Usage: rekasto <usage>", then `help`, to io.out. Nothing when the command goes
// on with *parsed.
std::optional<int> ParseCommandLine(const std::string& command, const char* usage, const char* help,
                                    const std::vector<std::string>& args,
                                    const std::vector<Option>& options, ParsedArgs* parsed, Io& io);

// The value of a numeric option: digits only, at most maxDigits of them. False with the
// line "rekasto: --<option> needs a number, not '<value>'" to io.err otherwise.
bool ParseNumber(const std::string& value, size_t maxDigits, const std::string& option,
                 size_t* number, Io& io);

// Writes "rekasto: <command>: <what> (usage: rekasto <usage>)" as one line to io.err.
void UsageError(Io& io, const std::string& command, const char* usage, const std::string& what);

// Runs "rekasto <args...>" (args without the program name) and returns the exit code.
int RunCli(const std::vector<std::string>& args, Io& io);

// Whether `path` names a readable Paradox table file: OK, or the reason as the message
// ("no such file", "is a folder, not a table file", "permission denied", "not a Paradox
// table (...)", "cannot read: ..."). Not found for a missing file, invalid argument for
// something that is not a table file, an I/O error when it cannot be read.
paradox::Status TablePathStatus(const std::string& path, paradox::FileSystem* fs);
// TablePathStatus, and on failure one line "rekasto: <path>: <reason>" to io.err.
bool CheckTablePath(const std::string& path, Io& io);

// Writes "rekasto: <message>" as one line to io.err.
void Error(Io& io, const std::string& message);
// "<path>: <message>", or the message alone when there is no path.
std::string OnTable(const std::string& path, const std::string& message);

// For one long operation on a terminal: "<doing> <table>: NN %" on one line of io.err,
// rewritten as the overall phase (8) moves and cleared at 100. Empty when io.err is
// no terminal.
std::function<void(int phase, int percent)> TerminalProgress(Io& io, const std::string& doing,
                                                             const std::string& table);

// `s` when it is valid UTF-8; otherwise each byte outside a well-formed sequence is taken
// as Latin-1, so that the text can always go into JSON.
std::string ValidUtf8(const std::string& s);
// JSON string literal (quotes included) of ValidUtf8(s).
std::string JsonString(const std::string& s);
// CSV field: quoted when it holds a comma, quote, CR or LF (quotes doubled).
std::string CsvField(const std::string& s);
// The same, appended to *out.
void AppendCsvField(std::string* out, std::string_view s);

}  // namespace rekasto

#define REKASTO_CONCAT_INNER(a, b) a##b
#define REKASTO_CONCAT(a, b) REKASTO_CONCAT_INNER(a, b)
// Registers a command at start-up: REKASTO_COMMAND({"name", "usage", "summary", &Fn});
#define REKASTO_COMMAND(...)                                                         \
  [[maybe_unused]] static const bool REKASTO_CONCAT(rekasto_registered_, __LINE__) = \
      ::rekasto::RegisterCommand(::rekasto::Command __VA_ARGS__)
