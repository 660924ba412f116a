#include "support/service_double.h"

#include <set>
#include <stdexcept>

#ifdef _WIN32
#error "The service double fixture runs on POSIX systems only"
#endif
#include <signal.h>

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

} // namespace

ServiceDouble::ServiceDouble(Options o) {
    fs::create_directories(dir_.path() / "certs");
    setMode(o.mode, "12", o.delaySeconds);
    const auto quoted = [](const fs::path& p) { return " '" + p.string() + "'"; };
    std::string command =
        "exec python3" + quoted(fs::path(VELANTIA_SOURCE_DIR) / "tests/support/service_double.py") +
        " --dir" + quoted(dir_.path() / "certs") + " --record" + quoted(dir_.path() / "record");
    if (o.wrongHost) command += " --wrong-host";
    if (o.untrustedCa) command += " --untrusted-ca";
    if (!o.zips.empty()) command += " --zips" + quoted(o.zips);
    // The pipe stays open for the double's life; its end is the double's end.
    pipe_ = popen(command.c_str(), "re");
    char line[4096] = {};
    if (!pipe_ || !fgets(line, sizeof line, pipe_) ||
        std::sscanf(line, "READY port=%d pid=%d", &port_, &pid_) != 2) {
        if (pipe_) pclose(pipe_);
        throw std::runtime_error(std::string("service double did not start: ") + line);
    }
}

ServiceDouble::~ServiceDouble() {
    kill(pid_, SIGTERM);
    pclose(pipe_);
}

bool ServiceDouble::setMode(const std::string& mode, const std::string& code, double delaySeconds) {
    // Read by the double at each request; renamed into place, never seen half written.
    writeBytes(dir_.path() / "mode", mode + " " + code + " " + std::to_string(delaySeconds));
    fs::rename(dir_.path() / "mode", dir_.path() / "certs/mode");
    return true;
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
