#include "update/updaterun.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>

#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "support/faults.h"
#include "support/received.h"
#include "support/service_double.h"
#include "support/tempdir.h"
#include "support/zipfile.h"

using namespace vl;
using namespace vltest;
namespace fs = std::filesystem;

namespace {

// The configured values with every character that would change the address, some that would
// not, and one byte of Windows-1252 (n with tilde).
const std::string Clave = "a&b c#%+\xF1";
const std::string ClaveInQuery = "a%26b%20c%23%25%2B%F1";

// The request of each step: f (master), e (survey), p (prices).
std::vector<std::string> queries(const std::string& steps) {
    std::vector<std::string> q;
    for (const char s : steps)
        q.push_back(
            std::string("n_farmacia=28123&fichero=") +
            (s == 'f'   ? "farmacia"
             : s == 'e' ? "encuesta"
                        : "precio") +
            "&tipo_fichero=2&fecha_ultima=20061106&codigo_empresa=8=9/?-._~&clave=" + ClaveInQuery);
    return q;
}

// The XML of the three packages of generation `n` (a digit), and the data file `f` (Velantia.txt,
// Encuesta.txt, productos.txt) it becomes.
std::vector<ZipEntry> xml(const std::string& n) {
    return {{"Maestro.xml", document(item(n, n + "00001", {{"fecha_final", ""}}))},
            {"Encuesta.xml", document(row({"1", "Grupo " + n, "1", "P", "1", "S\xC3\xAD", "s"}))},
            {"Precios.xml", document(price(n + "00001", "NOMBRE", "", n + "000"))}};
}
std::string made(int f, const std::string& n) {
    return f == 0   ? n + "00001100000" + n + "2024010220240101        A1\r\n"
           : f == 1 ? "E1   Grupo " + n + "\r\nP1   P\r\nR1  sS\xED\r\n"
                    : n + "00001NOMBRE" + std::string(37, ' ') + n + "0,00\r\n";
}
const std::string None = "<missing>";

using Tree = std::vector<std::pair<std::string, std::string>>;
Tree withoutPackage(Tree t) {
    std::erase_if(t, [](const auto& e) { return e.first == "Software.zip"; });
    return t;
}

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    // The new packages for the service; the received folder as an earlier run left it.
    void reset() {
        fs::remove_all(root.path() / "quiroles");
        for (const auto& [zip, i] :
             {std::pair{"farmacia.zip", 0}, {"encuesta.zip", 1}, {"precio.zip", 2}})
            makeZip(zips.path() / zip, {xml("5")[i]});
        for (const auto& e : xml("7"))
            root.write(Recibido + e.name, e.data);
        makeZip(root.path() / (Recibido + "Software.zip"), xml("9"));
        for (const auto& [f, name] :
             {std::pair{0, "Velantia.txt"}, {1, "Encuesta.txt"}, {2, "productos.txt"}})
            root.write(Datos + name, made(f, "7"));
        cfg.n_farmacia = "28123";
        cfg.codigo_empresa = "8=9/?-._~";
        cfg.clave = Clave;
        cfg.descargar_precios = "1";
        cancelled = cancelAtRequest = false;
        answerRetry = nullptr;
        said.clear();
        service.reset(); // started by the test, in the mode it needs
    }
    // tls: 0 a good certificate, 1 one for another host name, 2 one from an unknown authority.
    void startService(const std::string& mode = "ok", int tls = 0) {
        ServiceDouble::Options o;
        o.mode = mode;
        o.delaySeconds = 5;
        o.wrongHost = tls == 1;
        o.untrustedCa = tls == 2;
        o.zips = zips.path();
        service = std::make_unique<ServiceDouble>(o);
        options.serviceUrl = service->url();
        options.https = {10, service->caPath()};
    }
    // What the window shows: questions after "? ", messages as they are.
    UpdateEnd run() {
        UpdateCallbacks cb;
        cb.transferState = [this](int s) { cancelled = cancelled || (s == 5 && cancelAtRequest); };
        cb.askRetry = [this](const std::string& t) {
            said.push_back("? " + t);
            return answerRetry && answerRetry();
        };
        cb.message = [this](const std::string& t) { said.push_back(t); };
        return runUpdate(Paths(root.path()), cfg, files, cancelled, cb, options);
    }
    std::vector<std::string> recorded() const {
        std::vector<std::string> q;
        for (const auto& d : service->recordedDownloads())
            q.push_back(d.query);
        return q;
    }
    // Velantia.txt, Encuesta.txt, productos.txt, basea
    std::vector<std::string> data() const {
        std::vector<std::string> d;
        for (const auto& f : {Datos + "Velantia.txt", Datos + "Encuesta.txt",
                              Datos + "productos.txt", std::string("quiroles/orbal-5/basea")})
            d.push_back(fs::is_regular_file(root.path() / f) ? root.read(f) : None);
        return d;
    }

    TempDir root, zips;
    std::unique_ptr<ServiceDouble> service;
    Config cfg;
    DataFiles files{Paths(root.path())};
    std::atomic<bool> cancelled{false};
    bool cancelAtRequest = false;
    UpdateOptions options;
    std::function<bool()> answerRetry;
    std::vector<std::string> said;
};

TEST_F(UpdateRun, DownloadErrorKinds) {
    // Only silence times out: a package that keeps arriving is never cut.
    startService("trickle");
    options.https.timeoutSeconds = 2;
    std::vector<int> states;
    const auto state = [&](int s) { states.push_back(s); };
    auto got = download(downloadUrl(service->url(), cfg, "farmacia"), state, options.https);
    ASSERT_EQ(got.kind, DownloadOutcome::Kind::Ok) << got.detail;
    EXPECT_EQ(got.body, readBytes(zips.path() / "farmacia.zip"));
    EXPECT_EQ(states, (std::vector<int>{1, 3, 5, 7, 8, 12}));

    ASSERT_TRUE(service->setMode("delay", "12", 5));
    options.https.timeoutSeconds = 1;
    got = download(service->url(), state, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::Timeout);
    EXPECT_EQ(got.errorNumber, 28);
    EXPECT_EQ(states.back(), 11);

    got = download(ServiceDouble::refusedUrl(), {}, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::ConnectFailed);
    EXPECT_EQ(got.detail, "No se puede conectar con el servidor.");

    // Without the test's certificate authority the double's certificate is not trusted.
    options.https = {10, fs::path()}; // the handshake alone may take a second under load
    got = download(service->url(), {}, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::OtherError);
    EXPECT_EQ(got.errorNumber, 60);
    EXPECT_TRUE(got.body.empty());
}

// Runs after an earlier one (its XML 7 and package 9 received, data files 7) with packages 5 on
// the service: the requests made, what the pharmacist is told, the data files afterwards. A step
// that fails ends the run; when it converted nothing, nothing received changes either, but for
// a package that came whole.
TEST_F(UpdateRun, RequestsMessagesAndDataFilesOfEachRun) {
    std::string lzma = readBytes(zips.path() / "farmacia.zip");
    lzma[8] = lzma[lzma.find("PK\x01\x02") + 10] = 14; // LZMA, as some archivers write
    // basea record 1 holds 500001; basey record 50000 (its first five digits) points slot 1 (its
    // last digit) at it.
    const std::string basea = "500001" + std::string(45, 'n') + "    1.00S" + std::string("\0Z", 2);
    std::string basey(50000 * BaseIndexRecord::Length, ' '), priced = basea;
    basey.replace(49999 * BaseIndexRecord::Length + 12, 6, "000001");
    priced.replace(51, 8, "   50,00");
    const auto withBasea = [&] {
        root.write("quiroles/orbal-5/basea", basea);
        root.write("quiroles/orbal-5/basey", basey);
    };
    const auto silence = [&] {
        startService("delay");
        options.https.timeoutSeconds = 1;
    };
    const auto retried = [&] {
        silence();
        answerRetry = [&] { // one second is too short for a transfer on a loaded machine
            options.https.timeoutSeconds = 10;
            return service->setMode("ok");
        };
    };
    const std::string fails = "\nNo ha podido descargar el archivo Maestro",
                      silent = "\\? NO HAY RESPUESTA DEL SERVIDOR",
                      untrusted = "error 60: El certificado del servidor no es válido.*" + fails;
    const struct {
        const char* what;
        std::function<void()> setup;
        const char* steps; // the requests made: f master, e survey, p prices
        std::string said;  // questions ("? ") and messages, one a line
        const char* data;  // the generation of each data file, - none; basea kept b, priced B
    } cases[] = {
        {"prices fetched when there is no basea", [] {}, "fep", "", "555-"},
        {"prices not wanted", [&] { cfg.descargar_precios = "0"; }, "fep", "", "555-"},
        {"basea open, prices not wanted", [&] { withBasea(), cfg.descargar_precios = "0"; }, "fe",
         "", "557b"},
        {"basea open, prices wanted", withBasea, "fep", "", "555B"},
        {"silence, retry", retried, "ffep", silent, "555-"},
        {"silence, cancel: the earlier package", silence, "f", silent, "999-"},
        {"silence, cancel, no earlier package",
         [&] { silence(), fs::remove(root.path() / (Recibido + "Software.zip")); }, "f",
         silent + fails, "777-"},
        {"refused", [&] { startService(), options.serviceUrl = ServiceDouble::refusedUrl(); }, "",
         "No se puede conectar con el servidor" + fails, "777-"},
        {"cut", [&] { startService("drop"); }, "f",
         "error (18|56): La conexión con el servidor se cortó antes de terminar la transferencia." +
             fails,
         "777-"},
        {"wrong host", [&] { startService("ok", 1); }, "", untrusted, "777-"},
        {"untrusted authority", [&] { startService("ok", 2); }, "", untrusted, "777-"},
        {"an ERROR=3 page", [&] { fs::remove(zips.path() / "farmacia.zip"); }, "f", fails.substr(1),
         "777-"},
        {"a package that cannot be unpacked says why",
         [&] { writeBytes(zips.path() / "farmacia.zip", lzma); }, "f",
         fails.substr(1) + "\nEl paquete recibido no se ha podido descomprimir: Maestro.xml usa el "
                           "método de compresión 14 .LZMA., que este programa no puede leer",
         "777-"},
        {"a master that does not parse",
         [&] {
             makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", "<datos><item>"}});
         },
         "fep", ".+", "755-"},
        {"the survey step fails", [&] { fs::remove(zips.path() / "encuesta.zip"); }, "fe",
         "No ha podido descargar el archivo Encuesta", "577-"},
        {"a product master that cannot be written",
         [&] {
             fs::remove(root.path() / (Datos + "productos.txt")),
                 fs::create_directories(root.path() / (Datos + "productos.txt/x"));
         },
         "fep", ".+/datos/productos.txt: .+", "55--"},
        {"cancelled during the master request", [&] { cancelAtRequest = true; }, "f", "", "577-"},
        {"cancelled before", [&] { cancelled = true; }, "", "", "777-"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        const Tree received = withoutPackage(snapshotTree(root.path() / Recibido));
        c.setup();
        if (!service) startService();
        files.OpenDataFiles();
        runlog::open(Paths(root.path()), "");
        const bool failed = run() == UpdateEnd::Failed;
        runlog::close();
        EXPECT_EQ(recorded(), queries(c.steps));
        std::string told;
        for (const auto& t : said)
            told += (told.empty() ? "" : "\n") + t;
        EXPECT_TRUE(std::regex_match(told, std::regex(c.said))) << told;
        EXPECT_EQ(failed, told.find("No ha podido") != std::string::npos);
        std::vector<std::string> data;
        for (int f = 0; f < 3; ++f)
            data.push_back(c.data[f] == '-' ? None : made(f, std::string(1, c.data[f])));
        data.push_back(c.data[3] == '-' ? None : c.data[3] == 'b' ? basea : priced);
        EXPECT_EQ(this->data(), data);
        // Without basea there is nowhere to write prices: the setting goes off.
        EXPECT_EQ(cfg.descargar_precios, c.data[3] == 'B' || failed ? "1" : "0");
        // Stamped after every master conversion.
        EXPECT_EQ(root.read(Recibido + "actualizado.rec").ends_with("\r\n"),
                  told.find("archivo Maestro") == std::string::npos);
        if (failed && std::string(c.data) == "777-") {
            EXPECT_EQ(withoutPackage(snapshotTree(root.path() / Recibido)), received);
        }
        const std::string log =
            fromCp1252(runlog::readLog(runlog::logPath(Paths(root.path()), "")));
        EXPECT_EQ(log.find(ClaveInQuery), std::string::npos) << "the password in the run log";
        if (std::string(c.what) == "the survey step fails") {
            for (const char* line :
                 {"Actualización Maestro.xml: petición https://", "&clave=***\r\n",
                  "Actualización Maestro.xml: recibidos ",
                  "Descomprimidos de Software.zip: Maestro.xml",
                  "Maestro.xml: convertido: registros leídos: 1, líneas escritas: 1, textos: 1",
                  "Actualización Encuesta.xml: no se ha podido descomprimir: ",
                  "Actualización terminada con error: No ha podido descargar el archivo Encuesta"})
                EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
    }
}

// The package itself cannot be stored, or its XML cannot be unpacked: the run says the disk is
// full, and neither the received folder nor the data files change.
TEST_F(UpdateRun, UpdateOnAFullDiskSaysSoAndChangesNothing) {
    std::string body;
    for (int i = 0; i < 60; ++i)
        body += item(std::to_string(i), std::to_string(100000 + i));
    makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", document(body)}});
    const std::uintmax_t package = fs::file_size(zips.path() / "farmacia.zip");
    ASSERT_LT(package + 100, document(body).size());
    startService();
    const Tree received = withoutPackage(snapshotTree(root.path() / Recibido));
    // Too small for the package; then room for the package but not for its XML.
    for (const std::uintmax_t limit : {package / 2, package + 50}) {
        SCOPED_TRACE(limit);
        const auto told = runWithFileSizeLimit(limit, [this] {
            run();
            return said.size() == 2 ? said[0] + "\n" + said[1] : "?";
        });
        EXPECT_EQ(told, "No se puede guardar lo recibido en la carpeta Recibido: el disco está "
                        "lleno o no se puede escribir en él. Los datos anteriores se conservan.\n"
                        "No ha podido descargar el archivo Maestro");
        EXPECT_EQ(data(),
                  (std::vector<std::string>{made(0, "7"), made(1, "7"), made(2, "7"), None}));
        EXPECT_EQ(withoutPackage(snapshotTree(root.path() / Recibido)), received);
    }
}

} // namespace
