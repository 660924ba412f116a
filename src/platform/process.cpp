#include "platform/process.h"

#include <cstdlib>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>

#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;

namespace {
void (*exitNotice)(int) = nullptr;
}

void setHardExitNotice(void (*notice)(int)) {
    exitNotice = notice;
}

void hardExit(int code) {
    if (exitNotice) exitNotice(code);
    std::_Exit(code);
}

#ifdef _WIN32

fs::path executablePath() {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return {};
    buf.resize(n);
    return fs::path(buf);
}

void setEnvironment(const char* name, const std::string& value) {
    if (value.empty()) {
        // The runtime takes an empty value for a removal.
        unsetEnvironment(name);
        return;
    }
    _putenv_s(name, value.c_str());
}

void unsetEnvironment(const char* name) {
    _putenv_s(name, "");
}

fs::path environmentPath(const char* name) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* v = _wgetenv(wide.c_str());
    return v ? fs::path(v) : fs::path();
}

std::vector<std::pair<std::string, std::string>> environmentWithPrefix(std::string_view prefix) {
    std::vector<std::pair<std::string, std::string>> out;
    wchar_t* block = GetEnvironmentStringsW();
    if (!block) return out;
    for (const wchar_t* e = block; *e; e += std::char_traits<wchar_t>::length(e) + 1) {
        const int len = static_cast<int>(std::char_traits<wchar_t>::length(e));
        std::string utf8(static_cast<std::size_t>(len) * 3, '\0');
        const int n = WideCharToMultiByte(CP_UTF8, 0, e, len, utf8.data(),
                                          static_cast<int>(utf8.size()), nullptr, nullptr);
        utf8.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        const std::size_t eq = utf8.find('=', 1);
        if (eq != std::string::npos && std::string_view(utf8).substr(0, eq).starts_with(prefix))
            out.emplace_back(utf8.substr(0, eq), utf8.substr(eq + 1));
    }
    FreeEnvironmentStringsW(block);
    return out;
}

void allowForeground(std::int64_t pid) {
    if (pid > 0) AllowSetForegroundWindow(static_cast<DWORD>(pid));
}

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

std::wstring utf8ToWide(std::string_view utf8) {
    if (utf8.empty()) return {};
    std::wstring out(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::wstring windowsQuotedArgument(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

int runInstead(const fs::path& program, char*[]) {
    // The arguments as they came, in UTF-16: the narrow ones went through the code page.
    std::vector<std::wstring> wide;
    wide.push_back(windowsQuotedArgument(program.wstring()));
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    for (int i = 1; wargv && i < wargc; ++i)
        wide.push_back(windowsQuotedArgument(wargv[i]));
    if (wargv) LocalFree(wargv);
    std::vector<const wchar_t*> args;
    for (const auto& w : wide)
        args.push_back(w.c_str());
    args.push_back(nullptr);
    const intptr_t rc = _wspawnv(_P_WAIT, program.c_str(), args.data());
    return rc == -1 ? -1 : static_cast<int>(rc);
}

std::vector<std::string> commandLineArguments(int, char*[]) {
    std::vector<std::string> out;
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    for (int i = 1; wargv && i < wargc; ++i) {
        const int len = static_cast<int>(std::char_traits<wchar_t>::length(wargv[i]));
        std::string utf8(static_cast<std::size_t>(len) * 3, '\0');
        const int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], len, utf8.data(),
                                          static_cast<int>(utf8.size()), nullptr, nullptr);
        utf8.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        out.push_back(std::move(utf8));
    }
    if (wargv) LocalFree(wargv);
    return out;
}

std::int64_t currentProcessId() {
    return static_cast<std::int64_t>(GetCurrentProcessId());
}

bool screenForWindows() {
    return true; // a session always has its desktop
}

bool appendFileBytes(const fs::path& p, std::string_view bytes) {
    // FILE_APPEND_DATA alone makes every write land at the end, whoever else appends.
    HANDLE h = CreateFileW(p.wstring().c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(h);
    return ok;
}

int terminationRequests() {
    return -1;
}

#else

namespace {

int terminationPipe[2] = {-1, -1};

void onTerminationRequest(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(terminationPipe[1], &c, 1);
}

} // namespace

int terminationRequests() {
    if (terminationPipe[0] != -1) return terminationPipe[0];
    if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction sa {};
    sa.sa_handler = onTerminationRequest;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(sig, &sa, nullptr);
    return terminationPipe[0];
}

fs::path executablePath() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

void setEnvironment(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);
}

void unsetEnvironment(const char* name) {
    ::unsetenv(name);
}

fs::path environmentPath(const char* name) {
    const char* v = std::getenv(name);
    return v ? fs::path(v) : fs::path();
}

std::vector<std::pair<std::string, std::string>> environmentWithPrefix(std::string_view prefix) {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** e = environ; e && *e; ++e) {
        const std::string_view v(*e);
        const std::size_t eq = v.find('=');
        if (eq != std::string_view::npos && v.substr(0, eq).starts_with(prefix))
            out.emplace_back(std::string(v.substr(0, eq)), std::string(v.substr(eq + 1)));
    }
    return out;
}

void allowForeground(std::int64_t) {}

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

int runInstead(const fs::path& program, char* argv[]) {
    std::vector<char*> args;
    std::string path = program.string();
    args.push_back(path.data());
    for (int i = 1; argv[i]; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(path.c_str(), args.data());
    return -1;
}

std::vector<std::string> commandLineArguments(int argc, char* argv[]) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::int64_t currentProcessId() {
    return static_cast<std::int64_t>(getpid());
}

bool screenForWindows() {
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(v);
        if (value && *value) return true;
    }
    return false;
}

bool appendFileBytes(const fs::path& p, std::string_view bytes) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    const bool ok = n == static_cast<ssize_t>(bytes.size());
    return (::close(fd) == 0) && ok;
}

#endif

} // namespace vl
