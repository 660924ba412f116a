// The window process's end of a local channel, for tests of the launcher's side.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace vltest {

// The window process's end: one listening socket or pipe instance and the client it accepts.
class Server {
  public:
#ifdef _WIN32
    explicit Server(const std::string& address)
        : pipe_(CreateNamedPipeW(
              (L"\\\\.\\pipe\\" + std::wstring(address.begin(), address.end())).c_str(),
              PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
              nullptr)) {}
    ~Server() {
        hangUp();
    }
    bool accept() {
        return ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    }
    void write(std::string_view b) {
        DWORD n;
        WriteFile(pipe_, b.data(), DWORD(b.size()), &n, nullptr);
    }
    std::string read(std::size_t n) {
        std::string out(n, '\0');
        DWORD got = 0;
        for (std::size_t at = 0; at < n; at += got)
            if (!ReadFile(pipe_, out.data() + at, DWORD(n - at), &got, nullptr) || got == 0)
                return out.substr(0, at);
        return out;
    }
    void hangUp() {
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE pipe_;
#else
    explicit Server(const std::string& address) : address_(address) {
        listen_ = bound(address);
        ::listen(listen_, 4);
    }
    ~Server() {
        hangUp();
        ::close(listen_);
        ::unlink(address_.c_str());
    }
    // A socket bound at `address`, not yet listening.
    static int bound(const std::string& address) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        address.copy(sa.sun_path, sizeof sa.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        return fd;
    }
    bool accept() {
        pollfd p{listen_, POLLIN, 0};
        return ::poll(&p, 1, 20000) == 1 && (conn_ = ::accept(listen_, nullptr, nullptr)) >= 0;
    }
    void write(std::string_view b) {
        EXPECT_EQ(::write(conn_, b.data(), b.size()), ssize_t(b.size()));
    }
    std::string read(std::size_t n) {
        std::string out(n, '\0');
        for (std::size_t at = 0; at < n;) {
            const ssize_t got = ::read(conn_, out.data() + at, n - at);
            if (got <= 0) return out.substr(0, at);
            at += std::size_t(got);
        }
        return out;
    }
    void hangUp() {
        if (conn_ >= 0) ::close(conn_);
        conn_ = -1;
    }

  private:
    std::string address_;
    int listen_ = -1, conn_ = -1;
#endif
};

} // namespace vltest
