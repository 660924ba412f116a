// Terminals on one product folder, each a process of its own.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <list>

#include "send/send.h"
#include "support/closings.h"
#include "support/service_double.h"

namespace {

namespace fs = std::filesystem;
using vltest::Worker;

// Workers doing closing rounds (each list the worker's arguments after the folder), all at once,
// to their end.
void closeRounds(const vltest::Product& p, const std::vector<std::vector<std::string>>& terminals) {
    std::list<Worker> workers;
    for (const auto& args : terminals)
        workers.emplace_back(p.worker("rounds", args));
    for (auto& w : workers)
        EXPECT_EQ(w.wait().exitCode, 0);
}

// Terminals 1..4 close dispensings at the same moment, several rounds each; the lock must let
// exactly one closing move write at a time.
TEST(ClosingMoveProcesses, ConcurrentTerminalsLoseAndRepeatNothing) {
    vltest::Product p;
    closeRounds(p, {{"1", "5", "10"}, {"2", "5", "10"}, {"3", "5", "10"}, {"4", "5", "10"}});
    vltest::checkAllClosed(p, 20, "/12345678910");
}

// One dispensing closed twice at the same moment (a double launch), round after round.
TEST(ClosingMoveProcesses, OneDispensingClosedTwiceAtOnceIsMovedOnce) {
    vltest::Product p;
    closeRounds(p, {{"1", "40", "3", "first"}, {"1", "40", "3", "second"}});
    vltest::checkAllClosed(p, 40, "/231");
}

// Five terminals close dispensings, one of them the sending terminal "0", while that terminal
// sends over and over to the service, which accepts, refuses or gives no verdict in turn. Every
// answer ends exactly once in an accepted upload or in the outbox, no closing call's lines are
// split or mixed with another's, and nothing holds the lock.
TEST(TerminalProcesses, ClosingCallsAndSendsKeepEveryAnswerExactlyOnce) {
    const std::string verdicts = "ooronoo";
    vltest::Product p;
    vltest::ServiceDouble service;
    vl::Config cfg;
    cfg.n_farmacia = "4321";
    cfg.codigo_empresa = "77";
    cfg.clave = "secreta";
    vl::UploadOptions options;
    options.extraCaBundle = service.caPath();
    std::atomic<bool> stop{false};
    std::vector<vl::SendResult> sends;
    // As the window's "Enviar" does, once more after the others have finished.
    std::thread sender([&] {
        for (bool last = false; !last;) {
            last = stop;
            const char v = verdicts[sends.size() % verdicts.size()];
            if (!service.setMode(v == 'r' ? "refuse" : v == 'n' ? "noverdict" : "ok")) return;
            const vl::SendRun run = vl::sendOutbox(p.paths, cfg, service.url(), {}, options);
            if (!run.nothingToSend && run.lock.acquired)
                sends.push_back(run.result);
            else // the busy window's polling, only faster
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    closeRounds(
        p,
        {{"0", "16", "4"}, {"1", "16", "4"}, {"2", "16", "4"}, {"3", "16", "4"}, {"4", "16", "4"}});
    stop = true;
    sender.join();

    // What the service accepted, and what is left, hold every call once.
    const auto uploads = service.recordedUploads();
    ASSERT_EQ(uploads.size(), sends.size());
    EXPECT_NE(sends.size(), 0u);
    std::map<std::string, std::string> delivered, refused;
    for (std::size_t n = 0; n < sends.size(); ++n) {
        ASSERT_TRUE(sends[n].transferOk && !uploads[n].parts.empty()) << sends[n].error;
        const bool accepted = verdicts[n % verdicts.size()] == 'o';
        vltest::readOutbox(uploads[n].parts.back().value, accepted ? delivered : refused);
    }
    const std::string rest = p.read("Respuesta.tsv");
    const long last = vltest::readOutbox(rest, delivered);
    EXPECT_EQ(p.read("NumRegistro"), rest.empty() ? std::string() : std::to_string(last) + "\r\n");
    EXPECT_EQ(delivered.size(), 5u * 16);
    for (const auto& [call, lines] : delivered)
        EXPECT_EQ(lines, "/1234") << call; // four lines, whole and together
    // Nothing left held by the finished processes: the byte, the note and the OS locks.
    EXPECT_EQ(p.read("Ocupado"), "*");
    EXPECT_EQ(p.read("Ocupado.lck").substr(0, 1), "*");
    EXPECT_FALSE(vl::heldByAnyone(vl::lockGuardPath(p.paths), 0));
    for (const char d : {'0', '1', '2', '3', '4'})
        EXPECT_FALSE(vl::holderAlive(p.paths, d)) << d;
    EXPECT_TRUE(fs::is_empty(p.paths.product("referencias")));
}

// A terminal killed while it holds the lock for a closing move or a send, or the guard in the
// middle of a move's writes: while it lives the others wait; once it has died the next closing
// call and the next send go on, and a byte written by something that is not this program
// still blocks as before.
TEST(TerminalProcesses, AHolderKilledWhileHoldingTheLockBlocksNobody) {
    const struct {
        std::string hold, other; // other: the terminal that closes next; empty, a send
    } rows[] = {{"5", "1"}, {"5", ""}, {"0", "2"}, {"guard", "1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hold + " then " + row.other);
        vltest::Product p;
        const auto attempt = [&] {
            return row.other.empty() ? vl::tryAcquireForSend(p.paths)
                                     : vl::tryAcquireForClosing(p.paths, row.other);
        };
        const bool guard = row.hold == "guard";
        const std::string byte = guard ? "*" : row.hold;
        Worker holder(p.worker("hold", {row.hold}));
        ASSERT_TRUE(holder.waitReady());
        EXPECT_EQ(p.read("Ocupado"), byte);
        EXPECT_EQ(vl::heldByAnyone(vl::lockGuardPath(p.paths), 0), guard);
        if (!guard) {
            EXPECT_TRUE(vl::holderAlive(p.paths, byte[0]));
            const vl::LockAttempt a = attempt();
            EXPECT_FALSE(a.acquired);
            EXPECT_EQ(a.found, byte[0]);
        }
        holder.kill();
        ASSERT_TRUE(holder.wait().killed);
        // The byte is still there, but nobody holds it any more.
        EXPECT_EQ(p.read("Ocupado"), byte);
        EXPECT_FALSE(vl::holderAlive(p.paths, byte[0]));
        EXPECT_FALSE(vl::heldByAnyone(vl::lockGuardPath(p.paths), 0));
        EXPECT_TRUE(attempt().acquired);
        EXPECT_EQ(p.read("Ocupado"), row.other.empty() ? "0" : row.other);
        EXPECT_TRUE(vl::release(p.paths));
        // Written by something else, the same byte blocks as it always did.
        p.write("Ocupado", byte);
        EXPECT_EQ(attempt().acquired, guard);
    }
}

} // namespace

#endif
