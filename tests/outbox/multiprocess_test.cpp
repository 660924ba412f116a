#include <gtest/gtest.h>

#ifndef _WIN32

#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/fileio.h"
#include "outbox/outbox.h"
#include "support/tempdir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

// Terminals 1..4 close dispensings at the same moment, several rounds each; the lock must let
// exactly one closing move write at a time.
TEST(ClosingMoveProcesses, ConcurrentTerminalsLoseAndRepeatNothing) {
    constexpr int kTerminals = 4, kRounds = 5, kCount = 10;
    vltest::TempDir dir;
    fs::create_directories(dir.path() / "quiroles/Velantia/referencias");
    dir.write("quiroles/Velantia/Ocupado", "*");

    const std::string root = dir.path().string();
    const std::string rounds = std::to_string(kRounds), count = std::to_string(kCount);
    std::vector<pid_t> pids;
    for (int t = 1; t <= kTerminals; ++t) {
        const std::string digit = std::to_string(t);
        std::vector<char*> argv{const_cast<char*>(VELANTIA_CLOSING_WORKER),
                                const_cast<char*>(root.c_str()), const_cast<char*>(digit.c_str()),
                                const_cast<char*>(rounds.c_str()), const_cast<char*>(count.c_str()),
                                nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, VELANTIA_CLOSING_WORKER, nullptr, nullptr, argv.data(), environ), 0);
        pids.push_back(pid);
    }
    // Each worker gives up by itself after 60 s, so these waits end.
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    const std::string out = dir.read("quiroles/Velantia/Respuesta.tsv");
    const std::string header = vl::OutboxHeader;
    ASSERT_EQ(out.substr(0, header.size()), header);
    ASSERT_TRUE(out.ends_with("\r\n"));
    const std::vector<std::string> lines = vl::splitLines(out.substr(header.size()));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTerminals * kRounds * kCount));

    std::set<std::string> codes;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        SCOPED_TRACE(lines[n]);
        const auto f = splitTabs(lines[n]);
        ASSERT_EQ(f.size(), 5u);
        EXPECT_EQ(f[0], std::to_string(n + 1)); // consecutive from 1
        ASSERT_EQ(f[1].size(), 6u);
        EXPECT_TRUE(codes.insert(f[1]).second) << "repeated";
        EXPECT_EQ(f[2], "4321");
        // digit, round, position as written by the worker
        const std::string want = f[1].substr(0, 1) + "," + std::to_string(std::stoi(f[1].substr(1, 2))) +
                                 "," + std::to_string(std::stoi(f[1].substr(3)));
        EXPECT_EQ(f[4], want);
    }
    for (int t = 1; t <= kTerminals; ++t)
        for (int r = 1; r <= kRounds; ++r)
            for (int i = 1; i <= kCount; ++i) {
                char code[8];
                std::snprintf(code, sizeof code, "%d%02d%03d", t, r, i);
                EXPECT_EQ(codes.count(code), 1u) << code;
            }
    EXPECT_EQ(dir.read("quiroles/Velantia/NumRegistro"), std::to_string(lines.size()) + "\r\n");
    EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), "*");
    EXPECT_TRUE(fs::is_empty(dir.path() / "quiroles/Velantia/referencias"));
}

} // namespace

#endif
