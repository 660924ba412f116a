#include "platform/fileio.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;

namespace {
thread_local fs::path heldByOther;
}

fs::path lastFileInUse() {
    return heldByOther;
}

void clearFileInUse() {
    heldByOther.clear();
}

void noteFileInUse(const fs::path& p) {
    heldByOther = p;
}

#ifdef _WIN32

namespace {

bool sharingRefused(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Opened as our terminals open files; another program holding it without sharing is waited for
// in short polls, about two seconds in all.
HANDLE openShared(const fs::path& p, DWORD access, DWORD disposition) {
    for (int attempt = 0;; ++attempt) {
        HANDLE h =
            CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || !sharingRefused(GetLastError())) return h;
        if (attempt == 40) {
            heldByOther = p;
            return h;
        }
        Sleep(50);
    }
}

// Whether another program has `p` open in a way that keeps it from being replaced or removed.
bool heldAgainstRemoval(const fs::path& p) {
    HANDLE h =
        CreateFileW(p.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h == INVALID_HANDLE_VALUE && sharingRefused(GetLastError());
}

} // namespace

void setErrnoFromLastError() {
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
        // Also what a folder opened as a file gives.
        errno = EACCES;
        break;
    case ERROR_WRITE_PROTECT:
        errno = EROFS;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EBUSY;
        break;
    default:
        errno = EIO;
        break;
    }
}

std::FILE* openFile(const fs::path& p, const char* mode) {
    const std::string_view m(mode);
    const bool update = m.find('+') != std::string_view::npos;
    DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
    int flags = _O_BINARY | _O_RDONLY;
    if (m.front() == 'w') {
        access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags = _O_BINARY | (update ? _O_RDWR : _O_WRONLY);
    } else if (m.front() == 'a') {
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        flags = _O_BINARY | _O_WRONLY | _O_APPEND;
    } else if (update) {
        access = GENERIC_READ | GENERIC_WRITE;
        flags = _O_BINARY | _O_RDWR;
    }
    HANDLE h = openShared(p, access, disposition);
    if (h == INVALID_HANDLE_VALUE) {
        setErrnoFromLastError();
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
}

bool sameFile(std::FILE* f, const fs::path& p) {
    BY_HANDLE_FILE_INFORMATION a, b;
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &a)) return false;
    HANDLE other = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(other, &b);
    CloseHandle(other);
    return got && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

fs::path pathFromCp1252(std::string_view name) {
    if (name.empty()) return {};
    std::wstring w(name.size(), L'\0');
    const int n = MultiByteToWideChar(1252, 0, name.data(), static_cast<int>(name.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return fs::path(w);
}

std::string nameInCp1252(const fs::path& name) {
    const std::wstring& w = name.native();
    if (w.empty()) return {};
    std::string out(w.size() * 2, '\0');
    const int n = WideCharToMultiByte(1252, 0, w.data(), static_cast<int>(w.size()), out.data(),
                                      static_cast<int>(out.size()), "?", nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::optional<fs::path> storedName(const fs::path& p) {
    // Wildcards would make the lookup a search; no stored name holds them.
    if (p.filename().native().find_first_of(L"*?") != std::wstring::npos) return std::nullopt;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(p.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    FindClose(h);
    return fs::path(found.cFileName);
}

fs::path pathOfFileUrl(std::string_view urlPath) {
    if (urlPath.size() > 2 && urlPath[0] == '/' && urlPath[2] == ':') urlPath.remove_prefix(1);
    return fs::path(std::u8string(urlPath.begin(), urlPath.end()));
}

#else

std::FILE* openFile(const fs::path& p, const char* mode) {
    return std::fopen(p.c_str(), mode);
}

bool sameFile(std::FILE* f, const fs::path& p) {
    struct stat a, b;
    return fstat(fileno(f), &a) == 0 && stat(p.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

fs::path pathFromCp1252(std::string_view name) {
    return fs::path(name);
}

std::string nameInCp1252(const fs::path& name) {
    return name.native();
}

std::optional<fs::path> storedName(const fs::path& p) {
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    return p.filename();
}

fs::path pathOfFileUrl(std::string_view urlPath) {
    return fs::path(urlPath);
}

#endif

std::string utf8Path(const fs::path& p) {
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

bool flushToDisk(std::FILE* f) {
    if (std::fflush(f) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

std::optional<std::string> readFileBytes(const fs::path& p) {
    std::FILE* f = openFile(p, "rb");
    if (!f) return std::nullopt;
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) return std::nullopt;
    return out;
}

bool writeFileBytes(const fs::path& p, std::string_view bytes, bool durable) {
    std::FILE* f = openFile(p, "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (durable ? flushToDisk(f) : std::fflush(f) == 0) && ok;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

namespace {

bool writeAside(const fs::path& p, std::string_view bytes, bool durable) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    const fs::path tmp =
        p.parent_path() / (p.filename().string() + ".~" + std::to_string(rng() % 1000000000));
    std::FILE* f = openFile(tmp, "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (durable ? flushToDisk(f) : std::fflush(f) == 0) && ok;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok && renameWithRetry(tmp, p)) return true;
    fs::remove(tmp, ec);
    return false;
}

} // namespace

#ifdef _WIN32
FolderLinker::FolderLinker(const fs::path&, const fs::path&) {}
FolderLinker::~FolderLinker() = default;
bool FolderLinker::linkIfSame(const std::string&, std::string_view) {
    return false;
}
#else
// Opened once: thousands of names then cost no walk of their whole path each.
FolderLinker::FolderLinker(const fs::path& from, const fs::path& to)
    : from_(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      to_(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

FolderLinker::~FolderLinker() {
    if (from_ >= 0) ::close(from_);
    if (to_ >= 0) ::close(to_);
}

bool FolderLinker::linkIfSame(const std::string& name, std::string_view bytes) {
    if (from_ < 0 || to_ < 0) return false;
    // A link someone put among the texts is no text of ours: it gets a file of its own.
    const int fd = ::openat(from_, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<std::uintmax_t>(st.st_size) == bytes.size();
    std::string have(same ? bytes.size() : 0, '\0');
    for (std::size_t got = 0; same && got < have.size();) {
        const ssize_t n = ::read(fd, have.data() + got, have.size() - got);
        if (n <= 0) same = false;
        else got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return same && have == bytes && ::linkat(from_, name.c_str(), to_, name.c_str(), 0) == 0;
}
#endif

bool writeFileAtomic(const fs::path& p, std::string_view bytes) {
    return writeAside(p, bytes, true);
}

bool writeFileReplacing(const fs::path& p, std::string_view bytes) {
    return writeAside(p, bytes, false);
}

bool renameWithRetry(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    for (int attempt = 0; attempt < 40; ++attempt) {
        fs::rename(from, to, ec);
        if (!ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
#ifdef _WIN32
    for (const fs::path& p : {to, from})
        if (heldAgainstRemoval(p)) heldByOther = p;
#endif
    return false;
}

int removeFileCause(const fs::path& p) {
#ifdef _WIN32
    if (DeleteFileW(p.c_str())) return 0;
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
    setErrnoFromLastError();
#else
    if (::unlink(p.c_str()) == 0 || errno == ENOENT) return 0;
#endif
    return errno;
}

std::uintmax_t fileSizeOrZero(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        if (nl == std::string_view::npos) {
            std::string_view last = bytes.substr(start);
            if (last.back() == '\r') last.remove_suffix(1);
            lines.emplace_back(last);
            break;
        }
        std::size_t end = nl;
        if (end > start && bytes[end - 1] == '\r') --end;
        lines.emplace_back(bytes.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> splitLinesAnyEnd(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find_first_of("\r\n", start);
        lines.emplace_back(bytes.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

} // namespace vl
