#include "outbox/lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/dates.h"
#include "core/faultpoint.h"
#include "core/filecause.h"
#include "core/runlog.h"
#include "core/startup.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "platform/process.h"

namespace vl {

namespace {

std::filesystem::path lockPath(const Paths& paths) {
    return paths.product("Ocupado");
}

// In Ocupado.lck: byte 0 (under the guard) notes the digit taken through this code, "*" none;
// bytes 16 + value are the holders' shared locks.
// Bytes 64.. name the noted holder: its process and since when, for the log of a takeover.
// After them what it held the byte for, "C" a closing move or "E" a send, with its process
// again: "0" is both a send and terminal 0's closing move, and a program that writes only the
// first part leaves the second naming another process.
constexpr std::uint64_t NoteOffset = 0;
constexpr std::uint64_t AliveOffset = 16;
constexpr std::uint64_t HolderOffset = 64, HolderWidth = 40;
constexpr std::uint64_t KindOffset = HolderOffset + HolderWidth, KindWidth = 12;
constexpr char ClosingHolder = 'C', SendHolder = 'E';

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The holder of `c` took it here and has died since: the byte is free.
bool leftByDeadHolder(const Paths& paths, const OsFileLock& guard, char c) {
    return isDigit(c) && guard.readByte(NoteOffset) == static_cast<unsigned char>(c) &&
           !heldByAnyone(lockGuardPath(paths), AliveOffset + lockValue(c));
}

std::string readNote(const OsFileLock& guard, std::uint64_t offset, std::uint64_t width) {
    std::string bytes(width, ' ');
    for (std::uint64_t i = 0; i < width; ++i) {
        const int b = guard.readByte(offset + i);
        if (b >= 0) bytes[i] = static_cast<char>(b);
    }
    return trimBlanks(bytes);
}

void writeNote(const OsFileLock& guard, std::uint64_t offset, std::string bytes,
               std::uint64_t width) {
    bytes.resize(width, ' ');
    for (std::uint64_t i = 0; i < width; ++i)
        guard.writeByte(offset + i, bytes[i]);
}

void noteHolder(const OsFileLock& guard, char kind) {
    const std::string pid = std::to_string(currentProcessId());
    writeNote(guard, HolderOffset, pid + ' ' + shortDateTime(), HolderWidth);
    writeNote(guard, KindOffset, kind + pid, KindWidth);
}

struct NotedHolder {
    std::string who;  // "proceso 123, desde dd/mm/yyyy hh:mm:ss"; empty when not noted
    char kind = '\0'; // ClosingHolder, SendHolder, or '\0' when not known
};

NotedHolder notedHolder(const OsFileLock& guard) {
    NotedHolder h;
    const std::string who = readNote(guard, HolderOffset, HolderWidth);
    const std::size_t blank = who.find(' ');
    if (blank == std::string::npos) return h;
    const std::string pid = who.substr(0, blank);
    h.who = "proceso " + pid + ", desde " + who.substr(blank + 1);
    const std::string kind = readNote(guard, KindOffset, KindWidth);
    if (kind.size() > 1 && kind.substr(1) == pid) h.kind = kind[0];
    return h;
}

// The same, noted in the run log with who held it and since when, when it frees the byte for
// this run. A send that died after the service took the outbox and before noting it sends
// those answers again next time.
bool takenOverFromDeadHolder(const Paths& paths, const OsFileLock& guard, char c) {
    if (!leftByDeadHolder(paths, guard, c)) return false;
    const NotedHolder h = notedHolder(guard);
    const bool send = c == '0' && h.kind != ClosingHolder;
    runlog::log(std::string("Recuperación: Ocupado seguía con ") + c +
                (send ? " (un envío" : " (el cierre del terminal " + std::string(1, c)) +
                (h.who.empty() ? "" : ", " + h.who) +
                ") de un programa que terminó sin liberarlo; se toma como libre" +
                (send ? ". Si ese envío se interrumpió después de que el servicio lo "
                        "aceptara y antes de anotarlo, sus respuestas se enviarán otra vez: "
                        "el servicio no distingue una repetición (al menos una vez; ninguna "
                        "se pierde)"
                      : ""));
    return true;
}

// Writes `digit` and keeps it noted with a live hold; without the hold it is written untracked.
// The hold and the note come before the byte, and setFree writes the byte before the note: a
// run killed between any two writes never leaves a digit whose holder is nowhere noted.
bool take(const Paths& paths, const OsFileLock& guard, char digit, char kind) {
    const bool alive =
        guard.locked() && holdShared(lockGuardPath(paths), AliveOffset + lockValue(digit));
    guard.writeByte(NoteOffset, alive ? digit : '*');
    if (alive) noteHolder(guard, kind);
    faultPoint("lock:noted");
    if (writeLockByte(paths, digit)) return true;
    const int cause = errno; // for the message, past the note's own write
    guard.writeByte(NoteOffset, '*');
    errno = cause;
    return false;
}

// What cannot be written stops the attempt for good; errno still holds the system's cause.
void markUnwritable(LockAttempt& a, const std::filesystem::path& file) {
    a.unwritable = true;
    a.unwritableFile = file;
    a.cause = errno;
}

std::string guardNotOpened(const Paths& paths) {
    return "no se puede abrir " + lockGuardPath(paths).filename().string() +
           (lastFileInUse().empty() ? "" : ", lo está usando otro programa");
}

// Whoever frees a byte its dead holder left says so: a release-if-own or finish of the sending
// terminal is often the first to meet an interrupted send.
bool setFree(const Paths& paths, const OsFileLock& guard) {
    // Unguarded, "*" could overwrite the digit of a terminal that took the byte meanwhile: the
    // byte stays for a later release.
    if (!guard.locked()) {
        if (isDigit(readLockByte(paths)))
            runlog::log("Ocupado no se libera: " + guardNotOpened(paths));
        return false;
    }
    takenOverFromDeadHolder(paths, guard, readLockByte(paths));
    if (!writeLockByte(paths, '*')) return false;
    faultPoint("lock:freed");
    guard.writeByte(NoteOffset, '*');
    return true;
}

} // namespace

std::filesystem::path lockGuardPath(const Paths& paths) {
    return paths.product("Ocupado.lck");
}

std::string lockNotWritableMessage(const Paths& paths, const LockAttempt& a) {
    const auto file = a.unwritableFile.empty() ? lockPath(paths) : a.unwritableFile;
    std::error_code ec;
    // Windows says only "access denied" of a folder opened as a file.
    const int cause = std::filesystem::is_directory(file, ec) ? EISDIR : a.cause;
    return "No se puede escribir en el fichero de bloqueo " + nameInCp1252(file) + ": " +
           fileCause(cause) + ".\nLas respuestas siguen "
           "guardadas en este terminal y se pasar\xE1n en el pr\xF3ximo cierre de la "
           "dispensaci\xF3n.";
}

bool holderAlive(const Paths& paths, char digit) {
    return isDigit(digit) && heldByAnyone(lockGuardPath(paths), AliveOffset + lockValue(digit));
}

char readLockByte(const Paths& paths) {
    std::FILE* f = openFile(lockPath(paths), "rb");
    if (!f) return '\0';
    const int c = std::fgetc(f);
    std::fclose(f);
    return c == EOF ? '\0' : static_cast<char>(c);
}

bool writeLockByte(const Paths& paths, char value) {
    const auto p = lockPath(paths);
    std::FILE* f = openFile(p, "r+b");
    if (!f) f = openFile(p, "w+b");
    if (!f) return false;
    bool ok = std::fputc(value, f) != EOF;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

int lockValue(char c) {
    return isDigit(c) ? c - '0' : 0;
}

bool heldByOther(char lockByte, const std::string& terminalDigit) {
    return isDigit(lockByte) && !(terminalDigit.size() == 1 && terminalDigit[0] == lockByte);
}

bool busyForSend(char lockByte) {
    return lockValue(lockByte) > 0;
}

LockAttempt tryAcquireForClosing(const Paths& paths, const std::string& terminalDigit) {
    OsFileLock guard(lockGuardPath(paths));
    LockAttempt a;
    a.found = readLockByte(paths);
    // Without the guard the byte cannot be taken safely: busy while another program holds the
    // guard's file, never to be had when it cannot be opened at all.
    if (!guard.locked()) {
        if (lastFileInUse().empty()) {
            errno = guard.openError();
            markUnwritable(a, lockGuardPath(paths));
        }
        return a;
    }
    // Also this terminal's own digit: the run log tells whose killed call left it.
    const bool dead = takenOverFromDeadHolder(paths, guard, a.found);
    if (heldByOther(a.found, terminalDigit) && !dead) return a;
    a.acquired = terminalDigit.size() != 1 || take(paths, guard, terminalDigit[0], ClosingHolder);
    if (!a.acquired) markUnwritable(a, lockPath(paths));
    return a;
}

LockAttempt tryAcquireForSend(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    LockAttempt a;
    a.found = readLockByte(paths);
    if (!guard.locked()) {
        if (lastFileInUse().empty()) {
            errno = guard.openError();
            markUnwritable(a, lockGuardPath(paths));
        }
        runlog::log("Envío: " + guardNotOpened(paths) + ", no se envía nada");
        return a;
    }
    // Also a "0": the send of this terminal that died before emptying the outbox.
    const bool dead = takenOverFromDeadHolder(paths, guard, a.found);
    if (busyForSend(a.found) && !dead) {
        runlog::log(std::string("Envío: Ocupado por el terminal ") + a.found +
                    " (cierre de una dispensación), no se envía nada");
        return a;
    }
    a.acquired = take(paths, guard, '0', SendHolder);
    if (!a.acquired) markUnwritable(a, lockPath(paths));
    return a;
}

void freeIfHolderDied(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    if (leftByDeadHolder(paths, guard, readLockByte(paths))) setFree(paths, guard);
}

bool release(const Paths& paths) {
    bool ok;
    {
        OsFileLock guard(lockGuardPath(paths));
        ok = setFree(paths, guard);
    }
    dropHolds(lockGuardPath(paths));
    return ok;
}

bool releaseSend(const Paths& paths) {
    bool ok = true;
    {
        OsFileLock guard(lockGuardPath(paths));
        const char c = readLockByte(paths);
        if (!busyForSend(c) || leftByDeadHolder(paths, guard, c)) ok = setFree(paths, guard);
    }
    dropHolds(lockGuardPath(paths));
    return ok;
}

bool unguardedClosingMove(const Paths& paths, const OsFileLock& guard) {
    const char c = readLockByte(paths);
    // A digit noted here belongs to a move that writes under the guard, or to a dead one.
    return busyForSend(c) && guard.readByte(NoteOffset) != static_cast<unsigned char>(c);
}

void releaseIfOwn(const Paths& paths, const std::string& terminalDigit) {
    {
        OsFileLock guard(lockGuardPath(paths));
        if (terminalDigit.size() == 1 && readLockByte(paths) == terminalDigit[0])
            setFree(paths, guard);
    }
    dropHolds(lockGuardPath(paths));
}

void finish(const Paths& paths, const std::string& terminalDigit) {
    writeStatusByte(paths, terminalDigit, 'F');
    const int own = terminalDigit.size() == 1 ? lockValue(terminalDigit[0]) : 0;
    {
        OsFileLock guard(lockGuardPath(paths));
        if (lockValue(readLockByte(paths)) == own) setFree(paths, guard);
    }
    dropHolds(lockGuardPath(paths));
}

int closeSlowLookupRun(const Paths& paths, const std::string& terminalDigit) {
    runlog::log("Búsqueda de un medicamento sin terminar al cabo de un segundo: la carpeta de "
                "datos no responde a tiempo");
    finish(paths, terminalDigit);
    return runlog::end(3);
}

void endSlowLookup(const Paths& paths, const std::string& terminalDigit) {
    hardExit(closeSlowLookupRun(paths, terminalDigit));
}

} // namespace vl
