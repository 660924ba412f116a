// Closing calls that die (SIGKILL) or meet a full disk: whatever happens, every recorded answer
// ends in the outbox at least once, no line is torn and the lock does not stay stuck.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "support/closings.h"
#include "support/faults.h"
#include "support/terminal.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Velantia = "quiroles/Velantia/";

std::string pad(int v, int width) {
    std::string s = std::to_string(v);
    return std::string(static_cast<std::size_t>(width) - s.size(), '0') + s;
}

// One dispensing of terminal 3: three medicines recorded in an ordinary run (answers that name
// the dispensing and the medicine), closed later with the codes in another order, so that the
// start-up synchronisation rewrites the reference file as well.
struct Dispensing {
    int n;
    std::string reference() const { return "1" + pad(n, 6) + "3"; }
    std::string code(int i) const { return pad(n % 1000, 3) + pad(i, 3); }
    std::string answers(int i) const { return std::to_string(n) + "," + std::to_string(i); }

    void record(const vltest::TempDir& dir) const {
        std::string file;
        for (int r = 1; r <= MaxCodes; ++r) {
            RefRecord rec;
            if (r <= 3) {
                rec.setCode(code(r));
                rec.setOrd(0, "1");
                rec.setAns(1, std::to_string(n));
                rec.setAns(2, std::to_string(r));
            }
            rec.setEnd();
            file += rec.bytes;
        }
        dir.write(Velantia + "referencias/" + reference() + ".ref", file);
    }
    std::string closingCodes() const { return code(3) + "," + code(1) + "," + code(2); }
};

vltest::Worker::End closingCall(const vltest::TempDir& dir, const Dispensing& d,
                                const std::string& step = "-") {
    vltest::Worker w({VELANTIA_FAULT_WORKER, "closing", dir.path().string(), d.reference(),
                      d.closingCodes(), step});
    return w.wait();
}

// The outbox as a map code -> how often it occurs, checking that every line is whole.
std::map<std::string, int> outboxCodes(const vltest::TempDir& dir, int dispensings) {
    std::map<std::string, int> seen;
    const std::string out = dir.read(Velantia + "Respuesta.tsv");
    const std::string header = OutboxHeader;
    EXPECT_EQ(out.substr(0, header.size()), header);
    EXPECT_TRUE(out.empty() || out.ends_with("\r\n")) << "torn last line";
    EXPECT_EQ(out.find(header, 1), std::string::npos) << "header written twice";
    const auto lines = splitLines(out.size() > header.size() ? out.substr(header.size()) : "");
    for (const auto& line : lines) {
        SCOPED_TRACE(line);
        const auto f = vltest::splitTabs(line);
        EXPECT_EQ(f.size(), 5u);
        if (f.size() != 5 || f[1].size() != 6) continue;
        EXPECT_GT(Val(f[0]), 0);
        EXPECT_EQ(std::to_string(static_cast<long long>(Val(f[0]))), f[0]);
        EXPECT_EQ(f[2], "4321");
        EXPECT_EQ(f[3].size(), 8u);
        if (f[1] == "999999") continue; // in the outbox before the test
        const int i = std::stoi(f[1].substr(3));
        bool known = false;
        for (int n = 1; n <= dispensings; ++n) {
            const Dispensing d{n};
            if (d.code(i) != f[1]) continue;
            known = true;
            EXPECT_EQ(f[4], d.answers(i));
        }
        EXPECT_TRUE(known) << "a line nobody recorded";
        ++seen[f[1]];
    }
    return seen;
}

void expectAllMoved(const vltest::TempDir& dir, int dispensings) {
    const auto seen = outboxCodes(dir, dispensings);
    for (int n = 1; n <= dispensings; ++n)
        for (int i = 1; i <= 3; ++i)
            EXPECT_GE(seen.count(Dispensing{n}.code(i)), 1u) << "lost: " << Dispensing{n}.code(i);
    EXPECT_EQ(dir.read(Velantia + "Ocupado"), "*");
    EXPECT_TRUE(fs::is_empty(dir.path() / (Velantia + "referencias")));
    for (const auto& e : fs::directory_iterator(dir.path() / Velantia))
        EXPECT_EQ(e.path().filename().string().find(".~"), std::string::npos)
            << "left behind: " << e.path();
}

class ClosingFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.path() / (Velantia + "referencias"));
        dir.write(Velantia + "Ocupado", "*");
    }
    vltest::TempDir dir;
};

// A test-only hook stops the process at each step of the closing call in turn; the call run
// again afterwards completes the move.
TEST_F(ClosingFaults, KilledAtEveryStepThenRunAgain) {
    const std::vector<std::string> steps{"sync:replace",    "closing:append", "closing:counter",
                                         "closing:release", "closing:delete", "closing:finish"};
    int n = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step);
        const Dispensing d{++n};
        d.record(dir);
        const auto killed = closingCall(dir, d, step);
        EXPECT_TRUE(killed.killed) << "the step was never reached";
        // Until this terminal runs again, its digit may hold the lock; the next call proceeds.
        const auto again = closingCall(dir, d);
        EXPECT_FALSE(again.killed);
        EXPECT_EQ(again.exitCode, 0);
        expectAllMoved(dir, n);
    }
    // Another terminal is not blocked afterwards.
    EXPECT_TRUE(tryAcquireForClosing(Paths(dir.path()), "5").acquired);
}

// Kills at random moments (fixed seed) inside the closing call, each followed by the call again.
TEST_F(ClosingFaults, KilledAtRandomMomentsThenRunAgain) {
    std::mt19937 rng(20261206);
    // How long one whole closing call takes here, from its start signal to its end.
    const Dispensing probe{1};
    probe.record(dir);
    const auto t0 = std::chrono::steady_clock::now();
    {
        vltest::Worker w({VELANTIA_FAULT_WORKER, "closing", dir.path().string(), probe.reference(),
                          probe.closingCodes(), "-"});
        ASSERT_TRUE(w.waitReady());
        ASSERT_EQ(w.wait().exitCode, 0);
    }
    const auto span = std::max<long long>(
        200,
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    std::uniform_int_distribution<long long> delay(0, span);

    constexpr int Rounds = 30;
    int killedInside = 0;
    for (int n = 2; n <= Rounds; ++n) {
        const Dispensing d{n};
        d.record(dir);
        {
            vltest::Worker w({VELANTIA_FAULT_WORKER, "closing", dir.path().string(), d.reference(),
                              d.closingCodes(), "-"});
            ASSERT_TRUE(w.waitReady());
            std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
            w.kill();
            if (w.wait().killed) ++killedInside;
        }
        const auto again = closingCall(dir, d);
        ASSERT_EQ(again.exitCode, 0) << "round " << n;
        ASSERT_EQ(dir.read(Velantia + "Ocupado"), "*") << "round " << n;
    }
    expectAllMoved(dir, Rounds);
    EXPECT_GT(killedInside, 0) << "no kill landed inside the call";
    RecordProperty("killed_inside", killedInside);
}

// A move that died in its write left a line without its end, or another tool wrote lines with
// LF alone: they are cut off before the next block, which would otherwise be glued onto them,
// and kept in Respuesta.recortado.
TEST(ClosingMoveTornTail, CutBeforeTheNextBlockAndKeptAside) {
    const std::string header = OutboxHeader;
    const std::string whole = header + "1\t111111\t4321\t20240307\t1\r\n";
    // Lines long enough that the tail is searched across more than one read.
    const std::string longWhole = whole + std::string(5000 - whole.size() - 2, '7') + "\r\n";
    const std::string straddle = whole + std::string(4096 - whole.size() - 1, '7') + "\r\n";
    struct Case {
        std::string before, kept;
    } cases[] = {
        {whole + "2\t2222", whole},
        {whole + "2\t222222\t4321\t20240307\t1\r", whole},
        {"resultado_id\tcodigo", ""},
        {"resulta", ""},
        {"1\t65", ""},
        {whole, whole},
        {longWhole + std::string(9000, '8'), longWhole},
        {straddle + std::string(4095, '8'), straddle},
        {straddle + std::string(4094, '8'), straddle},
        {whole + "2\t222222\t4321\t20240307\t1\n3\t333333\t4321\t20240307\t1\n", whole},
        {"resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\n1\t1\t1\t1\t1\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        vltest::Terminal t({"333333"}, "12345673");
        t.closingCall();
        t.record(1, {"5"});
        const vltest::TempDir& dir = t.dir;
        dir.write(Velantia + "Respuesta.tsv", c.before);
        dir.write(Velantia + "NumRegistro", "1\r\n");
        dir.write(Velantia + "NumRegistro.~123456", "7\r\n"); // a counter copy never renamed
        // Every other case after an earlier cut that ended without LF.
        const std::string earlier = (&c - cases) % 2 ? "2\t6601" : "";
        if (!earlier.empty()) dir.write(Velantia + "Respuesta.recortado", earlier);
        const ClosingResult r = closingMove(t.paths, t.st, t.cfg, t.session, CivilDate{2024, 3, 7});
        ASSERT_TRUE(r.ok);
        const std::string serial = c.kept.empty() ? "1" : "2";
        EXPECT_EQ(dir.read(Velantia + "Respuesta.tsv"),
                  (c.kept.empty() ? header : c.kept) + serial + "\t333333\t4321\t20240307\t5\r\n");
        EXPECT_FALSE(fs::exists(dir.path() / (Velantia + "NumRegistro.~123456")));
        const std::string cut = c.before.substr(c.kept.size());
        const std::string line = cut.ends_with('\n') ? cut : cut + "\r\n";
        const std::string side =
            cut.empty() ? earlier : earlier + (earlier.empty() ? "" : "\r\n") + line;
        EXPECT_EQ(dir.read(Velantia + "Respuesta.recortado"), side.empty() ? "<missing>" : side);
    }
}

// ----------------------------------------------------------------------------- full disk

struct FullDiskClosing {
    vltest::TempDir dir;
    std::string outboxBefore;

    explicit FullDiskClosing(bool withOutbox) {
        fs::create_directories(dir.path() / (Velantia + "referencias"));
        dir.write(Velantia + "Ocupado", "*");
        Dispensing{1}.record(dir);
        if (withOutbox) {
            // Longer than a reference file: the limit then stops only the outbox's growth.
            outboxBefore = OutboxHeader;
            for (int n = 1; n <= 1000; ++n)
                outboxBefore += std::to_string(n) + "\t999999\t4321\t20240306\t2\r\n";
            dir.write(Velantia + "Respuesta.tsv", outboxBefore);
            dir.write(Velantia + "NumRegistro", "1000\r\n");
        }
    }

    // The closing call in this process; its error message comes back (Windows-1252).
    static std::string closeIn(const fs::path& root) {
        const Paths paths(root);
        const Dispensing d{1};
        RunState st;
        st.closingCall = st.hasReference = true;
        st.reference = d.reference();
        st.terminalDigit = "3";
        for (int i : {3, 1, 2})
            st.CodeList[++st.CodeCount] = d.code(i);
        Config cfg;
        cfg.n_farmacia = "4321";
        if (!tryAcquireForClosing(paths, "3").acquired) return "lock";
        SurveySession session;
        const StartupSyncResult r = completeStartupSync(paths, st, cfg, session);
        return r.closing.ok ? "ok" : r.closing.error;
    }

    // What a failed move must leave: the outbox as it was, the answers still in the reference
    // file, the lock free, and a message that says why.
    static void expectNothingLost(const std::string& message, const fs::path& root,
                                  const std::string& outboxBefore) {
        EXPECT_NE(message, "ok");
        const std::string utf8 = fromCp1252(message);
        EXPECT_NE(utf8.find("disco está lleno"), std::string::npos) << utf8;
        EXPECT_NE(utf8.find("siguen guardadas"), std::string::npos) << utf8;
        EXPECT_EQ(vltest::readBytes(root / (Velantia + "Respuesta.tsv")),
                  outboxBefore.empty() ? std::string() : outboxBefore);
        EXPECT_EQ(vltest::readBytes(root / (Velantia + "Ocupado")), "*");
        EXPECT_TRUE(
            fs::exists(root / (Velantia + "referencias/" + Dispensing{1}.reference() + ".ref")));
    }
};

TEST(ClosingFullDisk, FileSizeLimitKeepsEverythingAndTheNextCallMovesIt) {
    FullDiskClosing c(true);
    const fs::path root = c.dir.path();
    const auto message = vltest::runWithFileSizeLimit(
        c.outboxBefore.size() + 20, [&] { return FullDiskClosing::closeIn(root); });
    ASSERT_TRUE(message.has_value());
    FullDiskClosing::expectNothingLost(*message, root, c.outboxBefore);
    EXPECT_EQ(c.dir.read(Velantia + "NumRegistro"), "1000\r\n");

    // Room again: the same closing call moves the answers, once.
    EXPECT_EQ(FullDiskClosing::closeIn(root), "ok");
    const auto seen = outboxCodes(c.dir, 1);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(seen.count(Dispensing{1}.code(i)), 1u);
    EXPECT_EQ(c.dir.read(Velantia + "NumRegistro"), "1003\r\n");
}

TEST(ClosingFullDisk, FullTmpfsKeepsEverything) {
    FullDiskClosing c(false);
    vltest::TempDir mount, out;
    const fs::path mp = mount.path();
    const auto run = vltest::runOnFullTmpfs(c.dir.path(), mp, out.path(), 256 * 1024,
                                            [&] { return FullDiskClosing::closeIn(mp); });
    if (!run.mounted) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(run.result.has_value());
    FullDiskClosing::expectNothingLost(*run.result, out.path(), "");
    // The reference file still holds the three recorded medicines.
    const std::string ref = vltest::readBytes(
        out.path() / (Velantia + "referencias/" + Dispensing{1}.reference() + ".ref"));
    EXPECT_EQ(ref.size(), 50 * RefRecord::Length);
    for (int i = 1; i <= 3; ++i)
        EXPECT_NE(ref.find(Dispensing{1}.code(i)), std::string::npos);
}

} // namespace

#endif
