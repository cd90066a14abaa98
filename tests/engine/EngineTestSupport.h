// Shared by the engine tests: a temporary folder, environment overrides, and a fixture that
// points the engine at a configuration of the test's own and stops the engine afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"

namespace enginetest {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "rekasto-engine-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out << text;
}

inline std::vector<std::string> ContextEntries() {
  std::vector<std::string> entries;
  char text[DBIMAXMSGLEN + 1];
  for (uint16_t i = 1; DbiGetErrorEntry(i, text) == DBIERR_NONE; ++i) entries.emplace_back(text);
  return entries;
}

// Each test gets its own folder, configuration file and XDG folders; the engine is stopped
// after each test whatever happened.
class EngineTest : public ::testing::Test {
 protected:
  EngineTest()
      : config_("REKASTO_ENGINE_CONFIG", (dir_.path() / "engine.ini").string()),
        configHome_("XDG_CONFIG_HOME", (dir_.path() / "config").string()),
        dataHome_("XDG_DATA_HOME", (dir_.path() / "data").string()),
        demo_("REKASTO_DEMO_DIR", std::nullopt) {}
  ~EngineTest() override { DbiExit(); }

  std::filesystem::path ConfigFile() const { return dir_.path() / "engine.ini"; }
  // Writes the configuration and starts the engine with it.
  DBIResult StartWith(const std::string& ini) {
    WriteFile(ConfigFile(), ini);
    return DbiInit();
  }

  TempDir dir_;
  ScopedEnv config_;
  ScopedEnv configHome_;
  ScopedEnv dataHome_;
  ScopedEnv demo_;
};

}  // namespace enginetest
