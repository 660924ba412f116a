// Velantia: started by the pharmacy-management program while a prescription is dispensed.
//
// This launcher loads neither the window toolkit nor the browser engine: a closing call that
// finds the lock free is done here in a few milliseconds, where loading those libraries alone
// took several hundred. A dispensing is handed to the window process started ahead ("velantia
// PRECARGAR") when one is ready; every other start goes on in velantia-ventanas, beside this
// program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/cmdline.h"
#include "core/handoff.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/text.h"
#include "core/version.h"
#include "outbox/closingcall.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/detached.h"
#include "platform/localchannel.h"
#include "platform/message.h"
#include "platform/fileio.h"
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
// cannot be started.
int startWindows(const fs::path& exe, char* argv[]) {
    return vl::runInstead(windowsProgram(exe), argv);
}

// Logged once the run's start is: the start line comes first.
void logNotStarted(const fs::path& exe) {
    vl::runlog::log("No se puede iniciar " + utf8(windowsProgram(exe)));
}

// Any start but a closing call the launcher did itself; `logged` when the start is already in
// the run log. The windows log their own start and end; when they cannot start, this start
// and its end are logged here.
int runWindows(const fs::path& exe, char* argv[], const vl::Paths& paths, const vl::RunState& run,
               const std::string& commandLine, bool logged) {
    const int rc = startWindows(exe, argv);
    if (rc != -1) return rc;
    if (!logged) vl::runlog::start(paths, run.terminalDigit, "velantia " + commandLine);
    logNotStarted(exe);
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
        outcome = vl::closeWhenFree(paths, std::move(outcome), 1000ms, vl::ClosingWaitLimit);
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

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

using Clock = std::chrono::steady_clock;

// How long a window process may stay silent before a start ahead gives it up: a dispensing's
// limit, or VELANTIA_PRECARGA_SILENCIO seconds.
Clock::duration silenceAllowed() {
    const char* v = std::getenv("VELANTIA_PRECARGA_SILENCIO");
    const long seconds = v ? std::strtol(v, nullptr, 10) : 0;
    if (seconds > 0 && seconds <= 3600) return std::chrono::seconds(seconds);
    return vl::handoff::SilentLimit;
}

std::string windowsIdentity(const fs::path& exe) {
    return vl::handoff::programIdentity(windowsProgram(exe));
}

// "velantia PRECARGAR": starts the window process for this product folder and session unless
// one is ready, and returns once it can show a page.
int preload(const fs::path& exe, const vl::Paths& paths) {
    using namespace std::chrono_literals;
    using Probe = vl::handoff::Probe;
    vl::runlog::start(paths, "", "velantia PRECARGAR");
    // Started at every login, also where the drive root is not set up yet: a window kept for a
    // folder that is not there would serve nobody.
    std::error_code ec;
    // Nor for one it cannot write in (a share mounted read-only): no dispensing could start.
    const fs::path probe =
        paths.product("precarga-" + std::to_string(vl::currentProcessId()) + ".tmp");
    const bool writable = fs::is_directory(paths.product(), ec) && vl::writeFileBytes(probe, "");
    fs::remove(probe, ec);
    if (!writable) {
        tell("Velantia no puede preparar su ventana: no se encuentra la carpeta de Velantia o no "
             "se puede escribir en ella:\n" +
             utf8(paths.product()) +
             (paths.rootOrigin().empty() ? "" : "\n(" + paths.rootOrigin() + ")"));
        return vl::runlog::end(1);
    }
    const vl::WindowServerPlace place = vl::windowServerPlace(paths.root());
    if (!place.problem.empty()) {
        tell("Velantia no puede preparar su ventana: " + place.problem +
             ".\nLas dispensaciones se abrirán igualmente, algo más despacio.");
        return vl::runlog::end(1);
    }
    const std::string& address = place.address;
    const fs::path& lock = place.lock;
    const std::string identity = windowsIdentity(exe);
    const Probe there = vl::handoff::probe(address, identity);
    if (there.kind == Probe::Ready) {
        vl::runlog::log("Ya hay una ventana preparada (proceso " + std::to_string(there.pid) + ")");
        return vl::runlog::end(0);
    }
    // One of another version steps aside for the new one.
    if (there.kind == Probe::OtherVersion) vl::handoff::askToQuit(address, identity);
    const auto silentLimit = silenceAllowed();
    // The browser engine's first start on a slow computer, its libraries scanned one by one.
    const auto deadline = Clock::now() + 120s;
    std::int64_t pid = -1;
    int starts = 0;
    bool hung = false; // the last one started was given up
    std::optional<Clock::time_point> silentSince;
    while (Clock::now() < deadline) {
        const auto asked = Clock::now();
        const Probe p = vl::handoff::probe(address, identity, 500ms);
        if (p.kind == Probe::Ready) {
            vl::runlog::log("Ventana preparada (proceso " + std::to_string(p.pid) + ")");
            return vl::runlog::end(0);
        }
        // One that takes the call but says nothing, idle or still loading the engine, is given
        // the time a dispensing gives it before it counts as hung; then it makes way, as nobody
        // is served by it.
        if (p.kind != Probe::Silent) {
            silentSince.reset();
        } else if (!silentSince) {
            silentSince = asked;
        } else if (Clock::now() - *silentSince >= silentLimit) {
            const std::int64_t holder = vl::lockFileHolder(lock);
            vl::runlog::log(
                "La ventana preparada (proceso " + std::to_string(holder) +
                ") no contesta desde hace " +
                std::to_string(std::chrono::ceil<std::chrono::seconds>(silentLimit).count()) +
                " s: se cierra y se prepara otra");
            vl::killProcess(holder > 0 ? holder : pid);
            hung = true;
            silentSince.reset();
        }
        // Ours also ends when another window process holds the place: one started ahead answers
        // the probe above once its engine has loaded; once one of another version has left, ours
        // starts again. Nobody holding it, ours ended on its own.
        if (!vl::processAlive(pid) && vl::lockFileHolder(lock) == 0) {
            if (starts == 3) {
                tell(std::string("Velantia no ha podido preparar su ventana: el programa de "
                                 "ventanas ") +
                     (hung ? "no contesta" : "terminó") +
                     " al arrancar. Las dispensaciones se abrirán igualmente, algo más despacio.");
                return vl::runlog::end(1);
            }
            ++starts;
            hung = false;
            pid = vl::startDetached(windowsProgram(exe), {"PRECARGAR"});
            if (pid < 0) {
                tell("Velantia no puede preparar su ventana: no se puede iniciar " +
                     utf8(windowsProgram(exe)) +
                     ".\nCompruebe que Velantia está bien instalado en este terminal.");
                return vl::runlog::end(1);
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    vl::killProcess(pid);
    tell("Velantia no ha podido preparar su ventana en dos minutos. Las dispensaciones se abrirán "
         "igualmente, algo más despacio.");
    return vl::runlog::end(1);
}

// A dispensing call handed to the window process started ahead; nullopt when it must start
// afresh (the reason is in the run log).
std::optional<int> serveAhead(const fs::path& exe, const vl::Paths& paths, const vl::RunState& run,
                              const std::string& line) {
    vl::handoff::Request request;
    request.line = line;
    std::error_code ec;
    request.directory = utf8(fs::current_path(ec));
    request.environment = vl::environmentWithPrefix("VELANTIA_");
    vl::handoff::ClientHooks hooks;
    hooks.mark = [](const std::string& name, long long ns) {
        std::printf("%s %lld\n", name.c_str(), ns);
        std::fflush(stdout);
    };
    hooks.notice = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    const vl::WindowServerPlace place = vl::windowServerPlace(paths.root());
    vl::handoff::Outcome o;
    o.why = place.problem;
    if (o.why.empty()) o = vl::handoff::serve(place.address, windowsIdentity(exe), request, hooks);
    if (o.kind == vl::handoff::Outcome::Served) return o.exitCode;
    vl::runlog::open(paths, run.terminalDigit);
    if (o.kind == vl::handoff::Outcome::NotServed) {
        vl::runlog::log("Arranque completo: " + o.why);
        return std::nullopt;
    }
    const std::string pid = std::to_string(o.pid);
    if (o.kind == vl::handoff::Outcome::Hung) {
        vl::runlog::log("La ventana preparada (proceso " + pid + ") no responde desde hace " +
                        std::to_string(vl::handoff::SilentLimit.count()) + " s: se termina");
        vl::killProcess(o.pid);
    } else {
        vl::runlog::log("La ventana preparada (proceso " + pid +
                        ") terminó sin acabar la dispensación");
    }
    // Its finish never ran: this terminal's status and lock are set as it would have.
    vl::finish(paths, run.terminalDigit);
    tell(std::string(o.kind == vl::handoff::Outcome::Hung
                         ? "La ventana de Velantia ha dejado de responder y se ha cerrado."
                         : "La ventana de Velantia se ha cerrado de forma inesperada.") +
         "\nLas respuestas ya grabadas se conservan: vuelva a abrir la dispensación para "
         "seguir.");
    return vl::runlog::end(1);
}

} // namespace

int main(int argc, char* argv[]) {
    if (vl::printVersionIfAsked(argc, argv, "velantia")) return 0;
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
    const vl::Paths paths(vl::chooseDriveRoot(dir));
    if (upper(commandLine) == "PRECARGAR") return preload(exe, paths);
    const vl::RunState run = vl::parseCommandLine(commandLine);
    // Only a dispensing is handed to the window process; the rest start as they always have.
    if (!run.closingCall && run.PendingAction.empty())
        if (const auto rc = serveAhead(exe, paths, run, logged)) return *rc;
    if (run.closingCall) {
        vl::runlog::start(paths, run.terminalDigit, "velantia " + logged);
        // No screen is asked for: the height limit only matters to the window.
        vl::ClosingOutcome outcome = vl::closingCallWithoutWindows(paths, commandLine, 768);
        // Said here: the windows might not even start where there is no screen.
        if (!outcome.st.productFolder) {
            tell(vl::productFolderMissingMessage(paths));
            return vl::runlog::end(1);
        }
        if (outcome.kind == vl::ClosingOutcome::Done) {
            vl::runlog::end(0);
            return 0;
        }
        std::error_code ec;
        // Without a screen the windows could not even show why: this program goes on itself.
        if (outcome.kind != vl::ClosingOutcome::NoMove && !vl::screenForWindows()) {
            vl::runlog::log("Sin pantalla para las ventanas: el cierre sigue aquí");
            return closeWithoutWindows(paths, std::move(outcome));
        }
        // Said only where there is a window program to go on in.
        if (outcome.kind != vl::ClosingOutcome::NoMove && fs::exists(windowsProgram(exe), ec))
            vl::runlog::log(outcome.kind == vl::ClosingOutcome::Failed
                                ? "Sigue en velantia-ventanas, que muestra el mensaje"
                                : "Sigue en velantia-ventanas, que espera a que se libere Ocupado");
        if (outcome.kind != vl::ClosingOutcome::NoMove) {
            // The message box needs the windows; the move itself is over.
            if (outcome.kind == vl::ClosingOutcome::Failed)
                vl::setEnvironment("VELANTIA_CIERRE_FALLIDO", outcome.error);
            vl::handOverClosingNote(paths, outcome.st.run);
            const int rc = startWindows(exe, argv);
            if (rc != -1) return rc;
            logNotStarted(exe);
            vl::unsetEnvironment("VELANTIA_CIERRE_FALLIDO");
            vl::noteClosingCall(paths, outcome.st.run, commandLine); // the call stays here
            return closeWithoutWindows(paths, std::move(outcome));
        }
        // No usable reference: the windows take the call from the start.
    }
    return runWindows(exe, argv, paths, run, logged, run.closingCall);
}
