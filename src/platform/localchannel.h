// A line-based connection to this user's window process, without Qt: the launcher must stay
// small and quick for the closing calls. Starting and ending that process: platform/detached.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// Where the window process of `productFolder` listens for this user's session, and the lock it
// holds for its life. `address` is in the form that QLocalServer::listen and
// QLocalSocket::connectToServer take. On Unix the full path of a socket, in a folder where only
// this user can make entries: $XDG_RUNTIME_DIR when it is this user's alone, else velantia-<uid>
// in the temp folder, made 0700 and its owner and mode checked at every call. On Windows a pipe
// name ("velantia-<session>-<hash>", \\.\pipe\ is implied; pipes are shared by all sessions),
// the lock in this user's temp folder. <hash> is 16 hex digits of FNV-1a over the folder's
// absolute, lexically normal path in UTF-8, lower-cased on Windows. The same for both
// processes, at every call. `lock` is the address with ".lock" on Unix.
struct WindowServerPlace {
    std::string address;
    std::filesystem::path lock;
    // Why this place cannot be used, in Spanish, saying what to do (a folder of another user or
    // open to others, a name that another file has taken); empty when it can. With a problem,
    // address and lock are empty.
    std::string problem;
};
WindowServerPlace windowServerPlace(const std::filesystem::path& productFolder);
inline std::string windowServerAddress(const std::filesystem::path& productFolder) {
    return windowServerPlace(productFolder).address;
}

// The window process's lock at `path`, an operating-system lock: holdLockFile takes it for this
// process's life (the system lets go of it when the process ends, however it ends) and writes
// this process's id in the file, false when another process holds it. releaseLockFile lets go
// of it and, where that is safe, removes the file. lockFileHolder: 0 when nobody holds it,
// whatever the file says (an id left by a process that ended may name another process now);
// else the id its holder wrote, only for the log, -1 when it cannot be read.
bool holdLockFile(const std::filesystem::path& path);
void releaseLockFile(const std::filesystem::path& path);
std::int64_t lockFileHolder(const std::filesystem::path& path);

// A connected socket or pipe; closed on destruction. Lines end in "\n".
class LocalChannel {
  public:
    // Connects to `address` within `timeout`; nullopt when nobody listens there: no socket or
    // pipe, refused, a socket file left by a process that died, a pipe still busy at the
    // timeout, or (Unix) a listener of another user.
    static std::optional<LocalChannel> connect(const std::string& address,
                                               std::chrono::milliseconds timeout);

    LocalChannel(LocalChannel&& other) noexcept;
    LocalChannel& operator=(LocalChannel&& other) noexcept;
    LocalChannel(const LocalChannel&) = delete;
    LocalChannel& operator=(const LocalChannel&) = delete;
    ~LocalChannel();

    // Writes all of `bytes`; false when the peer is gone (never a SIGPIPE) or takes them in
    // no more than `timeout`, as a hung peer whose pipe holds nothing does (then timedOut()).
    bool send(std::string_view bytes, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool timedOut() const { return timedOut_; }

    enum class Read { Line, Timeout, Closed };
    // The next line without its "\n" (nor a "\r" before it), waiting at most `timeout` for it.
    // Closed once the peer has closed or failed; a last piece without "\n" is no line.
    Read readLine(std::string& line, std::chrono::milliseconds timeout);

    // The system's handle of the connection, as writeLastWords takes it.
    std::intptr_t nativeHandle() const { return handle_; }

  private:
    explicit LocalChannel(std::intptr_t handle) : handle_(handle) {}
    void close();

    std::intptr_t handle_ = -1;
    std::string pending_; // received, not yet returned as lines
    bool closed_ = false;
    bool timedOut_ = false;
};

// Writes `bytes` on a connection that the window toolkit owns, at once, from any thread and
// without the toolkit: the last words of a process about to end. `handle` is the connection's
// native descriptor: a socket on Unix, a pipe handle (overlapped or not) on Windows. False when
// not all of it went.
bool writeLastWords(std::intptr_t handle, std::string_view bytes);

} // namespace vl
