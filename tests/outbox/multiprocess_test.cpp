#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "support/closings.h"
#include "support/service_double.h"
#include "support/tempdir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vltest::checkOutboxText;

// Starts the worker with `args`; with `out`, its stdout comes back through a pipe.
pid_t spawnWorker(const std::vector<std::string>& args, int* out = nullptr) {
    std::vector<std::string> all{VELANTIA_CLOSING_WORKER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (out) {
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, VELANTIA_CLOSING_WORKER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        close(fds[1]);
        *out = fds[0];
    }
    return rc == 0 ? pid : -1;
}

// The worker's exit code, or -1 when it did not exit normally. Every worker gives up by itself
// after 60 s, so this wait ends.
int exitCodeOf(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

fs::path product(const vltest::TempDir& dir) {
    return dir.path() / "quiroles/Velantia";
}

void prepareProduct(const vltest::TempDir& dir) {
    fs::create_directories(product(dir) / "referencias");
    dir.write("quiroles/Velantia/Ocupado", "*");
}

// Terminals 1..4 close dispensings at the same moment, several rounds each; the lock must let
// exactly one closing move write at a time.
TEST(ClosingMoveProcesses, ConcurrentTerminalsLoseAndRepeatNothing) {
    constexpr int kTerminals = 4, kRounds = 5, kCount = 10;
    vltest::TempDir dir;
    prepareProduct(dir);

    const std::string root = dir.path().string();
    std::vector<pid_t> pids;
    for (int t = 1; t <= kTerminals; ++t) {
        const pid_t pid =
            spawnWorker({root, std::to_string(t), std::to_string(kRounds), std::to_string(kCount)});
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        EXPECT_EQ(exitCodeOf(pid), 0);

    vltest::checkAllClosed(dir, kTerminals, kRounds, kCount);
}

// One dispensing closed twice at the same moment (a double launch), round after round: its
// answers reach the outbox once.
TEST(ClosingMoveProcesses, OneDispensingClosedTwiceAtOnceIsMovedOnce) {
    constexpr int kRounds = 40, kCount = 3;
    vltest::TempDir dir;
    prepareProduct(dir);
    const std::vector<std::string> args{dir.path().string(), "1", std::to_string(kRounds),
                                        std::to_string(kCount)};
    std::vector<pid_t> pids;
    for (const char* role : {"first", "second"}) {
        auto withRole = args;
        withRole.push_back(role);
        pids.push_back(spawnWorker(withRole));
        ASSERT_GT(pids.back(), 0);
    }
    for (pid_t pid : pids)
        EXPECT_EQ(exitCodeOf(pid), 0);
    std::map<std::string, int> blocks;
    EXPECT_EQ(checkOutboxText(dir.read("quiroles/Velantia/Respuesta.tsv"), kCount, blocks),
              kRounds * kCount);
    EXPECT_EQ(blocks.size(), std::size_t(kRounds));
    EXPECT_TRUE(fs::is_empty(dir.path() / "quiroles/Velantia/referencias"));
}

// Five terminals close dispensings, one of them the sending terminal "0", while the sending
// terminal sends over and over to the service, which accepts, refuses or gives no verdict in
// turn. Afterwards every answer is exactly once in an accepted upload or in the outbox, no
// closing call's lines are split or mixed with another's, and nothing holds the lock.
TEST(TerminalProcesses, ClosingCallsAndSendsKeepEveryAnswerExactlyOnce) {
    const std::vector<std::string> terminals{"0", "1", "2", "3", "4"};
    constexpr int kRounds = 16, kCount = 4;
    const std::string verdicts = "ooronoo";
    vltest::TempDir dir;
    prepareProduct(dir);
    vltest::ServiceDouble service;
    const fs::path log = dir.path() / "log";
    fs::create_directories(log);

    const std::string root = dir.path().string();
    const pid_t sender = spawnWorker(
        {"send", root, service.url(), service.caPath().string(), verdicts, log.string()});
    ASSERT_GT(sender, 0);
    std::vector<pid_t> closers;
    for (const std::string& t : terminals) {
        const pid_t pid = spawnWorker({root, t, std::to_string(kRounds), std::to_string(kCount)});
        ASSERT_GT(pid, 0);
        closers.push_back(pid);
    }
    const vl::Paths paths{dir.path()};
    for (std::size_t i = 0; i < closers.size(); ++i) {
        EXPECT_EQ(exitCodeOf(closers[i]), 0);
        // Finished, it holds nothing while the others go on ("0" is also the sender's).
        const char digit = terminals[i][0];
        if (digit == '0') continue;
        EXPECT_FALSE(vl::holderAlive(paths, digit)) << digit;
        EXPECT_NE(dir.read("quiroles/Velantia/Ocupado"), terminals[i]);
    }
    dir.write("quiroles/Velantia/stop", "");
    ASSERT_EQ(exitCodeOf(sender), 0);

    // What the service received is what the sender read, send by send.
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(log))
        entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    const auto uploads = service.recordedUploads();
    ASSERT_EQ(uploads.size(), entries.size());
    ASSERT_FALSE(entries.empty());

    std::map<std::string, int> delivered; // closing calls in accepted uploads and the outbox
    int accepted = 0, trimmed = 0;
    for (std::size_t n = 0; n < entries.size(); ++n) {
        SCOPED_TRACE(entries[n].filename().string());
        const std::string entry = vltest::readBytes(entries[n]);
        ASSERT_GE(entry.size(), 3u);
        const std::string sent = entry.substr(3);
        ASSERT_FALSE(uploads[n].parts.empty());
        EXPECT_EQ(uploads[n].parts.back().name, "fichero2");
        EXPECT_EQ(uploads[n].parts.back().value, sent);
        const char want = verdicts[n % verdicts.size()];
        EXPECT_EQ(entry[0], want == 'o' ? 'A' : want == 'r' ? 'R' : 'N');
        if (entry[0] == 'A') {
            ++accepted;
            EXPECT_TRUE(entry[1] == 'E' || entry[1] == 'T') << "emptying outcome " << entry[1];
            trimmed += entry[1] == 'T';
            checkOutboxText(sent, kCount, delivered);
        } else {
            EXPECT_EQ(entry[1], '-');
            std::map<std::string, int> again; // refused: it must come again later
            checkOutboxText(sent, kCount, again);
        }
    }
    EXPECT_GT(accepted, 0);

    const std::string rest = dir.read("quiroles/Velantia/Respuesta.tsv");
    const long last = checkOutboxText(rest, kCount, delivered);
    EXPECT_EQ(dir.read("quiroles/Velantia/NumRegistro"),
              rest.empty() ? std::string() : std::to_string(last) + "\r\n");
    for (const std::string& t : terminals)
        for (int r = 1; r <= kRounds; ++r) {
            const std::string block = t + (r < 10 ? "0" : "") + std::to_string(r);
            EXPECT_EQ(delivered[block], 1) << "closing call " << block;
        }
    EXPECT_EQ(delivered.size(), terminals.size() * kRounds);

    // Nothing left held by the finished processes: the byte, the note and the OS locks.
    EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), "*");
    EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado.lck").substr(0, 1), "*");
    EXPECT_FALSE(vl::heldByAnyone(vl::lockGuardPath(paths), 0));
    for (char d = '0'; d <= '9'; ++d)
        EXPECT_FALSE(vl::holderAlive(paths, d)) << d;
    EXPECT_TRUE(fs::is_empty(product(dir) / "referencias"));
    std::printf("[ info ] %zu sends, %d accepted, %d left later answers in the outbox\n",
                entries.size(), accepted, trimmed);
}

// Waits up to 10 s for the worker's one byte: it holds the lock then.
bool waitForHold(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    return poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c == 'H';
}

struct HolderRow {
    std::vector<std::string> args; // after the mode's root
    std::string mode;
    char byte;                 // what the holder leaves in Ocupado
    std::string otherTerminal; // its closing call must get through once the holder has died;
                               // empty: a send must
};

// A terminal killed while it holds the lock, for a closing move or a send: while it lives the
// others wait; once it has died the next closing call and the next send go on, and a byte
// written by something that is not this program still blocks as before.
TEST(TerminalProcesses, AHolderKilledWhileHoldingTheLockBlocksNobody) {
    const HolderRow rows[] = {
        {{"5"}, "hold-closing", '5', "1"},
        {{"5"}, "hold-closing", '5', ""},
        {{}, "hold-send", '0', "2"},
    };
    for (const HolderRow& row : rows) {
        SCOPED_TRACE(row.mode);
        vltest::TempDir dir;
        prepareProduct(dir);
        const vl::Paths paths{dir.path()};
        std::vector<std::string> args{row.mode, dir.path().string()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        int out = -1;
        const pid_t pid = spawnWorker(args, &out);
        ASSERT_GT(pid, 0);
        const bool held = waitForHold(out);
        close(out);
        if (!held) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            FAIL() << "the worker did not take the lock";
        }
        EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), std::string(1, row.byte));
        EXPECT_TRUE(vl::holderAlive(paths, row.byte));
        const vl::LockAttempt whileAlive = row.otherTerminal.empty()
                                               ? vl::tryAcquireForSend(paths)
                                               : vl::tryAcquireForClosing(paths, row.otherTerminal);
        EXPECT_FALSE(whileAlive.acquired);
        EXPECT_EQ(whileAlive.found, row.byte);

        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        // The byte is still there, but nobody holds it any more.
        EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), std::string(1, row.byte));
        EXPECT_FALSE(vl::holderAlive(paths, row.byte));
        const vl::LockAttempt afterDeath = row.otherTerminal.empty()
                                               ? vl::tryAcquireForSend(paths)
                                               : vl::tryAcquireForClosing(paths, row.otherTerminal);
        EXPECT_TRUE(afterDeath.acquired);
        EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"),
                  row.otherTerminal.empty() ? std::string("0") : row.otherTerminal);
        EXPECT_TRUE(vl::release(paths));
        EXPECT_FALSE(vl::holderAlive(paths, row.byte));

        // Written by something else, the same byte blocks as it always did.
        dir.write("quiroles/Velantia/Ocupado", std::string(1, row.byte));
        const vl::LockAttempt byHand = row.otherTerminal.empty()
                                           ? vl::tryAcquireForSend(paths)
                                           : vl::tryAcquireForClosing(paths, row.otherTerminal);
        EXPECT_FALSE(byHand.acquired);
    }
}

// The operating-system lock goes with the process that held it: a terminal killed in the middle
// of a closing move's writes leaves nobody waiting on it.
TEST(TerminalProcesses, AProcessKilledInsideTheGuardLeavesItFree) {
    vltest::TempDir dir;
    prepareProduct(dir);
    const vl::Paths paths{dir.path()};
    int out = -1;
    const pid_t pid = spawnWorker({"hold-guard", dir.path().string()}, &out);
    ASSERT_GT(pid, 0);
    const bool held = waitForHold(out);
    close(out);
    EXPECT_TRUE(held);
    EXPECT_TRUE(vl::heldByAnyone(vl::lockGuardPath(paths), 0));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_FALSE(vl::heldByAnyone(vl::lockGuardPath(paths), 0));
    EXPECT_TRUE(vl::tryAcquireForClosing(paths, "1").acquired);
    EXPECT_TRUE(vl::release(paths));
}

} // namespace

#endif
