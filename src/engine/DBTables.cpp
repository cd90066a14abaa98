#include "DBTables.h"

#include <cstdio>
#include <cstring>
#include <utility>

EDBEngineError::EDBEngineError(DBIResult code)
    : std::runtime_error(BuildMessage(code)), code_(code), context_(CurrentContext()) {}

EDBEngineError::EDBEngineError(DBIResult code, std::vector<std::string> context,
                               const std::string& message)
    : std::runtime_error(message), code_(code), context_(std::move(context)) {}

DBIResult EDBEngineError::ErrorCode() const noexcept {
  return code_;
}

std::vector<std::string> EDBEngineError::CurrentContext() {
  std::vector<std::string> lines;
  for (uint16_t entry = 1; entry != 0; ++entry) {
    char item[DBIMAXMSGLEN + 1] = {};
    if (DbiGetErrorEntry(entry, item) != DBIERR_NONE) break;
    if (item[0] == '\0') continue;
    bool seen = false;
    for (const std::string& line : lines) seen = seen || line == item;
    if (!seen) lines.emplace_back(item);
  }
  return lines;
}

std::string EDBEngineError::BuildMessage(DBIResult code) {
  std::vector<std::string> lines;
  char text[DBIMAXMSGLEN + 1] = {};
  if (DbiGetErrorString(code, text) == DBIERR_NONE && text[0] != '\0') lines.emplace_back(text);
  for (std::string& item : CurrentContext()) {
    bool seen = false;
    for (const std::string& line : lines) seen = seen || line == item;
    if (!seen) lines.push_back(std::move(item));
  }
  if (lines.empty()) {
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "BDE error $%.4x", static_cast<unsigned>(code));
    return fallback;
  }
  std::string message = lines.front();
  for (size_t i = 1; i < lines.size(); ++i) message += "\n" + lines[i];
  return message;
}

EDBEngineError EDBEngineError::DetailsOnly() const {
  char head[40];
  std::snprintf(head, sizeof head, "Kod błędu silnika: $%.4x", static_cast<unsigned>(code_));
  std::string message = head;
  for (const std::string& line : context_) message += "\n" + line;
  return EDBEngineError(code_, context_, message);
}

void Check(DBIResult code) {
  if (code != DBIERR_NONE) throw EDBEngineError(code);
}

TSession::TSession(std::string sessionName) : name_(std::move(sessionName)) {}

TSession::~TSession() {
  try {
    SetActive(false);
  } catch (...) {
    // Closing at destruction cannot be reported to anyone; the engine drops the session
    // at DbiExit anyway.
  }
}

void TSession::SetActive(bool active) {
  if (active) {
    if (handle_ != 0) return;
    hDBISes defaultSession = 0;
    if (DbiGetDefaultSession(&defaultSession) == DBIERR_NOTINITIALIZED) Check(DbiInit());
    hDBISes h = 0;
    Check(DbiStartSession(name_.c_str(), &h));
    handle_ = h;
  } else {
    if (handle_ == 0) return;
    const hDBISes h = std::exchange(handle_, 0);
    Check(DbiCloseSession(h));
  }
}

bool TSession::Active() const {
  return handle_ != 0;
}

const std::string& TSession::SessionName() const {
  return name_;
}

void TSession::GetTableNames(const std::string& databaseName, const std::string& pattern,
                             bool extensions, bool systemTables, std::vector<std::string>& list) {
  list.clear();
  SetActive(true);
  Check(DbiSetCurrSession(handle_));

  // Closes what was opened on every way out.
  struct Handles {
    hDBIDb db = 0;
    hDBICur cur = 0;
    ~Handles() {
      if (cur != 0) DbiCloseCursor(&cur);
      if (db != 0) DbiCloseDatabase(&db);
    }
  } h;

  Check(DbiOpenDatabase(databaseName.c_str(), &h.db));
  Check(DbiOpenTableList(h.db, 0, systemTables ? 1 : 0, pattern.c_str(), &h.cur));
  std::vector<std::string> names;
  TBLBASEDesc desc;
  for (;;) {
    const DBIResult rc = DbiGetNextRecord(h.cur, 0, &desc, nullptr);
    if (rc == DBIERR_EOF) break;
    Check(rc);
    std::string name(desc.szName, strnlen(desc.szName, sizeof desc.szName));
    const size_t extLen = strnlen(desc.szExt, sizeof desc.szExt);
    if (extensions && extLen > 0) name += "." + std::string(desc.szExt, extLen);
    names.push_back(std::move(name));
  }
  const DBIResult closeCursor = DbiCloseCursor(&h.cur);
  Check(closeCursor);
  Check(DbiCloseDatabase(&h.db));
  list = std::move(names);
}

void EngineShutdown() noexcept {
  // Sessions still open are closed by DbiExit along with the default session.
  DbiExit();
}
