// A package from the service to the data files: the download, the unpacking and whole runs.
#include "update/updaterun.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <regex>

#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "support/faults.h"
#include "support/received.h"
#include "support/service_double.h"
#include "support/tempdir.h"
#include "update/unzip.h"

using namespace vl;
using namespace vltest;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

struct ZipEntry {
    std::string name; // a folder when it ends in '/'
    std::string data;
    bool link = false; // stored with the Unix mode of a symbolic link
};

// A real archive; a later entry of the same name replaces the earlier one.
void makeZip(const fs::path& file, const std::vector<ZipEntry>& entries) {
    fs::create_directories(file.parent_path());
    int err = 0;
    zip_t* z = zip_open(file.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& e : entries) {
        const zip_int64_t i =
            e.name.ends_with('/')
                ? zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8)
                : zip_file_add(z, e.name.c_str(),
                               zip_source_buffer(z, e.data.data(), e.data.size(), 0),
                               ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        ASSERT_GE(i, 0) << zip_strerror(z) << " " << e.name;
        const auto mode = (S_IFLNK | 0777u) << 16;
        ASSERT_EQ(e.link ? zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_UNIX, mode) : 0, 0);
    }
    ASSERT_EQ(zip_close(z), 0) << zip_strerror(z);
}

class HostileZip : public ::testing::Test {
  protected:
    void SetUp() override { dir.write("fuera/intacto.txt", "original"); }
    void empty() const {
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    std::string zipOf(const std::vector<ZipEntry>& entries) const {
        makeZip(archive, entries);
        return readBytes(archive);
    }
    TempDir dir;
    fs::path outside = dir.path() / "fuera";
    fs::path folder = dir.path() / "quiroles/Velantia/Recibido";
    fs::path archive = dir.path() / "Software.zip";
};

// Names pointing elsewhere in any spelling land flat in the folder, replacing the file of that
// name in any case (a stale spelling would be found instead). Links are neither made nor followed.
TEST_F(HostileZip, EntryNamesNeverLeaveTheFolderAndLinksAreNeitherMadeNorFollowed) {
    empty();
    for (const char* stale : {"barras.xml", "Maestro.xml", "encuesta.xml", "UNIDAD.XML"})
        writeBytes(folder / stale, "viejo y mas largo que el nuevo");
    fs::create_symlink(outside / "intacto.txt", folder / "red.xml");
    const std::string big(200000, 'x'), target = (outside / "intacto.txt").string();
    std::vector<ZipEntry> entries = {{"../../../fuera/subir.xml", "2"},
                                     {"..\\..\\..\\fuera\\barras.xml", "3"},
                                     {"C:\\Windows\\unidad.xml", "4"},
                                     {"C:relativo.xml", "5"},
                                     {"\\\\servidor\\recurso\\red.xml", "6"},
                                     {"./../punto.xml", "7"},
                                     {"Maestro.xml:flujo", "8"},
                                     {"..", "9"},
                                     {"C:", "10"},
                                     {"../evil", "11"},
                                     {"x/..", "12"},
                                     {"datos/", ""},
                                     {"datos/interior/Encuesta.xml", big},
                                     {"MAESTRO.XML", "13"},
                                     {"enlace.xml", target, true},
                                     {(outside / "absoluto.xml").generic_string(), "1"}};
    makeZip(archive, entries);
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    const Tree flat = {{"Encuesta.xml", big}, {"MAESTRO.XML", "13"},  {"absoluto.xml", "1"},
                       {"barras.xml", "3"},   {"enlace.xml", target}, {"evil", "11"},
                       {"flujo", "8"},        {"punto.xml", "7"},     {"red.xml", "6"},
                       {"relativo.xml", "5"}, {"subir.xml", "2"},     {"unidad.xml", "4"}};
    EXPECT_EQ(snapshotTree(folder), flat);
    // Outside the received folder nothing changed.
    auto all = snapshotTree(dir.path());
    std::erase_if(all,
                  [](const auto& e) { return e.first.starts_with("quiroles/Velantia/Recibido/"); });
    const Tree untouched = {{"Software.zip", readBytes(archive)},
                            {"fuera/", ""},
                            {"fuera/intacto.txt", "original"},
                            {"quiroles/", ""},
                            {"quiroles/Velantia/", ""}};
    EXPECT_EQ(all, untouched);
}

// Other archivers' packages unpack when libzip decodes them. No package, or more bytes or files
// than allowed whatever the headers declare: refused, with no file and no temporary left.
TEST_F(HostileZip, DamagedArchivesAndBombsAreRefused) {
    dir.write("make.py",
              "import zipfile\n"
              "for name, method, zip64 in (('deflate', 8, 0), ('stored', 0, 0), ('bzip2', 12, 0),"
              " ('lzma', 14, 0), ('zip64', 0, 1)):\n"
              "    with zipfile.ZipFile(name, 'w', method) as z:\n"
              "        with z.open('Maestro.xml', 'w', force_zip64=zip64) as f:\n"
              "            f.write(b'a' * 2000)\n");
    ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && python3 make.py").c_str()), 0);
    std::string damaged = zipOf({{"Maestro.xml", std::string(5000, 'a') + std::string(5000, 'b')}});
    // The deflated data just after the local header (30 bytes + name).
    for (std::size_t i = 30 + 11; i < 30 + 11 + 8; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    const auto two = [&](std::size_t a, std::size_t b) {
        return zipOf({{"a.xml", std::string(a, '0')}, {"b.xml", std::string(b, '0')}});
    };
    // Small, and inflating far beyond the limit: ratio above 250.
    const std::string bomb = zipOf({{"Maestro.xml", std::string(24 << 20, '\0')}});
    std::string lying = bomb; // the uncompressed size in the local and the central header: 100
    for (const auto& [sig, at] : {std::pair{"PK\x03\x04", 22}, {"PK\x01\x02", 24}})
        std::memcpy(&lying[lying.find(sig) + at], "\x64\0\0\0", 4);
    std::vector<ZipEntry> many;
    for (std::int64_t i = 0; i < UnzipMaxEntries; ++i)
        many.push_back({"f" + std::to_string(i) + ".xml", ""});
    const std::string most = zipOf(many);
    many.push_back({"otro.xml", ""});
    const struct {
        std::string bytes;
        std::uint64_t limit;
        int result;
        std::size_t files;
    } cases[] = {{dir.read("deflate"), UnzipLimit, UnzipOk, 1},
                 {dir.read("stored"), UnzipLimit, UnzipOk, 1},
                 {dir.read("bzip2"), UnzipLimit, UnzipOk, 1},
                 {dir.read("zip64"), UnzipLimit, UnzipOk, 1},
                 {dir.read("lzma"), UnzipLimit, UnzipBadEntry, 0}, // the reason: UpdateRun
                 {"", UnzipLimit, UnzipNotAnArchive, 0},
                 {"<html><body>Error 500</body></html>", UnzipLimit, UnzipNotAnArchive, 0},
                 {std::string("PK\x03\x04\x14\x00", 6), UnzipLimit, UnzipNotAnArchive, 0},
                 {damaged, UnzipLimit, UnzipBadEntry, 0},
                 {zipOf({{"vacia/", ""}}), UnzipLimit, UnzipEmpty, 0},
                 {two(600, 400), 1000, UnzipOk, 2},
                 {two(600, 401), 1000, UnzipTooLarge, 1},
                 {two(1001, 0), 1000, UnzipTooLarge, 0},
                 {two(100000, 100000), 200000, UnzipOk, 2},
                 {two(100000, 100001), 200000, UnzipTooLarge, 1},
                 {bomb, 1 << 20, UnzipTooLarge, 0},
                 {lying, 1 << 20, UnzipTooLarge, 0},
                 {most, UnzipLimit, UnzipOk, UnzipMaxEntries},
                 {zipOf(many), UnzipLimit, UnzipTooManyEntries, 0}};
    fs::remove(archive);
    empty();
    EXPECT_EQ(Unzip(archive, folder), UnzipNotAnArchive);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        empty();
        writeBytes(archive, c.bytes);
        EXPECT_EQ(Unzip(archive, folder, c.limit), c.result);
        EXPECT_EQ(snapshotTree(folder).size(), c.files);
    }
}

// Characters that would change the address, some that would not, and a Windows-1252 byte.
const std::string Clave = "a&b c#%+\xF1";
const std::string ClaveInQuery = "a%26b%20c%23%25%2B%F1";

// The request of each step: f (master), e (survey), p (prices).
std::vector<std::string> queries(const std::string& steps) {
    const std::map<char, std::string> fichero{
        {'f', "farmacia"}, {'e', "encuesta"}, {'p', "precio"}};
    std::vector<std::string> q;
    for (const char s : steps)
        q.push_back(
            "n_farmacia=28123&fichero=" + fichero.at(s) +
            "&tipo_fichero=2&fecha_ultima=20061106&codigo_empresa=8=9/?-._~&clave=" + ClaveInQuery);
    return q;
}

// The three packages of generation `n`, and the data file `f` (Velantia, Encuesta, productos).
std::vector<ZipEntry> xml(const std::string& n) {
    return {{"Maestro.xml", document(item(n, n + "00001", {{"fecha_final", ""}}))},
            {"Encuesta.xml", document(row({"1", "Grupo " + n, "1", "P", "1", "S\xC3\xAD", "s"}))},
            {"Precios.xml", document(price(n + "00001", "NOMBRE", "", n + "000"))}};
}
const char* const DataFile[] = {"Velantia.txt", "Encuesta.txt", "productos.txt"};
std::string made(int f, const std::string& n) {
    return f == 0   ? n + "00001100000" + n + "2024010220240101        A1\r\n"
           : f == 1 ? "E1   Grupo " + n + "\r\nP1   P\r\nR1  sS\xED\r\n"
                    : n + "00001NOMBRE" + std::string(37, ' ') + n + "0,00\r\n";
}
const std::string None = "<missing>";

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
        for (int f = 0; f < 3; ++f)
            root.write(Datos + DataFile[f], made(f, "7"));
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
    void startService(const std::string& mode = "ok", int tls = 0, long timeout = 10) {
        service = std::make_unique<ServiceDouble>(ServiceDouble::Options{.mode = mode,
                                                                         .delaySeconds = 5,
                                                                         .wrongHost = tls == 1,
                                                                         .untrustedCa = tls == 2,
                                                                         .zips = zips.path()});
        options.serviceUrl = service->url();
        options.https = {timeout, service->caPath()};
    }
    // What the window shows, one a line: questions after "? ", messages as they are.
    std::string run() {
        UpdateCallbacks cb;
        cb.transferState = [this](int s) { cancelled = cancelled || (s == 5 && cancelAtRequest); };
        const auto say = [this](const std::string& t) { said += (said.empty() ? "" : "\n") + t; };
        cb.askRetry = [&](const std::string& t) {
            say("? " + t);
            return answerRetry && answerRetry();
        };
        cb.message = say;
        failed =
            runUpdate(Paths(root.path()), cfg, files, cancelled, cb, options) == UpdateEnd::Failed;
        return said;
    }
    // The generation each data file holds (- none, ? another), then basea: b kept, B priced.
    std::string data() const {
        std::string d;
        for (int f = 0; f < 3; ++f) {
            const fs::path p = root.path() / (Datos + DataFile[f]);
            d += fs::is_regular_file(p) ? '?' : '-';
            for (const std::string n : {"5", "7", "9"})
                if (d.back() == '?' && readBytes(p) == made(f, n)) d.back() = n[0];
        }
        const std::string b = root.read("quiroles/orbal-5/basea");
        return d + (b == None ? '-' : b == basea ? 'b' : b == priced ? 'B' : '?');
    }

    // basey record 50000 (the code's first five digits) points slot 1 (its last) at basea 1.
    const std::string basea = "500001" + std::string(45, 'n') + "    1.00S" + std::string("\0Z", 2);
    const std::string priced = basea.substr(0, 51) + "   50,00" + basea.substr(59);
    TempDir root, zips;
    std::unique_ptr<ServiceDouble> service;
    Config cfg;
    DataFiles files{Paths(root.path())};
    std::atomic<bool> cancelled{false};
    bool cancelAtRequest = false, failed = false;
    UpdateOptions options;
    std::function<bool()> answerRetry;
    std::string said;
};

// Only silence times out: a package that keeps arriving is never cut.
TEST_F(UpdateRun, DownloadErrorKinds) {
    startService("trickle");
    options.https.timeoutSeconds = 2;
    int state = 0;
    const auto onState = [&](int s) { state = s; };
    auto got = download(downloadUrl(service->url(), cfg, "farmacia"), onState, options.https);
    ASSERT_EQ(got.kind, DownloadOutcome::Kind::Ok) << got.detail;
    EXPECT_EQ(got.body, readBytes(zips.path() / "farmacia.zip"));
    EXPECT_EQ(state, 12);
    ASSERT_TRUE(service->setMode("delay", "12", 5));
    options.https.timeoutSeconds = 1;
    got = download(service->url(), onState, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::Timeout);
    EXPECT_EQ(state, 11);
}

// Runs after an earlier one (XML 7 and package 9 received, data files 7) with packages 5 on the
// service. A failed step ends the run; when nothing was converted, nothing received changes.
TEST_F(UpdateRun, RequestsMessagesAndDataFilesOfEachRun) {
    const fs::path farmacia = zips.path() / "farmacia.zip",
                   productos = root.path() / (Datos + "productos.txt");
    std::string lzma = readBytes(farmacia);
    lzma[8] = lzma[lzma.find("PK\x01\x02") + 10] = 14; // LZMA, as some archivers write
    std::string basey(50000 * BaseIndexRecord::Length, ' ');
    basey.replace(49999 * BaseIndexRecord::Length + 12, 6, "000001");
    const auto withBasea = [&] {
        root.write("quiroles/orbal-5/basea", basea);
        root.write("quiroles/orbal-5/basey", basey);
    };
    const auto silence = [&] { startService("delay", 0, 1); };
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
        {"an ERROR=3 page", [&] { fs::remove(farmacia); }, "f", fails.substr(1), "777-"},
        {"a package that cannot be unpacked says why", [&] { writeBytes(farmacia, lzma); }, "f",
         fails.substr(1) + "\nEl paquete recibido no se ha podido descomprimir: Maestro.xml usa el "
                           "método de compresión 14 .LZMA., que este programa no puede leer",
         "777-"},
        {"a master that does not parse",
         [&] {
             makeZip(farmacia, {{"Maestro.xml", "<datos><item>"}});
         },
         "fep", ".+", "755-"},
        {"the survey step fails", [&] { fs::remove(zips.path() / "encuesta.zip"); }, "fe",
         "No ha podido descargar el archivo Encuesta", "577-"},
        {"a product master that cannot be written",
         [&] { fs::remove(productos), fs::create_directories(productos / "x"); }, "fep",
         ".+/datos/productos.txt: .+", "55--"},
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
        const std::string told = run();
        runlog::close();
        std::vector<std::string> requests;
        for (const auto& d : service->recordedDownloads())
            requests.push_back(d.query);
        EXPECT_EQ(requests, queries(c.steps));
        EXPECT_TRUE(std::regex_match(told, std::regex(c.said))) << told;
        EXPECT_EQ(failed, told.find("No ha podido") != std::string::npos);
        EXPECT_EQ(data(), c.data);
        // Without basea there is nowhere to write prices: the setting goes off.
        EXPECT_EQ(cfg.descargar_precios, c.data[3] == 'B' || failed ? "1" : "0");
        // Stamped after every master conversion.
        EXPECT_EQ(root.read(Recibido + "actualizado.rec").ends_with("\r\n"),
                  told.find("archivo Maestro") == std::string::npos);
        if (failed && std::string(c.data) == "777-") {
            EXPECT_EQ(withoutPackage(snapshotTree(root.path() / Recibido)), received);
        }
        // The run log masks the password and says why a run ended.
        const std::string log =
            fromCp1252(runlog::readLog(runlog::logPath(Paths(root.path()), "")));
        EXPECT_EQ(log.find(ClaveInQuery), std::string::npos);
        EXPECT_EQ(log.find("&clave=***\r\n") == std::string::npos, c.data == "777-"s && !failed)
            << log;
        EXPECT_EQ(log.find("terminada con error: No ha podido") != std::string::npos, failed);
    }
}

// No room for the package or for its XML: the run says so, and nothing changes.
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
        EXPECT_EQ(
            runWithFileSizeLimit(limit, [this] { return run(); }),
            "No se puede guardar lo recibido en la carpeta Recibido: el disco está lleno o no "
            "se puede escribir en él. Los datos anteriores se conservan.\n"
            "No ha podido descargar el archivo Maestro");
        EXPECT_EQ(data(), "777-");
        EXPECT_EQ(withoutPackage(snapshotTree(root.path() / Recibido)), received);
    }
}

} // namespace
