// Velantia: started by the pharmacy-management program while a prescription is dispensed.
//
// This launcher loads neither the window toolkit nor the browser engine: a closing call that
// finds the lock free is done here in a few milliseconds, where loading those libraries alone
// took several hundred. Every other start goes on in velantia-ventanas, beside this program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "core/cmdline.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingcall.h"

namespace fs = std::filesystem;

namespace {

// The program's folder; empty when it cannot be told.
fs::path executableDir() {
#ifdef _WIN32
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return {};
    buf.resize(n);
    return fs::path(buf).parent_path();
#else
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
#endif
}

// VELANTIA_MEDIR_ARRANQUE: the moment this process got going, for bench/run.
void markStartup() {
    if (!std::getenv("VELANTIA_MEDIR_ARRANQUE")) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::printf("main %lld\n", static_cast<long long>(ns.count()));
    std::fflush(stdout);
}

// Runs velantia-ventanas with the same arguments: in this process's place where the system
// allows it, so the pharmacy-management program keeps waiting on the same process.
int runWindows(const fs::path& dir, int argc, char* argv[]) {
    const fs::path windows = dir / "velantia-ventanas"
#ifdef _WIN32
                                   ".exe"
#endif
        ;
#ifdef _WIN32
    std::vector<std::wstring> wide;
    wide.push_back(L"\"" + windows.wstring() + L"\"");
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    for (int i = 1; wargv && i < wargc; ++i)
        wide.push_back(L"\"" + std::wstring(wargv[i]) + L"\"");
    if (wargv) LocalFree(wargv);
    std::vector<const wchar_t*> args;
    for (const auto& w : wide)
        args.push_back(w.c_str());
    args.push_back(nullptr);
    const intptr_t rc = _wspawnv(_P_WAIT, windows.c_str(), args.data());
    (void)argc;
    (void)argv;
    if (rc != -1) return static_cast<int>(rc);
#else
    std::vector<char*> args(argv, argv + argc);
    std::string program = windows.string();
    args[0] = program.data();
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
#endif
    std::fprintf(stderr, "Velantia: no se puede iniciar %s\n", windows.string().c_str());
    vl::runlog::log("No se puede iniciar " + windows.string());
    vl::runlog::end(1);
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    markStartup();
    const fs::path dir = executableDir();
    if (dir.empty()) {
        std::fprintf(stderr, "Velantia: no se encuentra la carpeta del programa\n");
        return 1;
    }

    // The pharmacy-management program passes one line; rebuild it from the arguments.
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    const std::string commandLine = vl::toCp1252(line);
    // Only this launcher tells the windows about a failed move.
#ifdef _WIN32
    _putenv_s("VELANTIA_CIERRE_FALLIDO", "");
#else
    unsetenv("VELANTIA_CIERRE_FALLIDO");
#endif
    if (const vl::RunState run = vl::parseCommandLine(commandLine); run.closingCall) {
        const vl::Paths paths(vl::driveRoot(dir));
        vl::runlog::start(paths, run.terminalDigit, "velantia " + vl::fromCp1252(commandLine));
        // No screen is asked for: the height limit only matters to the window.
        const vl::ClosingOutcome outcome = vl::closingCallWithoutWindows(paths, commandLine, 768);
        if (outcome.kind == vl::ClosingOutcome::Done) {
            vl::runlog::end(0);
            return 0;
        }
        vl::runlog::log(outcome.kind == vl::ClosingOutcome::Failed
                            ? "Sigue en velantia-ventanas, que muestra el mensaje"
                            : "Sigue en velantia-ventanas, que repite la llamada");
        if (outcome.kind == vl::ClosingOutcome::Failed) {
            // The message box needs the windows; the move itself is over.
#ifdef _WIN32
            _putenv_s("VELANTIA_CIERRE_FALLIDO", outcome.error.c_str());
#else
            setenv("VELANTIA_CIERRE_FALLIDO", outcome.error.c_str(), 1);
#endif
        }
        // Busy, or no usable reference: the windows take the call from the start.
    }
    return runWindows(dir, argc, argv);
}
