#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using namespace vltest;
namespace fs = std::filesystem;

namespace {

// A master item; `over` replaces or adds fields (an empty value still writes the element).
std::string item(const std::string& id, const std::string& code, const Fields& over = {}) {
    std::map<std::string, std::string> f{{"tipo_alarma", "1"},
                                         {"titulo", "Titulo " + id},
                                         {"texto", "Texto " + id},
                                         {"fecha_inicio", "20240101"},
                                         {"fecha_final", "20241231"},
                                         {"fecha_actualizacion", "20240102"},
                                         {"imprimir", "1"},
                                         {"informacion_anexa", "Anexo " + id},
                                         {"estado", "A"}};
    for (const auto& [k, v] : over)
        f[k] = v;
    Fields ordered{{"identificador", id}, {"codigo", code}};
    for (const char* k : {"tipo_alarma", "titulo", "texto", "fecha_inicio", "fecha_final",
                          "fecha_actualizacion", "imprimir", "informacion_anexa", "estado"})
        ordered.emplace_back(k, f[k]);
    return record("item", ordered);
}

std::string texts(const std::string& a, const std::string& b, const std::string& c) {
    return "\"" + a + "\"\r\n\"" + b + "\"\r\n\"" + c + "\"\r\n";
}

class Conversion : public ::testing::Test {
  protected:
    Paths paths() const { return Paths(dir.path()); }
    ConversionResult convert(TipoFichero tipo, DataFiles* files = nullptr, bool prices = false) {
        ConversionOptions o;
        o.today = Today;
        o.descargarPrecios = prices;
        return ConvertirFichero(tipo, paths(), files, o);
    }
    std::vector<std::string> textFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path() / (Datos + "textos")))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> datosEntries() const {
        waitForDataCleanup(); // the replaced texts are deleted in the background
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path() / Datos))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    vltest::TempDir dir;
};

// ------------------------------------------------------------------------------------ master

TEST_F(Conversion, MasterWritesItemsInForceSortedWithTheirTexts) {
    dir.write(
        Recibido + "Maestro.xml",
        document(item("12", "222222",
                      {{"titulo", "Título € ñ"}, {"texto", "<![CDATA[<b>Dosis</b> & más]]>"}}) +
                 // Same identifier right after: second line, text file written once.
                 item("12", "111111", {{"titulo", "otro"}, {"tipo_alarma", "2"}}) +
                 item("7", "333333", {{"fecha_final", ""}}) +
                 item("abc", "444444", {{"fecha_final", "0"}}) +
                 item("20", "555551", {{"fecha_inicio", "20240616"}}) + // not yet
                 item("21", "555552", {{"fecha_final", "20240614"}}) +  // expired
                 item("22", "555553", {{"fecha_final", "20240615"}}) +  // ends today
                 item("23", "555554", {{"estado", "B"}}) + item("24", "A12345") +
                 item("25", "011111", {{"tipo_alarma", "3"}}) +
                 item("26", "666666", {{"fecha_inicio", ""}, {"imprimir", "0"}})));
    // Stale text of an earlier run: the folder only keeps what this run wrote.
    dir.write(Datos + "textos/000099.txt", "viejo");

    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;

    EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "0111113000025202401022024010120241231A1\r\n"
                                                "A123451000024202401022024010120241231A1\r\n"
                                                "1111112000012202401022024010120241231A1\r\n"
                                                "2222221000012202401022024010120241231A1\r\n"
                                                "33333310000072024010220240101        A1\r\n"
                                                "444444100000020240102202401010       A1\r\n"
                                                "5555531000022202401022024010120240615A1\r\n"
                                                "666666100002620240102        20241231A0\r\n");
    EXPECT_EQ(textFiles(),
              (std::vector<std::string>{"000000.txt", "000007.txt", "000012.txt", "000022.txt",
                                        "000024.txt", "000025.txt", "000026.txt"}));
    EXPECT_EQ(dir.read(Datos + "textos/000012.txt"),
              texts("T\xEDtulo \x80 \xF1", "<b>Dosis</b> & m\xE1s", "Anexo 12"));
    EXPECT_EQ(dir.read(Datos + "textos/000007.txt"), texts("Titulo 7", "Texto 7", "Anexo 7"));
    EXPECT_EQ(r.records, 11u);
    EXPECT_EQ(r.lines, 8u);
    EXPECT_EQ(r.textFiles, 7u);
    // Nothing of the work folders is left behind.
    EXPECT_EQ(datosEntries(), (std::vector<std::string>{"Velantia.txt", "textos"}));
}

// Identifiers that come back after others: each file once, with the text of its last run.
TEST_F(Conversion, MasterWithInterleavedIdentifiersWritesEachTextOnce) {
    const Fields a{{"titulo", "A"}}, b{{"titulo", "B"}}, c{{"titulo", "C"}};
    dir.write(Recibido + "Maestro.xml",
              document(item("1", "100001", a) + item("2", "100002") + item("1", "100003", b) +
                       item("2", "100004") + item("3", "100005") + item("2", "100006", c) +
                       item("2", "100007") + item("3", "100008") + item("1", "100009", a)));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.textFiles, 3u);
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), texts("A", "Texto 1", "Anexo 1"));
    EXPECT_EQ(dir.read(Datos + "textos/000002.txt"), texts("C", "Texto 2", "Anexo 2"));
    EXPECT_EQ(dir.read(Datos + "textos/000003.txt"), texts("Titulo 3", "Texto 3", "Anexo 3"));
}

TEST_F(Conversion, MasterKeyAfterAnotherFieldBelongsToThePreviousRecord) {
    dir.write(Recibido + "Maestro.xml",
              document(record("item", {{"identificador", "1"},
                                       {"codigo", "111111"},
                                       {"fecha_inicio", "20240101"},
                                       {"estado", "A"}}) +
                       // codigo before identificador: it overwrites the first record's code.
                       record("item", {{"codigo", "999999"},
                                       {"identificador", "2"},
                                       {"fecha_inicio", "20240101"},
                                       {"estado", "A"}})));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "       000002        20240101        A \r\n"
                                                "999999 000001        20240101        A \r\n");
}

TEST_F(Conversion, MasterFieldNamesAreExactAndAnyDepthCounts) {
    dir.write(Recibido + "Maestro.xml",
              document("<a><identificador>3</identificador><b><c><codigo>123456</codigo></c>"
                       "<Estado>A</Estado><estado>B</estado><estado>A</estado>"
                       "<fecha_inicio/></b></a>\n"));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    // "Estado" is not "estado"; the last of the repeated ones wins; an empty element adds nothing.
    EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "123456 000003" + std::string(24, ' ') + "A \r\n");
}

TEST_F(Conversion, MasterSingleRecordIsWrittenAtTheEndOfTheDocument) {
    dir.write(Recibido + "maestro.XML", document(item("5", "123456")));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "1234561000005202401022024010120241231A1\r\n");
    EXPECT_EQ(textFiles(), std::vector<std::string>{"000005.txt"});
}

// A document that does not parse, none at all, or a Velantia.txt that cannot be replaced: an
// error, and nothing changes.
TEST_F(Conversion, MasterParseErrorOrMissingFileChangesNothing) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    dir.write(Datos + "textos/000099.txt", "texto viejo");
    for (const int c : {0, 1, 2}) {
        SCOPED_TRACE(c);
        dir.write(Recibido + "Maestro.xml", "<?xml version=\"1.0\"?>\n<datos>\n" +
                                                item("1", "111111") + (c ? "</datos>" : "<item>"));
        if (c == 1) fs::remove(dir.path() / (Recibido + "Maestro.xml"));
        ReadOnly held(c == 2 ? dir.path() / (Datos + "Velantia.txt") : dir.path() / "none");
        if (c == 2 && !held.holds()) GTEST_SKIP() << "no file can be made unwritable here";
        const auto r = convert(TipoFichero::Maestro);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(r.error.find("Velantia.txt: otro programa") != std::string::npos, c == 2);
        EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "viejo\r\n");
        EXPECT_EQ(textFiles(), std::vector<std::string>{"000099.txt"});
        EXPECT_EQ(dir.read(Datos + "textos/000099.txt"), "texto viejo");
        EXPECT_EQ(datosEntries(), (std::vector<std::string>{"Velantia.txt", "textos"}));
    }
}

TEST_F(Conversion, MasterClosesTheLookupsItemFileBeforeReplacingIt) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    DataFiles files{paths()};
    files.OpenDataFiles();
    ASSERT_TRUE(files.velantia().isOpen());
    dir.write(Recibido + "Maestro.xml", document(item("5", "123456")));
    ASSERT_TRUE(convert(TipoFichero::Maestro, &files).ok);
    EXPECT_FALSE(files.velantia().isOpen());
    files.OpenDataFiles();
    EXPECT_EQ(files.velantia().count(), 1);
}

// ------------------------------------------------------------------------- XML safety rules

const char* const AnyDtd = "<!ELEMENT datos ANY><!ELEMENT item ANY>"
                           "<!ELEMENT identificador ANY><!ELEMENT codigo ANY>"
                           "<!ELEMENT titulo ANY><!ELEMENT estado ANY>";

std::string entityDoc(const std::string& systemId) {
    return document(
        record(
            "item",
            {{"identificador", "1"}, {"codigo", "111111"}, {"titulo", "&ext;"}, {"estado", "A"}}),
        std::string("<!DOCTYPE datos [") + AnyDtd + "<!ENTITY ext SYSTEM \"" + systemId +
            "\">]>\n");
}

TEST_F(Conversion, DeclaredDtdIsValidated) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    dir.write(Recibido + "Maestro.xml",
              document(item("1", "111111"),
                       "<!DOCTYPE datos [<!ELEMENT datos (item*)><!ELEMENT item (identificador)>"
                       "<!ELEMENT identificador (#PCDATA)>]>\n"));
    const auto r = convert(TipoFichero::Maestro);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(dir.read(Datos + "Velantia.txt"), "viejo\r\n");
}

TEST_F(Conversion, ExternalDtdInTheReceivedFolderIsLoadedAndValidated) {
    dir.write(Recibido + "datos.dtd", std::string(AnyDtd) + "<!ENTITY marca \"Velantia\">");
    dir.write(Recibido + "Maestro.xml", document(record("item", {{"identificador", "1"},
                                                                 {"codigo", "111111"},
                                                                 {"titulo", "&marca;"},
                                                                 {"estado", "A"}}),
                                                 "<!DOCTYPE datos SYSTEM \"datos.dtd\">\n"));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), texts("Velantia", "", ""));
}

TEST(ConversionRoot, ExternalDtdIsFoundUnderAFolderNameWithBlanksAndAccents) {
    vltest::TempDir dir;
    const fs::path root = dir.path() / "ra\xC3\xADz con espacio";
    fs::create_directories(root / Recibido);
    vltest::writeBytes(root / Recibido / "datos.dtd", AnyDtd);
    vltest::writeBytes(root / Recibido / "Maestro.xml",
                       document(record("item", {{"identificador", "1"}, {"estado", "A"}}),
                                "<!DOCTYPE datos SYSTEM \"datos.dtd\">\n"));
    ConversionOptions o;
    o.today = Today;
    const auto r = ConvertirFichero(TipoFichero::Maestro, Paths(root), nullptr, o);
    EXPECT_TRUE(r.ok) << r.error;
}

TEST_F(Conversion, DeclaredDtdThatIsMissingIsAnError) {
    dir.write(Recibido + "Maestro.xml",
              document(item("1", "111111"), "<!DOCTYPE datos SYSTEM \"falta.dtd\">\n"));
    EXPECT_FALSE(convert(TipoFichero::Maestro).ok);
}

TEST_F(Conversion, ExternalEntityInsideTheReceivedFolderIsSubstituted) {
    dir.write(Recibido + "titulo.ent", "Desde fichero");
    dir.write(Recibido + "Maestro.xml", entityDoc("titulo.ent"));
    const auto r = convert(TipoFichero::Maestro);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), texts("Desde fichero", "", ""));
}

// ------------------------------------------------------------------------------------ prices

std::string price(const std::string& code, const std::string& desc, const std::string& nom,
                  const std::string& dist) {
    return record("producto", {{"codigo_nacional", code},
                               {"descripcion", desc},
                               {"pvp_nomenclator", nom},
                               {"pvp_distribuidor", dist},
                               {"fecha_actualizacion", "20240101"}});
}

// A product line: code, description blank-padded to 40, the 8-character price, CR LF.
std::string line(const std::string& code, const std::string& desc, const std::string& price8) {
    return code + desc + std::string(40 - desc.size(), ' ') + price8 + "\r\n";
}

TEST_F(Conversion, PricesGiveSortedProductLines) {
    dir.write(
        Recibido + "PRECIOS.xml",
        document(
            price("600001", "NOMENCLATOR MAYOR", "10,00", "9,99") +
            price("600002", "DISTRIBUIDOR MAYOR", "9,00", "10,00") +
            price("600003", "IGUALES", "5,00", "5,0") + price("500004", "SIN COMA", "", "1250") +
            price("500005", "MILES", "", "123456") + price("500006", "NO ES NUMERO", "", "abc") +
            price("6000077", "SIETE CIFRAS", "1,00", "1,00") +
            price("A00001", "JARABE \xC3\x91O\xC3\x91O \xE2\x82\xAC", "1,00", "2,00") +
            price("700001", "DESCRIPCION DE MAS DE CUARENTA CARACTERES, CORTADA", "12,50", "1250") +
            price("800001", "A", "9,99", "9,50") + price("800002", "B", "1250", "13,00") +
            price("800003", "C", "99", "1,5") + price("800004", "D", "1299", "1250")));
    const auto r = convert(TipoFichero::Precios);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records, 13u);
    EXPECT_EQ(r.productLines.joined(),
              line("A00001", "JARABE \xD1O\xD1O \x80", "    2.00") +
                  line("500004", "SIN COMA", "   12,50") + line("500005", "MILES", "1.234,56") +
                  line("500006", "NO ES NUMERO", "    0,00") +
                  line("600001", "NOMENCLATOR MAYOR", "   10.00") +
                  line("600002", "DISTRIBUIDOR MAYOR", "   10.00") +
                  line("600003", "IGUALES", "     5.0") +
                  // Equal amounts in euros: the distributor's text.
                  line("700001", "DESCRIPCION DE MAS DE CUARENTA CARACTERE", "   12,50") +
                  line("800001", "A", "    9.99") + line("800002", "B", "   13.00") +
                  line("800003", "C", "     1.5") + line("800004", "D", "   12,99"));
    // The product master is written only when asked for.
    EXPECT_FALSE(fs::exists(dir.path() / (Datos + "productos.txt")));
    ASSERT_EQ(writeProductMaster(paths(), nullptr, r.productLines), "");
    EXPECT_EQ(dir.read(Datos + "productos.txt"), r.productLines.joined());
}

class BaseaPrices : public Conversion {
  protected:
    static std::string baseRecord(const std::string& code, const std::string& priceField) {
        // code 6, name 30, a field of 15, price 8, then 1 and 2 bytes (one of them a NUL).
        std::string r = code + std::string("NOMBRE ") + std::string(23, 'n') +
                        std::string(15, 'x') + priceField + "S" + std::string("\0Z", 2);
        EXPECT_EQ(r.size(), BaseProductRecord::Length);
        return r;
    }
    void SetUp() override {
        basea = baseRecord("100010", "    1.00") + baseRecord("100011", "    2.00") +
                baseRecord("999999", "    3.00") + baseRecord("100013", "    4.00");
        dir.write("quiroles/orbal-5/basea", basea);
        // basey record 10001 (the first five digits) points slots 0..3 at basea 1..4.
        std::string basey(10001 * BaseIndexRecord::Length, ' ');
        const std::size_t at = 10000 * BaseIndexRecord::Length;
        basey.replace(at + 6, 24, "000001000002000003000004");
        dir.write("quiroles/orbal-5/basey", basey);
        dir.write(Recibido + "precios.xml",
                  document(price("100010", "A", "", "12,34") + // record 1
                           price("100011", "B", "", "50") +    // record 2: 0,50
                           price("100012", "C", "", "5,00") +  // basea code differs
                           price("100013", "D", "", "0,00") +  // zero is no price
                           price("100014", "E", "", "7,00") +  // empty slot
                           // Seven characters: slot 0 again, but never equal to a basea code.
                           price("1000110", "F", "", "99,99")));
    }
    std::string expectedWithNewPrices() const {
        std::string e = basea;
        e.replace(51, 8, "   12.34");
        e.replace(62 + 51, 8, "    0,50");
        return e;
    }
    std::string basea;
};

TEST_F(BaseaPrices, OnlyThePriceBytesOfMatchingRecordsChange) {
    DataFiles files{paths()};
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());
    const auto r = convert(TipoFichero::Precios, &files, true);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.pricesWritten, 2u);
    EXPECT_EQ(dir.read("quiroles/orbal-5/basea"), expectedWithNewPrices());
}

// basea still open for reading but no longer writable under its name: the step fails, naming it.
TEST_F(BaseaPrices, BaseaThatCannotBeWrittenFailsTheStep) {
    DataFiles files{paths()};
    files.OpenDataFiles();
    const fs::path b = files.basea().path();
    fs::rename(b, b.string() + ".x");
    fs::create_directory(b);
    const auto r = convert(TipoFichero::Precios, &files, true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.rfind("No se pueden escribir los precios en " + b.string() + ": ", 0), 0u)
        << r.error;
}

// Not asked for, the pharmacy files not open, or a document that does not parse: basea unchanged.
TEST_F(BaseaPrices, NoPriceWrittenOtherwise) {
    struct Case {
        const char* what;
        bool open, prices, broken;
    };
    for (const Case& c : {Case{"not asked", true, false, false},
                          Case{"files not open", false, true, false},
                          Case{"parse error", true, true, true}}) {
        SCOPED_TRACE(c.what);
        if (c.broken)
            dir.write(Recibido + "precios.xml", "<?xml version=\"1.0\"?>\n<datos>\n" +
                                                    price("100010", "A", "", "12,34") + "<roto");
        DataFiles files{paths()};
        if (c.open) files.OpenDataFiles();
        const auto r = convert(TipoFichero::Precios, &files, c.prices);
        EXPECT_EQ(r.ok, !c.broken) << r.error;
        if (r.ok) {
            EXPECT_EQ(r.productLines.size(), 5u);
        }
        EXPECT_EQ(dir.read("quiroles/orbal-5/basea"), basea);
    }
}

TEST_F(Conversion, ProductMasterIsReplacedAndTheLookupHandleClosed) {
    dir.write(Datos + "productos.txt", "viejo\r\n");
    DataFiles files{paths()};
    files.OpenDataFiles();
    ASSERT_TRUE(files.productos().isOpen());
    LineGroups lines;
    lines.add("200000B");
    lines.add("100000A");
    lines.sort();
    ASSERT_EQ(writeProductMaster(paths(), &files, lines), "");
    EXPECT_FALSE(files.productos().isOpen());
    EXPECT_EQ(dir.read(Datos + "productos.txt"), "100000A\r\n200000B\r\n");
}

// ------------------------------------------------------------------------------------ survey

std::string row(const std::string& g, const std::string& gt, const std::string& p,
                const std::string& pt, const std::string& r, const std::string& rt,
                const std::string& def) {
    return record("fila", {{"grupo_pregunta_id", g},
                           {"grupo", gt},
                           {"pregunta_id", p},
                           {"pregunta", pt},
                           {"respuesta_id", r},
                           {"respuesta", rt},
                           {"por_defecto", def}});
}

TEST_F(Conversion, SurveyFileFromTheRowsInOrder) {
    dir.write(Datos + "Encuesta.txt", "viejo\r\n");
    dir.write(Recibido + "Encuesta.xml",
              document(row("1", "Atención", "1", "¿Se dispensa?", "1", "Sí", "s") +
                       row("1", "Atención", "1", "¿Se dispensa?", "2", "No", "") +
                       row("1", "Atención", "2", "¿Otra?", "4", "Cuatro", "") +
                       row("1", "Atención", "3", "¿Tercera?", "4", "Cuatro", "s") +
                       row("2", "Otro grupo", "4", "Última", "1", "Fin", "n")));
    const auto r = convert(TipoFichero::Encuesta);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(dir.read(Datos + "Encuesta.txt"), "E1   Atenci\xF3n\r\n"
                                                "P1   \xBFSe dispensa?\r\n"
                                                "R1  sS\xED\r\n"
                                                "R2   No\r\n"
                                                "P2   \xBFOtra?\r\n"
                                                "R4   Cuatro\r\n"
                                                "P3   \xBFTercera?\r\n"
                                                "E2   Otro grupo\r\n"
                                                "P4   \xDAltima\r\n"
                                                "R1  nFin\r\n");
}

TEST_F(Conversion, SurveyWithoutRowsOrBrokenLeavesTheFileAlone) {
    dir.write(Datos + "Encuesta.txt", "viejo\r\n");
    for (const auto& [xml, ok] :
         {std::pair{document("<nada/>\n"), true},
          std::pair{"<datos>" + row("1", "G", "1", "P", "1", "R", "") + "</dato>", false}}) {
        dir.write(Recibido + "encuesta.xml", xml);
        EXPECT_EQ(convert(TipoFichero::Encuesta).ok, ok) << xml;
        EXPECT_EQ(dir.read(Datos + "Encuesta.txt"), "viejo\r\n");
    }
}

TEST_F(Conversion, ProgressEndsAtOneHundredAndNeverGoesBack) {
    std::string body;
    for (int i = 0; i < 3000; ++i)
        body += item(std::to_string(i), std::to_string(100000 + i));
    dir.write(Recibido + "Maestro.xml", document(body));
    std::vector<int> seen;
    ConversionOptions o;
    o.today = Today;
    o.progress = [&](int p) { seen.push_back(p); };
    ASSERT_TRUE(ConvertirFichero(TipoFichero::Maestro, paths(), nullptr, o).ok);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);
}

} // namespace
