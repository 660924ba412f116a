#include "platform/localchannel.h"

#include "platform/fileio.h"
#include "platform/oslock.h"
#include "platform/process.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>

#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string folderHash(const fs::path& folder) {
    std::error_code ec;
    fs::path p = fs::absolute(folder, ec);
    p = (ec ? folder : p).lexically_normal();
    if (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
#ifdef _WIN32
    std::wstring w = p.wstring();
    CharLowerBuffW(w.data(), static_cast<DWORD>(w.size()));
    p = fs::path(w);
#endif
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : utf8Path(p)) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char hex[17];
    for (int i = 15; i >= 0; --i, h >>= 4)
        hex[i] = "0123456789abcdef"[h & 15];
    return std::string(hex, 16);
}

milliseconds timeLeft(Clock::time_point deadline) {
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

// Takes the first complete line out of `pending`.
bool takeLine(std::string& pending, std::string& line) {
    const auto nl = pending.find('\n');
    if (nl == std::string::npos) return false;
    line.assign(pending, 0, nl);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pending.erase(0, nl + 1);
    return true;
}

} // namespace

LocalChannel::LocalChannel(LocalChannel&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), pending_(std::move(other.pending_)),
      closed_(other.closed_) {}

LocalChannel& LocalChannel::operator=(LocalChannel&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
        pending_ = std::move(other.pending_);
        closed_ = other.closed_;
    }
    return *this;
}

LocalChannel::~LocalChannel() {
    close();
}

#ifdef _WIN32

namespace {

HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

} // namespace

WindowServerPlace windowServerPlace(const fs::path& productFolder) {
    // Pipe names are one namespace for the whole machine: the session keeps users apart.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    WindowServerPlace place;
    place.address = "velantia-" + std::to_string(session) + "-" + folderHash(productFolder);
    std::error_code ec;
    place.lock = fs::temp_directory_path(ec) / (place.address + ".lock"); // the user's own
    return place;
}

std::optional<LocalChannel> LocalChannel::connect(const std::string& address,
                                                  milliseconds timeout) {
    const std::wstring prefix = L"\\\\.\\pipe\\";
    std::wstring name = utf8ToWide(address);
    if (name.rfind(prefix, 0) != 0) name = prefix + name;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Identification only: the server may not act as us.
        HANDLE h =
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                        nullptr);
        if (h != INVALID_HANDLE_VALUE) return LocalChannel(reinterpret_cast<std::intptr_t>(h));
        if (GetLastError() != ERROR_PIPE_BUSY) return std::nullopt;
        const auto left = timeLeft(deadline);
        if (left.count() == 0) return std::nullopt;
        // Another client took the free instance; wait for the server to offer the next one.
        WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left.count()));
    }
}

void LocalChannel::close() {
    if (handle_ != -1) CloseHandle(asHandle(handle_));
    handle_ = -1;
}

bool LocalChannel::send(std::string_view bytes, milliseconds timeout) {
    // The server's pipe may hold nothing (Qt's has no buffer): a write then waits for the
    // server to read, and one that does not must not hold its caller for ever.
    const auto deadline = Clock::now() + timeout;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    bool ok = true;
    while (ok && !bytes.empty()) {
        ResetEvent(ov.hEvent);
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 16));
        BOOL done = WriteFile(asHandle(handle_), bytes.data(), chunk, &written, &ov);
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(timeLeft(deadline).count())) !=
                WAIT_OBJECT_0) {
                CancelIoEx(asHandle(handle_), &ov);
                timedOut_ = true;
            }
            done = GetOverlappedResult(asHandle(handle_), &ov, &written, TRUE);
        }
        ok = done && written > 0 && !timedOut_;
        if (ok) bytes.remove_prefix(written);
    }
    CloseHandle(ov.hEvent);
    return ok;
}

LocalChannel::Read LocalChannel::readLine(std::string& line, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (takeLine(pending_, line)) return Read::Line;
        if (closed_) return Read::Closed;
        // A pipe has no wait with a timeout short of overlapped reads: look every few ms.
        DWORD available = 0;
        if (!PeekNamedPipe(asHandle(handle_), nullptr, 0, nullptr, &available, nullptr)) {
            closed_ = true;
            continue;
        }
        if (available > 0) {
            // What is there already: the read completes at once, overlapped as the handle is.
            char buf[4096];
            DWORD got = 0;
            OVERLAPPED ov{};
            BOOL done = ReadFile(asHandle(handle_), buf, std::min<DWORD>(available, sizeof buf),
                                 &got, &ov);
            if (!done && GetLastError() == ERROR_IO_PENDING)
                done = GetOverlappedResult(asHandle(handle_), &ov, &got, TRUE);
            if (!done || got == 0) closed_ = true;
            pending_.append(buf, got);
            continue;
        }
        const auto left = timeLeft(deadline);
        if (left.count() == 0) return Read::Timeout;
        Sleep(static_cast<DWORD>(std::min<long long>(left.count(), 5)));
    }
}

bool writeLastWords(std::intptr_t handle, std::string_view bytes) {
    if (handle == -1 || handle == 0) return false;
    // Qt opens its pipes for overlapped use, which a write without an OVERLAPPED may not use.
    const HANDLE h = asHandle(handle);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    DWORD put = 0;
    BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // A launcher that reads nothing for a second is not waited for.
        if (WaitForSingleObject(ov.hEvent, 1000) != WAIT_OBJECT_0) CancelIoEx(h, &ov);
        ok = GetOverlappedResult(h, &ov, &put, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok && put == bytes.size();
}

#else

namespace {

constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// Why `dir` may not hold this user's channels: another user could take their names first, or
// connect in our place. Empty when it is this user's alone.
std::string privateFolderProblem(const fs::path& dir) {
    struct stat st {};
    const std::string folder = "la carpeta " + dir.string();
    const char* remedy = " (por ella se comunican los programas de Velantia). Quien lleve la "
                         "informática de la farmacia debe borrarla: Velantia la vuelve a crear, "
                         "solo para este usuario";
    if (::lstat(dir.c_str(), &st) != 0)
        return "no se puede crear " + folder +
               ", por la que se comunican los programas de Velantia";
    if (!S_ISDIR(st.st_mode)) return dir.string() + " no es una carpeta" + remedy;
    if (st.st_uid != ::geteuid()) return folder + " es de otro usuario del equipo" + remedy;
    if (st.st_mode & 077) return folder + " está abierta a otros usuarios del equipo" + remedy;
    return {};
}

// Why `name`, the socket or the lock of a place, is taken by something else; empty when free or
// of the kind it must be.
std::string nameProblem(const fs::path& name, bool socket) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) return {};
    if (socket ? S_ISSOCK(st.st_mode)
               : S_ISREG(st.st_mode) && ::access(name.c_str(), R_OK | W_OK) == 0)
        return {};
    return "el nombre " + name.string() +
           ", que usa Velantia para comunicar sus programas, ya lo tiene otro fichero o carpeta "
           "que no es suyo. Bórrelo para que Velantia pueda usar ese nombre";
}

} // namespace

WindowServerPlace windowServerPlace(const fs::path& productFolder) {
    const std::string name = "velantia-" + folderHash(productFolder);
    WindowServerPlace place;
    const fs::path runtime = environmentPath("XDG_RUNTIME_DIR");
    if (runtime.is_absolute() && (runtime / name).string().size() <= kMaxSocketPath &&
        privateFolderProblem(runtime).empty()) {
        place.address = (runtime / name).string();
    } else {
        // The temp folder is everyone's: a folder of our own in it, that nobody else may enter.
        const std::string own = "velantia-" + std::to_string(::geteuid());
        fs::path base = environmentPath("TMPDIR");
        struct stat st {};
        if (!base.is_absolute() || ::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (base / own / name).string().size() > kMaxSocketPath)
            base = "/tmp";
        const fs::path dir = base / own;
        ::mkdir(dir.c_str(), 0700); // the umask may only take rights away
        place.problem = privateFolderProblem(dir);
        if (!place.problem.empty()) return place;
        place.address = (dir / name).string();
    }
    place.lock = place.address + ".lock";
    place.problem = nameProblem(place.address, true);
    if (place.problem.empty()) place.problem = nameProblem(place.lock, false);
    if (!place.problem.empty()) place.address.clear(), place.lock.clear();
    return place;
}

std::optional<LocalChannel> LocalChannel::connect(const std::string& address,
                                                  milliseconds timeout) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (address.empty() || address.size() > kMaxSocketPath) return std::nullopt;
    std::memcpy(sa.sun_path, address.data(), address.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    LocalChannel channel(fd);
    // A listener whose queue is full makes connect wait: only as long as the send timeout.
    const auto ms = std::max<long long>(timeout.count(), 1); // 0 would mean for ever
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return std::nullopt;
    tv = {};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#ifdef SO_PEERCRED
    // In the shared temp folder another user could listen first, and read what we send.
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::geteuid())
        return std::nullopt;
#endif
    return channel;
}

void LocalChannel::close() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool LocalChannel::send(std::string_view bytes, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty()) {
        pollfd p{static_cast<int>(handle_), POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(timeLeft(deadline).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) timedOut_ = true;
        if (ready <= 0) return false;
        const ssize_t n = ::send(static_cast<int>(handle_), bytes.data(), bytes.size(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

LocalChannel::Read LocalChannel::readLine(std::string& line, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (takeLine(pending_, line)) return Read::Line;
        if (closed_) return Read::Closed;
        pollfd p{static_cast<int>(handle_), POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(timeLeft(deadline).count()));
        if (r == 0) return Read::Timeout;
        if (r < 0) {
            if (errno != EINTR) closed_ = true;
            continue;
        }
        char buf[4096];
        const ssize_t n = ::recv(static_cast<int>(handle_), buf, sizeof buf, 0);
        if (n > 0)
            pending_.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            closed_ = true;
    }
}

bool writeLastWords(std::intptr_t handle, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n =
            ::send(static_cast<int>(handle), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

#endif

namespace {

// The byte the window process locks: far past its id, which Windows would not let others read
// under a lock.
constexpr std::uint64_t LockByte = std::uint64_t{1} << 30;

} // namespace

bool holdLockFile(const fs::path& path) {
    return holdExclusive(path, LockByte, std::to_string(currentProcessId()) + "\n");
}

void releaseLockFile(const fs::path& path) {
#ifndef _WIN32
    // Removed while still held: whoever opened it meanwhile finds its lock on a file gone by
    // name, and takes the next one (holdExclusive).
    ::unlink(path.c_str());
#endif
    dropHolds(path);
}

std::int64_t lockFileHolder(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return ec ? -1 : 0;
    if (!heldByAnyone(path, LockByte)) return 0;
    std::ifstream f(path, std::ios::binary);
    std::string line;
    if (!f || !std::getline(f, line)) return -1;
    std::int64_t pid = 0;
    for (const char c : line) {
        if (c < '0' || c > '9' || pid > (std::int64_t{1} << 40)) return -1;
        pid = pid * 10 + (c - '0');
    }
    return pid > 0 ? pid : -1;
}

} // namespace vl
