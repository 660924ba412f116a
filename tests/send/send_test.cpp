// The send: the page for a send by hand, the verdict on the answer, and the whole sequence the
// main window runs, against the local service double.
#include "send/send.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "core/runlog.h"
#include "support/closings.h"
#include "support/golden.h"
#include "support/service_double.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace vl;
using V = SendVerdict;

// What vltest::Product(1) holds: one line waiting to be sent, the lock free.
const std::string kOutbox = std::string(OutboxHeader) + "1\t999999\t4321\t20240306\t9,99,999\r\n";

// The password goes out byte for byte.
Config config(const std::string& farmacia = "4321", const char* empresa = "8",
              const char* clave = "se\xF1"
                                  "a<&>'\"") {
    Config cfg;
    cfg.n_farmacia = farmacia, cfg.codigo_empresa = empresa, cfg.clave = clave;
    return cfg;
}

// A new folder takes the program's spelling; an older, longer page in another is replaced.
TEST(UploadPage, WrittenByteForByteWithEscapedValues) {
    const Config cfg = config("12<3>", "8&9", "a'b\"c\xE9");
    for (const std::string page : {"Velantia/Htm/enviar.html", "velantia/htm/enviar.html"}) {
        vltest::TempDir tmp;
        tmp.write(page[0] == 'v' ? "quiroles/" + page : "quiroles/Velantia/x",
                  std::string(2000, 'x'));
        ASSERT_TRUE(writeUploadPage(Paths(tmp.path()), cfg,
                                    "https://velantia.localhost:55000/conexion_empresas.asp"));
        vltest::expectGolden("send/enviar.html", tmp.read("quiroles/" + page));
    }
}

// The text a reader sees on the answer page decides: ERROR=0 alone accepts, a refusal code
// without it refuses, anything else (a mix, ERROR=0 only where a reader cannot see it, a hidden
// refusal, another spelling) gives no verdict. No text given: the same as the page.
TEST(SendVerdictTable, DecidesOnTheVisibleText) {
    const struct {
        const char *html, *text;
        V verdict;
    } rows[] = {
        {"<html><head><title>ERROR=5</title><style>p{color:red}</style></head>\r\n<body><script "
         "type='text/javascript'>var a = \"ERROR=3\";</script>\r\n<h3>Conexi&oacute;n   "
         "empresas</h3><!-- ERROR=9 -->\r\n<p>Fichero&nbsp;recibido</p>\n\t<p>ERROR=12</p>",
         "Conexi\xF3n empresas Fichero recibido ERROR=12", V::Refused},
        {"<b>ERR</b>OR=<i>0</i>", "ERROR=0", V::Accepted}, // inline tags do not split words
        {"uno<br>dos<p>tres</p>cuatro", "uno dos tres cuatro", V::NoVerdict},
        // Entities decode into Windows-1252; unknown ones stay, others become '?'.
        // A lone '&' with no ';' in reach is kept and the scan goes on at the next byte.
        {"&amp; &lt;&gt; &quot;&#39; &#233;xito &#x41; &euro; &ntilde; &#x4E2D; &unknown; & c",
         "& <> \"' \xE9xito A \x80 \xF1 ? &unknown; & c", V::NoVerdict},
        {"1 < 2 ERROR=12", nullptr, V::Refused}, // a literal '<' stays, so does an unclosed head
        {"<html><head><body>ERROR=0", "ERROR=0", V::Accepted},
        {"  \r\n ", "", V::NoVerdict},
        {" \r\n ERROR=0 \t", "ERROR=0", V::Accepted},
        {"ERROR=012", nullptr, V::Refused}, // the code is the whole number
        {"ERROR=00", nullptr, V::Refused},
        {"ERROR=05 Farmacia no dada de alta", nullptr, V::Refused},
        {"ERROR=01 ERROR=3", nullptr, V::Refused},
        {"ERROR=0", nullptr, V::Accepted},
        {"ERROR=0.", nullptr, V::Accepted},
        {"ERROR=", nullptr, V::Refused},
        {"error=0", nullptr, V::NoVerdict}, // the service writes it in capitals
        // A refusal beside ERROR=0, or another spelling of a code, is no acceptance.
        {"ERROR=0<br>ERROR=3", "ERROR=0 ERROR=3", V::NoVerdict},
        {"ERROR=12 linea 2\r\nERROR=0", "ERROR=12 linea 2 ERROR=0", V::NoVerdict},
        {"ERROR=05 ERROR=0.", nullptr, V::NoVerdict},
        {"ERROR=0 Error=3", nullptr, V::NoVerdict},
        {"ERROR = 0", nullptr, V::NoVerdict},
        {"NOERROR=0", nullptr, V::NoVerdict},
        // Hidden text is not seen: however the style is written, nested, inside a tag that
        // holds a '>' in quotes; a hidden refusal, or a style sheet that hides, spoils ERROR=0.
        {"<div style=\"display:none\">ERROR=0</div>ERROR=12 clave incorrecta",
         "ERROR=12 clave incorrecta", V::Refused},
        {"<P STYLE=\"color:red; Display : None !important\">ERROR=0</P>Recibido", "Recibido",
         V::NoVerdict},
        {"<span style='visibility:/* x */HIDDEN'>ERROR=0</span>", "", V::NoVerdict},
        {"<div style=display&#58;none>ERROR=0</div>", "", V::NoVerdict},
        {"<div HIDDEN><div>x</div>ERROR=0</div>Clave incorrecta", "Clave incorrecta", V::NoVerdict},
        {"<span title=\"a>b\" hidden>ERROR=0</span>", "", V::NoVerdict},
        {"<div hidden>ERROR=3</div>ERROR=0", "ERROR=0", V::NoVerdict},
        {"<template>ERROR=0</template><noscript>ERROR=0</noscript>", "", V::NoVerdict},
        {"<style>.ok { DISPLAY: none }</style><p class=ok>ERROR=0</p>", "ERROR=0", V::NoVerdict},
        {"<!-- ERROR=0 -->Recibido", "Recibido", V::NoVerdict},
        {"<!-- ERROR=12 -->ERROR=0", "ERROR=0", V::NoVerdict},
        {"<script>document.write('ERROR=0')", "", V::NoVerdict}, // never closed
        {"<img hidden src=x><p style='color:red'>ERROR=0<!-- ERROR=0 --></p>", "ERROR=0",
         V::Accepted},
    };
    for (const auto& r : rows) {
        const PageText page = answerPageText(r.html);
        EXPECT_EQ(page.visible, r.text ? r.text : r.html) << r.html;
        EXPECT_EQ(verdictOf(page), r.verdict) << r.html;
    }
    // A code spelled to be read as none (an entity, a mark that shows nothing, CDATA), and
    // elements or styles whose showing this reading cannot tell: never an acceptance.
    for (const char* html :
         {"ERROR=0 ERROR&equals;3", "ERROR=0 ERR&shy;OR=3", "ERROR=0 ERR&#8203;OR=3",
          "ERROR=0 ERR\xE2\x80\x8BOR=3", "ERROR=0<![CDATA[ERROR=3]]>",
          "<dialog>ERROR=0</dialog> Clave incorrecta", "<iframe src=x>ERROR=0</iframe>",
          "<datalist><option>ERROR=0</option></datalist>", "<canvas>ERROR=0</canvas>",
          "<div style=\"display:\\6e one\">ERROR=0</div>", "<p style='opacity:0'>ERROR=0</p>",
          "<link rel=stylesheet href=x.css>ERROR=0", "<video>ERROR=0</video>",
          "<p style='color:rgba(0,0,0,0)'>ERROR=0</p>", "<p style='color:transparent'>ERROR=0</p>",
          "<p style='color:rgb(0 0 0 / 0)'>ERROR=0</p>", "<p style='color:#0000'>ERROR=0</p>",
          "<p style='color:#00000000'>ERROR=0</p>", "<p style='color:hwb(0 0% 0% / 0)'>ERROR=0</p>"})
        EXPECT_NE(verdictOf(answerPageText(html)), V::Accepted) << html;
}

// Each answer of the service, silence included (only silence times out, a slow answer does
// not): error.txt (the page that came back, else what went wrong), what stays (a line added
// during the upload stays too), the progress, the run log with the status lines, and the lock
// freed every time. An error status is never accepted; a redirect is followed only to the
// service itself, and not round in a circle.
TEST(SendSequence, AnswersDecideWhatStaysAndTheLockIsFreedEveryTime) {
    vltest::ServiceDouble service;
    static std::string ca; // putenv keeps it; Windows has no setenv
    putenv((ca = "VELANTIA_CA_BUNDLE=" + service.caPath().string()).data());
    const std::string header = OutboxHeader, later = "2\t555555\t4321\t20261206\t2\r\n";
    const std::string accepted = "Conexi\xF3n empresas ERROR=0",
                      status = toCp1252("El servicio ha respondido con un error (HTTP/1.1 ");
    const struct {
        const char *mode, *code; // mode "" : nobody listens
        double delay;
        bool accepted;
        std::string errorTxt, outboxAfter, counterAfter = "1\r\n", error = "", page = "";
    } rows[] = {
        {"ok", "", 0, true, accepted, "", ""},
        {"refuse", "12", 0, false, "Conexi\xF3n empresas ERROR=12", kOutbox},
        {"refuse", "05", 0, false, "Conexi\xF3n empresas ERROR=05", kOutbox},
        {"refuse", "01", 0, false, "Conexi\xF3n empresas ERROR=01", kOutbox},
        {"noverdict", "", 0, false, "Conexi\xF3n empresas Fichero recibido.", kOutbox},
        {"delay", "", 10, false, "No hay respuesta del servidor (tiempo de espera agotado).",
         kOutbox},
        {"trickle", "", 5, true, accepted, header + later},
        {"", "", 0, false, "No se puede conectar con el servidor.", kOutbox},
        {"status", "500", 0, false, accepted, kOutbox, "1\r\n",
         status + "500 Internal Server Error); el env\xEDo no se ha completado."},
        {"status", "302", 0, false, accepted, kOutbox, "1\r\n",
         status + "302 Found); el env\xEDo no se ha completado."},
        {"redirect", "302", 0, true, accepted, "", ""},
        {"redirect", "307", 0, true, accepted, "", ""},
        {"away", "301", 0, false, accepted, kOutbox, "1\r\n",
         toCp1252("El servicio ha desviado el envío a otra dirección "
                  "(https://otro-servidor.invalid/conexion_empresas.asp?hop=1), que no es la "
                  "suya; no se ha seguido y el envío no se ha hecho.")},
        {"loop", "302", 0, false, accepted, kOutbox, "1\r\n",
         toCp1252("El servicio ha desviado el envío demasiadas veces (la última vez a ") +
             service.url() + "); el env\xEDo no se ha hecho."},
        // Only a text page that came as it was written is judged, and ERROR=0 must stand alone.
        {"page", "", 0, false, "ERROR=0 ERROR=3", kOutbox, "1\r\n", "",
         "Content-Type: text/html\r\n\r\nERROR=0<br>ERROR=3"},
        {"page", "", 0, false, "ERROR=0", kOutbox, "1\r\n", "",
         "Content-Type: image/png\r\n\r\nERROR=0"},
        {"page", "", 0, false, "ERROR=0", kOutbox, "1\r\n", "",
         "Content-Type: text/html\r\nContent-Encoding: gzip\r\n\r\nERROR=0"},
        {"page", "", 0, true, "ERROR=0", "", "", "",
         "Content-Type: TEXT/plain; charset=windows-1252\r\n\r\nERROR=0"},
        {"page", "", 0, true, "ERROR=0", "", "", "", "\r\n\r\nERROR=0"}, // no type at all
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(*r.mode ? r.mode : "unreachable") + r.code + r.page);
        vltest::Product p(1);
        ASSERT_TRUE(!*r.mode ||
                    (r.page.empty() ? service.setMode(r.mode, *r.code ? r.code : "12", r.delay)
                                    : service.setPage(r.page)));
        std::vector<int> progress;
        const auto during = [&](int percent) {
            progress.push_back(percent);
            if (progress.size() == 1 && *r.mode == 't') p.write("Respuesta.tsv", kOutbox + later);
        };
        runlog::open(p.paths, "");
        const SendRun run = sendOutbox(
            p.paths, config(), *r.mode ? service.url() : vltest::ServiceDouble::refusedUrl(),
            during, {2, std::nullopt});
        runlog::close();
        const std::string log = p.read("registro.log");
        EXPECT_NE(log.find(r.accepted ? "aceptado" : "se conserva"), std::string::npos);
        EXPECT_EQ(log.find("200 OK): aceptado (ERROR=0)") != std::string::npos, r.accepted) << log;
        EXPECT_EQ(log.find("HTTP/1.1 ") == std::string::npos, !*r.mode || *r.mode == 'd');
        if (!r.error.empty()) {
            EXPECT_EQ(run.result.error, r.error);
            EXPECT_EQ(log.find(".;"), std::string::npos) << log;
        }
        EXPECT_EQ(run.result.verdict == V::Accepted, r.accepted);
        EXPECT_EQ(p.read("Respuesta.tsv"), r.outboxAfter);
        EXPECT_EQ(p.read("NumRegistro"), r.counterAfter);
        EXPECT_EQ(p.read("recibido/Respuesta.env") != "<missing>", r.accepted);
        EXPECT_EQ(p.read("Htm/error.txt"), r.errorTxt + "\r\n");
        EXPECT_EQ(p.read("Ocupado"), "*");
        EXPECT_TRUE(!progress.empty() && progress.front() == 0 &&
                    std::is_sorted(progress.begin(), progress.end()) &&
                    (!r.accepted || progress.back() == 100));
    }
    putenv((ca = "VELANTIA_CA_BUNDLE=").data()); // empty: none
    ASSERT_EQ(service.recordedUploads().size(), 20u);
    vltest::expectGolden("send/upload.multipart", service.recordedUploads()[0].body);
}

// What makes an answer no page to judge, named for the run log as it came (printable).
TEST(AnswerIsAPage, OnlyPlainTextAsItWasWritten) {
    const struct {
        const char *type, *coding, *transfer;
        std::string body, why;
    } rows[] = {
        {"text/html", "", "", "ERROR=0", ""},
        {" Text/HTML ; charset=iso-8859-1", "identity", "chunked", "ERROR=0", ""},
        {"text/plain", "", "", "", ""},
        {"", "", "", "ERROR=0", ""},
        {"image/png", "", "", "ERROR=0", "no es una página de texto (Content-Type: image/png)"},
        {"application/xhtml+xml", "", "", "ERROR=0", "(Content-Type: application/xhtml+xml)"},
        {"text/html, image/png", "", "", "ERROR=0", "(Content-Type: text/html, image/png)"},
        {"text/\x01html\xE9", "", "", "ERROR=0", "(Content-Type: text/?html?)"},
        {"text/html", "gzip", "", "ERROR=0",
         "viene codificada y no se lee (Content-Encoding: gzip)"},
        {"text/html", "", "gzip, chunked", "ERROR=0", "(Transfer-Encoding: gzip, chunked)"},
        {"text/html", "", "", std::string("ERROR=0\0", 8), "tiene bytes nulos"},
    };
    for (const auto& r : rows) {
        HttpsResponse answer;
        answer.contentType = r.type, answer.contentEncoding = r.coding;
        answer.transferEncoding = r.transfer, answer.body = r.body;
        const std::string why = whyNotAPage(answer);
        EXPECT_TRUE(r.why.empty() ? why.empty() : why.find(r.why) != std::string::npos)
            << r.type << ": " << why;
    }
}

// A lock file that reads free but cannot be written is named, in the message and the run log,
// instead of a terminal that holds nothing; so is a damaged value of the settings. Nothing goes
// out and the outbox stays.
TEST(SendLock, AFileThatCannotBeWrittenIsNamed) {
    const std::string kept = toCp1252("\nLas respuestas siguen pendientes de enviar.");
    const struct {
        const char *name, *lock; // lock "/": the file a folder; "ro": read-only
        std::string message, farmacia = "4321";
        const char* cause = ""; // the system's cause, after the file's name
    } rows[] = {
        {"config/datos.txt", "*", toCp1252("No se puede enviar por un dato dañado en el fichero "),
         std::string("2800\0\x39\x39", 7)},
        {"Ocupado", "/", "No se puede escribir en el fichero de bloqueo ", "4321", "es una carpeta"},
        {"Ocupado", "ro", "No se puede escribir en el fichero de bloqueo ", "4321",
         "es de solo lectura"},
        {"Ocupado.lck", "/", "No se puede escribir en el fichero de bloqueo ", "4321",
         "es una carpeta"},
        {"Ocupado.lck", "ro", "No se puede escribir en el fichero de bloqueo ", "4321",
         "es de solo lectura"},
        {"", "3",
         toCp1252("OCUPADO POR EL TERMINAL 3\n\nIntente enviar la información de nuevo\no "
                  "revise el terminal 3")},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " " + r.lock);
        vltest::Product p(1);
        const fs::path file = p.paths.product(r.name);
        std::optional<vltest::ReadOnly> readOnly;
        if (std::string_view(r.lock) == "ro") {
            p.write(r.name, "*");
            readOnly.emplace(file);
            if (!readOnly->holds()) continue; // root without the immutable flag
        } else if (*r.name && r.farmacia == "4321") {
            fs::remove(file);
            fs::create_directory(file);
        } else {
            p.write("Ocupado", r.lock);
        }
        runlog::open(p.paths, "");
        const SendRun run =
            sendOutbox(p.paths, config(r.farmacia), vltest::ServiceDouble::refusedUrl());
        runlog::close();
        EXPECT_FALSE(run.lock.acquired);
        if (*r.name) {
            EXPECT_EQ(run.lockMessage.rfind(r.message + nameInCp1252(file) + ": " + r.cause, 0),
                      0u)
                << run.lockMessage;
            EXPECT_TRUE(run.lockMessage.ends_with(kept)) << run.lockMessage;
            EXPECT_NE(p.read("registro.log").find("Env\xEDo: ERROR: " + r.message),
                      std::string::npos);
        } else {
            EXPECT_EQ(run.lockMessage, r.message);
        }
        EXPECT_EQ(p.read("Respuesta.tsv"), kOutbox);
        EXPECT_EQ(p.read("Htm/error.txt"), "<missing>");
    }
}

#ifdef _WIN32
// An outbox another program holds open sharing nothing is named as in use, nothing goes out
// and it stays as it was.
TEST(SendLock, AnOutboxHeldOpenIsNamedAsInUse) {
    vltest::Product p(1);
    HANDLE held = CreateFileW(p.paths.product("Respuesta.tsv").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    runlog::open(p.paths, "");
    const SendRun run = sendOutbox(p.paths, config(), vltest::ServiceDouble::refusedUrl());
    runlog::close();
    CloseHandle(held);
    EXPECT_TRUE(run.lock.acquired);
    EXPECT_EQ(run.result.error.rfind("No se puede leer Respuesta.tsv: lo est\xE1 usando otro", 0),
              0u)
        << run.result.error;
    EXPECT_NE(p.read("registro.log").find("no se puede leer Respuesta.tsv (lo est\xE1 usando"),
              std::string::npos)
        << p.read("registro.log");
    EXPECT_EQ(p.read("Respuesta.tsv"), kOutbox);
}
#endif

// A certificate for another host, one from a CA we were not given while our own is trusted,
// and ours without the bundle that trusts it: refused with the library's reason, nothing sent,
// the outbox kept.
TEST(UploadService, CertificatesThatCannotBeTrustedAreRejected) {
    for (const auto& [wrongHost, untrustedCa] :
         {std::pair{true, false}, {false, true}, {false, false}}) {
        vltest::ServiceDouble service(
            {.wrongHost = wrongHost, .untrustedCa = untrustedCa, .zips = {}});
        vltest::Product p(1);
        const SendRun run =
            sendOutbox(p.paths, config(), service.url(), {},
                       {.extraCaBundle = wrongHost || untrustedCa ? service.caPath() : fs::path()});
        const std::string prefix =
            toCp1252("El certificado del servidor no es válido o no es de confianza. (");
        EXPECT_EQ(run.result.error.rfind(prefix, 0), 0u) << run.result.error;
        EXPECT_GT(run.result.error.size(), prefix.size() + 1); // the library's own reason
        EXPECT_TRUE(service.recordedUploads().empty());
        EXPECT_EQ(p.read("Respuesta.tsv"), kOutbox);
    }
}

} // namespace
