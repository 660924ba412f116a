#include "outbox/lock.h"

#include <cstdio>

#include "core/startup.h"

namespace vl {

namespace {

std::filesystem::path lockPath(const Paths& paths) { return paths.product("Ocupado"); }

} // namespace

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

void releaseIfOwn(const Paths& paths, const std::string& terminalDigit) {
    if (terminalDigit.size() == 1 && readLockByte(paths) == terminalDigit[0])
        writeLockByte(paths, '*');
}

void finish(const Paths& paths, const std::string& terminalDigit) {
    writeStatusByte(paths, terminalDigit, 'F');
    const int own = terminalDigit.size() == 1 ? lockValue(terminalDigit[0]) : 0;
    if (lockValue(readLockByte(paths)) == own) writeLockByte(paths, '*');
}

} // namespace vl
