#include "send/upload.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/service_double.h"
#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using vl::SendVerdict;

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

vl::Config sampleConfig() {
    vl::Config cfg;
    cfg.n_farmacia = "28123";
    cfg.codigo_empresa = "8";
    cfg.clave = "se\xF1"
                "a<&>'\"";
    return cfg;
}

// ---------------------------------------------------------------------------------------------
// The upload page

TEST(UploadPage, WrittenByteForByteWithEscapedValues) {
    vltest::TempDir tmp;
    fs::create_directories(tmp.path() / "quiroles/Velantia");
    vl::Config cfg;
    cfg.n_farmacia = "12<3>";
    cfg.codigo_empresa = "8&9";
    cfg.clave = "a'b\"c\xE9";
    ASSERT_TRUE(vl::writeUploadPage(vl::Paths(tmp.path()), cfg,
                                    "https://velantia.localhost:55000/conexion_empresas.asp"));

    const std::string expected =
        "<html>\r\n"
        "<head>\r\n"
        "</head>\r\n"
        "<body >\r\n"
        "<font name='Arial'>Archivo a enviar:<br>\\quiroles\\Velantia\\Respuesta.tsv<br></font>\r\n"
        "<FORM id='enviar' name='enviar' action='https://velantia.localhost:55000/"
        "conexion_empresas.asp' enctype='multipart/form-data' method='post'>\r\n"
        "<INPUT type='hidden' name='n_farmacia' value='12&lt;3&gt;'>\r\n"
        "<INPUT type='hidden' name='fichero' value='respuesta'>\r\n"
        "<INPUT type='hidden' name='tipo_fichero' value='1'>\r\n"
        "<INPUT type='hidden' name='fecha_ultima' value='20061105'>\r\n"
        "<INPUT type='hidden' name='codigo_empresa' value='8&amp;9'>\r\n"
        "<INPUT type='hidden' name='clave' value='a&#39;b&quot;c\xE9'>\r\n"
        "<INPUT type='file' name='fichero2' ><br>\r\n"
        "<INPUT type='submit' value='  Enviar encuesta al KAPR  '>\r\n"
        "</FORM>\r\n"
        "</body>\r\n"
        "</html>\r\n";
    EXPECT_EQ(tmp.read("quiroles/Velantia/Htm/enviar.html"), expected);
}

TEST(UploadPage, ReplacesThePreviousPageInTheExistingFolderSpelling) {
    vltest::TempDir tmp;
    tmp.write("quiroles/velantia/htm/enviar.html", "old page, longer than nothing");
    vl::Config cfg;
    cfg.n_farmacia = "1";
    ASSERT_TRUE(vl::writeUploadPage(vl::Paths(tmp.path()), cfg, "https://x.velantia/"));
    const std::string page = tmp.read("quiroles/velantia/htm/enviar.html");
    EXPECT_EQ(page.rfind("<html>\r\n", 0), 0u);
    EXPECT_NE(page.find("value='1'>\r\n"), std::string::npos);
    EXPECT_EQ(page.find("old page"), std::string::npos);
}

TEST(UploadErrorTxt, OneLineEndedByCrLf) {
    vltest::TempDir tmp;
    fs::create_directories(tmp.path() / "quiroles/Velantia/Htm");
    ASSERT_TRUE(vl::writeErrorTxt(vl::Paths(tmp.path()), "ERROR=12 Conexi\xF3n"));
    EXPECT_EQ(tmp.read("quiroles/Velantia/Htm/error.txt"), "ERROR=12 Conexi\xF3n\r\n");
    ASSERT_TRUE(vl::writeErrorTxt(vl::Paths(tmp.path()), ""));
    EXPECT_EQ(tmp.read("quiroles/Velantia/Htm/error.txt"), "\r\n");
}

// ---------------------------------------------------------------------------------------------
// Verdict and the answer's text

TEST(SendVerdictTable, DecidesOnErrorZeroThenErrorEquals) {
    struct Row {
        const char* text;
        SendVerdict verdict;
    };
    const std::vector<Row> rows{
        {"ERROR=0", SendVerdict::Accepted},
        {"Recibido. ERROR=0 Gracias", SendVerdict::Accepted},
        {"ERROR=012", SendVerdict::Accepted}, // contains ERROR=0
        {"ERROR=12 ERROR=0", SendVerdict::Accepted},
        {"ERROR=12", SendVerdict::Refused},
        {"ERROR=", SendVerdict::Refused},
        {"xERROR=9x", SendVerdict::Refused},
        {"error=0", SendVerdict::NoVerdict}, // the service writes it in capitals
        {"ERROR =0", SendVerdict::NoVerdict},
        {"ERROR", SendVerdict::NoVerdict},
        {"", SendVerdict::NoVerdict},
    };
    for (const auto& r : rows)
        EXPECT_EQ(vl::verdictOf(r.text), r.verdict) << r.text;
}

TEST(UploadAnswerText, KeepsOnlyWhatTheReaderSees) {
    struct Row {
        const char* html;
        const char* text;
    };
    const Row rows[] = {
        {"<html><head><title>ERROR=5</title><style>p{color:red}</style></head>\r\n"
         "<body><script type='text/javascript'>var a = \"ERROR=3\";</script>\r\n"
         "<h3>Conexi&oacute;n   empresas</h3><!-- ERROR=9 -->\r\n"
         "<p>Fichero&nbsp;recibido</p>\n\t<p>ERROR=0</p></body></html>\r\n",
         "Conexi\xF3n empresas Fichero recibido ERROR=0"},
        // Inline tags do not split words, block tags do.
        {"<b>ERR</b>OR=<i>0</i>", "ERROR=0"},
        {"uno<br>dos<p>tres</p>cuatro", "uno dos tres cuatro"},
        // Entities decode into Windows-1252; unknown ones stay, others become '?'.
        {"&amp; &lt;&gt; &quot;&#39; &#233;xito &#x41; &euro; &ntilde;",
         "& <> \"' \xE9xito A \x80 \xF1"},
        {"a &unknown; b & c", "a &unknown; b & c"},
        {"&#x4E2D;", "?"},
        // A literal '<' and an unclosed head stay visible.
        {"1 < 2 ERROR=12", "1 < 2 ERROR=12"},
        {"<html><head><body>ERROR=0", "ERROR=0"},
        {"  \r\n ", ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(vl::answerVisibleText(r.html), r.text) << r.html;
}

TEST(UploadServiceUrl, EnvironmentOverridesTheBuiltInHost) {
    {
        ScopedEnv env("VELANTIA_SERVICE_URL", std::nullopt);
        EXPECT_EQ(vl::serviceUrl(),
                  std::string("https://") + VELANTIA_SERVICE_HOST + ":55000/conexion_empresas.asp");
        EXPECT_NE(vl::serviceUrl().find("velantia"), std::string::npos);
    }
    {
        ScopedEnv env("VELANTIA_SERVICE_URL",
                      "https://velantia.localhost:4433/conexion_empresas.asp");
        EXPECT_EQ(vl::serviceUrl(), "https://velantia.localhost:4433/conexion_empresas.asp");
    }
}

// ---------------------------------------------------------------------------------------------
// Against the local service double

class UploadService : public ::testing::Test {
  protected:
    // Header plus two answer lines; a Windows-1252 byte, a tab and a NUL to prove byte-exactness.
    const std::string outboxBytes = std::string("NumRegistro\tn_farmacia\tcodigo\r\n"
                                                "1\t28123\t654321\tS\xED\r\n"
                                                "2\t28123\t700000\t") +
                                    std::string(1, '\0') + "x\r\n";

    fs::path writeOutbox(const std::string& bytes) {
        return tmp.write("quiroles/Velantia/Respuesta.tsv", bytes);
    }

    vl::UploadOptions trusting(const vltest::ServiceDouble& sd, long timeout = 20) {
        vl::UploadOptions o;
        o.timeoutSeconds = timeout;
        o.extraCaBundle = sd.caPath();
        return o;
    }

    vltest::TempDir tmp;
};

TEST_F(UploadService, AcceptedUploadCarriesTheSevenFieldsInOrder) {
    vltest::ServiceDouble sd;
    const fs::path outbox = writeOutbox(outboxBytes);
    std::vector<int> progress;
    const vl::UploadResult r = vl::uploadOutbox(
        sampleConfig(), outbox, sd.url(), [&](int p) { progress.push_back(p); }, trusting(sd));

    ASSERT_TRUE(r.transferOk) << r.error;
    EXPECT_TRUE(r.error.empty());
    EXPECT_EQ(r.httpStatus, 200);
    EXPECT_EQ(r.sentBytes, outboxBytes.size());
    EXPECT_EQ(vl::verdictOf(r.answerText), SendVerdict::Accepted) << r.answerText;
    EXPECT_NE(r.answerText.find("ERROR=0"), std::string::npos);
    EXPECT_EQ(r.answerText.find('<'), std::string::npos);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);

    const auto uploads = sd.recordedUploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].path, "/conexion_empresas.asp");
    EXPECT_EQ(uploads[0].contentType.rfind("multipart/form-data", 0), 0u);
    const auto& parts = uploads[0].parts;
    ASSERT_EQ(parts.size(), 7u);
    const std::vector<std::pair<std::string, std::string>> fields{
        {"n_farmacia", "28123"},      {"fichero", "respuesta"}, {"tipo_fichero", "1"},
        {"fecha_ultima", "20061105"}, {"codigo_empresa", "8"},  {"clave", sampleConfig().clave}};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(parts[i].name, fields[i].first);
        EXPECT_EQ(parts[i].value, fields[i].second) << parts[i].name;
        EXPECT_FALSE(parts[i].filename.has_value()) << parts[i].name;
    }
    EXPECT_EQ(parts[6].name, "fichero2");
    EXPECT_EQ(parts[6].filename, std::optional<std::string>("Respuesta.tsv"));
    EXPECT_EQ(parts[6].value, outboxBytes);
}

TEST_F(UploadService, RefusedUploadReportsTheErrorCode) {
    vltest::ServiceDouble::Options o;
    o.mode = "refuse";
    o.code = "12";
    vltest::ServiceDouble sd(o);
    const vl::UploadResult r =
        vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes), sd.url(), {}, trusting(sd));
    ASSERT_TRUE(r.transferOk) << r.error;
    EXPECT_EQ(vl::verdictOf(r.answerText), SendVerdict::Refused);
    EXPECT_NE(r.answerText.find("ERROR=12"), std::string::npos) << r.answerText;
    EXPECT_EQ(sd.recordedUploads().size(), 1u);
}

TEST_F(UploadService, AnswerWithoutVerdict) {
    vltest::ServiceDouble::Options o;
    o.mode = "noverdict";
    vltest::ServiceDouble sd(o);
    const vl::UploadResult r =
        vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes), sd.url(), {}, trusting(sd));
    ASSERT_TRUE(r.transferOk) << r.error;
    EXPECT_FALSE(r.answerText.empty());
    EXPECT_EQ(vl::verdictOf(r.answerText), SendVerdict::NoVerdict) << r.answerText;
}

TEST_F(UploadService, ModeSwitchedWhileRunning) {
    vltest::ServiceDouble sd;
    const fs::path outbox = writeOutbox(outboxBytes);
    EXPECT_EQ(vl::verdictOf(
                  vl::uploadOutbox(sampleConfig(), outbox, sd.url(), {}, trusting(sd)).answerText),
              SendVerdict::Accepted);
    ASSERT_TRUE(sd.setMode("refuse", "7"));
    const vl::UploadResult r = vl::uploadOutbox(sampleConfig(), outbox, sd.url(), {}, trusting(sd));
    EXPECT_EQ(vl::verdictOf(r.answerText), SendVerdict::Refused);
    EXPECT_NE(r.answerText.find("ERROR=7"), std::string::npos) << r.answerText;
    EXPECT_EQ(sd.recordedUploads().size(), 2u);
}

// Only silence times out: an answer that keeps coming is taken however long it takes in all.
TEST_F(UploadService, NoAnswerWithinTheTimeout) {
    vltest::ServiceDouble sd;
    for (const auto& [mode, answered] : {std::pair{"delay", false}, {"trickle", true}}) {
        ASSERT_TRUE(sd.setMode(mode, "12", answered ? 5 : 10));
        const vl::UploadResult r = vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes),
                                                    sd.url(), {}, trusting(sd, /*timeout=*/2));
        EXPECT_EQ(r.transferOk, answered) << mode;
        EXPECT_EQ(r.error, answered ? ""
                                    : vl::toCp1252("No hay respuesta del servidor (tiempo "
                                                   "de espera agotado)."));
        EXPECT_EQ(r.answerText.find("ERROR=0") != std::string::npos, answered) << r.answerText;
    }
}

TEST_F(UploadService, RefusedConnection) {
    const vl::UploadResult r = vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes),
                                                vltest::ServiceDouble::refusedUrl(), {}, {});
    EXPECT_FALSE(r.transferOk);
    EXPECT_EQ(r.error, "No se puede conectar con el servidor.");
}

// A certificate for another host, one from a CA we were not given while our own is trusted,
// and ours without the bundle that trusts it: refused with the library's reason, nothing sent,
// the outbox kept.
TEST_F(UploadService, CertificatesThatCannotBeTrustedAreRejected) {
    struct Case {
        const char* what;
        bool wrongHost, untrustedCa, trust;
    };
    for (const Case& c :
         {Case{"another host", true, false, true}, Case{"unknown authority", false, true, true},
          Case{"no bundle", false, false, false}}) {
        SCOPED_TRACE(c.what);
        vltest::ServiceDouble::Options o;
        o.wrongHost = c.wrongHost;
        o.untrustedCa = c.untrustedCa;
        vltest::ServiceDouble sd(o);
        ScopedEnv noBundle("VELANTIA_CA_BUNDLE", std::nullopt);
        const vl::UploadResult r =
            vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes), sd.url(), {},
                             c.trust ? trusting(sd) : vl::UploadOptions{});
        EXPECT_FALSE(r.transferOk);
        const std::string prefix =
            vl::toCp1252("El certificado del servidor no es válido o no es de confianza.");
        EXPECT_EQ(r.error.rfind(prefix, 0), 0u) << r.error;
        EXPECT_GT(r.error.size(), prefix.size()); // the library's own reason follows
        EXPECT_TRUE(sd.recordedUploads().empty());
        EXPECT_EQ(vltest::readBytes(tmp.path() / "quiroles/Velantia/Respuesta.tsv"), outboxBytes);
    }
}

TEST_F(UploadService, ExtraCertificatesComeFromTheEnvironment) {
    vltest::ServiceDouble sd;
    ScopedEnv bundle("VELANTIA_CA_BUNDLE", sd.caPath().string());
    const vl::UploadResult r =
        vl::uploadOutbox(sampleConfig(), writeOutbox(outboxBytes), sd.url(), {}, {});
    ASSERT_TRUE(r.transferOk) << r.error;
    EXPECT_EQ(vl::verdictOf(r.answerText), SendVerdict::Accepted);
}

TEST_F(UploadService, LargeOutboxReportsRisingProgress) {
    vltest::ServiceDouble sd;
    std::string big = "NumRegistro\r\n";
    for (int i = 0; big.size() < 600000; ++i)
        big += std::to_string(i) + "\t28123\t654321\tS\r\n";
    std::vector<int> progress;
    const vl::UploadResult r = vl::uploadOutbox(
        sampleConfig(), writeOutbox(big), sd.url(), [&](int p) { progress.push_back(p); },
        trusting(sd));
    ASSERT_TRUE(r.transferOk) << r.error;
    ASSERT_GE(progress.size(), 2u);
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i], progress[i - 1]);
    EXPECT_EQ(progress.back(), 100);
    const auto uploads = sd.recordedUploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].parts.back().value, big);
}

TEST_F(UploadService, MissingOutboxSendsNothing) {
    vltest::ServiceDouble sd;
    const vl::UploadResult r = vl::uploadOutbox(
        sampleConfig(), tmp.path() / "quiroles/Velantia/Respuesta.tsv", sd.url(), {}, trusting(sd));
    EXPECT_FALSE(r.transferOk);
    EXPECT_FALSE(r.error.empty());
    EXPECT_TRUE(sd.recordedUploads().empty());
}

} // namespace
