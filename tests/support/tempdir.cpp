#include "support/tempdir.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vltest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device random; // 64 random bits: no clash with another test process
    path_ = fs::temp_directory_path() / ("velantia-test-" + std::to_string(counter++) + "-" +
                                         std::to_string(random()) + std::to_string(random()));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

// The immutable flag binds root too; the permission bits alone do not.
static void setImmutable([[maybe_unused]] const fs::path& p, [[maybe_unused]] bool on) {
#ifndef _WIN32
    const int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) close(fd);
#endif
}

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
    if (!fs::is_directory(path)) return !std::ofstream(path, std::ios::binary | std::ios::app);
    // A folder holds when nothing can be made in it (Windows ignores its read-only attribute).
    const fs::path probe = path / ".probe";
    const bool made = static_cast<bool>(std::ofstream(probe, std::ios::binary));
    std::error_code ec;
    if (made) fs::remove(probe, ec);
    return !made;
}

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return in ? ss.str() : "<missing>";
}

void writeBytes(const fs::path& p, std::string_view bytes) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Tree snapshotTree(const fs::path& root) {
    Tree out;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(root, ec)) {
        const std::string rel = fs::relative(e.path(), root, ec).generic_string();
        out[e.is_directory(ec) ? rel + "/" : rel] = e.is_directory(ec) ? "" : readBytes(e.path());
    }
    return out;
}

} // namespace vltest
