#include "support/service_double.h"
#include "support/tempdir.h"

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace vltest {

namespace fs = std::filesystem;

namespace {

// The entries of `dir` whose names start with `prefix`, in name order (numbered requests).
std::set<fs::path> entries(const fs::path& dir, const std::string& prefix) {
    std::set<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().starts_with(prefix)) found.insert(e.path());
    return found;
}

#ifdef _WIN32
// Wine hands a host program no pipes: the double writes its READY line into a file, and ends
// when the stop file appears.
bool waitForFile(const fs::path& p, bool present) {
    for (int i = 0; fs::exists(p) != present; ++i)
        if (i == 3000) return false; // a minute
        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return true;
}
#endif

} // namespace

ServiceDouble::ServiceDouble(Options o) {
    fs::create_directories(dir_.path() / "certs");
    fs::create_directories(dir_.path() / "record");
    setMode(o.mode, "12", o.delaySeconds);
    const auto quoted = [](const fs::path& p) { return " \"" + hostPath(p) + "\""; };
    std::string command =
        quoted(fs::path(VELANTIA_SOURCE_DIR) / "tests/support/service_double.py") + " --dir" +
        quoted(dir_.path() / "certs") + " --record" + quoted(dir_.path() / "record");
    if (o.wrongHost) command += " --wrong-host";
    if (o.untrustedCa) command += " --untrusted-ca";
    if (!o.zips.empty()) command += " --zips" + quoted(o.zips);
#ifdef _WIN32
    command = "Z:\\usr\\bin\\python3" + command + " --ready-file" + quoted(dir_.path());
    std::wstring wide(command.begin(), command.end()); // the paths are ASCII test folders
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const bool started =
        CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    if (started) CloseHandle(pi.hThread), CloseHandle(pi.hProcess);
    if (!started || !waitForFile(dir_.path() / "ready", true) ||
        std::sscanf(readBytes(dir_.path() / "ready").c_str(), "READY port=%d pid=%d", &port_, &pid_) != 2)
        throw std::runtime_error("service double did not start: " + command);
#else
    char line[4096] = {};
    // The pipe stays open for the double's life; its end is the double's end.
    pipe_ = popen(("exec python3" + command).c_str(), "re");
    if (!pipe_ || !fgets(line, sizeof line, pipe_) ||
        std::sscanf(line, "READY port=%d pid=%d", &port_, &pid_) != 2) {
        if (pipe_) pclose(pipe_);
        throw std::runtime_error(std::string("service double did not start: ") + line);
    }
#endif
}

ServiceDouble::~ServiceDouble() {
#ifdef _WIN32
    writeBytes(dir_.path() / "stop", "");
    waitForFile(dir_.path() / "ready", false);
#else
    kill(pid_, SIGTERM);
    pclose(pipe_);
#endif
}

bool ServiceDouble::setMode(const std::string& mode, const std::string& code, double delaySeconds) {
    // Read by the double at each request; renamed into place, never seen half written.
    writeBytes(dir_.path() / "mode", mode + " " + code + " " + std::to_string(delaySeconds));
    fs::rename(dir_.path() / "mode", dir_.path() / "certs/mode");
    return true;
}

bool ServiceDouble::setPage(const std::string& page) {
    writeBytes(dir_.path() / "page", page);
    fs::rename(dir_.path() / "page", dir_.path() / "certs/page");
    return setMode("page");
}

std::vector<RecordedUpload> ServiceDouble::recordedUploads() const {
    std::vector<RecordedUpload> out;
    for (const fs::path& d : entries(dir_.path() / "record", "upload-")) {
        out.push_back({readBytes(d / "body"), {}});
        for (const fs::path& p : entries(d / "parts", ""))
            out.back().parts.push_back({p.filename().string().substr(3), readBytes(p)});
    }
    return out;
}

std::vector<std::string> ServiceDouble::recordedQueries() const {
    std::vector<std::string> out;
    for (const fs::path& d : entries(dir_.path() / "record", "download-"))
        out.push_back(readBytes(d / "query"));
    return out;
}

} // namespace vltest
