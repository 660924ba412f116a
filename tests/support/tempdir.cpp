#include "support/tempdir.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

namespace {

void setImmutable([[maybe_unused]] const fs::path& p, [[maybe_unused]] bool on) {
#ifndef _WIN32
    const int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
#endif
}

} // namespace

ReadOnly::ReadOnly(fs::path p) : path(std::move(p)) {
    std::error_code ec;
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(path, write, fs::perm_options::remove, ec);
    setImmutable(path, true);
}

ReadOnly::~ReadOnly() {
    setImmutable(path, false);
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
}

bool ReadOnly::holds() const {
    return fs::is_directory(path) || !std::ofstream(path, std::ios::binary | std::ios::app);
}

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
