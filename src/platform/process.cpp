#include "platform/process.h"

#include <cstdlib>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;

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

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

int runInstead(const fs::path& program, char*[]) {
    // The arguments as they came, in UTF-16: the narrow ones went through the code page.
    std::vector<std::wstring> wide;
    wide.push_back(L"\"" + program.wstring() + L"\"");
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    for (int i = 1; wargv && i < wargc; ++i)
        wide.push_back(L"\"" + std::wstring(wargv[i]) + L"\"");
    if (wargv) LocalFree(wargv);
    std::vector<const wchar_t*> args;
    for (const auto& w : wide)
        args.push_back(w.c_str());
    args.push_back(nullptr);
    const intptr_t rc = _wspawnv(_P_WAIT, program.c_str(), args.data());
    return rc == -1 ? -1 : static_cast<int>(rc);
}

#else

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

#endif

} // namespace vl
