// The alias configuration: an INI file with one section per alias, aliases in file order.
//
//   ; comment (also "#")
//   [DEMO]
//   TYPE=STANDARD
//   PATH=/home/ann/data        (relative: to the file's folder; "~/" : the home folder)
//   DESCRIPTION=Sample tables  (optional)
//
// Keys are case-insensitive; blanks around names, keys and values are ignored; CR LF line
// ends and a UTF-8 byte-order mark are accepted. Everything else is an error that names the
// file and line, so a typo never silently drops an alias.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rekasto::engine {

struct AliasEntry {
  std::string name;          // at most DBIMAXNAMELEN bytes
  std::string type;          // at most DBIMAXNAMELEN bytes
  std::string path;          // absolute, at most DBIMAXPATHLEN bytes
  std::string description;   // at most DBIMAXNAMELEN bytes
  bool builtInDemo = false;  // the default alias on the per-user demo copy
};

struct ConfigResult {
  uint16_t code = 0;                 // 0, DBIERR_CONFIG, DBIERR_PATHTOOLONG or DBIERR_NOMEMORY
  std::vector<std::string> context;  // "File: ...", "Line: N", the detail
  std::vector<AliasEntry> aliases;
};

// Parses INI text read from fileName (used for messages and to resolve relative paths).
ConfigResult ParseConfig(const std::string& text, const std::string& fileName);

// Where the configuration is looked for: $REKASTO_ENGINE_CONFIG, else
// $XDG_CONFIG_HOME/qel-db-rekasto/engine.ini (XDG default ~/.config).
std::string ConfigFilePath();

// Reads the configuration from ConfigFilePath(); a missing file gives the built-in default
// (alias DEMO, type STANDARD, on DemoCopyPath()).
ConfigResult LoadConfig();

// The per-user copy of the demo tables: $XDG_DATA_HOME/qel-db-rekasto/demo (XDG default
// ~/.local/share).
std::string DemoCopyPath();

// Where the bundled demo tables are looked for, in order: $REKASTO_DEMO_DIR alone when it is
// set; else the data folder of the installed tree the running program is in, the build
// tree's generated folder, then the data folder of the configured install prefix.
std::vector<std::string> BundledDemoCandidates();
// The first of those that is a folder; empty when none is.
std::string BundledDemoPath();

// Makes the per-user copy when it is absent (never touches an existing one). The copy is
// made in a temporary sibling folder and renamed into place, so a failed copy leaves nothing
// half-made. Returns 0 or an engine code with context entries appended to context.
uint16_t EnsureDemoCopy(const std::string& destination, std::vector<std::string>& context);

}  // namespace rekasto::engine
