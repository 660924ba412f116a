#include "support/faults.h"

#ifndef _WIN32

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "support/tempdir.h"

extern char** environ;

namespace vltest {

namespace fs = std::filesystem;

Worker::Worker(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
}

Worker::~Worker() {
    kill();
    wait();
    if (out_ >= 0) ::close(out_);
}

bool Worker::waitReady() {
    pollfd p{out_, POLLIN, 0};
    char c = 0;
    return out_ >= 0 && ::poll(&p, 1, 10000) == 1 && ::read(out_, &c, 1) == 1 && c == 'R';
}

void Worker::kill() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

Worker::End Worker::wait() {
    int status = 0;
    if (pid_ <= 0 || reaped_ || ::waitpid(pid_, &status, 0) != pid_) return end_;
    reaped_ = true;
    end_.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    end_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return end_;
}

namespace {

// Runs `body` in a forked child: its exit code (-1 when it died) and the text it left in `out`.
std::pair<int, std::string> inChild(const std::function<int(std::string& out)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {-1, ""};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        const int code = body(out);
        std::FILE* f = ::fdopen(fds[1], "wb");
        const bool sent = f && std::fwrite(out.data(), 1, out.size(), f) == out.size();
        _exit(sent && std::fflush(f) == 0 ? code : 4);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    const bool exited = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    return {exited ? WEXITSTATUS(status) : -1, text};
}

bool writeProcFile(const char* path, const std::string& text) {
    std::ofstream f(path);
    return static_cast<bool>(f << text << std::flush);
}

// A mount namespace of our own, as root or through a user namespace.
bool privateMounts() {
    if (::unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        writeProcFile("/proc/self/setgroups", "deny");
        if (!writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
            !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

void fill(const fs::path& file) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return;
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::string page(4096, 'x');
    while (std::fwrite(page.data(), 1, page.size(), f) == page.size()) {
    }
    std::fclose(f);
}

} // namespace

std::optional<std::string> runWithFileSizeLimit(std::uintmax_t maxFileBytes,
                                                const std::function<std::string()>& work) {
    const auto [code, text] = inChild([&](std::string& out) {
        // Past the limit a write fails with EFBIG instead of ending the process.
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{static_cast<rlim_t>(maxFileBytes), static_cast<rlim_t>(maxFileBytes)};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 3;
        out = work();
        return 0;
    });
    return code == 0 ? std::optional(text) : std::nullopt;
}

FullDiskRun runOnFullTmpfs(const fs::path& source, const fs::path& mountPoint,
                           const fs::path& copyOut, std::uintmax_t bytes,
                           const std::function<std::string()>& work) {
    constexpr int NoMount = 77;
    const auto [code, text] = inChild([&](std::string& out) {
        if (!privateMounts()) return NoMount;
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0) return NoMount;
        std::error_code ec;
        fs::copy(source, mountPoint, fs::copy_options::recursive, ec);
        if (ec) return 5;
        const fs::path filler = mountPoint / "relleno.bin";
        fill(filler);
        out = work();
        fs::remove(filler, ec);
        fs::create_directories(copyOut, ec);
        fs::copy(mountPoint, copyOut, fs::copy_options::recursive, ec);
        return ec ? 6 : 0;
    });
    FullDiskRun run;
    run.mounted = code != NoMount;
    if (code == 0) run.result = text;
    return run;
}

} // namespace vltest

#endif

#ifdef _WIN32
#include <process.h>
#endif

namespace vltest {

int runProgram(const std::filesystem::path& program, const std::vector<std::string>& args) {
#ifdef _WIN32
    std::vector<std::wstring> wide{L"\"" + program.wstring() + L"\""};
    for (const auto& a : args)
        wide.push_back(L"\"" + std::filesystem::path(std::u8string(a.begin(), a.end())).wstring() +
                       L"\"");
    std::vector<const wchar_t*> argv;
    for (const auto& w : wide)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return static_cast<int>(_wspawnv(_P_WAIT, program.c_str(), argv.data()));
#else
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Worker(argv).wait().exitCode;
#endif
}

} // namespace vltest
