#include "platform/oslock.h"

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/fileio.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vl {

namespace {

// The guard is also kept between the threads of one process.
std::mutex& processMutex() {
    static std::mutex m;
    return m;
}

// This process's holds: file -> offset -> handle.
struct Holds {
    std::mutex m;
    std::map<std::string, std::map<std::uint64_t, std::intptr_t>> byFile;
};
Holds& holds() {
    static Holds h;
    return h;
}

bool holdsHere(const std::filesystem::path& file, std::uint64_t offset) {
    Holds& h = holds();
    std::lock_guard<std::mutex> g(h.m);
    const auto it = h.byFile.find(file.string());
    return it != h.byFile.end() && it->second.count(offset) != 0;
}

#ifdef _WIN32

std::intptr_t openWith(const std::filesystem::path& file, DWORD disposition) {
    HANDLE h = CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        setErrnoFromLastError();
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(h);
}

std::intptr_t openShared(const std::filesystem::path& file) {
    return openWith(file, OPEN_ALWAYS);
}

std::intptr_t openExisting(const std::filesystem::path& file) {
    return openWith(file, OPEN_EXISTING);
}

void closeHandle(std::intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

// Byte-range locks on Windows belong to the handle, so holds and checks in one process meet.
bool lockByte(std::intptr_t handle, std::uint64_t offset, bool exclusive, bool wait) {
    OVERLAPPED ov = at(offset);
    DWORD flags =
        (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(reinterpret_cast<HANDLE>(handle), flags, 0, 1, 0, &ov) != 0;
}

void unlockByte(std::intptr_t handle, std::uint64_t offset) {
    OVERLAPPED ov = at(offset);
    UnlockFileEx(reinterpret_cast<HANDLE>(handle), 0, 1, 0, &ov);
}

int readAt(std::intptr_t handle, std::uint64_t offset) {
    OVERLAPPED ov = at(offset);
    unsigned char c = 0;
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle), &c, 1, &got, &ov) || got != 1) return -1;
    return c;
}

bool writeAt(std::intptr_t handle, std::uint64_t offset, char value) {
    OVERLAPPED ov = at(offset);
    DWORD put = 0;
    return WriteFile(reinterpret_cast<HANDLE>(handle), &value, 1, &put, &ov) && put == 1;
}

bool replaceContent(std::intptr_t handle, std::string_view bytes) {
    const HANDLE h = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED ov = at(0);
    DWORD put = 0;
    if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &ov) ||
        put != bytes.size())
        return false;
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(bytes.size());
    return SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

// Nothing here removes a file it locks: a file being deleted cannot be opened for a while.
bool stillNamed(const std::filesystem::path&, std::intptr_t) {
    return true;
}

#else

std::intptr_t openShared(const std::filesystem::path& file) {
    return ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

std::intptr_t openExisting(const std::filesystem::path& file) {
    return ::open(file.c_str(), O_RDWR | O_CLOEXEC);
}

void closeHandle(std::intptr_t handle) {
    ::close(static_cast<int>(handle));
}

// Open-file-description locks where there are some: they belong to the open file, not to the
// process, so closing another descriptor of the file does not drop them and two opens in one
// process exclude each other as two processes do. A system without them gets process locks.
bool lockRange(std::intptr_t handle, std::uint64_t offset, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    const auto attempt = [&](int command) {
        int rc;
        do {
            rc = ::fcntl(static_cast<int>(handle), command, &fl);
        } while (rc == -1 && errno == EINTR);
        return rc;
    };
#ifdef F_OFD_SETLKW
    const int rc = attempt(wait ? F_OFD_SETLKW : F_OFD_SETLK);
    if (rc == 0) return true;
    if (errno != EINVAL) return false;
#endif
    return attempt(wait ? F_SETLKW : F_SETLK) == 0;
}

bool lockByte(std::intptr_t handle, std::uint64_t offset, bool exclusive, bool wait) {
    return lockRange(handle, offset, exclusive ? F_WRLCK : F_RDLCK, wait);
}

void unlockByte(std::intptr_t handle, std::uint64_t offset) {
    lockRange(handle, offset, F_UNLCK, false);
}

int readAt(std::intptr_t handle, std::uint64_t offset) {
    unsigned char c = 0;
    ssize_t got;
    do {
        got = ::pread(static_cast<int>(handle), &c, 1, static_cast<off_t>(offset));
    } while (got == -1 && errno == EINTR);
    return got == 1 ? c : -1;
}

bool writeAt(std::intptr_t handle, std::uint64_t offset, char value) {
    ssize_t put;
    do {
        put = ::pwrite(static_cast<int>(handle), &value, 1, static_cast<off_t>(offset));
    } while (put == -1 && errno == EINTR);
    return put == 1;
}

bool replaceContent(std::intptr_t handle, std::string_view bytes) {
    const int fd = static_cast<int>(handle);
    return ::ftruncate(fd, 0) == 0 &&
           ::pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
}

// Whether `file` still names the file open as `handle`.
bool stillNamed(const std::filesystem::path& file, std::intptr_t handle) {
    struct stat open {
    }, named{};
    return ::fstat(static_cast<int>(handle), &open) == 0 && ::stat(file.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

#endif

} // namespace

OsFileLock::OsFileLock(const std::filesystem::path& file) {
    processMutex().lock();
    handle_ = openShared(file);
#ifdef _WIN32
    // A backup or an antivirus holding it for a moment is waited for, as other files are.
    for (int attempt = 0; handle_ == -1 && attempt < 40; ++attempt) {
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) break;
        Sleep(50);
        handle_ = openShared(file);
        if (handle_ == -1 && attempt == 39) noteFileInUse(file);
    }
#endif
    if (handle_ == -1) {
        openError_ = errno;
        return;
    }
    // Held by another program for long (a hung terminal on the share), it is taken for in use
    // after about two seconds, as a file held without sharing is: the caller says so and waits
    // in its own, bounded way instead of here without a trace.
    for (int attempt = 0; !(locked_ = lockByte(handle_, 0, true, false)); ++attempt) {
        if (attempt == 100) {
            noteFileInUse(file);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

OsFileLock::~OsFileLock() {
    // Closing the handle drops the lock.
    if (handle_ != -1) closeHandle(handle_);
    processMutex().unlock();
}

int OsFileLock::readByte(std::uint64_t offset) const {
    return locked_ ? readAt(handle_, offset) : -1;
}

bool OsFileLock::writeByte(std::uint64_t offset, char value) const {
    return locked_ && writeAt(handle_, offset, value);
}

bool holdShared(const std::filesystem::path& file, std::uint64_t offset) {
    Holds& h = holds();
    std::lock_guard<std::mutex> g(h.m);
    auto& mine = h.byFile[file.string()];
    if (mine.count(offset)) return true;
    const std::intptr_t handle = openShared(file);
    if (handle == -1) return false;
    if (!lockByte(handle, offset, false, true)) {
        closeHandle(handle);
        return false;
    }
    mine[offset] = handle;
    return true;
}

void dropHolds(const std::filesystem::path& file) {
    Holds& h = holds();
    std::lock_guard<std::mutex> g(h.m);
    const auto it = h.byFile.find(file.string());
    if (it == h.byFile.end()) return;
    for (const auto& [offset, handle] : it->second)
        closeHandle(handle);
    h.byFile.erase(it);
}

bool heldByAnyone(const std::filesystem::path& file, std::uint64_t offset) {
    // Where locks belong to the process, our own holds would not show: ask the list first.
    if (holdsHere(file, offset)) return true;
    // Not made when missing: nobody holds a file that is not there.
    const std::intptr_t handle = openExisting(file);
    if (handle == -1) return errno != ENOENT; // else cannot tell: assume the holder is alive
    const bool free = lockByte(handle, offset, true, false);
    if (free) unlockByte(handle, offset);
    closeHandle(handle);
    return !free;
}

bool holdExclusive(const std::filesystem::path& file, std::uint64_t offset, std::string_view note) {
    Holds& h = holds();
    std::lock_guard<std::mutex> g(h.m);
    auto& mine = h.byFile[file.string()];
    if (mine.count(offset)) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::intptr_t handle = openShared(file);
        if (handle == -1) return false;
        if (!lockByte(handle, offset, true, false)) {
            closeHandle(handle);
            return false;
        }
        if (!stillNamed(file, handle)) { // removed by its last holder meanwhile
            closeHandle(handle);
            continue;
        }
        if (!note.empty()) replaceContent(handle, note);
        mine[offset] = handle;
        return true;
    }
    return false;
}

namespace {

std::mutex& tryMutex() {
    static std::mutex m;
    return m;
}

} // namespace

OsFileTryLock::OsFileTryLock(const std::filesystem::path& file) {
    if (!tryMutex().try_lock()) return;
    handle_ = openShared(file);
    locked_ = handle_ != -1 && lockByte(handle_, 0, true, false);
    if (locked_) return;
    if (handle_ != -1) closeHandle(handle_);
    handle_ = -1;
    tryMutex().unlock();
}

OsFileTryLock::~OsFileTryLock() {
    if (!locked_) return;
    // Closing the handle drops the lock.
    closeHandle(handle_);
    tryMutex().unlock();
}

#ifdef _WIN32

bool flushFolderToDisk(const std::filesystem::path& folder) {
    std::error_code ec;
    bool ok = true;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
        if (!entry.is_regular_file(ec)) continue;
        HANDLE h = CreateFileW(entry.path().wstring().c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            ok = false;
            continue;
        }
        ok = FlushFileBuffers(h) != 0 && ok;
        CloseHandle(h);
    }
    return ok && !ec;
}

#else

bool flushFolderToDisk(const std::filesystem::path& folder) {
    // One call flushes the whole file system the folder is on: cheaper than one per file.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

#endif

} // namespace vl
