#include "support/service_double.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#error "The service double fixture runs on POSIX systems only"
#endif
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vltest {

namespace fs = std::filesystem;

namespace {

// Just enough JSON for the double's record files; strings carry bytes as U+0000..U+00FF.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json& operator[](const std::string& key) const {
        static const Json none;
        auto it = fields.find(key);
        return it == fields.end() ? none : it->second;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view s) : s_(s) {}

    Json parse() {
        Json v = value();
        blanks();
        if (i_ != s_.size()) fail();
        return v;
    }

private:
    [[noreturn]] void fail() { throw std::runtime_error("bad record JSON"); }
    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool take(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    Json value() {
        blanks();
        if (i_ >= s_.size()) fail();
        Json v;
        const char c = s_[i_];
        if (c == '{') {
            v.kind = Json::Object;
            ++i_;
            blanks();
            if (take("}")) return v;
            do {
                blanks();
                std::string key = string();
                blanks();
                if (!take(":")) fail();
                v.fields[key] = value();
                blanks();
            } while (take(","));
            if (!take("}")) fail();
        } else if (c == '[') {
            v.kind = Json::Array;
            ++i_;
            blanks();
            if (take("]")) return v;
            do {
                v.items.push_back(value());
                blanks();
            } while (take(","));
            if (!take("]")) fail();
        } else if (c == '"') {
            v.kind = Json::String;
            v.text = string();
        } else if (take("null")) {
        } else if (take("true") || take("false")) {
            v.kind = Json::Bool;
        } else {
            v.kind = Json::Number;
            while (i_ < s_.size() && std::string_view("+-.eE0123456789").find(s_[i_]) != std::string_view::npos)
                v.text += s_[i_++];
            if (v.text.empty()) fail();
        }
        return v;
    }
    std::string string() {
        if (!take("\"")) fail();
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) fail();
            c = s_[i_++];
            switch (c) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (i_ + 4 > s_.size()) fail();
                const unsigned long cp = std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16);
                i_ += 4;
                if (cp > 0xFF) fail(); // the double writes bytes only
                out += static_cast<char>(cp);
                break;
            }
            default: out += c;
            }
        }
        if (!take("\"")) fail();
        return out;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

std::vector<fs::path> recordFiles(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && e.path().extension() == ".json") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end()); // numbered with leading zeros
    return files;
}

std::string textOf(const Json& j) { return j.kind == Json::String ? j.text : std::string(); }

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

} // namespace

ServiceDouble::ServiceDouble() : ServiceDouble(Options{}) {}

ServiceDouble::ServiceDouble(Options options) {
    const fs::path script = fs::path(VELANTIA_SOURCE_DIR) / "tests/support/service_double.py";
    recordDir_ = dir_.path() / "record";
    std::vector<std::string> args{"python3",  script.string(),
                                  "--dir",    (dir_.path() / "certs").string(),
                                  "--record", recordDir_.string(),
                                  "--mode",   options.mode,
                                  "--code",   options.code,
                                  "--delay",  std::to_string(options.delaySeconds)};
    if (options.wrongHost) args.push_back("--wrong-host");
    if (options.untrustedCa) args.push_back("--untrusted-ca");
    if (!options.zips.empty()) {
        args.push_back("--zips");
        args.push_back(options.zips.string());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    stdoutFd_ = fds[0];
    if (rc != 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
        throw std::runtime_error("cannot start python3 for the service double");
    }
    pid_ = pid;

    // Wait for the READY line, bounded: making the certificates is the slow part.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{stdoutFd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        const ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    int port = 0;
    std::string ca;
    std::istringstream in(line.substr(0, line.find('\n')));
    std::string word;
    in >> word;
    if (word == "READY") {
        while (in >> word) {
            if (word.rfind("port=", 0) == 0) port = std::stoi(word.substr(5));
            if (word.rfind("ca=", 0) == 0) ca = word.substr(3);
        }
    }
    if (port <= 0 || ca.empty()) {
        stop();
        throw std::runtime_error("service double did not start: '" + line + "'");
    }
    port_ = port;
    caPath_ = ca;
}

ServiceDouble::~ServiceDouble() { stop(); }

void ServiceDouble::stop() {
    if (pid_ > 0) {
        kill(static_cast<pid_t>(pid_), SIGTERM);
        int status = 0;
        waitpid(static_cast<pid_t>(pid_), &status, 0);
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
}

std::string ServiceDouble::url() const {
    return "https://velantia.localhost:" + std::to_string(port_) + "/conexion_empresas.asp";
}

bool ServiceDouble::setMode(const std::string& mode, const std::string& code,
                            std::optional<double> delaySeconds) {
    std::string address = "https://velantia.localhost:" + std::to_string(port_) +
                          "/__mode?m=" + mode + "&code=" + code;
    if (delaySeconds) address += "&delay=" + std::to_string(*delaySeconds);
    std::unique_ptr<CURL, void (*)(CURL*)> h(curl_easy_init(), curl_easy_cleanup);
    if (!h) return false;
    std::string body;
    const std::string caFile = caPath_.string();
    curl_easy_setopt(h.get(), CURLOPT_URL, address.c_str());
    curl_easy_setopt(h.get(), CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
    return curl_easy_perform(h.get()) == CURLE_OK && body.rfind("mode=" + mode, 0) == 0;
}

std::vector<RecordedUpload> ServiceDouble::recordedUploads() const {
    std::vector<RecordedUpload> out;
    for (const auto& f : recordFiles(recordDir_, "upload-")) {
        const Json j = JsonReader(readBytes(f)).parse();
        RecordedUpload u;
        u.path = textOf(j["path"]);
        u.query = textOf(j["query"]);
        u.contentType = textOf(j["content_type"]);
        for (const Json& p : j["parts"].items) {
            RecordedPart part;
            part.name = textOf(p["name"]);
            if (p["filename"].kind == Json::String) part.filename = p["filename"].text;
            part.contentType = textOf(p["content_type"]);
            part.value = textOf(p["value"]);
            u.parts.push_back(std::move(part));
        }
        out.push_back(std::move(u));
    }
    return out;
}

std::vector<RecordedDownload> ServiceDouble::recordedDownloads() const {
    std::vector<RecordedDownload> out;
    for (const auto& f : recordFiles(recordDir_, "download-")) {
        const Json j = JsonReader(readBytes(f)).parse();
        out.push_back({textOf(j["path"]), textOf(j["query"])});
    }
    return out;
}

std::string ServiceDouble::refusedUrl() {
    // Bind an ephemeral loopback port and give it back: nothing listens there afterwards.
    int port = 1;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s >= 0) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(s);
    }
    return "https://velantia.localhost:" + std::to_string(port) + "/conexion_empresas.asp";
}

} // namespace vltest
