#include "core/runlog.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <system_error>

#include "core/dates.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "platform/process.h"

namespace vl::runlog {

namespace fs = std::filesystem;

namespace {

std::mutex mutex;
fs::path target;
std::string outcome; // noteOutcome()
int outcomeCode = 0;

// A message's line breaks become one blank each run, so every event stays one line.
std::string oneLine(std::string_view event) {
    std::string text;
    for (const char c : event) {
        const bool breaks = c == '\r' || c == '\n' || c == '\0';
        if (!breaks)
            text += c;
        else if (text.empty() || text.back() != ' ')
            text += ' ';
    }
    return text;
}

// The event as a log line: date and time, process, text; Windows-1252, CR LF.
std::string stamped(std::string_view event) {
    return toCp1252NamingOthers(shortDateTime() + " [" + std::to_string(currentProcessId()) + "] " +
                                oneLine(event)) +
           "\r\n";
}

} // namespace

fs::path logPath(const Paths& paths, std::string_view terminalDigit) {
    return paths.product("registro" + std::string(terminalDigit) + ".log");
}

void open(const Paths& paths, std::string_view terminalDigit) {
    const std::lock_guard lock(mutex);
    target = logPath(paths, terminalDigit);
}

void close() {
    const std::lock_guard lock(mutex);
    target.clear();
}

fs::path currentPath() {
    const std::lock_guard lock(mutex);
    return target;
}

void log(std::string_view event) {
    const std::lock_guard lock(mutex);
    if (target.empty()) return;
    const std::string line = stamped(event);
    if (fileSizeOrZero(target) + line.size() > MaxBytes) {
        // Two processes past the limit at once must not both rotate: the second would move the
        // first one's new, short log over the full one. Whoever cannot have the lock at once
        // writes on; its next line rotates if still needed.
        fs::path lockFile = target, old = target;
        lockFile += ".lck";
        old += ".1";
        const OsFileTryLock rotation(lockFile);
        std::error_code ec;
        if (rotation.locked() && fileSizeOrZero(target) + line.size() > MaxBytes) {
            fs::rename(target, old, ec);
            // The old part cannot be replaced (a folder of that name, a file another program
            // holds open): this one keeps the whole lines of its newer half (none when it has
            // no line end there), so it never grows past the limit.
            const auto bytes = ec ? readFileBytes(target) : std::nullopt;
            if (bytes) {
                const std::size_t from = bytes->find("\r\n", bytes->size() / 2);
                const std::string kept =
                    (from == std::string::npos ? std::string() : bytes->substr(from + 2)) +
                    stamped("Registro: no se puede sustituir " + old.filename().string() +
                            "; se han quitado las líneas más antiguas de este registro para que no "
                            "pase de 1 MB");
                if (!writeFileReplacing(target, kept)) writeFileBytes(target, kept);
            }
        }
    }
    appendFileBytes(target, line);
}

void start(const Paths& paths, std::string_view terminalDigit, std::string_view programAndLine) {
    open(paths, terminalDigit);
    {
        // A window process serves one run after another: a note is its own run's.
        const std::lock_guard lock(mutex);
        outcome.clear();
        outcomeCode = 0;
    }
    log("Inicio: " + std::string(programAndLine));
}

void noteOutcome(std::string_view text, int exitCode) {
    const std::lock_guard lock(mutex);
    outcome = text;
    outcomeCode = text.empty() ? 0 : exitCode;
}

int end(int exitCode, bool outcomeRaisesCode) {
    std::string how;
    {
        const std::lock_guard lock(mutex);
        how = outcome;
        if (outcomeRaisesCode) exitCode = std::max(exitCode, outcomeCode);
    }
    if (exitCode == 0)
        log(how.empty() ? std::string("Fin: terminado sin errores") : "Fin: " + how);
    else
        log("Fin: terminado con error (código " + std::to_string(exitCode) + ")" +
            (how.empty() ? "" : ": " + how));
    return exitCode;
}

std::vector<fs::path> logFiles(const Paths& paths) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(paths.product(), ec), last; !ec && it != last;
         it.increment(ec)) {
        const std::string name = lowerCp1252(it->path().filename().string());
        if (name.starts_with("registro") && name.ends_with(".log")) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string readLog(const fs::path& log) {
    fs::path old = log;
    old += ".1";
    return readFileBytes(old).value_or("") + readFileBytes(log).value_or("");
}

} // namespace vl::runlog
