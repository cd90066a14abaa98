#include "SystemErrors.h"

#include <cerrno>

namespace rekasto::engine {

std::string SystemErrorText(int errnum) {
  switch (errnum) {
    case EACCES:
    case EPERM:
      return "brak uprawnień";
    case ENOENT:
      return "nie ma takiego pliku ani katalogu";
    case ENOTDIR:
      return "część ścieżki nie jest katalogiem";
    case EISDIR:
      return "to jest katalog, nie plik";
    case ENAMETOOLONG:
      return "za długa nazwa";
    case ELOOP:
      return "za dużo dowiązań symbolicznych w ścieżce";
    case ENOSPC:
      return "brak miejsca na dysku";
    case EDQUOT:
      return "przekroczony przydział miejsca na dysku";
    case EROFS:
      return "system plików tylko do odczytu";
    case EIO:
      return "błąd wejścia/wyjścia urządzenia";
    case EMFILE:
    case ENFILE:
      return "za dużo otwartych plików";
    case ENOMEM:
      return "brak pamięci";
    case EBUSY:
      return "zasób jest zajęty";
    case EEXIST:
      return "plik już istnieje";
    case EXDEV:
      return "przeniesienie między różnymi systemami plików";
    case ETXTBSY:
      return "plik jest w użyciu";
    default:
      return "błąd systemu nr " + std::to_string(errnum);
  }
}

std::string SystemErrorText(const std::error_code& ec) {
  if (ec.category() == std::generic_category() || ec.category() == std::system_category())
    return SystemErrorText(ec.value());
  return ec.message();
}

}  // namespace rekasto::engine
