// The one-byte lock file Ocupado shared by the terminals, and the per-terminal status file.
// Byte values: a digit "1".."9" = that terminal's closing move; "0" = a send; "*" or anything
// else = free.
#pragma once

#include <string>

#include "core/paths.h"

namespace vl {

// The byte in record 1 of Ocupado; '\0' for an empty or unreadable file.
char readLockByte(const Paths& paths);
bool writeLockByte(const Paths& paths, char value);

// Numeric value of a lock or digit character: 0..9 for digits, 0 for anything else.
int lockValue(char c);

// Frees the lock when it holds this terminal's digit.
void releaseIfOwn(const Paths& paths, const std::string& terminalDigit);

// Status "F", then the lock freed when its value equals the terminal's value (both 0 for "0",
// a blank, a non-digit or no digit).
void finish(const Paths& paths, const std::string& terminalDigit);

} // namespace vl
