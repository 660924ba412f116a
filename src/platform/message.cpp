#include "platform/message.h"

#include <cstdio>

#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vl {

#ifdef _WIN32

void printError(const std::string& text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0, written = 0;
    if (err != nullptr && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
        const std::wstring w = utf8ToWide(text + "\n");
        WriteConsoleW(err, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

#else

void printError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

#endif

void showMessage(const std::string& title, const std::string& text) {
    if (const auto file = environmentPath("VELANTIA_MENSAJES"); !file.empty()) {
        appendFileBytes(file, text + "\r\n");
        return;
    }
    // On Windows also for whoever redirected the error stream.
    printError(title + ": " + text);
#ifdef _WIN32
    // No window of ours owns the box: it must not hide behind the pharmacy-management program.
    MessageBoxW(nullptr, utf8ToWide(text).c_str(), utf8ToWide(title).c_str(),
                MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
#endif
}

} // namespace vl
