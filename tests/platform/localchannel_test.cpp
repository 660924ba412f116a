#include "platform/detached.h"
#include "platform/localchannel.h"
#include "platform/process.h"
#include "support/localserver.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vl::LocalChannel;
using Read = LocalChannel::Read;
using vltest::Server;

std::vector<std::string> ownArguments() {
#ifdef _WIN32
    return vl::commandLineArguments(0, nullptr);
#else
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(f), {}};
    std::vector<std::string> out;
    for (std::size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        out.push_back(all.substr(at, end - at));
    if (!out.empty()) out.erase(out.begin());
    return out;
#endif
}

// Started by the detached-process test with "--canal=<address>": sends its arguments there, one
// a line, then waits to be killed (or for the channel to end) instead of running the tests.
const bool helperRun = [] {
    const auto args = ownArguments();
    if (args.empty() || args[0].rfind("--canal=", 0) != 0) return false;
    for (const auto& a : args)
        if (a.rfind("--bloqueo=", 0) == 0) vl::holdLockFile(a.substr(10));
    auto channel = LocalChannel::connect(args[0].substr(8), 10s);
    for (const auto& a : args)
        if (channel) channel->send(a + "\n");
    std::string line;
    while (channel && channel->readLine(line, 60s) == Read::Line) {
    }
    std::_Exit(0);
}();

TEST(LocalChannel, NobodyListeningIsNoConnectionAtOnce) {
    vltest::TempDir t;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LocalChannel::connect(vl::windowServerAddress(t.path() / "nadie"), 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    const auto address = vl::windowServerAddress(t.path());
#ifdef _WIN32
    // The only instance is taken: busy until the timeout.
    Server server(address);
    auto first = LocalChannel::connect(address, 1s);
    ASSERT_TRUE(first);
    EXPECT_FALSE(LocalChannel::connect(address, 100ms));
#else
    // The socket file of a listener that died.
    ::close(Server::bound(address));
    ASSERT_TRUE(fs::exists(address));
    EXPECT_FALSE(LocalChannel::connect(address, 1s));
    ::unlink(address.c_str());
#endif
}

TEST(LocalChannel, LinesBothWays) {
    vltest::TempDir t;
    const auto address = vl::windowServerAddress(t.path());
    Server server(address);
    auto connected = LocalChannel::connect(address, 1s);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(server.accept());
    LocalChannel c = std::move(*connected);

    EXPECT_TRUE(c.send("uno\n"));
    EXPECT_TRUE(c.send("dos\r\n"));
    EXPECT_EQ(server.read(9), "uno\ndos\r\n");

    std::string line;
    auto next = [&](std::chrono::milliseconds timeout) {
        const Read r = c.readLine(line, timeout);
        return r == Read::Line ? line : r == Read::Timeout ? "<timeout>" : "<closed>";
    };
    server.write("a\r\nb\n\npar");
    for (const char* expected : {"a", "b", ""})
        EXPECT_EQ(next(1s), expected);
    EXPECT_EQ(next(50ms), "<timeout>"); // "par" has no end yet
    server.write("tido\n");
    EXPECT_EQ(next(1s), "partido");
    server.hangUp();
    EXPECT_EQ(next(1s), "<closed>");
    EXPECT_EQ(next(0ms), "<closed>");
    EXPECT_FALSE(c.send("tres\n"));
}

TEST(LocalChannel, OneAddressPerFolder) {
    vltest::TempDir t;
    const auto a = vl::windowServerAddress(t.path() / "uno");
    EXPECT_EQ(a, vl::windowServerAddress(t.path() / "uno" / ""));
    EXPECT_EQ(a, vl::windowServerAddress(t.path() / "dos" / ".." / "." / "uno"));
    EXPECT_NE(a, vl::windowServerAddress(t.path() / "dos"));
    EXPECT_EQ(a.find_last_not_of("0123456789abcdef"), a.size() - 17);
#ifdef _WIN32
    std::wstring upper = (t.path() / "UNO").wstring();
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    EXPECT_EQ(a, vl::windowServerAddress(upper));
    EXPECT_EQ(a.rfind("velantia-", 0), 0u);
#endif
}

#ifndef _WIN32
// In $XDG_RUNTIME_DIR when it is the user's alone, else in a folder of the user's own in the
// temp folder; a folder another user has or may enter, or a name another file has, is refused.
TEST(LocalChannel, ChannelInAFolderOnlyItsUserMayEnter) {
    vltest::TempDir t;
    const auto runtime = vl::environmentPath("XDG_RUNTIME_DIR");
    const auto tmp = vl::environmentPath("TMPDIR");
    vl::setEnvironment("TMPDIR", (t.path() / "tmp").string());
    const fs::path own = t.path() / "tmp" / ("velantia-" + std::to_string(::geteuid()));
    const fs::path xdg = t.path() / "xdg";
    fs::create_directories(xdg);
    fs::create_directories(own.parent_path());
    const auto at = [&](std::string_view runtimeMode, auto&& prepare) {
        fs::remove_all(own);
        if (runtimeMode.empty())
            vl::unsetEnvironment("XDG_RUNTIME_DIR");
        else
            vl::setEnvironment("XDG_RUNTIME_DIR", xdg.string());
        ::chmod(xdg.c_str(), runtimeMode == "0700" ? 0700 : 0755);
        vl::windowServerPlace(t.path()); // makes the folder
        prepare();
        const vl::WindowServerPlace p = vl::windowServerPlace(t.path());
        EXPECT_EQ(p.problem.empty(), !p.address.empty());
        EXPECT_TRUE(p.address.empty() || p.lock == p.address + ".lock");
        return p.problem.empty() ? fs::path(p.address).parent_path().string() : p.problem;
    };
    const auto nothing = [] {};
    const auto taken = [&](const std::string& suffix) {
        return [&, suffix] { fs::create_directory(vl::windowServerAddress(t.path()) + suffix); };
    };
    EXPECT_EQ(at("", nothing), own.string());
    struct stat st {};
    EXPECT_TRUE(::stat(own.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700);
    EXPECT_EQ(at("0700", nothing), xdg.string());
    EXPECT_EQ(at("0755", nothing), own.string()); // not the user's alone: the own folder
    const std::vector<std::pair<std::string, std::function<void()>>> refused{
        {"está abierta a otros usuarios", [&] { ::chmod(own.c_str(), 0777); }},
        {"no es una carpeta", [&] { fs::remove(own), fs::create_directory_symlink(xdg, own); }},
        {"ya lo tiene otro fichero o carpeta", taken("")},
        {"ya lo tiene otro fichero o carpeta", taken(".lock")},
    };
    for (const auto& [says, prepare] : refused)
        EXPECT_NE(at("", prepare).find(says), std::string::npos) << says;
    // Another user's folder: as root, one given to "nobody".
    if (::geteuid() == 0) {
        const auto given = [&] { EXPECT_EQ(::chown(own.c_str(), 65534, 65534), 0); };
        EXPECT_NE(at("", given).find("es de otro usuario del equipo"), std::string::npos);
    }
    vl::setEnvironment("TMPDIR", tmp.string());
    if (tmp.empty()) vl::unsetEnvironment("TMPDIR");
    vl::setEnvironment("XDG_RUNTIME_DIR", runtime.string());
    if (runtime.empty()) vl::unsetEnvironment("XDG_RUNTIME_DIR");
}
#endif

// The window process's lock is the system's: a file naming a running process is not held unless
// that process holds the lock, and the lock of a process that ends is free at once.
TEST(LocalChannel, LockFileHolder) {
    vltest::TempDir t;
    const fs::path f = t.path() / "x.lock";
    EXPECT_EQ(vl::lockFileHolder(f), 0); // no file
    const auto self = vl::currentProcessId();
    vltest::writeBytes(f, std::to_string(self) + "\n"); // its id now another process's
    EXPECT_EQ(vl::lockFileHolder(f), 0);
    const auto address = vl::windowServerAddress(t.path());
    Server server(address);
    const auto pid =
        vl::startDetached(vl::executablePath(), {"--canal=" + address, "--bloqueo=" + f.string()});
    ASSERT_TRUE(pid > 0 && server.accept());
    EXPECT_NE(server.read(address.size() + 9), ""); // its first line: it holds the lock
    EXPECT_EQ(vl::lockFileHolder(f), pid);
    EXPECT_FALSE(vl::holdLockFile(f));
    vl::killProcess(pid);
    EXPECT_EQ(vl::lockFileHolder(f), 0);
    EXPECT_TRUE(vl::holdLockFile(f));
    EXPECT_EQ(vl::lockFileHolder(f), self);
    vl::releaseLockFile(f);
    EXPECT_EQ(vl::lockFileHolder(f), 0);
}

TEST(LocalChannel, DetachedProcessRunsUntilKilled) {
    vltest::TempDir t;
    const auto address = vl::windowServerAddress(t.path());
    Server server(address);
    const std::vector<std::string> args{"--canal=" + address, "dos palabras",
                                        R"(comillas "dentro" \)", "ñandú \\\"", ""};
    const auto pid = vl::startDetached(vl::executablePath(), args);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(server.accept());
    std::string expected;
    for (const auto& a : args)
        expected += a + "\n";
    EXPECT_EQ(server.read(expected.size()), expected);
    EXPECT_TRUE(vl::processAlive(pid));
    vl::killProcess(pid);
    EXPECT_FALSE(vl::processAlive(pid));
    EXPECT_EQ(server.read(1), ""); // its end went with it

    EXPECT_EQ(vl::startDetached(t.path() / "no-existe", {}), -1);
    EXPECT_FALSE(vl::processAlive(0));
    vl::killProcess(vl::currentProcessId()); // nothing: we are still here
    EXPECT_TRUE(vl::processAlive(vl::currentProcessId()));
}

} // namespace
