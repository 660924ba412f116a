#include <gtest/gtest.h>

#include <algorithm>

#include "support/golden.h"
#include "support/received.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;
using namespace vltest;
namespace fs = std::filesystem;

namespace {

std::string texts(const std::string& a, const std::string& b, const std::string& c) {
    return "\"" + a + "\"\r\n\"" + b + "\"\r\n\"" + c + "\"\r\n";
}

TEST(Format, PricesAmountsAndTextIdentifiers) {
    const std::pair<const char*, const char*> prices[] = {
        {"10,00", "   10.00"},      {"9,99", "    9.99"},
        {"1,2,3", "   1.2,3"},      // only the first comma
        {"123456,789", "123456.7"}, // cut to the leftmost 8
        {"1250", "   12,50"},       {"123456", "1.234,56"},
        {"5", "    0,05"},          {"0", "    0,00"},
        {"100", "    1,00"},        {"99999", "  999,99"},
        {"-1250", " (12,50)"},      {"+1250", "   12,50"},
        {" 1250 ", "   12,50"},     {"1.250", "   12,50"}, // the point groups thousands
        {"12345678", "123.456,"},   {"abc", "    0,00"},
        {"", "    0,00"},           {"12a", "    0,00"},
        {"-", "    0,00"},          {"12.", "    0,00"}};
    for (const auto& [received, expected] : prices)
        EXPECT_EQ(normalizePrice(received), expected) << received;

    const std::pair<long long, const char*> amounts[] = {{0, "0,00"},
                                                         {1, "0,01"},
                                                         {99, "0,99"},
                                                         {100, "1,00"},
                                                         {99999, "999,99"},
                                                         {100000, "1.000,00"},
                                                         {123456789, "1.234.567,89"},
                                                         {-1, "(0,01)"},
                                                         {-123456, "(1.234,56)"}};
    for (const auto& [hundredths, expected] : amounts)
        EXPECT_EQ(formatSpanishAmount(hundredths), expected) << hundredths;

    const std::pair<const char*, const char*> ids[] = {
        {"7", "000007"},    {"12", "000012"},      {"999999", "999999"},
        {"", "000000"},     {"abc", "000000"},     {"0", "000000"},
        {"  42", "000042"}, {"1234567", "123456"}, // RSet keeps the left 6
        {"-5", "999995"}};
    for (const auto& [identificador, expected] : ids)
        EXPECT_EQ(textIdentifier(identificador), expected) << identificador;
}

TEST(LineGroups, GroupedByFirstDigitAndSortedBytewise) {
    LineGroups g;
    for (const char* l : {"9z", "10", "A1", "05", "\xD1x", "1a", "11", " x", "z0"})
        g.add(l);
    g.sort();
    // Non-digits land in group 0, ordered there by byte value (blank < digits < letters < 0xD1).
    EXPECT_EQ(g.joined(), " x\r\n05\r\nA1\r\nz0\r\n\xD1x\r\n10\r\n11\r\n1a\r\n9z\r\n");
}

TEST(LineGroups, AGroupKeepsEveryLine) {
    LineGroups g;
    for (int i = 0; i < 32800; ++i)
        g.add("5" + std::to_string(100000 + i));
    g.add("6000000");
    EXPECT_EQ(g.group(5).size(), 32800u);
    EXPECT_EQ(g.size(), 32801u);
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
    ConversionResult master(const std::string& body, const std::string& name = "Maestro.xml") {
        dir.write(Recibido + name, document(body));
        return convert(TipoFichero::Maestro);
    }
    // Every path under datos with the bytes of its files, once the replaced texts are deleted.
    std::vector<std::string> datos() const {
        waitForDataCleanup();
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(dir.path() / Datos))
            out.push_back(e.path().lexically_relative(dir.path()).generic_string() + "=" +
                          (e.is_regular_file() ? readBytes(e.path()) : "/"));
        std::sort(out.begin(), out.end());
        return out;
    }
    vltest::TempDir dir;
};

// ------------------------------------------------------------------------------------ master

// Items in force on the day, sorted, each text once; a record starts where its key element
// opens, at any depth, and field names are exact.
TEST_F(Conversion, MasterWritesItemsInForceSortedWithTheirTexts) {
    // Stale text of an earlier run: the folder only keeps what this run wrote.
    dir.write(Datos + "textos/000099.txt", "viejo");
    const auto r = master(
        item("12", "222222",
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
            item("26", "666666", {{"fecha_inicio", ""}, {"imprimir", "0"}}) +
            item("27", "666667", {{"fecha_inicio", "20240615"}, {"fecha_final", "00000000"}}) +
            item("28", "555555", {{"estado", "a"}}) + item("29", "555556", {{"estado", ""}}) +
            record("item", {{"identificador", "1"}, {"codigo", "111112"}, {"estado", "A"}}) +
            // codigo before identificador: it overwrites the code of the record before.
            record("item", {{"codigo", "999999"}, {"identificador", "2"}, {"estado", "A"}}) +
            // "Estado" is not "estado"; the last repeated one wins; an empty element adds nothing;
            // the record still open at the end is written.
            "<a><identificador>3</identificador><b><c><codigo>123456</codigo></c>"
            "<Estado>A</Estado><estado>B</estado><estado>A</estado><fecha_inicio/></b></a>\n",
        "maestro.XML");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records, 17u);
    EXPECT_EQ(r.lines, 12u);
    EXPECT_EQ(r.textFiles, 11u);
    waitForDataCleanup();
    expectGoldenTree("update/master", dir.path() / Datos);
}

// Identifiers that come back after others: each file once, with the text of its last run.
TEST_F(Conversion, MasterWithInterleavedIdentifiersWritesEachTextOnce) {
    const Fields a{{"titulo", "A"}}, b{{"titulo", "B"}}, c{{"titulo", "C"}};
    const auto r = master(item("1", "100001", a) + item("2", "100002") + item("1", "100003", b) +
                          item("2", "100004") + item("3", "100005") + item("2", "100006", c) +
                          item("2", "100007") + item("3", "100008") + item("1", "100009", a));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.textFiles, 3u);
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), texts("A", "Texto 1", "Anexo 1"));
    EXPECT_EQ(dir.read(Datos + "textos/000002.txt"), texts("C", "Texto 2", "Anexo 2"));
    EXPECT_EQ(dir.read(Datos + "textos/000003.txt"), texts("Titulo 3", "Texto 3", "Anexo 3"));
}

// A document that does not parse, none at all, or a Velantia.txt that cannot be replaced: an
// error, and nothing changes.
TEST_F(Conversion, MasterParseErrorOrMissingFileChangesNothing) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    dir.write(Datos + "textos/000099.txt", "texto viejo");
    const auto before = datos();
    for (const int c : {0, 1, 2}) {
        SCOPED_TRACE(c);
        dir.write(Recibido + "Maestro.xml", c ? document(item("1", "111111")) : "<datos><item>");
        if (c == 1) fs::remove(dir.path() / (Recibido + "Maestro.xml"));
        ReadOnly held(dir.path() / (c == 2 ? Datos + "Velantia.txt" : "none"));
        if (c == 2 && !held.holds()) GTEST_SKIP() << "no file can be made unwritable here";
        const auto r = convert(TipoFichero::Maestro);
        EXPECT_FALSE(r.ok || r.error.empty());
        EXPECT_EQ(r.error.find("Velantia.txt: otro programa") != std::string::npos, c == 2);
        EXPECT_EQ(datos(), before);
    }
}

// An open handle would keep the old file on Windows: the lookup's is closed before each swap.
TEST_F(Conversion, LookupHandlesAreClosedBeforeTheirFilesAreReplaced) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    dir.write(Datos + "productos.txt", "viejo\r\n");
    DataFiles files{paths()};
    files.OpenDataFiles();
    ASSERT_TRUE(files.velantia().isOpen() && files.productos().isOpen());
    dir.write(Recibido + "Maestro.xml", document(item("5", "123456")));
    ASSERT_TRUE(convert(TipoFichero::Maestro, &files).ok);
    ASSERT_EQ(writeProductMaster(paths(), &files, LineGroups{}), "");
    EXPECT_FALSE(files.velantia().isOpen() || files.productos().isOpen());
    EXPECT_EQ(dir.read(Datos + "productos.txt"), "");
    files.OpenDataFiles();
    EXPECT_EQ(files.velantia().count(), 1);
}

// DTDs and external entities come from the received folder, under any folder name; a declared
// DTD that is missing or not met is an error that changes nothing.
TEST(ConversionDtd, DeclaredDtdsAreReadFromTheReceivedFolderAndValidated) {
    const std::string anyDtd = "<!ELEMENT datos ANY><!ELEMENT item ANY><!ELEMENT estado ANY>"
                               "<!ELEMENT identificador ANY><!ELEMENT titulo ANY>";
    const struct {
        std::string doctype;
        const char *titulo, *made;
    } cases[] = {{"SYSTEM \"falta.dtd\"", "x", nullptr},
                 {"[<!ELEMENT datos (item*)><!ELEMENT item (identificador)>"
                  "<!ELEMENT identificador (#PCDATA)>]",
                  "x", nullptr},
                 {"SYSTEM \"datos.dtd\"", "&marca;", "Velantia"},
                 {"[" + anyDtd + "<!ENTITY ext SYSTEM \"titulo.ent\">]", "&ext;", "Desde fichero"}};
    vltest::TempDir dir;
    const fs::path root = dir.path() / "ra\xC3\xADz con espacio";
    fs::create_directories(root / Recibido);
    fs::create_directories(root / Datos);
    writeBytes(root / Recibido / "datos.dtd", anyDtd + "<!ENTITY marca \"Velantia\">");
    writeBytes(root / Recibido / "titulo.ent", "Desde fichero");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doctype);
        writeBytes(root / Datos / "Velantia.txt", "viejo\r\n");
        writeBytes(root / Recibido / "Maestro.xml",
                   document(record("item",
                                   {{"identificador", "1"}, {"titulo", c.titulo}, {"estado", "A"}}),
                            "<!DOCTYPE datos " + c.doctype + ">\n"));
        ConversionOptions o;
        o.today = Today;
        const auto r = ConvertirFichero(TipoFichero::Maestro, Paths(root), nullptr, o);
        EXPECT_EQ(r.ok, c.made != nullptr) << r.error;
        EXPECT_EQ(readBytes(root / Datos / (c.made ? "textos/000001.txt" : "Velantia.txt")),
                  c.made ? texts(c.made, "", "") : "viejo\r\n");
    }
}

// ------------------------------------------------------------------------------------ prices

TEST_F(Conversion, PricesGiveSortedProductLines) {
    dir.write(
        Recibido + "PRECIOS.xml",
        document(
            price("600001", "NOMENCLATOR MAYOR", "10,00", "9,99") +
            price("600002", "DISTRIBUIDOR MAYOR", "9,00", "10,00") +
            // Equal amounts in euros: the distributor's text.
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
    // The product master is written only when asked for.
    EXPECT_FALSE(fs::exists(dir.path() / (Datos + "productos.txt")));
    ASSERT_EQ(writeProductMaster(paths(), nullptr, r.productLines), "");
    expectGolden("update/productos.txt", dir.read(Datos + "productos.txt"));
}

// Prices go into basea only when asked for, with the pharmacy files open and a document that
// parses, and only the 8 price bytes of the records whose code matches. A basea still open for
// reading but no longer writable under its name fails the step, naming it.
class BaseaPrices : public Conversion {};
TEST_F(BaseaPrices, OnlyMatchingPriceBytesChangeAndAFailureNamesTheFile) {
    const auto product = [](const std::string& code, const std::string& price8) {
        // code 6, name 30, a field of 15, price 8, then 1 and 2 bytes (one of them a NUL).
        return code + "NOMBRE " + std::string(23, 'n') + std::string(15, 'x') + price8 + "S" +
               std::string("\0Z", 2);
    };
    const std::string basea = product("100010", "    1.00") + product("100011", "    2.00") +
                              product("999999", "    3.00") + product("100013", "    4.00");
    ASSERT_EQ(basea.size(), 4 * BaseProductRecord::Length);
    // basey record 10001 (the first five digits) points slots 0..3 at basea 1..4.
    std::string basey(10001 * BaseIndexRecord::Length, ' ');
    basey.replace(10000 * BaseIndexRecord::Length + 6, 24, "000001000002000003000004");
    dir.write("quiroles/orbal-5/basey", basey);
    const std::string xml =
        document(price("100010", "A", "", "12,34") + // record 1
                 price("100011", "B", "", "50") +    // record 2: 0,50
                 price("100012", "C", "", "5,00") +  // basea code differs
                 price("100013", "D", "", "0,00") +  // zero is no price
                 price("100014", "E", "", "7,00") +  // empty slot
                 // Seven characters: slot 0 again, but never equal to a basea code.
                 price("1000110", "F", "", "99,99"));
    std::string updated = basea;
    updated.replace(51, 8, "   12.34").replace(62 + 51, 8, "    0,50");
    const struct {
        const char* what;
        bool open, asked, broken, unwritable;
        std::string basea;
    } cases[] = {{"not asked", true, false, false, false, basea},
                 {"files not open", false, true, false, false, basea},
                 {"parse error", true, true, true, false, basea},
                 {"written", true, true, false, false, updated},
                 {"not writable", true, true, false, true, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dir.write("quiroles/orbal-5/basea", basea);
        dir.write(Recibido + "precios.xml", c.broken ? xml.substr(0, xml.size() - 12) : xml);
        DataFiles files{paths()};
        if (c.open) files.OpenDataFiles();
        const fs::path b = files.basea().path();
        if (c.unwritable) fs::rename(b, b.string() + ".x"), fs::create_directory(b);
        const auto r = convert(TipoFichero::Precios, &files, c.asked);
        EXPECT_EQ(r.ok, !c.broken && !c.unwritable) << r.error;
        if (c.unwritable) {
            EXPECT_EQ(r.error.rfind("No se pueden escribir los precios en " + b.string() + ": ", 0),
                      0u);
            continue;
        }
        EXPECT_EQ(r.productLines.size(), c.broken ? 0u : 5u);
        EXPECT_EQ(r.pricesWritten, c.basea == basea ? 0u : 2u);
        EXPECT_EQ(dir.read("quiroles/orbal-5/basea"), c.basea);
    }
}

// ------------------------------------------------------------------------------------ survey

// Rows in document order, texts in Windows-1252, a line only where a code changes by value (the
// codes before the first row are blank); no row, or a broken document, keeps the file.
TEST_F(Conversion, SurveyFileFromTheRows) {
    const std::string rows = row({"1", "Atención", "1", "¿Se dispensa?", "1", "Sí", "s"}) +
                             row({"1", "Atención", "1", "¿Se dispensa?", "2", "No", ""}) +
                             row({"01", "Atención", "2", "Otra", "4", "Cuatro", "no"}) +
                             // Same answer code: no line.
                             row({"1", "Atención", "3", "Tercera", "4", "Repetida", "s"}) +
                             // 1234 never equals its cut 123.
                             row({"2", "Dos", "1234", "Larga", "1", "Uno", ""}) +
                             row({"2", "Dos", "1234", "Larga", "2", "Dos", ""});
    for (const auto& [xml, ok, file] :
         {std::tuple{document("<nada/>\n"), true, "viejo\r\n"},
          {"<datos>" + rows + "</dato>", false, "viejo\r\n"},
          {document(row({"0", "G", "0", "P", "0", "R", ""})), true, ""},
          {document(row({"", "G", "5", "P", "", "R", ""})), true, "P5   P\r\n"},
          {document(rows), true,
           "E1   Atenci\xF3n\r\nP1   \xBFSe dispensa?\r\nR1  sS\xED\r\nR2   No\r\nP2   Otra\r\n"
           "R4  nCuatro\r\nP3   Tercera\r\nE2   Dos\r\nP123 Larga\r\nR1   Uno\r\nP123 Larga\r\n"
           "R2   Dos\r\n"}}) {
        dir.write(Datos + "Encuesta.txt", "viejo\r\n");
        dir.write(Recibido + "encuesta.xml", xml);
        EXPECT_EQ(convert(TipoFichero::Encuesta).ok, ok) << xml;
        EXPECT_EQ(dir.read(Datos + "Encuesta.txt"), file);
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
