// Internal helpers of the table-utility library: the session registry, the error that
// travels up to the C boundary, and the checks every location goes through.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "engine.h"

namespace tutil {

// A failure on its way to the C boundary: the engine code, the file it concerns and an
// optional technical detail, both recorded as engine error context.
struct Failure {
  DBIResult code = DBIERR_INTERNAL;
  std::string file;
  std::string detail;
};

// Records the failure's context with the engine and returns its code.
DBIResult Report(const Failure& failure);

// Runs body, turning a thrown Failure into its code and anything else into
// DBIERR_INTERNAL (or DBIERR_NOMEMORY); nothing escapes.
template <typename Body>
DBIResult AtBoundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const Failure& failure) {
    return Report(failure);
  } catch (const std::bad_alloc&) {
    return Report(Failure{DBIERR_NOMEMORY, {}, "out of memory"});
  } catch (const std::exception& e) {
    return Report(Failure{DBIERR_INTERNAL, {}, e.what()});
  } catch (...) {
    return Report(Failure{DBIERR_INTERNAL, {}, "unexpected failure"});
  }
}

[[noreturn]] inline void Fail(DBIResult code, std::string file, std::string detail = {}) {
  throw Failure{code, std::move(file), std::move(detail)};
}

// ---- sessions ----
// Opens a session; 0 when every handle is taken.
uint16_t OpenSession();
bool CloseSession(uint16_t handle);
bool IsOpenSession(uint16_t handle);
// Throws DBIERR_INVALIDHNDL for an unknown or closed handle.
void RequireSession(uint16_t handle);

// ---- locations ----
// Throws DBIERR_INVALIDPARAM for a null text.
const char* RequireText(const char* text, const char* what);
// Checks the table type is "PARADOX" (letter case ignored).
void RequireParadoxType(const char* type, const std::string& file);
// Turns a location into a path of this platform: both separators accepted. Checks its
// length, that the folder and the file exist and that the file is a regular, readable
// file. Throws the matching engine code otherwise.
std::string ResolveLocation(const char* location);

}  // namespace tutil

struct CURProps;
struct CRTblDesc;

namespace tutil {

// Checks the name of an auxiliary table the caller passes ("VERIFY.DB", "Backup.Db",
// ...): a plain file name without folders. Returns it with ".DB" added when it has no
// extension of that kind.
std::string RequireTableFileName(const char* name, const char* what, const std::string& file);

// ---- operations (after the arguments were checked) ----
struct DescCounts {
  uint16_t fields = 0, indexes = 0, security = 0, valChecks = 0, refLinks = 0, optParams = 0,
           optDataUnits = 0;
};

void FillProps(const std::string& path, const char* location, CURProps* props);
int32_t Verify(const std::string& path, const std::string& findingsName, const char* password);
DescCounts CountDesc(const std::string& path);
void FillDesc(const std::string& path, const char* location, CRTblDesc* desc, const char* password);
void Rebuild(const std::string& path, const std::string& backupName, const std::string& keyviolName,
             const std::string& problemName, const CRTblDesc& desc);

}  // namespace tutil
