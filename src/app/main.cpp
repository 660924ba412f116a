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
#include <vector>

#include "core/cmdline.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingcall.h"
#include "outbox/lock.h"
#include "platform/message.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

// VELANTIA_MEDIR_ARRANQUE: the moment this process got going, for bench/run.
void markStartup() {
    if (!std::getenv("VELANTIA_MEDIR_ARRANQUE")) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::printf("main %lld\n", static_cast<long long>(ns.count()));
    std::fflush(stdout);
}

std::string utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// Shown with the system's message box (nothing else of ours can show it here) and logged.
void tell(const std::string& message) {
    vl::runlog::log("Mensaje: " + message);
    vl::showMessage("Velantia", message);
}

// velantia-ventanas beside this program, with its extension (".exe" on Windows).
fs::path windowsProgram(const fs::path& exe) {
    return exe.parent_path() / ("velantia-ventanas" + exe.extension().string());
}

// Runs velantia-ventanas with the same arguments: in this process's place where the system
// allows it, so the pharmacy-management program keeps waiting on the same process. -1 when it
// cannot be started (logged, where the run log is open).
int startWindows(const fs::path& exe, char* argv[]) {
    const int rc = vl::runInstead(windowsProgram(exe), argv);
    if (rc == -1) vl::runlog::log("No se puede iniciar " + utf8(windowsProgram(exe)));
    return rc;
}

// Any start but a closing call the launcher did itself; `logged` when the start is already in
// the run log. The windows log their own start and end; when they cannot start, this start
// and its end are logged here.
int runWindows(const fs::path& exe, char* argv[], const vl::Paths& paths, const vl::RunState& run,
               const std::string& commandLine, bool logged) {
    const int rc = startWindows(exe, argv);
    if (rc != -1) return rc;
    if (!logged) vl::runlog::start(paths, run.terminalDigit, "velantia " + commandLine);
    tell("Velantia no puede mostrar sus ventanas: no se puede iniciar " +
         utf8(windowsProgram(exe)) +
         ".\nCompruebe que Velantia está bien instalado en este "
         "terminal.");
    vl::runlog::end(1);
    return 1;
}

// A closing call the windows cannot take over: this program waits for the lock itself, as the
// busy window does (but with a limit: nobody can press Escape here), and tells why when the
// answers stay on the terminal.
int closeWithoutWindows(const vl::Paths& paths, vl::ClosingOutcome outcome) {
    using namespace std::chrono_literals;
    if (outcome.kind == vl::ClosingOutcome::Busy) {
        vl::runlog::log("Cierre: se espera aquí a que se libere Ocupado");
        outcome = vl::closeWhenFree(paths, std::move(outcome), 1000ms, 120s);
    }
    if (outcome.kind != vl::ClosingOutcome::Failed) {
        vl::runlog::end(0);
        return 0;
    }
    tell(vl::fromCp1252(outcome.error));
    vl::finish(paths, outcome.st.run.terminalDigit);
    vl::runlog::end(1);
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    markStartup();
    const fs::path exe = vl::executablePath();
    const fs::path dir = exe.parent_path();
    if (dir.empty()) {
        vl::showMessage("Velantia", "Velantia: no se encuentra la carpeta del programa.");
        return 1;
    }

    // The pharmacy-management program passes one line; rebuild it from the arguments and bring
    // it into the program's single-byte text in one conversion.
    std::string line;
    const std::vector<std::string> args = vl::commandLineArguments(argc, argv);
    for (std::size_t i = 0; i < args.size(); ++i)
        line += (i > 0 ? " " : "") + args[i];
    const std::string commandLine = vl::toCp1252(line);
    const std::string logged = vl::fromCp1252(commandLine);
    // Only this launcher tells the windows about a failed move.
    vl::unsetEnvironment("VELANTIA_CIERRE_FALLIDO");
    const vl::Paths paths(vl::driveRoot(dir));
    const vl::RunState run = vl::parseCommandLine(commandLine);
    if (run.closingCall) {
        vl::runlog::start(paths, run.terminalDigit, "velantia " + logged);
        // No screen is asked for: the height limit only matters to the window.
        vl::ClosingOutcome outcome = vl::closingCallWithoutWindows(paths, commandLine, 768);
        if (outcome.kind == vl::ClosingOutcome::Done) {
            vl::runlog::end(0);
            return 0;
        }
        std::error_code ec;
        // Said only where there is a window program to go on in.
        if (outcome.kind != vl::ClosingOutcome::NoMove && fs::exists(windowsProgram(exe), ec))
            vl::runlog::log(outcome.kind == vl::ClosingOutcome::Failed
                                ? "Sigue en velantia-ventanas, que muestra el mensaje"
                                : "Sigue en velantia-ventanas, que espera a que se libere Ocupado");
        if (outcome.kind != vl::ClosingOutcome::NoMove) {
            // The message box needs the windows; the move itself is over.
            if (outcome.kind == vl::ClosingOutcome::Failed)
                vl::setEnvironment("VELANTIA_CIERRE_FALLIDO", outcome.error);
            const int rc = startWindows(exe, argv);
            if (rc != -1) return rc;
            vl::unsetEnvironment("VELANTIA_CIERRE_FALLIDO");
            return closeWithoutWindows(paths, std::move(outcome));
        }
        // No usable reference: the windows take the call from the start.
    }
    return runWindows(exe, argv, paths, run, logged, run.closingCall);
}
