// Conversions that die (SIGKILL) or meet a full disk: the lookup afterwards finds the complete
// old data files or the complete new ones, never a mix.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <algorithm>
#include <random>
#include <thread>

#include "core/runlog.h"
#include "core/text.h"
#include "support/faults.h"
#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using namespace vltest;
namespace fs = std::filesystem;

namespace {

using Tree = std::vector<std::pair<std::string, std::string>>;

// The three received files of one generation: `items` master items sharing one text per three,
// a survey and a price list, every value naming the generation.
void receive(const fs::path& root, const std::string& tag, int items) {
    std::string master, survey, prices;
    for (int i = 0; i < items; ++i) {
        const std::string id = std::to_string(i / 3 + (tag == "nuevo" ? 500 : 0));
        master += item(id, std::to_string(100000 + i * 7),
                       {{"tipo_alarma", std::to_string(1 + i % 3)}, {"titulo", tag + " " + id}});
        prices += price(std::to_string(600000 + i), tag, "1" + std::to_string(i % 10) + ",00", "");
    }
    for (int q = 1; q <= 12; ++q)
        survey += row(
            {"1", "Grupo " + tag, std::to_string(q / 3), "P " + tag, std::to_string(q), "R", ""});
    fs::create_directories(root / Recibido);
    writeBytes(root / (Recibido + "Maestro.xml"), document(master));
    writeBytes(root / (Recibido + "Encuesta.xml"), document(survey));
    writeBytes(root / (Recibido + "Precios.xml"), document(prices));
}

// Master, survey and prices into `root`'s data files, as an update does.
std::string convertAll(const fs::path& root) {
    const Paths paths(root);
    ConversionOptions o;
    o.today = Today;
    std::string errors;
    for (TipoFichero t : {TipoFichero::Maestro, TipoFichero::Encuesta, TipoFichero::Precios}) {
        const auto r = ConvertirFichero(t, paths, nullptr, o);
        errors += r.ok ? "" : r.error + "\n";
        if (r.ok && t == TipoFichero::Precios)
            errors += writeProductMaster(paths, nullptr, r.productLines);
    }
    waitForDataCleanup();
    return errors.empty() ? "ok" : errors;
}

Tree part(const Tree& datos, bool master) {
    Tree out;
    for (const auto& e : datos)
        if ((e.first == "Velantia.txt" || e.first.starts_with("textos/")) == master)
            out.push_back(e);
    return out;
}

class ConversionFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        // The old data files, then what the new received files turn them into.
        receive(root.path(), "viejo", 45);
        ASSERT_EQ(convertAll(root.path()), "ok");
        oldDatos = snapshotTree(root.path() / Datos);
        fs::copy(root.path() / Datos, saved.path(), fs::copy_options::recursive);
        receive(root.path(), "nuevo", 60);
        ASSERT_EQ(convertAll(root.path()), "ok");
        newDatos = snapshotTree(root.path() / Datos);
        ASSERT_NE(part(oldDatos, true), part(newDatos, true));
        restoreOld();
    }
    void restoreOld() {
        fs::remove_all(root.path() / Datos);
        fs::copy(saved.path(), root.path() / Datos, fs::copy_options::recursive);
    }
    // After the recovery the master's files, the survey and the products are each wholly old
    // or wholly new, and nothing is left aside.
    void expectWhole(const std::string& when) {
        SCOPED_TRACE(when);
        ASSERT_TRUE(recoverDataFiles(Paths(root.path())));
        const Tree now = snapshotTree(root.path() / Datos);
        const Tree master = part(now, true);
        EXPECT_TRUE(master == part(oldDatos, true) || master == part(newDatos, true))
            << "the item file and the texts do not belong together";
        for (const auto& e : part(now, false))
            EXPECT_TRUE(std::ranges::count(oldDatos, e) + std::ranges::count(newDatos, e))
                << "half-written or left behind: " << e.first;
        EXPECT_EQ(part(now, false).size(), part(oldDatos, false).size());
    }
    Worker::End runWorker(const std::string& step, long long killAfterMicros = -1) {
        Worker w({VELANTIA_FAULT_WORKER, "convert", root.path().string(), Today, step});
        if (killAfterMicros >= 0) {
            EXPECT_TRUE(w.waitReady());
            std::this_thread::sleep_for(std::chrono::microseconds(killAfterMicros));
            w.kill();
        }
        return w.wait();
    }

    TempDir root, saved;
    Tree oldDatos, newDatos;
};

TEST_F(ConversionFaults, KilledAtEveryStepOfTheSwap) {
    const struct {
        const char* step;
        bool endsNew;
        const char* logged; // what the recovery notes in the run log
    } steps[] = {{"swap:staged", false, "se deshace"},
                 {"swap:marked", true, "se completa"},
                 {"swap:texts-aside", true, "se completa"},
                 {"swap:texts-in", true, "se completa"},
                 {"swap:velantia-in", true, "se completa"},
                 {"swap:unmarked", true, "se retiran"},
                 {"swap:discarding", true, ""}};
    for (const auto& s : steps) {
        restoreOld();
        EXPECT_TRUE(runWorker(s.step).killed) << s.step << " never reached";
        runlog::open(Paths(root.path()), "");
        expectWhole(s.step);
        runlog::close();
        const fs::path log = runlog::logPath(Paths(root.path()), "");
        EXPECT_NE(fromCp1252(readBytes(log)).find(s.logged), std::string::npos) << s.step;
        fs::remove(log);
        EXPECT_EQ(part(snapshotTree(root.path() / Datos), true),
                  part(s.endsNew ? newDatos : oldDatos, true))
            << s.step;
    }
    // The next conversion starts from whole files and completes.
    EXPECT_EQ(runWorker("-").exitCode, 0);
    EXPECT_EQ(snapshotTree(root.path() / Datos), newDatos);
}

TEST_F(ConversionFaults, KilledAtRandomMoments) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(runWorker("-").exitCode, 0);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - t0);
    std::mt19937 rng(7061);
    std::uniform_int_distribution<long long> delay(0, span.count());
    int killed = 0;
    for (int round = 1; round <= 25; ++round) {
        restoreOld();
        killed += runWorker("-", delay(rng)).killed;
        expectWhole("round " + std::to_string(round));
    }
    EXPECT_GT(killed, 0) << "no kill landed inside the conversion";
    RecordProperty("killed_inside", killed);
}

// A write that fails for want of room: an error naming the full disk, and the old files kept.
TEST_F(ConversionFaults, FileSizeLimitKeepsTheOldFiles) {
    // Every new data file is longer than this; the texts are shorter.
    const fs::path r = root.path();
    const auto message = runWithFileSizeLimit(120, [&] { return convertAll(r); });
    ASSERT_TRUE(message.has_value());
    EXPECT_NE(message->find("disco está lleno"), std::string::npos) << *message;
    EXPECT_EQ(snapshotTree(r / Datos), oldDatos);
    EXPECT_TRUE(recoverDataFiles(Paths(r)));
    EXPECT_EQ(snapshotTree(r / Datos), oldDatos);
}

TEST_F(ConversionFaults, FullTmpfsKeepsTheOldFiles) {
    TempDir mount, out;
    const fs::path mp = mount.path();
    const auto run =
        runOnFullTmpfs(root.path(), mp, out.path(), 512 * 1024, [&] { return convertAll(mp); });
    if (!run.mounted) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(run.result.has_value());
    EXPECT_NE(run.result->find("disco está lleno"), std::string::npos) << *run.result;
    EXPECT_EQ(snapshotTree(out.path() / Datos), oldDatos) << *run.result;
}

} // namespace

#endif
