#include "platform/detached.h"

#include "platform/process.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

#ifdef _WIN32

std::int64_t startDetached(const fs::path& program, const std::vector<std::string>& args) {
    std::wstring commandLine = windowsQuotedArgument(program.wstring());
    for (const auto& a : args)
        commandLine += L' ' + windowsQuotedArgument(utf8ToWide(a));

    // The null device is the only handle it inherits.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) return -1;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> listBuf(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuf.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        CloseHandle(nul);
        return -1;
    }
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &nul, sizeof nul, nullptr,
                              nullptr);
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = si.StartupInfo.hStdOutput = si.StartupInfo.hStdError = nul;
    si.lpAttributeList = list;

    PROCESS_INFORMATION pi{};
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
    // Out of the caller's job where it allows that, so that closing the job spares it.
    BOOL ok =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr, &si.StartupInfo, &pi);
    if (!ok)
        ok = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                            nullptr, nullptr, &si.StartupInfo, &pi);
    DeleteProcThreadAttributeList(list);
    CloseHandle(nul);
    if (!ok) return -1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<std::int64_t>(pi.dwProcessId);
}

bool processAlive(std::int64_t pid) {
    if (pid <= 0) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                           static_cast<DWORD>(pid));
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

void killProcess(std::int64_t pid) {
    if (pid <= 0 || pid == currentProcessId()) return;
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h) return;
    if (TerminateProcess(h, 1)) WaitForSingleObject(h, 1000);
    CloseHandle(h);
}

#else

std::int64_t startDetached(const fs::path& program, const std::vector<std::string>& args) {
    // Everything the children need is made before fork: after it only system calls.
    std::string path = program.string();
    std::vector<std::string> strings(args);
    std::vector<char*> argv{path.data()};
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    // The grandchild writes its pid, then errno if exec fails; exec closes the pipe.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return -1;
    }
    if (child == 0) {
        ::close(report[0]);
        // A session of its own, then a fork so that it can never take a terminal again.
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        ::setpgid(0, 0);
        int out = ::fcntl(report[1], F_DUPFD_CLOEXEC, 3); // above the standard three
        const int nul = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(nul, fd);
        if (out < 0) ::_exit(127);
        ::close_range(3, static_cast<unsigned>(out) - 1, 0);
        ::close_range(static_cast<unsigned>(out) + 1, ~0u, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        const pid_t self = ::getpid();
        if (::write(out, &self, sizeof self) != sizeof self) ::_exit(127);
        ::execv(path.c_str(), argv.data());
        const int err = errno;
        (void)!::write(out, &err, sizeof err);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Both reads end when the grandchild's exec (or exit) closes its end.
    char buf[sizeof(pid_t) + sizeof(int)];
    std::size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(report[0], buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(report[0]);
    if (got != sizeof(pid_t)) return -1;
    pid_t pid = 0;
    std::memcpy(&pid, buf, sizeof pid);
    return pid;
}

bool processAlive(std::int64_t pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // One that has ended still answers kill() until its parent reaps it.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    std::getline(stat, s);
    const auto paren = s.rfind(')');
    return paren == std::string::npos || paren + 2 >= s.size() ||
           (s[paren + 2] != 'Z' && s[paren + 2] != 'X');
}

void killProcess(std::int64_t pid) {
    if (pid <= 0 || pid == currentProcessId()) return;
    const auto p = static_cast<pid_t>(pid);
    // The browser engine's helpers are in the group the process leads.
    if (::getpgid(p) == p && p != ::getpgrp())
        ::kill(-p, SIGKILL);
    else
        ::kill(p, SIGKILL);
    for (int i = 0; i < 200 && processAlive(pid); ++i)
        std::this_thread::sleep_for(milliseconds(5));
}

#endif

} // namespace vl
