// Shared by the fuzz targets: one scratch folder per process, byte-exact file helpers and a
// check that stops the run with a message (libFuzzer keeps the input that got there).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace vlfuzz {

namespace fs = std::filesystem;

// Made on first use under $TMPDIR and removed when the process ends normally; every input
// works inside it, so a long run leaves nothing behind.
class Scratch {
  public:
    static const fs::path& root() {
        static Scratch s;
        return s.path_;
    }

  private:
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vlfuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path path_;
};

inline void writeBytes(const fs::path& p, std::string_view bytes) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", p.c_str());
        std::abort();
    }
}

inline std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Empties `dir` (made if missing) so each input starts from the same state.
inline void resetFolder(const fs::path& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
}

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) fail(what, detail);
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace vlfuzz

// Durability is not what these runs look at, and a sync per input makes them crawl: this
// definition takes the place of the C library's in every fuzz program (and only there).
extern "C" int fsync(int) { return 0; }
