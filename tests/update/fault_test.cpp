// Conversions that die (SIGKILL) or meet a full disk, and downloads whose connection drops: the
// lookup afterwards finds the complete old data files or the complete new ones, never a mix.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/runlog.h"
#include "core/text.h"
#include "support/faults.h"
#include "support/received.h"
#include "support/service_double.h"
#include "support/tempdir.h"
#include "support/zipfile.h"
#include "update/convert.h"
#include "update/updaterun.h"

using namespace vl;
using vltest::makeZip;
using vltest::Datos;
using vltest::document;
using vltest::Recibido;
using vltest::Today;
namespace fs = std::filesystem;

namespace {

using Tree = std::vector<std::pair<std::string, std::string>>;

// One generation of the three received files: `items` master items sharing `items / 3` texts,
// a survey and a price list, every value naming the generation.
struct Generation {
    std::string tag;
    int items;

    std::string master() const {
        std::string body;
        for (int i = 0; i < items; ++i) {
            const std::string id = std::to_string(i / 3 + (tag == "nuevo" ? 500 : 0));
            body += "<item><identificador>" + id + "</identificador><codigo>" +
                    std::to_string(100000 + i * 7) + "</codigo><tipo_alarma>" +
                    std::to_string(1 + i % 3) + "</tipo_alarma><titulo>" + tag + " " + id +
                    "</titulo><texto>Texto " + tag + " " + id +
                    "</texto><fecha_inicio>20240101</fecha_inicio><fecha_final></fecha_final>"
                    "<imprimir>1</imprimir><informacion_anexa>Anexo</informacion_anexa>"
                    "<estado>A</estado></item>\n";
        }
        return document(body);
    }
    std::string survey() const {
        std::string body;
        for (int q = 1; q <= 4; ++q)
            for (int a = 1; a <= 3; ++a)
                body += "<fila><grupo_pregunta_id>1</grupo_pregunta_id><grupo>Grupo " + tag +
                        "</grupo><pregunta_id>" + std::to_string(q) + "</pregunta_id><pregunta>P " +
                        tag + "</pregunta><respuesta_id>" + std::to_string(q * 10 + a) +
                        "</respuesta_id><respuesta>R</respuesta><por_defecto></por_defecto></fila>\n";
        return document(body);
    }
    std::string prices() const {
        std::string body;
        for (int i = 0; i < items; ++i)
            body += "<producto><codigo_nacional>" + std::to_string(600000 + i) +
                    "</codigo_nacional><descripcion>" + tag +
                    "</descripcion><pvp_nomenclator>1" + std::to_string(i % 10) +
                    ",00</pvp_nomenclator><pvp_distribuidor>0,00</pvp_distribuidor></producto>\n";
        return document(body);
    }
    void receive(const fs::path& root) const {
        fs::create_directories(root / Recibido);
        vltest::writeBytes(root / (Recibido + "Maestro.xml"), master());
        vltest::writeBytes(root / (Recibido + "Encuesta.xml"), survey());
        vltest::writeBytes(root / (Recibido + "Precios.xml"), prices());
    }
};

const Generation Old{"viejo", 45};
const Generation New{"nuevo", 60};

// Master, survey and prices into `root`'s data files, as an update does.
std::string convertAll(const fs::path& root) {
    const Paths paths(root);
    ConversionOptions o;
    o.today = Today;
    std::string errors;
    for (TipoFichero t : {TipoFichero::Maestro, TipoFichero::Encuesta}) {
        const auto r = ConvertirFichero(t, paths, nullptr, o);
        if (!r.ok) errors += r.error + "\n";
    }
    const auto prices = ConvertirFichero(TipoFichero::Precios, paths, nullptr, o);
    if (!prices.ok) errors += prices.error + "\n";
    else
        errors += writeProductMaster(paths, nullptr, prices.productLines);
    waitForDataCleanup();
    return errors.empty() ? "ok" : errors;
}

Tree part(const Tree& datos, bool master) {
    Tree out;
    for (const auto& e : datos) {
        const bool isMaster = e.first == "Velantia.txt" || e.first.starts_with("textos/");
        if (isMaster == master) out.push_back(e);
    }
    return out;
}

class ConversionFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        // The old data files, then what the new received files turn them into.
        Old.receive(root.path());
        ASSERT_EQ(convertAll(root.path()), "ok");
        oldDatos = vltest::snapshotTree(root.path() / Datos);
        fs::copy(root.path() / Datos, saved.path(), fs::copy_options::recursive);
        New.receive(root.path());
        ASSERT_EQ(convertAll(root.path()), "ok");
        newDatos = vltest::snapshotTree(root.path() / Datos);
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
        const Tree now = vltest::snapshotTree(root.path() / Datos);
        const Tree master = part(now, true);
        EXPECT_TRUE(master == part(oldDatos, true) || master == part(newDatos, true))
            << "the item file and the texts do not belong together";
        for (const auto& e : part(now, false)) {
            const bool known = std::find(oldDatos.begin(), oldDatos.end(), e) != oldDatos.end() ||
                               std::find(newDatos.begin(), newDatos.end(), e) != newDatos.end();
            EXPECT_TRUE(known) << "half-written or left behind: " << e.first;
        }
        EXPECT_EQ(part(now, false).size(), part(oldDatos, false).size());
    }
    vltest::Worker::End runWorker(const std::string& step, bool killSoon = false,
                                  std::chrono::microseconds delay = {}) {
        vltest::Worker w({VELANTIA_FAULT_WORKER, "convert", root.path().string(), Today, step});
        if (killSoon) {
            EXPECT_TRUE(w.waitReady());
            std::this_thread::sleep_for(delay);
            w.kill();
        }
        return w.wait();
    }

    vltest::TempDir root, saved;
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
        vl::runlog::open(Paths(root.path()), "");
        expectWhole(s.step);
        vl::runlog::close();
        const fs::path log = vl::runlog::logPath(Paths(root.path()), "");
        EXPECT_NE(vl::fromCp1252(vltest::readBytes(log)).find(s.logged), std::string::npos)
            << s.step;
        fs::remove(log);
        EXPECT_EQ(part(vltest::snapshotTree(root.path() / Datos), true),
                  part(s.endsNew ? newDatos : oldDatos, true))
            << s.step;
    }
    // The next conversion starts from whole files and completes.
    EXPECT_EQ(runWorker("-").exitCode, 0);
    EXPECT_EQ(vltest::snapshotTree(root.path() / Datos), newDatos);
}

TEST_F(ConversionFaults, KilledAtRandomMoments) {
    std::mt19937 rng(7061);
    const auto t0 = std::chrono::steady_clock::now();
    {
        vltest::Worker w({VELANTIA_FAULT_WORKER, "convert", root.path().string(), Today, "-"});
        ASSERT_TRUE(w.waitReady());
        ASSERT_EQ(w.wait().exitCode, 0);
    }
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - t0)
                          .count();
    std::uniform_int_distribution<long long> delay(0, span);
    int killed = 0;
    for (int round = 1; round <= 25; ++round) {
        restoreOld();
        if (runWorker("-", true, std::chrono::microseconds(delay(rng))).killed) ++killed;
        expectWhole("round " + std::to_string(round));
    }
    EXPECT_GT(killed, 0) << "no kill landed inside the conversion";
    RecordProperty("killed_inside", killed);
}

// ----------------------------------------------------------------------------- full disk

void expectOldKept(const fs::path& datos, const Tree& oldDatos, const std::string& message) {
    EXPECT_NE(message, "ok");
    EXPECT_NE(message.find("disco está lleno"), std::string::npos) << message;
    EXPECT_EQ(vltest::snapshotTree(datos), oldDatos);
}

TEST_F(ConversionFaults, FileSizeLimitKeepsTheOldFiles) {
    // Every new data file is longer than this; the texts are shorter.
    const fs::path r = root.path();
    const auto message = vltest::runWithFileSizeLimit(120, [&] { return convertAll(r); });
    ASSERT_TRUE(message.has_value());
    expectOldKept(r / Datos, oldDatos, *message);
    EXPECT_TRUE(recoverDataFiles(Paths(r)));
    EXPECT_EQ(vltest::snapshotTree(r / Datos), oldDatos);
}

TEST_F(ConversionFaults, FullTmpfsKeepsTheOldFiles) {
    vltest::TempDir mount, out;
    const fs::path mp = mount.path();
    const auto run = vltest::runOnFullTmpfs(root.path(), mp, out.path(), 512 * 1024,
                                            [&] { return convertAll(mp); });
    if (!run.mounted) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(run.result.has_value());
    EXPECT_NE(run.result->find("disco está lleno"), std::string::npos) << *run.result;
    EXPECT_EQ(vltest::snapshotTree(out.path() / Datos), oldDatos) << *run.result;
}

// ------------------------------------------------------------------ connection dropped

TEST_F(ConversionFaults, DownloadCutMidBodyChangesNothing) {
    vltest::TempDir zips;
    makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", New.master()}});
    makeZip(zips.path() / "encuesta.zip", {{"Encuesta.xml", New.survey()}});
    makeZip(zips.path() / "precio.zip", {{"Precios.xml", New.prices()}});
    // The received folder as the last good update left it.
    Old.receive(root.path());
    makeZip(root.path() / (Recibido + "Software.zip"), {{"Maestro.xml", Old.master()}});
    const Tree received = vltest::snapshotTree(root.path() / Recibido);

    vltest::ServiceDouble::Options so;
    so.mode = "drop";
    so.zips = zips.path();
    vltest::ServiceDouble service(so);
    UpdateOptions options;
    options.serviceUrl = service.url();
    options.https.extraCaBundle = service.caPath();
    options.https.timeoutSeconds = 10;

    const auto got = download(service.url() + "?fichero=farmacia", {}, options.https);
    EXPECT_NE(got.kind, DownloadOutcome::Kind::Ok);
    EXPECT_TRUE(got.body.empty());

    Config cfg;
    cfg.descargar_precios = "1";
    DataFiles files{Paths(root.path())};
    std::atomic<bool> cancelled{false};
    std::vector<std::string> messages;
    UpdateCallbacks cb;
    cb.message = [&](const std::string& t) { messages.push_back(t); };
    EXPECT_EQ(runUpdate(Paths(root.path()), cfg, files, cancelled, cb, options), UpdateEnd::Failed);
    ASSERT_EQ(messages.size(), 2u);
    const std::string cut = ": La conexión con el servidor se cortó antes de terminar la transferencia.";
    EXPECT_TRUE(messages[0] == "error 18" + cut || messages[0] == "error 56" + cut) << messages[0];
    EXPECT_EQ(messages[1], "No ha podido descargar el archivo Maestro");
    EXPECT_EQ(service.recordedDownloads().size(), 2u); // nothing after the failed step
    EXPECT_EQ(vltest::snapshotTree(root.path() / Recibido), received);
    EXPECT_EQ(vltest::snapshotTree(root.path() / Datos), oldDatos);
}

// The package itself cannot be stored, or its XML cannot be unpacked: the run says the disk is
// full, and neither the received folder nor the data files change.
TEST_F(ConversionFaults, UpdateOnAFullDiskSaysSoAndChangesNothing) {
    vltest::TempDir zips;
    makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", New.master()}});
    Old.receive(root.path());
    makeZip(root.path() / (Recibido + "Software.zip"), {{"Maestro.xml", Old.master()}});
    const Tree received = vltest::snapshotTree(root.path() / Recibido);
    const std::uintmax_t package = fs::file_size(zips.path() / "farmacia.zip");
    const std::uintmax_t unpacked = New.master().size();
    ASSERT_LT(package + 100, unpacked);

    vltest::ServiceDouble::Options so;
    so.zips = zips.path();
    vltest::ServiceDouble service(so);
    const fs::path r = root.path();
    auto update = [&] {
        UpdateOptions options;
        options.serviceUrl = service.url();
        options.https.extraCaBundle = service.caPath();
        options.https.timeoutSeconds = 10;
        Config cfg;
        DataFiles files{Paths(r)};
        std::atomic<bool> cancelled{false};
        std::string messages;
        UpdateCallbacks cb;
        cb.message = [&](const std::string& t) { messages += t + "\n"; };
        runUpdate(Paths(r), cfg, files, cancelled, cb, options);
        return messages;
    };
    const std::string noRoom =
        "No se puede guardar lo recibido en la carpeta Recibido: el disco está lleno o no se "
        "puede escribir en él. Los datos anteriores se conservan.\n"
        "No ha podido descargar el archivo Maestro\n";
    // Too small for the package; then room for the package but not for its XML.
    for (std::uintmax_t limit : {package / 2, package + 50}) {
        SCOPED_TRACE(limit);
        const auto messages = vltest::runWithFileSizeLimit(limit, update);
        ASSERT_TRUE(messages.has_value());
        EXPECT_EQ(*messages, noRoom);
        EXPECT_EQ(vltest::snapshotTree(r / Datos), oldDatos);
        const Tree now = vltest::snapshotTree(r / Recibido);
        for (const auto& e : now) {
            if (e.first == "Software.zip") continue; // the new package, when it could be stored
            EXPECT_TRUE(std::find(received.begin(), received.end(), e) != received.end())
                << "half-written or left behind: " << e.first;
        }
        EXPECT_EQ(now.size(), received.size());
    }
}

} // namespace

#endif
