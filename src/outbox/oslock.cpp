#include "outbox/oslock.h"

#include <mutex>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vl {

namespace {

// fcntl locks belong to the process, so threads are kept apart here.
std::mutex& processMutex() {
    static std::mutex m;
    return m;
}

} // namespace

#ifdef _WIN32

OsFileLock::OsFileLock(const std::filesystem::path& file) {
    processMutex().lock();
    HANDLE h = CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    OVERLAPPED ov{};
    locked_ = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov) != 0;
}

OsFileLock::~OsFileLock() {
    if (handle_ != -1) {
        HANDLE h = reinterpret_cast<HANDLE>(handle_);
        if (locked_) {
            OVERLAPPED ov{};
            UnlockFileEx(h, 0, 1, 0, &ov);
        }
        CloseHandle(h);
    }
    processMutex().unlock();
}

bool flushToDisk(std::FILE* f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }

#else

OsFileLock::OsFileLock(const std::filesystem::path& file) {
    processMutex().lock();
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    handle_ = fd;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, F_SETLKW, &fl);
    } while (rc == -1 && errno == EINTR);
    locked_ = rc == 0;
}

OsFileLock::~OsFileLock() {
    // Closing the descriptor drops the lock.
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    processMutex().unlock();
}

bool flushToDisk(std::FILE* f) { return std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0; }

#endif

} // namespace vl

namespace vl {

namespace {

std::mutex& tryMutex() {
    static std::mutex m;
    return m;
}

} // namespace

#ifdef _WIN32

OsFileTryLock::OsFileTryLock(const std::filesystem::path& file) {
    if (!tryMutex().try_lock()) return;
    HANDLE h = CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        OVERLAPPED ov{};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
            handle_ = reinterpret_cast<std::intptr_t>(h);
            locked_ = true;
            return;
        }
        CloseHandle(h);
    }
    tryMutex().unlock();
}

OsFileTryLock::~OsFileTryLock() {
    if (!locked_) return;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED ov{};
    UnlockFileEx(h, 0, 1, 0, &ov);
    CloseHandle(h);
    tryMutex().unlock();
}

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

OsFileTryLock::OsFileTryLock(const std::filesystem::path& file) {
    if (!tryMutex().try_lock()) return;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) == 0) {
            handle_ = fd;
            locked_ = true;
            return;
        }
        ::close(fd);
    }
    tryMutex().unlock();
}

OsFileTryLock::~OsFileTryLock() {
    if (!locked_) return;
    ::close(static_cast<int>(handle_));
    tryMutex().unlock();
}

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
