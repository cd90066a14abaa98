// The cause of a failed system call in the program's language, for the engine's error
// context and the utility library's details: the system's own text (strerror) is English
// in the locale the program runs in, and the boxes that show these entries speak Polish.
#pragma once

#include <string>
#include <system_error>

namespace rekasto::engine {

// The cause for errno value errnum: a Polish phrase for the causes a user meets with files
// and folders (no access, no such file, disk full, read-only file system ...), otherwise
// "błąd systemu nr N". Lower case, no closing period: it follows a label or a colon.
std::string SystemErrorText(int errnum);
// The same for an error code of the generic or system category; the code's own message
// for any other category.
std::string SystemErrorText(const std::error_code& ec);

}  // namespace rekasto::engine
