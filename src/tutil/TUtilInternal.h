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
  bool writing = false;  // the failing step wrote (the reason then names the folder)
  std::string why = {};  // the cause in the user's words (Polish), when known
};

// Records the failure's context with the engine and returns its code.
DBIResult Report(const Failure& failure);

// Keeps a copy of the failure for the caller when it asked for one; a copy that cannot be
// made costs only the reason text.
inline DBIResult Caught(const Failure& failure, Failure* caught) noexcept {
  if (caught != nullptr) {
    try {
      *caught = failure;
    } catch (...) {
      caught->code = failure.code;
    }
  }
  return Report(failure);
}

// Runs body, turning a thrown Failure into its code and anything else into
// DBIERR_INTERNAL (or DBIERR_NOMEMORY); nothing escapes. `caught` receives the failure.
template <typename Body>
DBIResult AtBoundary(Body&& body, Failure* caught = nullptr) noexcept {
  try {
    return body();
  } catch (const Failure& failure) {
    return Caught(failure, caught);
  } catch (const std::bad_alloc&) {
    return Caught(Failure{DBIERR_NOMEMORY, {}, "brak pamięci"}, caught);
  } catch (const std::exception& e) {
    return Caught(Failure{DBIERR_INTERNAL, {}, e.what()}, caught);
  } catch (...) {
    return Caught(Failure{DBIERR_INTERNAL, {}, "nieoczekiwany błąd"}, caught);
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
// The outcome text of the session's last operation (UTF-8); setting it on a handle that
// is not open does nothing. Never throws.
void SetOutcome(uint16_t handle, const std::string& text) noexcept;
std::string Outcome(uint16_t handle);

// ---- outcome texts (Polish, for the user) ----
// The operation a reason names.
enum class Step { kProperties, kVerify, kStructure, kRebuild };
// "Nie można <step>: <cause>." for a failure; location as the caller gave it.
std::string FailureText(Step step, const Failure& failure, const char* location);
// What holds a busy table, in the user's words: its lock file, the family member another
// program locks, or a rebuild of it under way; empty when none of them is found.
std::string InUseReason(const std::string& tablePath);

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

// What a verification found, for the verdict and the outcome text.
struct VerifyDone {
  int32_t verdict = 0;
  uint64_t errors = 0, warnings = 0;
  std::string findingsPath;   // where the findings table was written
  bool unknownLevel = false;  // verdict 4 because the level is not one the library knows
};
// What a rebuild did, for the outcome text.
struct RebuildDone {
  uint64_t kept = 0, keyViolations = 0, problems = 0;
  uint64_t implausible = 0;  // of the problems: records unlike the table's own data
  std::string repairFolder;
  std::string keyviolName, problemName;
};
std::string VerifyText(const VerifyDone& done);
std::string RebuildText(const RebuildDone& done);

void FillProps(const std::string& path, const char* location, CURProps* props);
VerifyDone Verify(const std::string& path, const std::string& findingsName, const char* password);
DescCounts CountDesc(const std::string& path);
void FillDesc(const std::string& path, const char* location, CRTblDesc* desc, const char* password);
RebuildDone Rebuild(const std::string& path, const std::string& backupName,
                    const std::string& keyviolName, const std::string& problemName,
                    const CRTblDesc& desc);

}  // namespace tutil
