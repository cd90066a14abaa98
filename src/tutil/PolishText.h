// The paradox library reports in English, for its command-line tool and its report
// tables; the window's error boxes speak Polish. PolishDetail turns a library failure
// into the Polish detail line that the engine error context carries: the library's
// sentences that reach the window are matched whole, the file operations by their verb
// and cause, and anything else is said by its kind (and the system's cause), never
// shown in English.
#pragma once

#include <string>

#include "paradox/format/status.h"

namespace tutil {

std::string PolishDetail(const paradox::Status& status);

// The system's cause in Polish (errno), "" for 0 or a cause without a text here.
std::string PolishErrno(int err);

}  // namespace tutil
