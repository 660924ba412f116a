// Why the system refused a file, in the words a message that names the file goes on with.
#pragma once

#include <string>

namespace vl {

// Spanish (Windows-1252), to follow "No se puede escribir en <file>: ": the cause the system
// gave as an errno value (0 or one not known here: the old general words, which name every
// likely cause).
std::string fileCause(int errnum);

// The cause is a full disk (or the user's quota used up).
bool diskFull(int errnum);

} // namespace vl
