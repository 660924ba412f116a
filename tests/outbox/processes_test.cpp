// Terminals on one product folder, each a process of its own; closing calls that die (SIGKILL) or
// meet a full disk: whatever happens, every recorded answer ends in the outbox at least once, no
// line is torn and the lock does not stay stuck.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <list>
#include <random>

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

// Dispensing n of terminal 3: three medicines recorded in an ordinary run, and its closing call
// with the codes in another order, so the start-up synchronisation rewrites the file.
std::string dispensing(const vltest::Product& p, int n) {
    return vltest::writeClosingRound(p.paths, "3", n, 3, false, true, 3);
}

// A test-only hook stops the process at each step of the closing call in turn, then kills land
// at random moments (fixed seed) inside it; each time the call run again completes the move.
TEST(ClosingFaults, KilledAtEveryStepAndAtRandomMomentsThenRunAgain) {
    vltest::Product p;
    const auto close = [&](const std::string& line, const char* step = "-") {
        return Worker(p.worker("closing", {line, step}));
    };
    int n = 0;
    for (const char* step : {"sync:replace", "closing:append", "closing:counter", "closing:release",
                             "closing:delete", "closing:finish"}) {
        SCOPED_TRACE(step);
        const std::string line = dispensing(p, ++n);
        EXPECT_TRUE(close(line, step).wait().killed) << "the step was never reached";
        EXPECT_EQ(close(line).wait().exitCode, 0);
        vltest::checkAllClosed(p, n, "(/?312)+", false);
    }
    // Up to how long one whole call takes.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(close(dispensing(p, ++n)).wait().exitCode, 0);
    std::uniform_int_distribution<long long> delay(
        0,
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    std::mt19937 rng(20261206);
    int killedInside = 0;
    while (++n <= 36) {
        const std::string line = dispensing(p, n);
        Worker w = close(line);
        ASSERT_TRUE(w.waitReady());
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        w.kill();
        killedInside += w.wait().killed;
        ASSERT_EQ(close(line).wait().exitCode, 0) << "round " << n;
    }
    vltest::checkAllClosed(p, 36, "(/?312)+", false);
    EXPECT_GT(killedInside, 0) << "no kill landed inside the call";
}

// A move that died in its write left a line without its end, or another tool wrote lines with
// LF alone: they are cut off before the next block, which would otherwise be glued onto them,
// and kept in Respuesta.recortado.
TEST(ClosingMoveTornTail, CutBeforeTheNextBlockAndKeptAside) {
    const std::string header = vl::OutboxHeader;
    const std::string whole = header + "1\t111111\t4321\t20240307\t1\r\n";
    // Lines long enough that the tail is searched across more than one read.
    const std::string longWhole = whole + std::string(5000 - whole.size() - 2, '7') + "\r\n";
    const std::string straddle = whole + std::string(4096 - whole.size() - 1, '7') + "\r\n";
    const struct {
        std::string before, kept;
    } cases[] = {{whole + "2\t2222", whole},
                 {whole + "2\t222222\t4321\t20240307\t1\r", whole},
                 {"resultado_id\tcodigo", ""},
                 {"resulta", ""},
                 {"1\t65", ""},
                 {whole, whole},
                 {longWhole + std::string(9000, '8'), longWhole},
                 {straddle + std::string(4095, '8'), straddle},
                 {straddle + std::string(4094, '8'), straddle},
                 {whole + "2\t222222\t4321\t20240307\t1\n3\t333333\t4321\t20240307\t1\n", whole},
                 {header.substr(0, header.size() - 2) + "\n1\t1\t1\t1\t1\n", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        vltest::Closing t({"333333"});
        t.record(1, {"5"});
        t.write("Respuesta.tsv", c.before);
        t.write("NumRegistro", "1\r\n");
        t.write("NumRegistro.~123456", "7\r\n"); // a counter copy never renamed
        // Every other case after an earlier cut that ended without LF.
        const std::string earlier = (&c - cases) % 2 ? "2\t6601" : "";
        if (!earlier.empty()) t.write("Respuesta.recortado", earlier);
        ASSERT_TRUE(t.move().ok);
        EXPECT_EQ(t.read("Respuesta.tsv"), (c.kept.empty() ? header + "1" : c.kept + "2") +
                                               "\t333333\t4321\t20240307\t5\r\n");
        EXPECT_EQ(t.read("NumRegistro.~123456"), "<missing>");
        const std::string cut = c.before.substr(c.kept.size());
        const std::string line = cut.ends_with('\n') ? cut : cut + "\r\n";
        const std::string side =
            cut.empty() ? earlier : earlier + (earlier.empty() ? "" : "\r\n") + line;
        EXPECT_EQ(t.read("Respuesta.recortado"), side.empty() ? "<missing>" : side);
    }
}

// A full disk, as a file-size limit or a full tmpfs: the move leaves the outbox as it was, the
// answers still in the reference file, the lock free, and a message that says why; with room
// again the same closing call moves the answers, once.
TEST(ClosingFullDisk, KeepsEverythingAndTheNextCallMovesIt) {
    // Longer than a reference file: a file-size limit then stops only the outbox's growth.
    vltest::Product p(1000);
    const std::string line = dispensing(p, 1), outbox = p.read("Respuesta.tsv");
    p.write("final3", "F"); // the terminal ran before: its status file needs no room
    vltest::TempDir mount, out;
    const fs::path mp = mount.path();
    const auto tmpfs = vltest::runOnFullTmpfs(p.dir.path(), mp, out.path(), 256 * 1024, [&] {
        return vltest::closeOnce(vl::Paths(mp), line);
    });
    const auto limited = vltest::runWithFileSizeLimit(
        outbox.size() + 20, [&] { return vltest::closeOnce(p.paths, line); });
    for (const auto& [message, root] :
         {std::pair(limited, p.dir.path()), std::pair(tmpfs.result, out.path())}) {
        if (root == out.path() && !tmpfs.mounted) continue; // no tmpfs can be mounted here
        ASSERT_TRUE(message.has_value());
        const std::string utf8 = vl::fromCp1252(*message);
        EXPECT_NE(utf8.find("disco está lleno"), std::string::npos) << utf8;
        EXPECT_NE(utf8.find("siguen guardadas"), std::string::npos) << utf8;
        const vl::Paths paths(root);
        EXPECT_EQ(vltest::readBytes(paths.product("Respuesta.tsv")), outbox);
        EXPECT_EQ(vltest::readBytes(paths.product("NumRegistro")), "1000\r\n");
        EXPECT_EQ(vltest::readBytes(paths.product("Ocupado")), "*");
        const std::string ref = vltest::readBytes(paths.product("referencias/10000013.ref"));
        EXPECT_EQ(ref.size(), 50 * vl::RefRecord::Length);
        for (const char* code : {"301001", "301002", "301003"})
            EXPECT_NE(ref.find(code), std::string::npos);
    }
    EXPECT_EQ(vltest::closeOnce(p.paths, line), "ok");
    vltest::checkAllClosed(p, 1, "/312");
}

} // namespace

#endif
