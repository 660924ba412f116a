#include "support/tempdir.h"

#include <atomic>
#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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

#ifdef _WIN32
std::string hostPath(const fs::path& p) {
    static const auto toUnix = reinterpret_cast<char*(__cdecl*)(const wchar_t*)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(fs::absolute(p).wstring().c_str()) : nullptr;
    const std::string out = unix ? unix : throw std::runtime_error("needs Wine: " + p.string());
    return HeapFree(GetProcessHeap(), 0, unix), out;
}

int hostRun(const std::string& program, const std::vector<std::string>& args) {
    // Wine's handle of a host process is signalled at once: the shell leaves its exit code in
    // a file, renamed into place when complete.
    const TempDir dir;
    const std::string done = hostPath(dir.path()) + "/rc";
    std::string script = program;
    for (const std::string& a : args) script += " '" + a + "'";
    script += " >/dev/null 2>&1; echo $? >'" + done + ".tmp' && mv '" + done + ".tmp' '" + done + "'";
    std::string line = "\"Z:\\bin\\sh\" -c \"" + script + "\"";
    std::wstring wide(line.begin(), line.end()); // ASCII test folders and options
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 3000 && !fs::exists(dir.path() / "rc"); ++i) // a minute
        Sleep(20);
    const std::string rc = readBytes(dir.path() / "rc");
    return rc.empty() || rc[0] < '0' || rc[0] > '9' ? -1 : std::stoi(rc);
}
#else
std::string hostPath(const fs::path& p) {
    return p.string();
}

int hostRun(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

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
