#include "update/updaterun.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "support/service_double.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Velantia = "quiroles/Velantia/";
const std::string Recibido = Velantia + "recibido/";
const std::string Datos = Velantia + "datos/";

// The configured password with every character that would change the address, plus one byte of
// Windows-1252 (n with tilde).
const std::string Clave = "a&b c#%+\xF1";
const std::string ClaveInQuery = "a%26b%20c%23%25%2B%F1";

std::string query(const std::string& fichero) {
    return "n_farmacia=28123&fichero=" + fichero +
           "&tipo_fichero=2&fecha_ultima=20061106&codigo_empresa=8&clave=" + ClaveInQuery;
}

std::string document(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<datos>\n" + body + "</datos>\n";
}

std::string masterXml(const std::string& id, const std::string& code) {
    return document("<item><identificador>" + id + "</identificador><codigo>" + code +
                    "</codigo><tipo_alarma>1</tipo_alarma><titulo>T\xC3\xADtulo " + id +
                    "</titulo><texto>Texto</texto><fecha_inicio>20240101</fecha_inicio>"
                    "<fecha_final></fecha_final><fecha_actualizacion>20240102"
                    "</fecha_actualizacion><imprimir>1</imprimir><informacion_anexa>Anexo"
                    "</informacion_anexa><estado>A</estado></item>\n");
}
// The line datos\Velantia.txt gets for masterXml(id, code), id of one digit.
std::string masterLine(const std::string& id, const std::string& code) {
    return code + "100000" + id + "2024010220240101        A1\r\n";
}

std::string surveyXml(const std::string& grupo) {
    return document("<fila><grupo_pregunta_id>1</grupo_pregunta_id><grupo>" + grupo +
                    "</grupo><pregunta_id>1</pregunta_id><pregunta>Pregunta</pregunta>"
                    "<respuesta_id>1</respuesta_id><respuesta>S\xC3\xAD</respuesta>"
                    "<por_defecto>s</por_defecto></fila>\n");
}
std::string surveyFile(const std::string& grupo) {
    return "E1   " + grupo + "\r\nP1   Pregunta\r\nR1  sS\xED\r\n";
}

std::string pricesXml(const std::string& code, const std::string& price) {
    return document("<producto><codigo_nacional>" + code +
                    "</codigo_nacional><descripcion>NOMBRE</descripcion><pvp_nomenclator>" + price +
                    "</pvp_nomenclator><pvp_distribuidor>" + price +
                    "</pvp_distribuidor><fecha_actualizacion>20240101</fecha_actualizacion>"
                    "</producto>\n");
}
// The line datos\productos.txt gets for pricesXml(code, price) with a price of 5 characters.
std::string productLine(const std::string& code, const std::string& price) {
    std::string p = price;
    p[p.find(',')] = '.';
    return code + "NOMBRE" + std::string(34, ' ') + "   " + p + "\r\n";
}

// A real archive built with libzip, one deflated entry per pair.
void makeZip(const fs::path& file,
             const std::vector<std::pair<std::string, std::string>>& entries) {
    fs::create_directories(file.parent_path());
    int err = 0;
    zip_t* z = zip_open(file.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(z, data.data(), data.size(), 0);
        ASSERT_NE(src, nullptr);
        ASSERT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE), 0)
            << zip_strerror(z);
    }
    ASSERT_EQ(zip_close(z), 0);
}

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root.path() / Recibido);
        fs::create_directories(root.path() / Datos);
        makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", masterXml("5", "123456")}});
        makeZip(zips.path() / "encuesta.zip", {{"Encuesta.xml", surveyXml("Grupo nuevo")}});
        makeZip(zips.path() / "precio.zip", {{"Precios.xml", pricesXml("600001", "10,00")}});
        cfg.n_farmacia = "28123";
        cfg.codigo_empresa = "8";
        cfg.clave = Clave;
        cfg.descargar_precios = "1";
    }

    void startService(const std::string& mode = "ok", double delaySeconds = 90) {
        vltest::ServiceDouble::Options o;
        o.mode = mode;
        o.delaySeconds = delaySeconds;
        o.zips = zips.path();
        service = std::make_unique<vltest::ServiceDouble>(o);
        options.serviceUrl = service->url();
        options.https.extraCaBundle = service->caPath();
        options.https.timeoutSeconds = 10;
    }

    // Received files of an earlier run: the XML of each kind and the last package.
    void leaveEarlierFiles() {
        root.write(Recibido + "Maestro.xml", masterXml("7", "777777"));
        root.write(Recibido + "Encuesta.xml", surveyXml("Grupo viejo"));
        root.write(Recibido + "Precios.xml", pricesXml("500001", "20,00"));
        makeZip(root.path() / (Recibido + "Software.zip"),
                {{"Maestro.xml", masterXml("9", "999999")},
                 {"Encuesta.xml", surveyXml("Del paquete")},
                 {"Precios.xml", pricesXml("900001", "90,00")}});
    }

    UpdateCallbacks callbacks() {
        UpdateCallbacks cb;
        cb.transferState = [this](int s) {
            states.push_back(s);
            if (onState) onState(s);
        };
        cb.phase = [this](const std::string& t) { phases.push_back(t); };
        cb.label13 = [this](const std::string& t) { labels.push_back(t); };
        cb.activity = [this](bool on) { activity.push_back(on); };
        cb.converting = [this](const std::string& f) { converted.push_back(f); };
        cb.conversionProgress = [this](int v) { progress.push_back(v); };
        cb.askRetry = [this](const std::string& t) {
            questions.push_back(t);
            return answerRetry ? answerRetry() : false;
        };
        cb.message = [this](const std::string& t) { messages.push_back(t); };
        return cb;
    }

    UpdateEnd run() {
        return runUpdate(Paths(root.path()), cfg, files, cancelled, callbacks(), options);
    }

    std::vector<std::string> queries() const {
        std::vector<std::string> q;
        for (const auto& d : service->recordedDownloads())
            q.push_back(d.query);
        return q;
    }
    bool exists(const std::string& relative) const { return fs::exists(root.path() / relative); }
    long requestsStarted() const { return std::count(states.begin(), states.end(), 1); }

    vltest::TempDir root;
    vltest::TempDir zips;
    std::unique_ptr<vltest::ServiceDouble> service;
    Config cfg;
    DataFiles files{Paths(root.path())};
    std::atomic<bool> cancelled{false};
    UpdateOptions options;

    std::function<void(int)> onState;
    std::function<bool()> answerRetry;
    std::vector<int> states, progress;
    std::vector<bool> activity;
    std::vector<std::string> phases, labels, questions, messages, converted;
};

// ----------------------------------------------------------------------- address and states

TEST(DownloadUrl, KeysInTheirOrderAndValuesEncodedWhereTheyWouldChangeTheAddress) {
    Config cfg;
    cfg.n_farmacia = "28 1";
    cfg.codigo_empresa = "8=9/?";
    cfg.clave = Clave;
    EXPECT_EQ(downloadUrl("https://h:55000/conexion_empresas.asp", cfg, "encuesta"),
              "https://h:55000/conexion_empresas.asp?n_farmacia=28%201&fichero=encuesta"
              "&tipo_fichero=2&fecha_ultima=20061106&codigo_empresa=8=9/?&clave=" +
                  ClaveInQuery);
    cfg.n_farmacia = "28123";
    cfg.codigo_empresa = "8";
    cfg.clave = "Abc-._~9";
    EXPECT_EQ(downloadUrl("u", cfg, "farmacia"),
              "u?n_farmacia=28123&fichero=farmacia&tipo_fichero=2&fecha_ultima=20061106"
              "&codigo_empresa=8&clave=Abc-._~9");
}

TEST(EstadoInet, TheThirteenTexts) {
    EXPECT_EQ(estadoInet(0), "No hay estado del que informar");
    EXPECT_EQ(estadoInet(1), "Buscando la dirección IP del servidor.");
    EXPECT_EQ(estadoInet(2), "Dirección IP encontrada.");
    EXPECT_EQ(estadoInet(3), "Conectando con el servidor.");
    EXPECT_EQ(estadoInet(4), "Conectado con éxito.");
    EXPECT_EQ(estadoInet(5), "Enviando una solicitud al servidor.");
    EXPECT_EQ(estadoInet(6), "Eviada la solicitud con éxito.");
    EXPECT_EQ(estadoInet(7), "Recibiendo una respuesta del servidor.");
    EXPECT_EQ(estadoInet(8), "Recibió con éxito una respuesta del servidor.");
    EXPECT_EQ(estadoInet(9), "Desconectando del equipo host.");
    EXPECT_EQ(estadoInet(10), "Desconectó con éxito del equipo host.");
    EXPECT_EQ(estadoInet(11), "Se produjo un error en la comunicación con el servidor.");
    EXPECT_EQ(estadoInet(12), "La solicitud se completó y se recibieron todos los datos.");
    EXPECT_EQ(estadoInet(-1), "");
    EXPECT_EQ(estadoInet(13), "");
}

TEST_F(UpdateRun, DownloadReportsItsStatesAndTakesTheWholeBody) {
    startService();
    const auto got = download(
        downloadUrl(service->url(), cfg, "farmacia"), [this](int s) { states.push_back(s); },
        options.https);
    ASSERT_EQ(got.kind, DownloadOutcome::Kind::Ok) << got.detail;
    EXPECT_EQ(got.body, vltest::readBytes(zips.path() / "farmacia.zip"));
    EXPECT_EQ(states, (std::vector<int>{1, 3, 5, 7, 8, 12}));
}

TEST_F(UpdateRun, DownloadErrorKinds) {
    startService("delay", 5);
    options.https.timeoutSeconds = 1;
    auto got = download(
        service->url(), [this](int s) { states.push_back(s); }, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::Timeout);
    EXPECT_EQ(got.errorNumber, 28);
    EXPECT_EQ(states.back(), 11);

    got = download(vltest::ServiceDouble::refusedUrl(), {}, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::ConnectFailed);
    EXPECT_EQ(got.detail, "No se puede conectar con el servidor.");

    // Without the test's certificate authority the double's certificate is not trusted.
    options.https.timeoutSeconds = 10; // the handshake alone may take a second under load
    options.https.extraCaBundle = fs::path();
    got = download(service->url(), {}, options.https);
    EXPECT_EQ(got.kind, DownloadOutcome::Kind::OtherError);
    EXPECT_EQ(got.errorNumber, 60);
    EXPECT_TRUE(got.body.empty());

    // Only silence times out: a package that keeps arriving is never cut.
    ASSERT_TRUE(service->setMode("trickle", "12", 5));
    options.https = {2, service->caPath()};
    got = download(downloadUrl(service->url(), cfg, "farmacia"), {}, options.https);
    ASSERT_EQ(got.kind, DownloadOutcome::Kind::Ok) << got.detail;
    EXPECT_EQ(got.body, vltest::readBytes(zips.path() / "farmacia.zip"));
}

// ---------------------------------------------------------------------------- the whole run

TEST_F(UpdateRun, AllThreeFilesAreFetchedUnpackedAndConverted) {
    startService();
    root.write(Datos + "productos.txt", "viejo\r\n");
    ASSERT_EQ(run(), UpdateEnd::Completed);

    EXPECT_EQ(queries(),
              (std::vector<std::string>{query("farmacia"), query("encuesta"), query("precio")}));
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("5", "123456"));
    EXPECT_EQ(root.read(Datos + "textos/000005.txt"),
              "\"T\xEDtulo 5\"\r\n\"Texto\"\r\n\"Anexo\"\r\n");
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo nuevo"));
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("600001", "10,00"));
    EXPECT_TRUE(exists(Recibido + "actualizado.rec"));
    const std::string stamp = root.read(Recibido + "actualizado.rec");
    ASSERT_GT(stamp.size(), 2u);
    EXPECT_EQ(stamp.substr(stamp.size() - 2), "\r\n");
    // The last package stays where it was stored.
    EXPECT_EQ(root.read(Recibido + "Software.zip"), vltest::readBytes(zips.path() / "precio.zip"));
    // Without the pharmacy program's files no price can go into basea.
    EXPECT_EQ(cfg.descargar_precios, "0");

    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(phases, std::vector<std::string>(3, "Buscando información"));
    EXPECT_EQ(labels, (std::vector<std::string>{"Maestro.xml", "Procesando datos.", "Encuesta.xml",
                                                "Procesando datos.", "Precios.xml",
                                                "Procesando datos.", "Actualización completada"}));
    EXPECT_EQ(states, (std::vector<int>{1, 3, 5, 7, 8, 12, 1, 3, 5, 7, 8, 12, 1, 3, 5, 7, 8, 12}));
    EXPECT_EQ(activity, (std::vector<bool>{true, false, true, false, true, false}));
    EXPECT_EQ(converted, (std::vector<std::string>{"Maestro.xml", "encuesta.xml", "precios.xml"}));
    // pb3 goes away after each conversion.
    EXPECT_EQ(std::count(progress.begin(), progress.end(), -1), 4);
    EXPECT_EQ(progress.back(), -1);
    EXPECT_TRUE(questions.empty());
}

TEST_F(UpdateRun, PricesSkippedWhenNotWantedAndThePharmacyFilesAreOpen) {
    startService();
    cfg.descargar_precios = "0";
    root.write(Datos + "productos.txt", "viejo\r\n");
    root.write("quiroles/orbal-5/basea", std::string(BaseProductRecord::Length, ' '));
    root.write("quiroles/orbal-5/basey", std::string(BaseIndexRecord::Length, ' '));
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());

    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(queries(), (std::vector<std::string>{query("farmacia"), query("encuesta")}));
    EXPECT_EQ(root.read(Datos + "productos.txt"), "viejo\r\n");
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("5", "123456"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo nuevo"));
    EXPECT_EQ(cfg.descargar_precios, "0");
    EXPECT_EQ(labels.back(), "Actualización completada");
}

TEST_F(UpdateRun, PricesFetchedWhateverTheSettingWhenThePharmacyFilesAreNotOpen) {
    startService();
    cfg.descargar_precios = "0";
    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(queries(),
              (std::vector<std::string>{query("farmacia"), query("encuesta"), query("precio")}));
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("600001", "10,00"));
    EXPECT_EQ(cfg.descargar_precios, "0");
}

TEST_F(UpdateRun, PricesGoIntoBaseaWhenWantedAndOpen) {
    startService();
    // basea record 1 holds 600001; basey record 60000 (its first five digits) points slot 1 (its
    // last digit) at it.
    std::string basea = "600001" + std::string(30, 'n') + std::string(15, 'x') + "    1.00" + "S" +
                        std::string("\0Z", 2);
    ASSERT_EQ(basea.size(), BaseProductRecord::Length);
    root.write("quiroles/orbal-5/basea", basea);
    std::string basey(60000 * BaseIndexRecord::Length, ' ');
    basey.replace(59999 * BaseIndexRecord::Length + 12, 6, "000001");
    root.write("quiroles/orbal-5/basey", basey);
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());

    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(queries().size(), 3u);
    std::string expected = basea;
    expected.replace(51, 8, "   10.00");
    EXPECT_EQ(root.read("quiroles/orbal-5/basea"), expected);
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("600001", "10,00"));
    EXPECT_EQ(cfg.descargar_precios, "1");
}

TEST_F(UpdateRun, TimeoutAnsweredWithRetryFetchesAgain) {
    startService("delay", 5);
    options.https.timeoutSeconds = 1;
    answerRetry = [this] {
        EXPECT_TRUE(service->setMode("ok"));
        // One second is too short for a whole transfer on a loaded machine (or instrumented).
        options.https.timeoutSeconds = 10;
        return true;
    };
    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(questions, std::vector<std::string>{"NO HAY RESPUESTA DEL SERVIDOR"});
    EXPECT_EQ(queries(), (std::vector<std::string>{query("farmacia"), query("farmacia"),
                                                   query("encuesta"), query("precio")}));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("5", "123456"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo nuevo"));
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("600001", "10,00"));
}

// The package of an earlier run is unpacked in its place; without one the step fails.
TEST_F(UpdateRun, TimeoutAnsweredWithCancelUnpacksTheEarlierPackage) {
    startService("delay", 5);
    options.https.timeoutSeconds = 1;
    leaveEarlierFiles();
    fs::remove(root.path() / (Recibido + "Software.zip"));
    ASSERT_EQ(run(), UpdateEnd::Failed);
    EXPECT_EQ(messages, std::vector<std::string>{"No ha podido descargar el archivo Maestro"});
    EXPECT_FALSE(exists(Datos + "Velantia.txt") || exists(Recibido + "actualizado.rec"));
    leaveEarlierFiles();
    const std::string oldPackage = root.read(Recibido + "Software.zip");
    messages.clear();

    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(questions, std::vector<std::string>(2, "NO HAY RESPUESTA DEL SERVIDOR"));
    EXPECT_EQ(queries(), std::vector<std::string>(2, query("farmacia")));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(requestsStarted(), 2);
    EXPECT_EQ(root.read(Recibido + "Software.zip"), oldPackage);
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("9", "999999"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Del paquete"));
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("900001", "90,00"));
    EXPECT_TRUE(exists(Recibido + "actualizado.rec"));
    EXPECT_EQ(phases, std::vector<std::string>(2, "Buscando información"));
    EXPECT_EQ(labels.back(), "Actualización completada");
}

TEST_F(UpdateRun, RefusedConnectionEndsTheRunWithTheStepsMessage) {
    leaveEarlierFiles();
    options.serviceUrl = vltest::ServiceDouble::refusedUrl();
    options.https.extraCaBundle = fs::path();
    options.https.timeoutSeconds = 10;

    ASSERT_EQ(run(), UpdateEnd::Failed);
    EXPECT_EQ(messages, (std::vector<std::string>{"No se puede conectar con el servidor",
                                                  "No ha podido descargar el archivo Maestro"}));
    EXPECT_EQ(requestsStarted(), 1);
    EXPECT_EQ(states.back(), 11);
    EXPECT_FALSE(exists(Datos + "Velantia.txt"));
    EXPECT_FALSE(exists(Datos + "Encuesta.txt"));
    EXPECT_FALSE(exists(Recibido + "actualizado.rec"));
    EXPECT_EQ(root.read(Recibido + "Maestro.xml"), masterXml("7", "777777"));
}

TEST_F(UpdateRun, OtherTransferErrorShowsItsNumber) {
    startService();
    options.https.extraCaBundle = fs::path(); // the double's certificate is not trusted
    ASSERT_EQ(run(), UpdateEnd::Failed);
    ASSERT_EQ(messages.size(), 2u);
    const std::string lead =
        "error 60: El certificado del servidor no es válido o no es de confianza.";
    EXPECT_EQ(messages[0].substr(0, lead.size()), lead) << messages[0];
    EXPECT_EQ(messages[1], "No ha podido descargar el archivo Maestro");
    EXPECT_FALSE(exists(Datos + "Velantia.txt"));
}

TEST_F(UpdateRun, AnswerThatIsNotAPackageFailsWithoutFallingBackOnTheOldOne) {
    startService();
    leaveEarlierFiles();
    fs::remove(root.path() / (Recibido + "Maestro.xml"));
    fs::remove(zips.path() / "farmacia.zip"); // the service answers with its ERROR=3 page

    ASSERT_EQ(run(), UpdateEnd::Failed);
    EXPECT_EQ(messages, std::vector<std::string>{"No ha podido descargar el archivo Maestro"});
    EXPECT_EQ(queries(), std::vector<std::string>{query("farmacia")});
    EXPECT_NE(root.read(Recibido + "Software.zip").find("ERROR=3"), std::string::npos);
    EXPECT_FALSE(exists(Recibido + "Maestro.xml"));
    EXPECT_EQ(root.read(Recibido + "Encuesta.xml"), surveyXml("Grupo viejo"));
    EXPECT_FALSE(exists(Datos + "Velantia.txt"));
    EXPECT_FALSE(exists(Recibido + "actualizado.rec"));
}

// A package that came whole but cannot be unpacked says why under the step's message.
TEST_F(UpdateRun, PackageThatCannotBeUnpackedSaysWhy) {
    startService();
    std::string zip = vltest::readBytes(zips.path() / "farmacia.zip");
    zip[8] = zip[zip.find("PK\x01\x02") + 10] = 14; // LZMA, as some archivers write
    vltest::writeBytes(zips.path() / "farmacia.zip", zip);
    ASSERT_EQ(run(), UpdateEnd::Failed);
    EXPECT_EQ(messages, std::vector<std::string>{
                            "No ha podido descargar el archivo Maestro\nEl paquete recibido no se "
                            "ha podido descomprimir: Maestro.xml usa el método de compresión 14 "
                            "(LZMA), que este programa no puede leer"});
}

// A product master that cannot be replaced is reported, naming it.
TEST_F(UpdateRun, ProductMasterThatCannotBeWrittenIsReported) {
    startService();
    fs::create_directories(root.path() / (Datos + "productos.txt/x"));
    ASSERT_EQ(run(), UpdateEnd::Completed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find((root.path() / (Datos + "productos.txt")).string() + ": "),
              std::string::npos)
        << messages[0];
}

TEST_F(UpdateRun, LaterStepThatFailsKeepsTheEarlierConversions) {
    startService();
    fs::remove(zips.path() / "encuesta.zip");
    runlog::open(Paths(root.path()), "");
    ASSERT_EQ(run(), UpdateEnd::Failed);
    runlog::close();
    // Each step in the run log, the password masked.
    const std::string log = fromCp1252(runlog::readLog(runlog::logPath(Paths(root.path()), "")));
    for (const char* line :
         {"Actualización Maestro.xml: petición https://", "&clave=***\r\n",
          "Actualización Maestro.xml: recibidos ", "Descomprimidos de Software.zip: Maestro.xml",
          "Maestro.xml: convertido: registros leídos: 1, líneas escritas: 1, textos: 1",
          "Actualización Encuesta.xml: no se ha podido descomprimir: ",
          "Actualización terminada con error: No ha podido descargar el archivo Encuesta"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find(ClaveInQuery), std::string::npos);
    EXPECT_EQ(messages, std::vector<std::string>{"No ha podido descargar el archivo Encuesta"});
    EXPECT_EQ(queries(), (std::vector<std::string>{query("farmacia"), query("encuesta")}));
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("5", "123456"));
    EXPECT_TRUE(exists(Recibido + "actualizado.rec"));
    EXPECT_FALSE(exists(Datos + "Encuesta.txt"));
}

TEST_F(UpdateRun, ParseErrorIsReportedAndTheRunGoesOn) {
    startService();
    root.write(Datos + "Velantia.txt", "viejo\r\n");
    makeZip(zips.path() / "farmacia.zip",
            {{"Maestro.xml", "<?xml version=\"1.0\"?><datos><item>"}});
    ASSERT_EQ(run(), UpdateEnd::Completed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_FALSE(messages[0].empty());
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), "viejo\r\n");
    EXPECT_TRUE(exists(Recibido + "actualizado.rec"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo nuevo"));
    EXPECT_EQ(queries().size(), 3u);
}

TEST_F(UpdateRun, CancelDuringARequestLetsItFinishAndSkipsTheRest) {
    startService();
    leaveEarlierFiles();
    onState = [this](int s) {
        if (s == 5) cancelled = true; // Cerrar while the master request is under way
    };
    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_EQ(queries(), std::vector<std::string>{query("farmacia")});
    EXPECT_EQ(states, (std::vector<int>{1, 3, 5, 7, 8, 12}));
    EXPECT_TRUE(messages.empty());
    // The master that arrived is unpacked and converted; the others come from what was there.
    EXPECT_EQ(root.read(Recibido + "Software.zip"),
              vltest::readBytes(zips.path() / "farmacia.zip"));
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("5", "123456"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo viejo"));
    EXPECT_EQ(root.read(Datos + "productos.txt"), productLine("500001", "20,00"));
    EXPECT_EQ(labels.back(), "Actualización completada");
}

TEST_F(UpdateRun, CancelledBeforeTheRunSendsNothing) {
    startService();
    leaveEarlierFiles();
    cancelled = true;
    ASSERT_EQ(run(), UpdateEnd::Completed);
    EXPECT_TRUE(queries().empty());
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(root.read(Datos + "Velantia.txt"), masterLine("7", "777777"));
    EXPECT_EQ(root.read(Datos + "Encuesta.txt"), surveyFile("Grupo viejo"));
}

} // namespace

namespace {

// A server whose certificate names another host, or comes from a CA we were not given: no
// request goes out, the pharmacist reads why, and the package of an earlier run is not used.
TEST_F(UpdateRun, ServerThatCannotProveItsIdentityIsRefused) {
    for (const bool wrongHost : {true, false}) {
        SCOPED_TRACE(wrongHost ? "wrong host name" : "untrusted certificate authority");
        leaveEarlierFiles();
        const std::string earlierPackage = root.read(Recibido + "Software.zip");
        vltest::ServiceDouble::Options o;
        o.zips = zips.path();
        o.wrongHost = wrongHost;
        o.untrustedCa = !wrongHost;
        service = std::make_unique<vltest::ServiceDouble>(o);
        options.serviceUrl = service->url();
        options.https.extraCaBundle = service->caPath(); // the genuine test CA is trusted
        options.https.timeoutSeconds = 10;
        messages.clear();

        ASSERT_EQ(run(), UpdateEnd::Failed);
        ASSERT_EQ(messages.size(), 2u);
        const std::string lead =
            "error 60: El certificado del servidor no es válido o no es de confianza.";
        EXPECT_EQ(messages[0].substr(0, lead.size()), lead) << messages[0];
        EXPECT_EQ(messages[1], "No ha podido descargar el archivo Maestro");
        EXPECT_TRUE(queries().empty());
        EXPECT_EQ(root.read(Recibido + "Software.zip"), earlierPackage);
        EXPECT_EQ(root.read(Recibido + "Maestro.xml"), masterXml("7", "777777"));
        EXPECT_FALSE(exists(Datos + "Velantia.txt"));
    }
}

} // namespace
