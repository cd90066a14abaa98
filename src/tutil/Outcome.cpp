// The outcome texts that TUGetLastOutcome hands to the program: Polish, one line each,
// built from the engine code and the failure's recorded cause (never from message text).
#include <strings.h>

#include <string>

#include "TUtilInternal.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/repair/rebuild.h"

namespace tutil {

namespace {

std::string StepText(Step step) {
  switch (step) {
    case Step::kProperties:
      return "Nie można odczytać właściwości tabeli";
    case Step::kVerify:
      return "Nie można sprawdzić tabeli";
    case Step::kStructure:
      return "Nie można odczytać struktury tabeli";
    case Step::kRebuild:
      return "Nie można przebudować tabeli";
  }
  return "Operacja się nie powiodła";
}

// The folder a failed write concerns: the file's folder (a rebuild writes its repair folder
// and the new family beside the table).
std::string FolderOf(const std::string& file) {
  const std::string dir = paradox::PathDirName(file);
  return dir.empty() ? std::string(".") : dir;
}

std::string InParens(const std::string& text) {
  return text.empty() ? std::string() : " (" + text + ")";
}

std::string Cause(const Failure& f, const char* location) {
  const bool noLocation = location == nullptr || *location == '\0';
  switch (f.code) {
    case DBIERR_NOSUCHTABLE:
      if (noLocation) return "nie wybrano tabeli";
      return "nie ma takiego pliku tabeli" + InParens(f.file);
    case DBIERR_DIRNOTFOUND:
      return "folder tabeli nie istnieje" + InParens(f.file);
    case DBIERR_NOTPARADOX:
      return "plik nie jest tabelą Paradox" + InParens(f.file);
    case DBIERR_UNSUPPORTEDLEVEL:
      return "nieznany poziom tabeli" + InParens(f.file);
    case DBIERR_CORRUPTHEADER:
      // A damaged header whose structure no source gives: the why says how to go on.
      if (!f.why.empty())
        return "nagłówek tabeli jest uszkodzony" + InParens(f.file) + ", " + f.why;
      return "nagłówek tabeli jest zbyt uszkodzony, by go odczytać" + InParens(f.file);
    case DBIERR_CORRUPTTABLE:
      return "tabela jest zbyt uszkodzona, by odtworzyć jej strukturę" + InParens(f.file);
    case DBIERR_REBUILDFAILED:
      return "przebudowana tabela nie przeszła sprawdzenia, oryginał pozostał bez zmian";
    case DBIERR_LOCKED:
      return "tabela jest używana przez inny program" + InParens(f.why);
    case DBIERR_NOACCESS:
      if (f.writing) return "brak dostępu do zapisu w folderze " + FolderOf(f.file);
      return "brak dostępu do odczytu pliku " + f.file;
    case DBIERR_DISKFULL:
      return "brak miejsca na dysku w folderze " + FolderOf(f.file);
    case DBIERR_READERR:
      return "błąd odczytu pliku " + f.file;
    case DBIERR_WRITEERR:
      return "błąd zapisu w folderze " + FolderOf(f.file);
    case DBIERR_PATHTOOLONG:
      return "ścieżka tabeli jest dłuższa niż 260 znaków";
    case DBIERR_UNKNOWNTBLTYPE:
      return "typ tabeli nie jest PARADOX";
    case DBIERR_INVALIDDESC:
      return "opis struktury nie pasuje do tabeli";
    case DBIERR_INVALIDPARAM:
      return "błędny argument wywołania";
    case DBIERR_NOMEMORY:
      return "brak pamięci";
    default:
      // The engine's error context keeps the technical detail for whoever looks into it.
      return "błąd wewnętrzny biblioteki, kod " + std::to_string(f.code);
  }
}

}  // namespace

std::string InUseReason(const std::string& tablePath) {
  paradox::FileSystem* fs = paradox::DefaultFileSystem();
  auto family = paradox::FindFamily(fs, tablePath);
  if (family.ok()) {
    for (const std::string& lock : family->lockFiles) {
      const std::string name = paradox::PathBaseName(lock);
      if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".LCK") == 0)
        return "plik blokady " + name + " w folderze tabeli";
    }
    for (const std::string& member : family->AllMembers()) {
      auto locked = fs->IsLocked(member);
      if (locked.ok() && *locked) return "blokada na pliku " + paradox::PathBaseName(member);
    }
  }
  if (paradox::FindRebuildState(fs, tablePath).running) return "trwa inna przebudowa tej tabeli";
  return {};
}

std::string FailureText(Step step, const Failure& failure, const char* location) {
  return StepText(step) + ": " + Cause(failure, location) + ".";
}

std::string VerifyText(const VerifyDone& done) {
  std::string hint;
  switch (done.verdict) {
    case 0:
      hint = "tabela jest poprawna";
      break;
    case 1:
      hint = "przebudowa je naprawi";
      break;
    case 2:
      hint = "nie sprawdzono całej tabeli";
      break;
    case 3:
      hint = "struktury tabeli nie da się odczytać z niej samej";
      break;
    default:
      hint = done.unknownLevel ? "nieznany poziom tabeli" : "tabeli nie da się przebudować";
      break;
  }
  return "Błędy: " + std::to_string(done.errors) +
         ", ostrzeżenia: " + std::to_string(done.warnings) + " (" + hint +
         "). Wyniki sprawdzenia: " + done.findingsPath + ".";
}

std::string RebuildText(const RebuildDone& done) {
  // Records the table's own data shows to be garbage are named apart: they were the
  // table's rows until now.
  const std::string implausible =
      done.implausible
          ? " (w tym niepodobnych do danych tabeli: " + std::to_string(done.implausible) + ")"
          : "";
  return "Zachowane rekordy: " + std::to_string(done.kept) + ", odłożone do " + done.keyviolName +
         ": " + std::to_string(done.keyViolations) + ", do " + done.problemName + ": " +
         std::to_string(done.problems) + implausible +
         ". Kopia oryginału i raporty: " + done.repairFolder + ".";
}

}  // namespace tutil
