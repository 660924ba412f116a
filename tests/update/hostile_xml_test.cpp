// Received XML of all three kinds that tries to read local files, reach the network, blow up in
// memory or carry bytes that are not text: refused with a reason, old files kept, nothing read
// from outside the received folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "core/text.h"
#include "data/records.h"
#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using vltest::Datos;
using vltest::Recibido;
using vltest::Today;
namespace fs = std::filesystem;

namespace {

const std::string Secret = "SECRETO-FUERA-DE-LA-CARPETA";

struct Kind {
    TipoFichero tipo;
    const char* file;
    const char* name;
};
const Kind Kinds[] = {{TipoFichero::Maestro, "Maestro.xml", "Maestro"},
                      {TipoFichero::Encuesta, "Encuesta.xml", "Encuesta"},
                      {TipoFichero::Precios, "Precios.xml", "Precios"}};

// Every element of the kind declared ANY, so a document is valid whatever its fields hold.
std::string anyDtd(TipoFichero tipo) {
    std::string d = "<!ELEMENT datos ANY><!ELEMENT fila ANY>";
    for (const auto& n : camposXML(tipo))
        d += "<!ELEMENT " + n + " ANY>";
    return d;
}

// One complete record whose text field (or, with `keyValue`, its key) holds `value` verbatim.
std::string oneRecord(TipoFichero tipo, const std::string& value) {
    auto f = [](const std::string& n, const std::string& v) {
        return "<" + n + ">" + v + "</" + n + ">";
    };
    switch (tipo) {
    case TipoFichero::Maestro:
        return "<fila>" + f("identificador", "1") + f("codigo", "111111") + f("tipo_alarma", "1") +
               f("titulo", value) + f("fecha_inicio", "20240101") + f("estado", "A") + "</fila>";
    case TipoFichero::Encuesta:
        return "<fila>" + f("grupo_pregunta_id", "1") + f("grupo", "G") + f("pregunta_id", "1") +
               f("pregunta", value) + f("respuesta_id", "1") + f("respuesta", "Si") + "</fila>";
    case TipoFichero::Precios:
        return "<fila>" + f("codigo_nacional", "654321") + f("descripcion", value) +
               f("pvp_nomenclator", "1250") + f("pvp_distribuidor", "1000") + "</fila>";
    }
    return {};
}

std::string doc(TipoFichero tipo, const std::string& value, const std::string& subset,
                const std::string& encoding = "UTF-8") {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n<!DOCTYPE datos [" +
           anyDtd(tipo) + subset + "]>\n<datos>\n" + oneRecord(tipo, value) + "\n</datos>\n";
}

// A loopback port that accepts connections without answering: any attempt to reach it shows.
class Listener {
  public:
    Listener() {
#ifndef _WIN32
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
        port_ = ntohs(a.sin_port);
#endif
    }
    ~Listener() {
#ifndef _WIN32
        if (fd_ >= 0) ::close(fd_);
#endif
    }
    int port() const {
        return port_;
    }
    // Whether a connection is waiting (the kernel completes it before accept()).
    bool contacted() {
#ifndef _WIN32
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return false;
        ::close(c);
        return true;
#else
        return false;
#endif
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

class HostileXml : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        dir.write("quiroles/secreto.txt", Secret);
        // Files the conversion must leave alone when it refuses a document.
        dir.write(Datos + "Velantia.txt", "viejo-velantia\r\n");
        dir.write(Datos + "textos/000009.txt", "\"viejo\"\r\n");
        dir.write(Datos + "Encuesta.txt", "E001 Viejo\r\n");
        dir.write(Datos + "productos.txt", "viejo-productos\r\n");
    }
    ConversionResult convert(const std::string& xml) {
        dir.write(Recibido + GetParam().file, xml);
        ConversionOptions o;
        o.today = Today;
        return ConvertirFichero(GetParam().tipo, Paths(dir.path()), nullptr, o);
    }
    void expectOldFilesAndNoSecret() const {
        EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "viejo-velantia\r\n");
        EXPECT_EQ(dir.read(Datos + "textos/000009.txt"), "\"viejo\"\r\n");
        EXPECT_EQ(dir.read(Datos + "Encuesta.txt"), "E001 Viejo\r\n");
        EXPECT_EQ(dir.read(Datos + "productos.txt"), "viejo-productos\r\n");
        for (const auto& e : fs::recursive_directory_iterator(dir.path() / "quiroles/Velantia")) {
            if (e.is_symlink() || !e.is_regular_file()) continue; // the test's own link
            const std::string bytes = vltest::readBytes(e.path());
            EXPECT_EQ(bytes.find(Secret), std::string::npos) << e.path();
            EXPECT_EQ(bytes.find("root:"), std::string::npos) << e.path();
        }
    }
    // The text of the one converted record's free-text field, as the output file holds it.
    std::string convertedText() const {
        switch (GetParam().tipo) {
        case TipoFichero::Maestro: {
            const std::string t = dir.read(Datos + "textos/000001.txt");
            const auto close = t.find('"', 1);
            return close == std::string::npos ? t : t.substr(1, close - 1);
        }
        case TipoFichero::Encuesta: {
            const std::string t = dir.read(Datos + "Encuesta.txt");
            const auto p = t.find("\r\nP");
            const auto end = t.find("\r\nR", p + 2);
            return p == std::string::npos ? t : t.substr(p + 7, end - p - 7);
        }
        case TipoFichero::Precios:
            break;
        }
        return {};
    }

    vltest::TempDir dir;
};

std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
    return info.param.name;
}

// External general entities, external DTD subsets and parameter entities aimed at local files
// outside the received folder or at any network address.
TEST_P(HostileXml, ExternalReferencesOutsideTheReceivedFolderAreRefused) {
    Listener net;
    const std::string port = std::to_string(net.port());
    const std::string secret = (dir.path() / "quiroles/secreto.txt").string();
    fs::create_directories(dir.path() / Recibido);
    std::error_code ec;
    fs::create_symlink(dir.path() / "quiroles/secreto.txt", dir.path() / (Recibido + "enlace.ent"),
                       ec);
    const bool haveLink = !ec;

    struct Case {
        std::string what, subset, value;
    };
    std::vector<Case> cases = {
        {"entity, absolute path", "<!ENTITY e SYSTEM \"" + secret + "\">", "&e;"},
        {"entity, file URL", "<!ENTITY e SYSTEM \"file://" + secret + "\">", "&e;"},
        {"entity, system file", "<!ENTITY e SYSTEM \"file:///etc/passwd\">", "&e;"},
        {"entity, system path", "<!ENTITY e SYSTEM \"/etc/passwd\">", "&e;"},
        {"entity, climbing out", "<!ENTITY e SYSTEM \"../../secreto.txt\">", "&e;"},
        {"entity, escaped climb", "<!ENTITY e SYSTEM \"file:%2e%2e/%2e%2e/secreto.txt\">", "&e;"},
        {"entity, http", "<!ENTITY e SYSTEM \"http://127.0.0.1:" + port + "/x\">", "&e;"},
        {"entity, ftp", "<!ENTITY e SYSTEM \"ftp://127.0.0.1:" + port + "/x\">", "&e;"},
        {"entity, public id", "<!ENTITY e PUBLIC \"-//X//Y\" \"http://127.0.0.1:" + port + "/\">",
         "&e;"},
        {"parameter entity, local", "<!ENTITY % p SYSTEM \"" + secret + "\"> %p;", "x"},
        {"parameter entity, http",
         "<!ENTITY % p SYSTEM \"http://127.0.0.1:" + port + "/p.dtd\"> %p;", "x"},
        {"entity in an attribute default",
         "<!ENTITY e SYSTEM \"" + secret + "\"><!ATTLIST fila a CDATA \"&e;\">", "x"},
    };
    if (haveLink)
        cases.push_back({"entity, link to outside", "<!ENTITY e SYSTEM \"enlace.ent\">", "&e;"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConversionResult r = convert(doc(GetParam().tipo, c.value, c.subset));
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        expectOldFilesAndNoSecret();
    }
    // An external DTD subset named outside the folder, or on the network.
    for (const std::string& sys : {secret, std::string("http://127.0.0.1:") + port + "/d.dtd"}) {
        SCOPED_TRACE(sys);
        const ConversionResult r =
            convert("<?xml version=\"1.0\"?>\n<!DOCTYPE datos SYSTEM \"" + sys + "\">\n<datos>" +
                    oneRecord(GetParam().tipo, "x") + "</datos>\n");
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find("no permitida"), std::string::npos) << r.error;
        expectOldFilesAndNoSecret();
    }
#ifndef _WIN32
    EXPECT_FALSE(net.contacted()) << "the conversion opened a network connection";
#endif
}

// Nested entities (billion laughs) and one large entity repeated (quadratic blow-up): refused
// without building the expansion in memory.
TEST_P(HostileXml, EntityExpansionBombsAreRefused) {
    std::string laughs = "<!ENTITY a0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 12; ++i) {
        std::string def;
        for (int k = 0; k < 10; ++k)
            def += "&a" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY a" + std::to_string(i) + " \"" + def + "\">";
    }
    const std::string big = "<!ENTITY b \"" + std::string(100000, 'x') + "\">";
    std::string manyRefs;
    for (int k = 0; k < 20000; ++k)
        manyRefs += "&b;";

    struct Case {
        const char* what;
        std::string subset, value;
    } cases[] = {
        {"billion laughs", laughs, "&a12;"},
        {"quadratic", big, manyRefs},
        {"laughs in an attribute default", laughs + "<!ATTLIST fila a CDATA \"&a12;\">", "x"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConversionResult r = convert(doc(GetParam().tipo, c.value, c.subset));
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        expectOldFilesAndNoSecret();
    }
}

// Beyond the parser's own limits: one text of 12 MB, elements nested 100 000 deep.
TEST_P(HostileXml, TextsAndNestingBeyondTheParsersLimitsAreRefused) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    struct Case {
        const char* what;
        std::string value;
    } cases[] = {{"huge text", std::string(12 << 20, 'T')}, {"deep nesting", deep}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConversionResult r = convert(doc(GetParam().tipo, c.value, "<!ELEMENT a ANY>"));
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        expectOldFilesAndNoSecret();
    }
}

// Bytes that are not text in the declared encoding: a NUL, a stray continuation byte, a cut
// sequence, a byte undefined in Windows-1252, a control character. The whole file is refused.
TEST_P(HostileXml, BytesThatAreNotTextAreRefused) {
    struct Case {
        const char* what;
        std::string value, encoding;
    } cases[] = {
        {"NUL", std::string("a\0b", 3), "UTF-8"},
        {"stray continuation byte",
         "a\x80"
         "b",
         "UTF-8"},
        {"cut sequence", "a\xC3", "UTF-8"},
        {"overlong encoding of a slash",
         "a\xC0\xAF"
         "b",
         "UTF-8"},
        {"control character",
         "a\x01"
         "b",
         "UTF-8"},
        {"character reference to NUL", "a&#0;b", "UTF-8"},
        {"NUL in Windows-1252", std::string("a\0b", 3), "windows-1252"},
        {"undefined Windows-1252 byte",
         "a\x81"
         "b",
         "windows-1252"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConversionResult r = convert(doc(GetParam().tipo, c.value, "", c.encoding));
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        expectOldFilesAndNoSecret();
    }
}

// Text that is valid but would break the output formats: very long fields are cut to their
// widths; line ends inside a survey text must not make new survey lines.
TEST_P(HostileXml, LongFieldsAndLineEndsKeepTheOutputFormats) {
    const std::string longText(3'000'000, 'L');
    ConversionResult r = convert(doc(GetParam().tipo, longText, ""));
    ASSERT_TRUE(r.ok) << r.error;
    switch (GetParam().tipo) {
    case TipoFichero::Maestro:
        EXPECT_EQ(dir.read(Datos + "Velantia.txt").size(), 41u);
        EXPECT_EQ(convertedText(), longText);
        break;
    case TipoFichero::Encuesta:
        EXPECT_EQ(convertedText(), longText);
        break;
    case TipoFichero::Precios:
        ASSERT_EQ(r.productLines.size(), 1u);
        EXPECT_EQ(r.productLines.joined(),
                  ProductRecord::make("654321", std::string(40, 'L'), "   12,50").bytes);
        break;
    }

    if (GetParam().tipo != TipoFichero::Encuesta) return;
    r = convert(doc(GetParam().tipo, "uno\ndos\r\nR009sInyectada&#13;&#10;P009 Otra", ""));
    ASSERT_TRUE(r.ok) << r.error;
    const std::string survey = dir.read(Datos + "Encuesta.txt");
    EXPECT_EQ(survey, "E1   G\r\nP1   uno dos R009sInyectada  P009 Otra\r\nR1   Si\r\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileXml, ::testing::ValuesIn(Kinds), kindName);

} // namespace
