#include "support/tempdir.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace vltest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("velantia-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
             std::to_string(rd() % 100000));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempDir::write(const std::string& relative, std::string_view bytes) const {
    const fs::path p = path_ / relative;
    fs::create_directories(p.parent_path());
    writeBytes(p, bytes);
    return p;
}

std::string TempDir::read(const std::string& relative) const { return readBytes(path_ / relative); }

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeBytes(const fs::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace vltest
