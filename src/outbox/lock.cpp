#include "outbox/lock.h"

#include <cstdio>

#include "core/startup.h"
#include "outbox/oslock.h"

namespace vl {

namespace {

std::filesystem::path lockPath(const Paths& paths) { return paths.product("Ocupado"); }

} // namespace

std::filesystem::path lockGuardPath(const Paths& paths) { return paths.product("Ocupado.lck"); }

char readLockByte(const Paths& paths) {
    std::FILE* f = std::fopen(lockPath(paths).string().c_str(), "rb");
    if (!f) return '\0';
    const int c = std::fgetc(f);
    std::fclose(f);
    return c == EOF ? '\0' : static_cast<char>(c);
}

bool writeLockByte(const Paths& paths, char value) {
    const auto p = lockPath(paths).string();
    std::FILE* f = std::fopen(p.c_str(), "r+b");
    if (!f) f = std::fopen(p.c_str(), "w+b");
    if (!f) return false;
    bool ok = std::fputc(value, f) != EOF;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

int lockValue(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }

bool heldByOther(char lockByte, const std::string& terminalDigit) {
    const bool isDigit = lockByte >= '0' && lockByte <= '9';
    return isDigit && !(terminalDigit.size() == 1 && terminalDigit[0] == lockByte);
}

bool busyForSend(char lockByte) { return lockValue(lockByte) > 0; }

LockAttempt tryAcquireForClosing(const Paths& paths, const std::string& terminalDigit) {
    OsFileLock guard(lockGuardPath(paths));
    LockAttempt a;
    a.found = readLockByte(paths);
    if (heldByOther(a.found, terminalDigit)) return a;
    a.acquired = terminalDigit.size() != 1 || writeLockByte(paths, terminalDigit[0]);
    return a;
}

LockAttempt tryAcquireForSend(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    LockAttempt a;
    a.found = readLockByte(paths);
    if (busyForSend(a.found)) return a;
    a.acquired = writeLockByte(paths, '0');
    return a;
}

bool release(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    return writeLockByte(paths, '*');
}

void releaseIfOwn(const Paths& paths, const std::string& terminalDigit) {
    OsFileLock guard(lockGuardPath(paths));
    if (terminalDigit.size() == 1 && readLockByte(paths) == terminalDigit[0])
        writeLockByte(paths, '*');
}

void finish(const Paths& paths, const std::string& terminalDigit) {
    writeStatusByte(paths, terminalDigit, 'F');
    const int own = terminalDigit.size() == 1 ? lockValue(terminalDigit[0]) : 0;
    OsFileLock guard(lockGuardPath(paths));
    if (lockValue(readLockByte(paths)) == own) writeLockByte(paths, '*');
}

} // namespace vl
