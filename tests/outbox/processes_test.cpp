// Terminals on one product folder, each a process of its own; closing calls and sends that die
// (SIGKILL) or meet a full disk: whatever happens, every recorded answer ends in the outbox
// exactly once, no line is torn and the lock does not stay stuck.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <random>
#include <set>

#include "core/runlog.h"
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
    const vl::Config cfg = vltest::serviceConfig();
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

// A terminal killed while it holds the lock for a closing move (terminal 0's too, whose "0" a
// send also writes) or a send, or the guard in the middle of a move's writes: while it lives
// the others wait; once it has died the next closing call and the next send go on, the log
// saying which it was, and a byte written by something that is not this program still blocks
// as before.
TEST(TerminalProcesses, AHolderKilledWhileHoldingTheLockBlocksNobody) {
    const struct {
        std::string hold, other; // other: the terminal that closes next; empty, a send
    } rows[] = {{"5", "1"}, {"5", ""}, {"0", "2"}, {"TK0", "2"}, {"guard", "1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hold + " then " + row.other);
        vltest::Product p;
        const auto attempt = [&] {
            return row.other.empty() ? vl::tryAcquireForSend(p.paths)
                                     : vl::tryAcquireForClosing(p.paths, row.other);
        };
        const bool guard = row.hold == "guard";
        const std::string byte = guard ? "*" : row.hold.substr(row.hold.size() - 1);
        Worker holder(p.worker("hold", {row.hold}));
        ASSERT_TRUE(holder.waitReady());
        EXPECT_EQ(p.read("Ocupado"), byte);
        EXPECT_EQ(vl::heldByAnyone(vl::lockGuardPath(p.paths), 0), guard);
        if (!guard) {
            EXPECT_TRUE(vl::holderAlive(p.paths, byte[0]));
        }
        // A guard held for long is a file in use, waited for where the busy wait is bounded.
        vl::clearFileInUse();
        const vl::LockAttempt a = attempt();
        EXPECT_FALSE(a.acquired || a.unwritable);
        EXPECT_EQ(a.found, byte[0]);
        EXPECT_EQ(vl::lastFileInUse().filename() == "Ocupado.lck", guard);
        holder.kill();
        ASSERT_TRUE(holder.wait().killed);
        // The byte is still there, but nobody holds it any more.
        EXPECT_EQ(p.read("Ocupado"), byte);
        EXPECT_FALSE(vl::holderAlive(p.paths, byte[0]));
        EXPECT_FALSE(vl::heldByAnyone(vl::lockGuardPath(p.paths), 0));
        vl::runlog::open(p.paths, "9");
        EXPECT_TRUE(attempt().acquired);
        vl::runlog::close();
        // The run log names the dead holder and since when (Ocupado.lck from byte 64 on).
        const std::regex freed("Ocupado segu.a con " + byte + " \\(" +
                               (row.hold == "0" ? "un env.o" : "el cierre del terminal " + byte) +
                               ", proceso " + std::to_string(holder.pid()) +
                               ", desde \\d\\d/\\d\\d/\\d{4} [\\d:]{8}\\) ");
        EXPECT_EQ(std::regex_search(p.read("registro9.log"), freed), !guard);
        EXPECT_EQ(p.read("Ocupado"), row.other.empty() ? "0" : row.other);
        EXPECT_TRUE(vl::release(p.paths));
        // Written by something else, the same byte blocks as it always did.
        p.write("Ocupado", byte);
        EXPECT_EQ(attempt().acquired, guard);
    }
}

// Dispensing n of terminal `digit`: three medicines recorded in an ordinary run, and its closing
// call with the codes in another order, so the start-up synchronisation rewrites the file.
std::string dispensing(const vltest::Product& p, int n, const std::string& digit = "3") {
    return vltest::writeClosingRound(p.paths, digit, n, 3, false, true, 3);
}

// A test-only hook stops terminal 3's closing call at each step in turn; terminal 4 closes,
// finishing what was noted; a send is killed as the service's acceptance arrives (the next one
// uploads the same again: the service cannot tell a repeat), once it is noted (the next one
// finishes it), between the emptying and its note's removal, or after; the next send frees its
// lock, with or without anything to send; the call runs again, twice. Then random kills inside its
// calls and reruns while terminal 5 closes too. The uploads but the repeated ones, and the
// outbox, hold every answer exactly once, numbered 1 to N.
TEST(ClosingFaults, KilledAtEveryStepAndAtRandomMomentsThenRunAgainMovesOnce) {
    vltest::Product p;
    vltest::ServiceDouble service;
    const auto run = [&](const std::string& mode, std::vector<std::string> args) {
        return Worker(p.worker(mode, std::move(args)));
    };
    std::set<std::size_t> repeated; // uploads that went out again
    const struct {
        const char* step;
        int lost; // bytes of the appended block lost with the process (a power cut)
    } steps[] = {{"sync:replace", 0},    {"closing:note", 0},    {"closing:append", 0},
                 {"closing:counter", 0}, {"closing:counter", 9}, {"closing:reference", 0},
                 {"closing:noted", 0},   {"closing:release", 0}, {"closing:delete", 0},
                 {"closing:finish", 0},  {"lock:noted", 0},      {"lock:freed", 0}};
    const char* sends[] = {"send:answered", "send:accepted", "send:removed", "send:emptied"};
    int n = 0;
    for (const auto& [step, lost] : steps) {
        const std::string send = sends[n++ % 4];
        SCOPED_TRACE(step + (" then " + send));
        const std::string line = dispensing(p, n);
        EXPECT_TRUE(run("closing", {line, step}).wait().killed) << "the step was never reached";
        if (lost)
            fs::resize_file(p.paths.product("Respuesta.tsv"),
                            p.read("Respuesta.tsv").size() - lost);
        EXPECT_EQ(run("closing", {dispensing(p, n, "4"), "-"}).wait().exitCode, 0);
        if (send == "send:answered") repeated.insert(service.recordedUploads().size());
        for (const std::string& s : {send, std::string("-")})
            EXPECT_EQ(run("send", {service.url(), service.caPath().string(), s}).wait().killed,
                      s != "-");
        // The next send frees what the killed one held, also with nothing left to send.
        EXPECT_EQ(p.read("Ocupado"), "*");
        for (int again = 0; again < 2; ++again)
            EXPECT_EQ(run("closing", {line, "-"}).wait().exitCode, 0);
    }
    for (const char* logged : {"se enviar\xE1n otra vez", "vaciados sin volver a enviarlo",
                               "antes de anotarlo; Respuesta.tsv ya no lo contiene"})
        EXPECT_NE(p.read("registro0.log").find(logged), std::string::npos) << logged;
    const auto t0 = std::chrono::steady_clock::now(); // kills land up to how long one call takes
    ASSERT_EQ(run("closing", {dispensing(p, ++n), "-"}).wait().exitCode, 0);
    const auto whole = std::chrono::steady_clock::now() - t0;
    std::uniform_int_distribution<long long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count());
    const char* given = std::getenv("VELANTIA_SEMILLA");
    const unsigned seed = given ? std::stoul(given) : std::random_device{}();
    std::printf("Semilla %u (VELANTIA_SEMILLA la repite)\n", seed);
    std::mt19937 rng(seed);
    int killedInside = 0;
    Worker five = run("rounds", {"5", "30", "3"});
    while (++n <= 41) {
        const std::string line = dispensing(p, n);
        for (unsigned kills = rng() % 4; kills > 0; --kills) {
            Worker w = run("closing", {line, "-"});
            ASSERT_TRUE(w.waitReady());
            std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
            w.kill();
            killedInside += w.wait().killed;
        }
        ASSERT_EQ(run("closing", {line, "-"}).wait().exitCode, 0) << "round " << n;
    }
    EXPECT_EQ(five.wait().exitCode, 0);
    EXPECT_GT(killedInside, 0) << "no kill landed inside the call";
    std::map<std::string, std::string> delivered;
    const auto uploads = service.recordedUploads();
    for (std::size_t u = 0; u < uploads.size(); ++u)
        if (!repeated.count(u)) vltest::readOutbox(uploads[u].parts.back().value, delivered);
    vltest::checkAllClosed(p, 41 + static_cast<int>(std::size(steps)) + 30, "/312|/123", delivered);
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
        vl::RefRecord other; // another dispensing of this terminal: set aside, not deleted
        other.setCode("555555"), other.setOrd(0, "1"), other.setEnd();
        t.write("referencias/99999973.ref", other.bytes);
        vl::runlog::open(t.paths, "3");
        ASSERT_TRUE(t.move().ok);
        vl::runlog::close();
        EXPECT_NE(t.read("registro3.log").find("con 1 medicamento grabado, en referencias"),
                  std::string::npos);
        EXPECT_EQ(t.read("referencias/apartados/99999973.ref"), other.bytes);
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
