#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "SystemErrors.h"
#include "TUtilInternal.h"
#include "paradox/format/file.h"

namespace tutil {

namespace fs = std::filesystem;

const char* RequireText(const char* text, const char* what) {
  if (text == nullptr) Fail(DBIERR_INVALIDPARAM, {}, std::string(what) + ": pusty wskaźnik");
  return text;
}

void RequireParadoxType(const char* type, const std::string& file) {
  RequireText(type, "typ tabeli");
  if (strcasecmp(type, "PARADOX") != 0) {
    std::string shown(type, strnlen(type, DBIMAXNAMELEN + 1));
    Fail(DBIERR_UNKNOWNTBLTYPE, file, "typ tabeli \"" + shown + "\" to nie PARADOX");
  }
}

namespace {

// A lookup that failed for another reason than absence: the file or folder may well be
// there, so "does not exist" would send the user looking in the wrong place.
void FailUnreachable(const std::error_code& ec, const std::string& path) {
  if (ec == std::errc::permission_denied) Fail(DBIERR_NOACCESS, path, "brak uprawnień");
  if (ec == std::errc::filename_too_long)
    Fail(DBIERR_PATHTOOLONG, path, "nazwa w położeniu tabeli jest za długa dla systemu plików");
  Fail(DBIERR_READERR, path, rekasto::engine::SystemErrorText(ec));
}

bool IsAbsence(const std::error_code& ec) {
  return !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

}  // namespace

std::string ResolveLocation(const char* location) {
  RequireText(location, "położenie tabeli");
  // Bounded scan: a location without a NUL in reach is as bad as a long one.
  const size_t length = strnlen(location, DBIMAXPATHLEN + 1);
  if (length > DBIMAXPATHLEN) {
    Fail(DBIERR_PATHTOOLONG, std::string(location, 60) + "...",
         "położenie tabeli jest dłuższe niż 260 znaków");
  }
  if (length == 0) Fail(DBIERR_NOSUCHTABLE, {}, "nie podano położenia tabeli");
  std::string path(location, length);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  fs::path p(path);
  std::error_code ec;
  fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) {
    if (!IsAbsence(ec)) FailUnreachable(ec, path);
    Fail(DBIERR_DIRNOTFOUND, path, "katalog tabeli nie istnieje");
  }
  if (!fs::exists(p, ec)) {
    if (!IsAbsence(ec)) FailUnreachable(ec, path);
    // Locations made on other systems may spell the name in another letter case. Only
    // ASCII letters fold: which file opens must not depend on the locale, and a byte of
    // another code page is no letter to us.
    const std::string name = paradox::AsciiUpper(p.filename().string());
    bool found = false;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (paradox::AsciiUpper(it->path().filename().string()) == name) {
        p = it->path();
        found = true;
        break;
      }
    }
    if (!found) Fail(DBIERR_NOSUCHTABLE, path, "plik tabeli nie istnieje");
    path = p.string();
  }
  if (fs::is_directory(p, ec))
    Fail(DBIERR_NOSUCHTABLE, path, "położenie wskazuje katalog, nie plik tabeli");
  if (!fs::is_regular_file(p, ec)) Fail(DBIERR_NOTPARADOX, path, "to nie jest zwykły plik");
  if (access(path.c_str(), R_OK) != 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) Fail(DBIERR_NOACCESS, path, "brak uprawnień");
    Fail(DBIERR_READERR, path, rekasto::engine::SystemErrorText(err));
  }
  return path;
}

}  // namespace tutil
