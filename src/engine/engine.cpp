// The engine's C API. All state lives in one process-wide object used from one thread;
// every entry point catches everything at the boundary.
#include "engine.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "EngineConfig.h"
#include "SystemErrors.h"

namespace fs = std::filesystem;
using rekasto::engine::AliasEntry;

namespace {

constexpr size_t kMaxSessions = 64;

struct Registration {
  uint32_t client = 0;
  uint16_t length = 0;
  void* buffer = nullptr;
  pfDBICallBack routine = nullptr;
};

struct Session {
  std::string name;
  std::map<uint32_t, Registration> callbacks;
};

struct Database {
  hDBISes session = 0;
  std::string alias;
  std::string path;
};

struct DatabaseListCursor {
  std::vector<DBDesc> records;
};
struct TableListCursor {
  std::vector<TBLBASEDesc> records;
};

struct Cursor {
  hDBISes session = 0;
  size_t next = 0;
  std::variant<DatabaseListCursor, TableListCursor> list;
};

struct Engine {
  bool running = false;
  std::vector<AliasEntry> aliases;
  std::map<uint32_t, Session> sessions;
  std::map<uint32_t, Database> databases;
  std::map<uint32_t, Cursor> cursors;
  hDBISes defaultSession = 0;
  hDBISes currentSession = 0;
  // One counter for every kind of handle, so a handle of the wrong kind is never valid.
  uint32_t lastHandle = 0;

  uint32_t NewHandle() {
    do {
      ++lastHandle;
    } while (lastHandle == 0 || sessions.count(lastHandle) || databases.count(lastHandle) ||
             cursors.count(lastHandle));
    return lastHandle;
  }
};

Engine& State() {
  static Engine engine;
  return engine;
}

std::vector<std::string>& Context() {
  static std::vector<std::string> context;
  return context;
}

// Entries are at most DBIMAXMSGLEN bytes; a longer one keeps its label and the end of its
// value, since the end of a path names the file.
std::string FitEntry(const std::string& text) {
  if (text.size() <= DBIMAXMSGLEN) return text;
  std::string label;
  const size_t colon = text.find(": ");
  if (colon != std::string::npos && colon + 2 < 40) label = text.substr(0, colon + 2);
  const std::string ellipsis = "...";
  size_t keep = DBIMAXMSGLEN - label.size() - ellipsis.size();
  size_t start = text.size() - keep;
  // Never start inside a UTF-8 sequence.
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return label + ellipsis + text.substr(start);
}

void AddContext(const std::string& text) {
  std::string entry = FitEntry(text);
  Context().push_back(std::move(entry));
}

DBIResult Fail(DBIResult code, const std::vector<std::string>& entries) {
  Context().clear();
  for (const std::string& e : entries) AddContext(e);
  return code;
}

DBIResult Fail(DBIResult code, std::initializer_list<std::string> entries = {}) {
  return Fail(code, std::vector<std::string>(entries));
}

// Copies text into a fixed field of width bytes (NUL included), zero-filled.
void CopyField(char* field, size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

DBDesc MakeDesc(const AliasEntry& a) {
  DBDesc d;
  CopyField(d.szName, sizeof d.szName, a.name);
  CopyField(d.szText, sizeof d.szText, a.description);
  CopyField(d.szPhyName, sizeof d.szPhyName, a.path);
  CopyField(d.szDbType, sizeof d.szDbType, a.type);
  return d;
}

const AliasEntry* FindAlias(const char* name) {
  for (const AliasEntry& a : State().aliases) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

// Wraps an entry point: nothing escapes as an exception.
template <typename F>
DBIResult Guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(DBIERR_NOMEMORY);
  } catch (const std::exception& e) {
    try {
      return Fail(DBIERR_INTERNAL, {std::string("Szczegóły: ") + e.what()});
    } catch (...) {
      Context().clear();
      return DBIERR_INTERNAL;
    }
  } catch (...) {
    // No entries to give, but those of an earlier failure would describe the wrong one.
    Context().clear();
    return DBIERR_INTERNAL;
  }
}

DBIResult NotRunning() {
  return Fail(DBIERR_NOTINITIALIZED);
}

// Gives one of the engine's sessions (current or default) at *out.
DBIResult GetSession(hDBISes Engine::*which, hDBISes* out) {
  return Guard([&]() -> DBIResult {
    if (!State().running) return NotRunning();
    if (out == nullptr) return Fail(DBIERR_INVALIDPARAM);
    *out = State().*which;
    return DBIERR_NONE;
  });
}

// Closes the cursor or database *handle names (`open` is the engine's list of them) and
// clears *handle.
template <typename Open>
DBIResult CloseHandle(std::map<uint32_t, Open> Engine::*open, uint32_t* handle) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (handle == nullptr) return Fail(DBIERR_INVALIDPARAM);
    if ((e.*open).erase(*handle) == 0) return Fail(DBIERR_INVALIDHNDL);
    *handle = 0;
    return DBIERR_NONE;
  });
}

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Wildcards as the user knows them from file dialogs: '*' any run, '?' one character,
// letter case ignored.
bool WildMatch(const char* pattern, const char* name) {
  const char* starP = nullptr;
  const char* starN = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      starP = pattern++;
      starN = name;
    } else if (*pattern == '?' || (*pattern != '\0' && FoldCase(*pattern) == FoldCase(*name))) {
      ++pattern;
      ++name;
    } else if (starP != nullptr) {
      pattern = starP + 1;
      name = ++starN;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool LessByName(const TBLBASEDesc& a, const TBLBASEDesc& b) {
  const std::string fa = std::string(a.szName) + "." + a.szExt;
  const std::string fb = std::string(b.szName) + "." + b.szExt;
  const size_t n = std::min(fa.size(), fb.size());
  for (size_t i = 0; i < n; ++i) {
    const char ca = FoldCase(fa[i]);
    const char cb = FoldCase(fb[i]);
    if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
  }
  if (fa.size() != fb.size()) return fa.size() < fb.size();
  return fa < fb;  // same name in another case: a stable, byte-wise order
}

DBIResult CheckFolder(const std::string& alias, const std::string& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (st.type() == fs::file_type::directory) return DBIERR_NONE;
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    if (ec == std::errc::permission_denied) {
      return Fail(DBIERR_NOACCESS, {"Alias: " + alias, "Katalog: " + path});
    }
  }
  return Fail(DBIERR_DIRNOTFOUND, {"Alias: " + alias, "Katalog: " + path});
}

// The text of each engine code, in the program's language (UTF-8); a code not listed
// (DBIERR_NONE among them) has none.
struct ErrorText {
  DBIResult code;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {DBIERR_EOF, "Koniec listy rekordów"},
    {DBIERR_NOTINITIALIZED, "Silnik bazy danych nie jest uruchomiony"},
    {DBIERR_INVALIDPARAM, "Błędny argument wywołania silnika bazy danych"},
    {DBIERR_INVALIDHNDL, "Błędny uchwyt: sesja, kursor lub baza danych nie jest otwarta"},
    {DBIERR_NOMEMORY, "Brak pamięci"},
    {DBIERR_CONFIG, "Nie można odczytać pliku konfiguracji silnika albo jest w nim błąd"},
    {DBIERR_UNKNOWNDB, "Nieznany alias"},
    {DBIERR_DIRNOTFOUND, "Nie ma takiego katalogu"},
    {DBIERR_NOSUCHTABLE, "Tabela nie istnieje"},
    {DBIERR_NOTPARADOX, "Plik nie jest tabelą Paradox"},
    {DBIERR_UNKNOWNTBLTYPE, "Nieznany typ tabeli: obsługiwane są tylko tabele PARADOX"},
    {DBIERR_PATHTOOLONG, "Za długa ścieżka: najwyżej 260 znaków"},
    {DBIERR_LOCKED, "Tabela jest zajęta: używa jej inny program"},
    {DBIERR_NOACCESS, "Brak dostępu"},
    {DBIERR_READERR, "Błąd odczytu"},
    {DBIERR_WRITEERR, "Błąd zapisu"},
    {DBIERR_DISKFULL, "Brak miejsca na dysku"},
    {DBIERR_CORRUPTHEADER, "Nagłówek tabeli jest uszkodzony"},
    {DBIERR_UNSUPPORTEDLEVEL, "Nieobsługiwany poziom tabeli"},
    {DBIERR_CORRUPTTABLE, "Tabela jest uszkodzona"},
    {DBIERR_REBUILDFAILED,
     "Przebudowana tabela nie przeszła sprawdzenia; oryginał pozostał bez zmian"},
    {DBIERR_SESSIONLIMIT, "Za dużo otwartych sesji"},
    {DBIERR_INVALIDDESC, "Opis struktury nie pasuje do tabeli"},
    {DBIERR_ALREADYINIT, "Silnik bazy danych jest już uruchomiony"},
    {DBIERR_INTERNAL, "Błąd wewnętrzny silnika bazy danych"},
};

const char* ErrorTextOf(DBIResult code) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) return e.text;
  }
  return "";
}

}  // namespace

extern "C" {

DBIResult DbiInit(void) {
  return Guard([]() -> DBIResult {
    Engine& e = State();
    if (e.running) return Fail(DBIERR_ALREADYINIT);
    rekasto::engine::ConfigResult config = rekasto::engine::LoadConfig();
    if (config.code != 0) return Fail(config.code, config.context);
    e.aliases = std::move(config.aliases);
    e.sessions.clear();
    e.databases.clear();
    e.cursors.clear();
    const hDBISes h = e.NewHandle();
    e.sessions[h] = Session{"Default", {}};
    e.defaultSession = h;
    e.currentSession = h;
    e.running = true;
    return DBIERR_NONE;
  });
}

DBIResult DbiExit(void) {
  return Guard([]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    e.cursors.clear();
    e.databases.clear();
    e.sessions.clear();
    e.aliases.clear();
    e.defaultSession = 0;
    e.currentSession = 0;
    e.running = false;
    return DBIERR_NONE;
  });
}

DBIResult DbiStartSession(const char* pszName, hDBISes* phSes) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (pszName == nullptr || phSes == nullptr) return Fail(DBIERR_INVALIDPARAM);
    if (std::strlen(pszName) > DBIMAXNAMELEN) {
      return Fail(DBIERR_INVALIDPARAM, {std::string("Sesja: ") + pszName});
    }
    if (e.sessions.size() >= kMaxSessions) {
      return Fail(DBIERR_SESSIONLIMIT, {std::string("Sesja: ") + pszName});
    }
    const hDBISes h = e.NewHandle();
    e.sessions[h] = Session{pszName, {}};
    e.currentSession = h;
    *phSes = h;
    return DBIERR_NONE;
  });
}

DBIResult DbiCloseSession(hDBISes hSes) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (hSes == e.defaultSession || e.sessions.count(hSes) == 0) return Fail(DBIERR_INVALIDHNDL);
    // What the session opened goes with it.
    std::erase_if(e.cursors, [&](const auto& c) { return c.second.session == hSes; });
    std::erase_if(e.databases, [&](const auto& d) { return d.second.session == hSes; });
    e.sessions.erase(hSes);
    if (e.currentSession == hSes) e.currentSession = e.defaultSession;
    return DBIERR_NONE;
  });
}

DBIResult DbiGetCurrSession(hDBISes* phSes) {
  return GetSession(&Engine::currentSession, phSes);
}

DBIResult DbiSetCurrSession(hDBISes hSes) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (e.sessions.count(hSes) == 0) return Fail(DBIERR_INVALIDHNDL);
    e.currentSession = hSes;
    return DBIERR_NONE;
  });
}

DBIResult DbiGetDefaultSession(hDBISes* phSes) {
  return GetSession(&Engine::defaultSession, phSes);
}

DBIResult DbiOpenDatabaseList(hDBICur* phCur) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (phCur == nullptr) return Fail(DBIERR_INVALIDPARAM);
    DatabaseListCursor list;
    for (const AliasEntry& a : e.aliases) list.records.push_back(MakeDesc(a));
    const hDBICur h = e.NewHandle();
    e.cursors[h] = Cursor{e.currentSession, 0, std::move(list)};
    *phCur = h;
    return DBIERR_NONE;
  });
}

DBIResult DbiGetNextRecord(hDBICur hCur, uint32_t eLock, void* pRecBuf, void* pRecProps) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    auto it = e.cursors.find(hCur);
    if (it == e.cursors.end()) return Fail(DBIERR_INVALIDHNDL);
    if (pRecBuf == nullptr) return Fail(DBIERR_INVALIDPARAM);
    Cursor& c = it->second;
    if (auto* dbs = std::get_if<DatabaseListCursor>(&c.list)) {
      if (c.next >= dbs->records.size()) return DBIERR_EOF;  // the normal end, no context
      std::memcpy(pRecBuf, &dbs->records[c.next++], sizeof(DBDesc));
    } else {
      auto& tables = std::get<TableListCursor>(c.list);
      if (c.next >= tables.records.size()) return DBIERR_EOF;
      std::memcpy(pRecBuf, &tables.records[c.next++], sizeof(TBLBASEDesc));
    }
    return DBIERR_NONE;
  });
}

DBIResult DbiCloseCursor(hDBICur* phCur) {
  return CloseHandle(&Engine::cursors, phCur);
}

DBIResult DbiGetDatabaseDesc(const char* pszName, DBDesc* pdbDesc) {
  return Guard([&]() -> DBIResult {
    if (!State().running) return NotRunning();
    if (pszName == nullptr || pdbDesc == nullptr) return Fail(DBIERR_INVALIDPARAM);
    const AliasEntry* a = FindAlias(pszName);
    if (a == nullptr) return Fail(DBIERR_UNKNOWNDB, {std::string("Alias: ") + pszName});
    *pdbDesc = MakeDesc(*a);
    return DBIERR_NONE;
  });
}

DBIResult DbiOpenDatabase(const char* pszAlias, hDBIDb* phDb) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (pszAlias == nullptr || phDb == nullptr) return Fail(DBIERR_INVALIDPARAM);
    const AliasEntry* a = FindAlias(pszAlias);
    if (a == nullptr) return Fail(DBIERR_UNKNOWNDB, {std::string("Alias: ") + pszAlias});
    if (a->builtInDemo) {
      // The per-user copy of the demo tables is made when the alias is first used.
      std::vector<std::string> context{"Alias: " + a->name};
      const DBIResult rc = rekasto::engine::EnsureDemoCopy(a->path, context);
      if (rc != 0) return Fail(rc, context);
    }
    if (const DBIResult rc = CheckFolder(a->name, a->path); rc != 0) return rc;
    const hDBIDb h = e.NewHandle();
    e.databases[h] = Database{e.currentSession, a->name, a->path};
    *phDb = h;
    return DBIERR_NONE;
  });
}

DBIResult DbiCloseDatabase(hDBIDb* phDb) {
  return CloseHandle(&Engine::databases, phDb);
}

DBIResult DbiOpenTableList(hDBIDb hDb, uint8_t bExtended, uint8_t bSystem, const char* pszWild,
                           hDBICur* phCur) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    auto db = e.databases.find(hDb);
    if (db == e.databases.end()) return Fail(DBIERR_INVALIDHNDL);
    if (phCur == nullptr) return Fail(DBIERR_INVALIDPARAM);
    const std::string& alias = db->second.alias;
    const std::string& folder = db->second.path;
    const char* wild = (pszWild == nullptr || *pszWild == '\0') ? "*.*" : pszWild;
    if (const DBIResult rc = CheckFolder(alias, folder); rc != 0) return rc;

    TableListCursor list;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string file = it->path().filename().string();
      const size_t dot = file.rfind('.');
      if (dot == std::string::npos || dot == 0) continue;
      const std::string ext = file.substr(dot + 1);
      if (ext.size() != 2 || FoldCase(ext[0]) != 'd' || FoldCase(ext[1]) != 'b') continue;
      std::error_code typeEc;
      if (!it->is_regular_file(typeEc)) continue;  // folders and dangling links are no tables
      if (!WildMatch(wild, file.c_str())) continue;
      const std::string full = folder + "/" + file;
      if (full.size() > DBIMAXPATHLEN) {
        return Fail(DBIERR_PATHTOOLONG, {"Alias: " + alias, "Tabela: " + full});
      }
      TBLBASEDesc d;
      std::memset(&d, 0, sizeof d);
      CopyField(d.szName, sizeof d.szName, file.substr(0, dot));
      CopyField(d.szFileName, sizeof d.szFileName, full);
      CopyField(d.szExt, sizeof d.szExt, ext);
      CopyField(d.szType, sizeof d.szType, "PARADOX");
      d.bSystem = 0;  // this engine keeps no system tables of its own
      list.records.push_back(d);
    }
    if (ec) {
      const DBIResult code = ec == std::errc::permission_denied ? DBIERR_NOACCESS : DBIERR_READERR;
      return Fail(code, {"Alias: " + alias, "Katalog: " + folder,
                         "Szczegóły: " + rekasto::engine::SystemErrorText(ec)});
    }
    std::sort(list.records.begin(), list.records.end(), LessByName);
    const hDBICur h = e.NewHandle();
    e.cursors[h] = Cursor{db->second.session, 0, std::move(list)};
    *phCur = h;
    return DBIERR_NONE;
  });
}

DBIResult DbiRegisterCallBack(hDBICur hCursor, uint32_t ecbType, uint32_t iClientData,
                              uint16_t iCbBufLen, void* pCbBuf, pfDBICallBack pfCb) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    if (hCursor != 0) return Fail(DBIERR_INVALIDHNDL);
    Session& s = e.sessions.at(e.currentSession);
    if (pfCb == nullptr) {
      s.callbacks.erase(ecbType);
      return DBIERR_NONE;
    }
    if (iCbBufLen > 0 && pCbBuf == nullptr) return Fail(DBIERR_INVALIDPARAM);
    if (ecbType == cbGENPROGRESS && (pCbBuf == nullptr || iCbBufLen < sizeof(CBPROGRESSDesc))) {
      return Fail(DBIERR_INVALIDPARAM,
                  {"Bufor postępu ma " + std::to_string(iCbBufLen) + " B; potrzeba " +
                   std::to_string(sizeof(CBPROGRESSDesc)) + " B"});
    }
    s.callbacks[ecbType] = Registration{iClientData, iCbBufLen, pCbBuf, pfCb};
    return DBIERR_NONE;
  });
}

DBIResult DbiReportProgress(uint16_t iPercent, uint8_t iPhase, const char* pszMsg) {
  return Guard([&]() -> DBIResult {
    Engine& e = State();
    if (!e.running) return NotRunning();
    const Session& s = e.sessions.at(e.currentSession);
    auto it = s.callbacks.find(cbGENPROGRESS);
    if (it == s.callbacks.end()) return DBIERR_NONE;
    // A copy: the routine may unregister itself while it runs.
    const Registration reg = it->second;
    if (iPercent > 100) iPercent = 100;
    auto* buf = static_cast<unsigned char*>(reg.buffer);
    std::memset(buf, 0, sizeof(CBPROGRESSDesc));
    buf[0] = static_cast<unsigned char>(iPercent & 0xFF);
    buf[1] = static_cast<unsigned char>(iPercent >> 8);
    CopyField(reinterpret_cast<char*>(buf + 2), 261, pszMsg != nullptr ? pszMsg : "");
    buf[263] = iPhase;
    reg.routine(cbGENPROGRESS, reg.client, reg.buffer);
    return DBIERR_NONE;
  });
}

DBIResult DbiGetErrorString(DBIResult rslt, char* pszError) {
  if (pszError == nullptr) return DBIERR_INVALIDPARAM;
  std::strncpy(pszError, ErrorTextOf(rslt), DBIMAXMSGLEN);
  pszError[DBIMAXMSGLEN] = '\0';
  return DBIERR_NONE;
}

DBIResult DbiGetErrorEntry(uint16_t uEntry, char* pszError) {
  if (pszError == nullptr) return DBIERR_INVALIDPARAM;
  const std::vector<std::string>& context = Context();
  if (uEntry == 0 || uEntry > context.size()) {
    pszError[0] = '\0';
    return DBIERR_EOF;
  }
  CopyField(pszError, DBIMAXMSGLEN + 1, context[uEntry - 1]);
  return DBIERR_NONE;
}

void DbiClearErrorContext(void) {
  Context().clear();
}

void DbiAddErrorContext(const char* pszText) {
  if (pszText == nullptr) return;
  try {
    AddContext(pszText);
  } catch (...) {
    // Out of memory while reporting another failure: that entry is lost, nothing else.
  }
}

}  // extern "C"
