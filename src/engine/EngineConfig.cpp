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
  r.context.push_back("File: " + file);
  if (line > 0) r.context.push_back("Line: " + std::to_string(line));
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

}  // namespace

ConfigResult ParseConfig(const std::string& text, const std::string& fileName) {
  const fs::path base = fs::path(fileName).parent_path();
  std::vector<AliasEntry> aliases;
  Pending current;
  bool inSection = false;

  // Closes the section being read; returns a failure result or nothing.
  auto finish = [&](ConfigResult& failure) -> bool {
    if (!inSection) return true;
    const std::string& name = current.entry.name;
    if (!current.hasType) {
      failure = Failure(DBIERR_CONFIG, fileName, current.line, "Alias " + name + " has no TYPE");
      return false;
    }
    if (!current.hasPath) {
      failure = Failure(DBIERR_CONFIG, fileName, current.line, "Alias " + name + " has no PATH");
      return false;
    }
    aliases.push_back(current.entry);
    return true;
  };

  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  while (std::getline(in, raw)) {
    ++lineNo;
    if (lineNo == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) raw.erase(0, 3);
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;

    if (line[0] == '[') {
      if (line.back() != ']') {
        return Failure(DBIERR_CONFIG, fileName, lineNo, "Section header without closing ]");
      }
      ConfigResult failure;
      if (!finish(failure)) return failure;
      const std::string name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) return Failure(DBIERR_CONFIG, fileName, lineNo, "Empty alias name");
      if (name.size() > DBIMAXNAMELEN) {
        return Failure(DBIERR_CONFIG, fileName, lineNo,
                       "Alias name longer than " + std::to_string(DBIMAXNAMELEN) + " bytes");
      }
      // Aliases are looked up case-sensitively, but two names differing only in case are
      // surely a mistake in the file.
      for (const AliasEntry& a : aliases) {
        if (Upper(a.name) == Upper(name)) {
          return Failure(DBIERR_CONFIG, fileName, lineNo, "Duplicate alias: " + name);
        }
      }
      current = Pending{};
      current.entry.name = name;
      current.line = lineNo;
      inSection = true;
      continue;
    }

    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      return Failure(DBIERR_CONFIG, fileName, lineNo, "Expected [ALIAS] or KEY=VALUE");
    }
    if (!inSection) {
      return Failure(DBIERR_CONFIG, fileName, lineNo, "Setting outside an alias section");
    }
    const std::string key = Upper(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "TYPE") {
      if (current.hasType) return Failure(DBIERR_CONFIG, fileName, lineNo, "TYPE given twice");
      if (value.empty()) return Failure(DBIERR_CONFIG, fileName, lineNo, "Empty TYPE");
      if (value.size() > DBIMAXNAMELEN) {
        return Failure(DBIERR_CONFIG, fileName, lineNo,
                       "TYPE longer than " + std::to_string(DBIMAXNAMELEN) + " bytes");
      }
      current.entry.type = value;
      current.hasType = true;
    } else if (key == "PATH") {
      if (current.hasPath) return Failure(DBIERR_CONFIG, fileName, lineNo, "PATH given twice");
      if (value.empty()) return Failure(DBIERR_CONFIG, fileName, lineNo, "Empty PATH");
      const std::string path = NormalPath(value, base);
      if (path.size() > DBIMAXPATHLEN) {
        return Failure(DBIERR_CONFIG, fileName, lineNo,
                       "PATH longer than " + std::to_string(DBIMAXPATHLEN) + " bytes");
      }
      current.entry.path = path;
      current.hasPath = true;
    } else if (key == "DESCRIPTION") {
      if (current.hasDescription) {
        return Failure(DBIERR_CONFIG, fileName, lineNo, "DESCRIPTION given twice");
      }
      if (value.size() > DBIMAXNAMELEN) {
        return Failure(DBIERR_CONFIG, fileName, lineNo,
                       "DESCRIPTION longer than " + std::to_string(DBIMAXNAMELEN) + " bytes");
      }
      current.entry.description = value;
      current.hasDescription = true;
    } else {
      return Failure(DBIERR_CONFIG, fileName, lineNo,
                     "Unknown key " + Trim(line.substr(0, eq)) + " (TYPE, PATH or DESCRIPTION)");
    }
  }
  ConfigResult failure;
  if (!finish(failure)) return failure;
  ConfigResult ok;
  ok.aliases = std::move(aliases);
  return ok;
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
      r.context.push_back("Folder: " + demo.path);
      return r;
    }
    r.aliases.push_back(demo);
    return r;
  }
  if (ec) return Failure(DBIERR_CONFIG, file, 0, "Cannot read the file: " + ec.message());
  if (status.type() == fs::file_type::directory) {
    return Failure(DBIERR_CONFIG, file, 0, "Cannot read the file: it is a folder");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int err = errno;
    return Failure(DBIERR_CONFIG, file, 0,
                   std::string("Cannot read the file: ") + std::strerror(err));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return Failure(DBIERR_CONFIG, file, 0, "Cannot read the file");
  return ParseConfig(text.str(), file);
}

uint16_t EnsureDemoCopy(const std::string& destination, std::vector<std::string>& context) {
  std::error_code ec;
  if (fs::exists(destination, ec)) return 0;
  const std::string source = BundledDemoPath();
  if (source.empty()) {
    context.push_back("Folder: " + destination);
    std::string searched;
    for (const std::string& c : BundledDemoCandidates())
      searched += (searched.empty() ? "" : ", ") + c;
    context.push_back("Bundled demo tables not found in: " + searched);
    return DBIERR_DIRNOTFOUND;
  }
  const fs::path dest(destination);
  fs::create_directories(dest.parent_path(), ec);
  if (ec) {
    context.push_back("Folder: " + dest.parent_path().string());
    context.push_back("Cannot create the folder: " + ec.message());
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
    context.push_back("Folder: " + destination);
    context.push_back("Cannot copy the demo tables from " + source + ": " + ec.message());
    if (ec == std::errc::no_space_on_device) return DBIERR_DISKFULL;
    return ec == std::errc::permission_denied ? DBIERR_NOACCESS : DBIERR_WRITEERR;
  }
  return 0;
}

}  // namespace rekasto::engine
