#include "core/runlog.h"

#include <mutex>
#include <system_error>

#include "core/dates.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/process.h"

namespace vl::runlog {

namespace fs = std::filesystem;

namespace {

std::mutex mutex;
fs::path target;

std::string oneLine(std::string_view event) {
    std::string text(event);
    for (char& c : text)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return text;
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
    const std::string line = toCp1252(shortDateTime() + " [" + std::to_string(currentProcessId()) +
                                      "] " + oneLine(event)) +
                             "\r\n";
    if (fileSizeOrZero(target) + line.size() > MaxBytes) {
        fs::path old = target;
        old += ".1";
        std::error_code ec;
        fs::rename(target, old, ec); // another terminal may have rotated it first
    }
    appendFileBytes(target, line);
}

} // namespace vl::runlog
