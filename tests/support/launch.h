// Programs started as the pharmacy-management program starts them, and a file held open by
// another program the way a spreadsheet or a backup holds it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include "support/faults.h"
#endif

namespace vltest {

// Runs `program` with `args` (UTF-8, passed as they are) and waits: its exit code, -1 when it
// could not be started.
inline int runProgram(const std::filesystem::path& program, const std::vector<std::string>& args) {
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

#ifdef _WIN32
// `p` opened sharing nothing, until release().
struct HeldOpen {
    explicit HeldOpen(const std::filesystem::path& p)
        : h(CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldOpen() { release(); }
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;
    void release() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    HANDLE h;
};
#endif

} // namespace vltest
