#include "PolishText.h"

#include <cerrno>
#include <cstring>
#include <regex>
#include <vector>

namespace tutil {

namespace {

using paradox::Status;

// One of the library's sentences: `polish` takes the captured parts as $1, $2…; the
// part numbered `nested` is itself a library message and is put into Polish first.
struct Sentence {
  std::regex english;
  const char* polish;
  int nested = 0;
};

const std::vector<Sentence>& Sentences() {
  static const auto* sentences = new std::vector<Sentence>{
      {std::regex("cannot create a repair folder beside (.+?): (.*)"),
       "nie można utworzyć folderu naprawy obok $1: $2", 2},
      {std::regex("another rebuild of (.+) is under way; wait until it has finished and "
                  "try again"),
       "trwa już inna przebudowa tabeli $1; zaczekaj, aż się skończy, i spróbuj ponownie"},
      {std::regex("table (.+) may be in use: lock file (.+) is in its folder; .*"),
       "tabela $1 może być używana (w folderze jest plik blokady $2); zamknij używające jej "
       "programy albo usuń stare pliki blokad i spróbuj ponownie"},
      {std::regex("folder of (.+) is marked read-only \\((.+)\\); .*"),
       "folder tabeli $1 jest oznaczony jako tylko do odczytu ($2); najpierw skopiuj tabelę "
       "do folderu, w którym można pisać"},
      {std::regex("table (.+) is in use: another program holds a lock on (.+); close it "
                  "and try again"),
       "tabela $1 jest używana: inny program blokuje plik $2; zamknij go i spróbuj ponownie"},
      {std::regex("table (.+) not found"), "nie znaleziono tabeli $1"},
      {std::regex("an earlier rebuild of (.+?) was interrupted and cannot be finished: (.*)"),
       "wcześniejsza przebudowa tabeli $1 została przerwana i nie da się jej dokończyć: $2", 2},
      {std::regex("the rebuilt table did not verify .*; the original is unchanged"),
       "przebudowana tabela nie przeszła weryfikacji; oryginał pozostał bez zmian"},
      {std::regex("cannot write the key-violation table: (.*)"),
       "nie można zapisać tabeli naruszeń klucza: $1", 1},
      {std::regex("cannot write the problem table: (.*)"),
       "nie można zapisać tabeli rekordów problemowych: $1", 1},
      {std::regex("cannot write the report table: (.*)"), "nie można zapisać tabeli raportu: $1",
       1},
      {std::regex("cannot write the swap journal: (.*)"),
       "nie można zapisać dziennika zamiany plików: $1", 1},
      {std::regex("backup (.+) exists already; not overwritten"),
       "kopia zapasowa $1 już istnieje; nie została nadpisana"},
      {std::regex("cannot back up (.+?): (.*)"), "nie można zrobić kopii zapasowej $1: $2", 2},
      {std::regex("no free repair folder name under (.+)"),
       "brak wolnej nazwy folderu naprawy w $1"},
      {std::regex("file truncated: wanted (\\d+) bytes at offset (\\d+), got (\\d+)"),
       "plik jest ucięty: brak $1 bajtów od pozycji $2 (odczytano $3)"},
      {std::regex("(.+) field has size (\\d+) \\((?:decimals )?must be (.+)\\)"),
       "pole typu $1 ma rozmiar $2, a powinno mieć $3"},
      {std::regex("unknown field type code (\\d+)"), "nieznany kod typu pola $1"},
  };
  return *sentences;
}

// The verbs of the file operations ("open PATH: CAUSE") as Polish nouns.
const char* PolishVerb(const std::string& verb) {
  static const std::pair<const char*, const char*> kVerbs[] = {
      {"open", "otwarcie"},
      {"create", "utworzenie"},
      {"read", "odczyt"},
      {"write", "zapis"},
      {"stat", "sprawdzenie"},
      {"truncate", "skrócenie"},
      {"sync", "zapis na dysk"},
      {"sync dir", "zapis folderu na dysk"},
      {"close", "zamknięcie"},
      {"rename", "zmiana nazwy"},
      {"rename to", "zmiana nazwy na"},
      {"remove", "usunięcie"},
      {"mkdir", "utworzenie folderu"},
      {"copy", "kopiowanie"},
      {"copy to", "kopiowanie do"},
      {"list", "odczyt folderu"},
      {"lock", "blokada"},
      {"lock probe", "sprawdzenie blokady"},
  };
  for (const auto& [en, pl] : kVerbs)
    if (verb == en) return pl;
  return nullptr;
}

// The library's own causes of a failed file operation.
const char* PolishCause(const std::string& cause) {
  static const std::pair<const char*, const char*> kCauses[] = {
      {"no such file", "brak pliku"},
      {"no such directory", "brak folderu"},
      {"file exists", "plik już istnieje"},
      {"a file exists", "istnieje plik o tej nazwie"},
      {"is a directory", "to jest folder"},
      {"directory not empty", "folder nie jest pusty"},
      {"no parent", "brak folderu nadrzędnego"},
      {"held by another process", "trzyma ją inny program"},
      {"the file keeps being replaced", "plik jest wciąż podmieniany"},
      {"file closed", "plik jest zamknięty"},
      {"file opened read-only", "plik otwarto tylko do odczytu"},
      {"not writable", "brak prawa zapisu"},
  };
  for (const auto& [en, pl] : kCauses)
    if (cause == en) return pl;
  return nullptr;
}

// "VERB PATH: CAUSE", the form of every file operation's failure; "" when `text` is
// not one of them or its cause has no Polish text.
std::string PolishFileOperation(const std::string& text, int err) {
  static const std::regex kForm(
      "(open|create|read|write|stat|truncate|sync dir|sync|close|rename to|rename|remove|"
      "mkdir|copy to|copy|list|lock probe|lock) (.+): ([^:]+)");
  std::smatch m;
  if (!std::regex_match(text, m, kForm)) return {};
  const char* verb = PolishVerb(m[1].str());
  std::string cause;
  if (const char* own = PolishCause(m[3].str())) {
    cause = own;
  } else if (err != 0 && m[3].str() == std::strerror(err)) {
    cause = PolishErrno(err);
  }
  if (verb == nullptr || cause.empty()) return {};
  return std::string(verb) + " " + m[2].str() + ": " + cause;
}

// What a failure of this kind is, when its sentence is not known here.
std::string PolishKind(const Status& status) {
  const std::string cause = PolishErrno(status.error_number());
  switch (status.code()) {
    case Status::Code::kOk:
      return {};
    case Status::Code::kNotFound:
      return "brak pliku lub folderu";
    case Status::Code::kCorruption:
      return "plik jest uszkodzony (szczegóły poda weryfikacja tabeli)";
    case Status::Code::kInvalidArgument:
      return "nieprawidłowy opis tabeli";
    case Status::Code::kNotSupported:
      return "ta postać tabeli nie jest obsługiwana";
    case Status::Code::kNoMemory:
      return "brak pamięci";
    case Status::Code::kBusy:
      return "plik jest zablokowany przez inny program";
    case Status::Code::kIOError:
      return cause.empty() ? "błąd odczytu lub zapisu pliku"
                           : "błąd odczytu lub zapisu pliku: " + cause;
  }
  return cause;
}

std::string Translate(const std::string& text, const Status& status) {
  for (const Sentence& s : Sentences()) {
    std::smatch m;
    if (!std::regex_match(text, m, s.english)) continue;
    std::string out;
    for (const char* p = s.polish; *p != '\0'; ++p) {
      if (*p == '$' && p[1] >= '1' && p[1] <= '9') {
        const int group = p[1] - '0';
        out += group == s.nested ? Translate(m[group].str(), status) : m[group].str();
        ++p;
      } else {
        out += *p;
      }
    }
    return out;
  }
  std::string op = PolishFileOperation(text, status.error_number());
  return op.empty() ? PolishKind(status) : op;
}

}  // namespace

std::string PolishErrno(int err) {
  switch (err) {
    case 0:
      return {};
    case ENOENT:
      return "brak pliku lub folderu";
    case EACCES:
      return "brak uprawnień";
    case EPERM:
      return "operacja niedozwolona";
    case EROFS:
      return "nośnik jest tylko do odczytu";
    case ENOSPC:
      return "brak miejsca na dysku";
    case EDQUOT:
      return "przekroczony przydział miejsca na dysku";
    case EIO:
      return "błąd wejścia-wyjścia urządzenia";
    case EEXIST:
      return "plik już istnieje";
    case ENOTDIR:
      return "to nie jest folder";
    case EISDIR:
      return "to jest folder";
    case ENOTEMPTY:
      return "folder nie jest pusty";
    case ENAMETOOLONG:
      return "za długa nazwa pliku";
    case EAGAIN:
      return "zasób jest chwilowo zablokowany";
    case EBUSY:
      return "zasób jest zajęty";
    case EMFILE:
    case ENFILE:
      return "za dużo otwartych plików";
    case ENOMEM:
      return "brak pamięci";
    case EXDEV:
      return "pliki leżą w różnych systemach plików";
    case ELOOP:
      return "za dużo dowiązań symbolicznych";
    case EFBIG:
      return "plik jest za duży";
    case EINVAL:
      return "nieprawidłowy argument";
    default:
      return "błąd systemu nr " + std::to_string(err);
  }
}

std::string PolishDetail(const Status& status) {
  if (status.ok()) return {};
  try {
    return Translate(status.message(), status);
  } catch (const std::regex_error&) {
    return PolishKind(status);
  }
}

}  // namespace tutil
