// The one-byte lock file Ocupado shared by the terminals, and the per-terminal status file.
// Byte values: a digit "1".."9" = that terminal's closing move; "0" = a send; "*" or anything
// else = free. Every read-check-write below runs under a short operating-system lock on
// Ocupado.lck, so two terminals never both find the byte free; the byte itself stays the
// protocol that other instances read.
// A holder that took the byte here also keeps a shared operating-system lock on a byte of
// Ocupado.lck for its digit and notes the digit there; a digit so noted whose lock nobody keeps
// any more was left by a program that died holding it, and counts as free. A digit written by
// anything else keeps its old meaning.
#pragma once

#include <filesystem>
#include <string>

#include "core/paths.h"

namespace vl {

class OsFileLock;

// The byte in record 1 of Ocupado; '\0' for an empty or unreadable file. Unguarded.
char readLockByte(const Paths& paths);
bool writeLockByte(const Paths& paths, char value);

// Numeric value of a lock or digit character: 0..9 for digits, 0 for anything else.
int lockValue(char c);

// Closing check: another terminal holds the lock when the byte is "0".."9" and is not this
// terminal's digit (an empty digit matches no byte).
bool heldByOther(char lockByte, const std::string& terminalDigit);
// Send check: busy when the byte is "1".."9", the sender's own digit included.
bool busyForSend(char lockByte);

struct LockAttempt {
    bool acquired = false;
    char found = '\0'; // the byte read: the blocker when not acquired
    // Free, but Ocupado or its guard Ocupado.lck could not be written (read-only, a folder, a
    // full disk): waiting would never end. Which one, and the system's cause (an errno value).
    bool unwritable = false;
    std::filesystem::path unwritableFile;
    int cause = 0;
};

// The Spanish message for a lock that reads free but cannot be written (Windows-1252): the file
// and the cause of `a`, Ocupado and the general causes when it names none.
std::string lockNotWritableMessage(const Paths& paths, const LockAttempt& a);

// Reads the byte and, unless another terminal holds it, writes this terminal's digit, in one
// step. With an empty digit nothing is written (there is no closing move to protect).
LockAttempt tryAcquireForClosing(const Paths& paths, const std::string& terminalDigit);
// Reads the byte and, unless a closing move holds it, writes "0", in one step.
LockAttempt tryAcquireForSend(const Paths& paths);

// Frees the byte when the holder that took it through this code has died (a send killed on
// its way), saying so in the run log; a send with nothing to send is often the first to meet it.
void freeIfHolderDied(const Paths& paths);

// Writes "*".
bool release(const Paths& paths);
// The end of a send: writes "*" unless a closing move holds the byte meanwhile (a closing call
// of the sending terminal itself frees the "0" of a send, and another terminal may then close).
bool releaseSend(const Paths& paths);

// With `guard` held on lockGuardPath(): true when the byte holds "1".."9" of a closing move
// that may write the outbox without the guard, one not taken through this code.
bool unguardedClosingMove(const Paths& paths, const OsFileLock& guard);

// Frees the lock when it holds this terminal's digit.
void releaseIfOwn(const Paths& paths, const std::string& terminalDigit);

// Status "F", then the lock freed when its value equals the terminal's value (both 0 for "0",
// a blank, a non-digit or no digit).
void finish(const Paths& paths, const std::string& terminalDigit);

// The end of a run whose lookup took over a second (a share that hardly answers): said in the
// run log, the finish, exit code 3. No message: the pharmacist must not wait on that share.
[[noreturn]] void endSlowLookup(const Paths& paths, const std::string& terminalDigit);
// All of endSlowLookup but the exit; returns the exit code.
int closeSlowLookupRun(const Paths& paths, const std::string& terminalDigit);

// The file the operating-system lock is taken on, beside Ocupado.
std::filesystem::path lockGuardPath(const Paths& paths);

// True while some process that took the byte for `digit` through this code is alive.
bool holderAlive(const Paths& paths, char digit);

} // namespace vl
