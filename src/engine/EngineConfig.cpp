#include "EngineConfig.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "SystemErrors.h"
#include "engine.h"

namespace fs = std::filesystem;

namespace rekasto::engine {
namespace {

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\f\v";
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// An environment variable that is set and not empty (XDG treats empty as unset).
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string HomeDir() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return "/";
}

// Absolute, lexically normal, without a trailing separator (except the root).
std::string NormalPath(const std::string& raw, const fs::path& base) {
  fs::path p;
  if (raw == "~") {
    p = HomeDir();
  } else if (raw.rfind("~/", 0) == 0) {
    p = fs::path(HomeDir()) / raw.substr(2);
  } else {
    p = raw;
  }
  if (p.is_relative()) p = base / p;
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

ConfigResult Failure(uint16_t code, const std::string& file, int line, const std::string& detail) {
  ConfigResult r;
  r.code = code;
  r.context.push_back("Plik: " + file);
  if (line > 0) r.context.push_back("Wiersz: " + std::to_string(line));
  if (!detail.empty()) r.context.push_back(detail);
  return r;
}

struct Pending {
  AliasEntry entry;
  int line = 0;
  bool hasType = false;
  bool hasPath = false;
  bool hasDescription = false;
};

// One pass over the text of a configuration file, a line at a time. Each step returns
// false once it has kept the failure: the file, the line it concerns and why.
class ConfigParser {
 public:
  explicit ConfigParser(const std::string& fileName)
      : fileName_(fileName), base_(fs::path(fileName).parent_path()) {}

  ConfigResult Parse(const std::string& text);

 private:
  bool Line(const std::string& line);
  bool OpenSection(const std::string& line);
  bool CloseSection();
  bool Setting(const std::string& key, const std::string& value);
  bool Take(const std::string& key, const std::string& value, bool mayBeEmpty, size_t limit,
            bool* given, std::string* into);
  bool Fail(int line, const std::string& detail) {
    failure_ = Failure(DBIERR_CONFIG, fileName_, line, detail);
    return false;
  }

  const std::string& fileName_;
  const fs::path base_;  // of relative paths
  std::vector<AliasEntry> aliases_;
  Pending current_;
  bool inSection_ = false;
  int lineNo_ = 0;
  ConfigResult failure_;
};

ConfigResult ConfigParser::Parse(const std::string& text) {
  std::istringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    ++lineNo_;
    if (lineNo_ == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) raw.erase(0, 3);
    if (!Line(Trim(raw))) return failure_;
  }
  if (!CloseSection()) return failure_;
  ConfigResult ok;
  ok.aliases = std::move(aliases_);
  return ok;
}

bool ConfigParser::Line(const std::string& line) {
  if (line.empty() || line[0] == ';' || line[0] == '#') return true;
  if (line[0] == '[') return OpenSection(line);
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return Fail(lineNo_, "Oczekiwano [ALIAS] albo KLUCZ=WARTOŚĆ");
  if (!inSection_) return Fail(lineNo_, "Ustawienie poza sekcją aliasu");
  return Setting(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
}

bool ConfigParser::OpenSection(const std::string& line) {
  if (line.back() != ']') return Fail(lineNo_, "Nagłówek sekcji bez zamykającego ]");
  if (!CloseSection()) return false;
  const std::string name = Trim(line.substr(1, line.size() - 2));
  if (name.empty()) return Fail(lineNo_, "Pusta nazwa aliasu");
  if (name.size() > DBIMAXNAMELEN)
    return Fail(lineNo_, "Nazwa aliasu dłuższa niż " + std::to_string(DBIMAXNAMELEN) + " bajtów");
  // Aliases are looked up case-sensitively, but two names differing only in case are
  // surely a mistake in the file.
  for (const AliasEntry& a : aliases_) {
    if (Upper(a.name) == Upper(name)) return Fail(lineNo_, "Alias powtórzony: " + name);
  }
  current_ = Pending{};
  current_.entry.name = name;
  current_.line = lineNo_;
  inSection_ = true;
  return true;
}

// The section being read is complete: its alias joins the list.
bool ConfigParser::CloseSection() {
  if (!inSection_) return true;
  const std::string& name = current_.entry.name;
  if (!current_.hasType) return Fail(current_.line, "Alias " + name + " nie ma TYPE");
  if (!current_.hasPath) return Fail(current_.line, "Alias " + name + " nie ma PATH");
  aliases_.push_back(current_.entry);
  return true;
}

bool ConfigParser::Setting(const std::string& key, const std::string& value) {
  Pending& c = current_;
  const std::string upper = Upper(key);
  if (upper == "TYPE") return Take("TYPE", value, false, DBIMAXNAMELEN, &c.hasType, &c.entry.type);
  // The length that counts is that of the path as the engine will use it.
  if (upper == "PATH")
    return Take("PATH", value.empty() ? value : NormalPath(value, base_), false, DBIMAXPATHLEN,
                &c.hasPath, &c.entry.path);
  if (upper == "DESCRIPTION")
    return Take("DESCRIPTION", value, true, DBIMAXNAMELEN, &c.hasDescription, &c.entry.description);
  return Fail(lineNo_, "Nieznany klucz " + key + " (TYPE, PATH albo DESCRIPTION)");
}

// A setting given once in its section, not empty unless it may be, at most `limit` bytes.
bool ConfigParser::Take(const std::string& key, const std::string& value, bool mayBeEmpty,
                        size_t limit, bool* given, std::string* into) {
  if (*given) return Fail(lineNo_, key + " podany dwa razy");
  if (value.empty() && !mayBeEmpty) return Fail(lineNo_, "Pusty " + key);
  if (value.size() > limit)
    return Fail(lineNo_, key + " dłuższy niż " + std::to_string(limit) + " bajtów");
  *into = value;
  *given = true;
  return true;
}

}  // namespace

ConfigResult ParseConfig(const std::string& text, const std::string& fileName) {
  return ConfigParser(fileName).Parse(text);
}

std::string ConfigFilePath() {
  std::string explicitFile = Env("REKASTO_ENGINE_CONFIG");
  if (!explicitFile.empty()) return explicitFile;
  std::string configHome = Env("XDG_CONFIG_HOME");
  if (configHome.empty()) configHome = HomeDir() + "/.config";
  return configHome + "/qel-db-rekasto/engine.ini";
}

std::string DemoCopyPath() {
  std::string dataHome = Env("XDG_DATA_HOME");
  if (dataHome.empty()) dataHome = HomeDir() + "/.local/share";
  return NormalPath(dataHome + "/qel-db-rekasto/demo", fs::current_path());
}

std::vector<std::string> BundledDemoCandidates() {
  // An explicit folder is the only one looked at: falling back silently would hide a typo.
  if (std::string dir = Env("REKASTO_DEMO_DIR"); !dir.empty()) return {dir};
  std::vector<std::string> candidates;
#ifdef REKASTO_DEMO_DIR_FROM_BINDIR
  // Beside the running program first, so that an installed copy uses its own data
  // wherever its tree was put (a package unpacked elsewhere, another prefix).
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec)
    candidates.push_back(
        (exe.parent_path() / REKASTO_DEMO_DIR_FROM_BINDIR).lexically_normal().string());
#endif
#ifdef REKASTO_BUILD_DEMO_DIR
  candidates.emplace_back(REKASTO_BUILD_DEMO_DIR);
#endif
#ifdef REKASTO_INSTALLED_DEMO_DIR
  candidates.emplace_back(REKASTO_INSTALLED_DEMO_DIR);
#endif
  return candidates;
}

std::string BundledDemoPath() {
  for (const std::string& c : BundledDemoCandidates()) {
    std::error_code ec;
    if (fs::is_directory(c, ec)) return c;
  }
  return {};
}

ConfigResult LoadConfig() {
  std::error_code ec;
  std::string file = ConfigFilePath();
  if (fs::path absolute = fs::absolute(file, ec); !ec) file = absolute.string();
  const fs::file_status status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found) {
    ConfigResult r;
    AliasEntry demo;
    demo.name = "DEMO";
    demo.type = "STANDARD";
    demo.description = "Demo tables";
    demo.path = DemoCopyPath();
    demo.builtInDemo = true;
    if (demo.path.size() > DBIMAXPATHLEN) {
      r.code = DBIERR_PATHTOOLONG;
      r.context.push_back("Katalog: " + demo.path);
      return r;
    }
    r.aliases.push_back(demo);
    return r;
  }
  if (ec)
    return Failure(DBIERR_CONFIG, file, 0, "Nie można odczytać pliku: " + SystemErrorText(ec));
  if (status.type() == fs::file_type::directory) {
    return Failure(DBIERR_CONFIG, file, 0, "Nie można odczytać pliku: to jest katalog");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int err = errno;
    return Failure(DBIERR_CONFIG, file, 0, "Nie można odczytać pliku: " + SystemErrorText(err));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return Failure(DBIERR_CONFIG, file, 0, "Nie można odczytać pliku");
  return ParseConfig(text.str(), file);
}

uint16_t EnsureDemoCopy(const std::string& destination, std::vector<std::string>& context) {
  std::error_code ec;
  if (fs::exists(destination, ec)) return 0;
  const std::string source = BundledDemoPath();
  if (source.empty()) {
    context.push_back("Katalog: " + destination);
    std::string searched;
    for (const std::string& c : BundledDemoCandidates())
      searched += (searched.empty() ? "" : ", ") + c;
    context.push_back("Nie znaleziono tabel przykładowych w: " + searched);
    return DBIERR_DIRNOTFOUND;
  }
  const fs::path dest(destination);
  fs::create_directories(dest.parent_path(), ec);
  if (ec) {
    context.push_back("Katalog: " + dest.parent_path().string());
    context.push_back("Nie można utworzyć katalogu: " + SystemErrorText(ec));
    return ec == std::errc::permission_denied ? DBIERR_NOACCESS : DBIERR_WRITEERR;
  }
  std::string tempName = destination + ".tmp-XXXXXX";
  const bool made = mkdtemp(tempName.data()) != nullptr;
  if (!made) ec = std::error_code(errno, std::generic_category());
  const fs::path temp(tempName);
  if (!ec) {
    fs::directory_iterator it(source, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code typeEc;
      if (!it->is_regular_file(typeEc)) continue;
      const fs::path target = temp / it->path().filename();
      fs::copy_file(it->path(), target, ec);
      // The copy is the user's to repair, even when the installed files are read-only.
      if (!ec) {
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::add, ec);
      }
      if (ec) break;
    }
  }
  if (!ec) {
    fs::rename(temp, dest, ec);
    // Someone else made the copy meanwhile: theirs is as good as ours.
    std::error_code destEc;
    if (ec && fs::is_directory(dest, destEc)) {
      std::error_code ignored;
      fs::remove_all(temp, ignored);
      return 0;
    }
  }
  if (ec) {
    std::error_code ignored;
    if (made) fs::remove_all(temp, ignored);
    context.push_back("Katalog: " + destination);
    context.push_back("Nie można skopiować tabel przykładowych z " + source + ": " +
                      SystemErrorText(ec));
    if (ec == std::errc::no_space_on_device) return DBIERR_DISKFULL;
    return ec == std::errc::permission_denied ? DBIERR_NOACCESS : DBIERR_WRITEERR;
  }
  return 0;
}

}  // namespace rekasto::engine
