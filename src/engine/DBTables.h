// C++ face of the engine: the checking routine, the engine error, the session component
// (TSession, as Session1) and the database component (TDatabase, as Database1).
// Exceptions live on this side only; everything below calls the C API of engine.h.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"

// An engine failure carrying its 16-bit result code.
class EDBEngineError : public std::runtime_error {
 public:
  // The message is built by BuildMessage(code) here, so it holds the error context of the
  // failure that is being reported.
  explicit EDBEngineError(DBIResult code);
  DBIResult ErrorCode() const noexcept;
  // The distinct texts of the engine's error context when the error was made, in order.
  const std::vector<std::string>& Context() const noexcept { return context_; }
  // The engine's text for the code, then each distinct text of the engine's error context
  // on its own line ("\n"), each text once; when that gives no text at all,
  // "BDE error $%.4x" filled with the code (lower-case hex, 4 digits).
  static std::string BuildMessage(DBIResult code);

  // The same failure for a box that follows one that already gave its reason in the
  // user's words: what the engine adds to it, its code ("Kod błędu silnika: $%.4x") and
  // then its context, one text a line, instead of the same reason again.
  EDBEngineError DetailsOnly() const;

 private:
  EDBEngineError(DBIResult code, std::vector<std::string> context, const std::string& message);
  static std::vector<std::string> CurrentContext();

  DBIResult code_;
  std::vector<std::string> context_;
};

// The checking routine: throws EDBEngineError(code) when code is nonzero.
void Check(DBIResult code);

// A named engine session.
class TSession {
 public:
  explicit TSession(std::string sessionName = "Session1");
  // SetActive(false); never throws.
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // true: makes sure the engine and its default session are started (DbiInit when not yet),
  // then opens the named session (DbiStartSession); each through Check. No effect when
  // already active. false: closes the named session (DbiCloseSession through Check); no
  // effect when not active. The session is inactive afterwards even when that throws.
  void SetActive(bool active);
  bool Active() const;
  const std::string& SessionName() const;

  // Clears list, then fills it with the table names of the alias databaseName (pattern,
  // e.g. "*.*"), each followed by "." and its extension when extensions is true and the
  // table has one, in the engine's order. Activates the session first when inactive.
  // Throws EDBEngineError on failure; the list then stays cleared.
  void GetTableNames(const std::string& databaseName, const std::string& pattern, bool extensions,
                     bool systemTables, std::vector<std::string>& list);

 private:
  std::string name_;
  hDBISes handle_ = 0;
};

// The window's database component: it exists and is never connected.
class TDatabase {
 public:
  std::string DatabaseName = "MainDB";
  std::string SessionName = "Session1";
  bool Connected() const { return false; }
};

// At program end (after the window and Session1 are gone): closes the default session and
// stops the engine (DbiExit). Never throws; no effect when the engine is not running.
void EngineShutdown() noexcept;
