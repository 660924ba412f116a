// A package from the service to the data files: the download, the unpacking, the conversion of
// the received XML (also by conversions that die (SIGKILL) or meet a full disk) and whole runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "support/faults.h"
#ifdef _WIN32
#include <windows.h>
#endif
#include "support/golden.h"
#include "support/received.h"
#include "support/service_double.h"
#include "support/tempdir.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "platform/process.h"
#include "update/conversion.h"
#include "update/unzip.h"
#include "update/updaterun.h"
#include "update/xmlwalk.h"

using namespace vl;
using namespace vltest;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

// A price without a comma is in hundredths, written as a Spanish amount. Only the first comma
// counts, the amount is cut to its leftmost 8 characters and a point groups thousands.
TEST(Format, PricesAndTextIdentifiers) {
    const std::pair<const char*, const char*> prices[] = {
        {"10,00", "   10.00"},      {"9,99", "    9.99"},   {"1,2,3", "   1.2,3"},
        {"123456,789", "123456.7"}, {"1250", "   12,50"},   {"123456", "1.234,56"},
        {"5", "    0,05"},          {"0", "    0,00"},      {"100", "    1,00"},
        {"99999", "  999,99"},      {"100000", "1.000,00"}, {"123456789", "1.234.56"},
        {"-1250", " (12,50)"},      {"+1250", "   12,50"},  {"-1", "  (0,01)"},
        {"-123456", "(1.234,5"},    {" 1250 ", "   12,50"}, {"1.250", "   12,50"},
        {"12345678", "123.456,"},   {"abc", "    0,00"},    {"", "    0,00"},
        {"12a", "    0,00"},        {"-", "    0,00"},      {"12.", "    0,00"}};
    for (const auto& [received, expected] : prices)
        EXPECT_EQ(normalizePrice(received), expected) << received;
    // An identifier keeps its left 6 characters.
    const std::pair<const char*, const char*> ids[] = {
        {"7", "000007"},    {"12", "000012"},      {"999999", "999999"},
        {"", "000000"},     {"abc", "000000"},     {"0", "000000"},
        {"  42", "000042"}, {"1234567", "123456"}, {"-5", "999995"}};
    for (const auto& [identificador, expected] : ids)
        EXPECT_EQ(textIdentifier(identificador), expected) << identificador;
}

TEST(LineGroups, GroupedByFirstDigitSortedBytewiseAndNeverCut) {
    LineGroups g;
    for (const char* l : {"9z", "10", "A1", "05", "\xD1x", "1a", "11", " x", "z0"})
        g.add(l);
    g.sort();
    // Non-digits land in group 0, ordered there by byte value (blank < digits < letters < 0xD1).
    EXPECT_EQ(g.joined(), " x\r\n05\r\nA1\r\nz0\r\n\xD1x\r\n10\r\n11\r\n1a\r\n9z\r\n");
    for (int i = 0; i < 32800; ++i)
        g.add("5" + std::to_string(100000 + i));
    EXPECT_EQ(g.group(5).size(), 32800u);
    EXPECT_EQ(g.size(), 32809u);
}

// The old texts are deleted by a thread of their own: the folder goes only after it is done
// (two deletions of one tree at once can loop forever on Windows).
class Conversion : public ::testing::Test {
  protected:
    void TearDown() override { waitForDataCleanup(); }
    ConversionResult convert(TipoFichero tipo, DataFiles* files = nullptr, bool prices = false) {
        return convertIn(dir.path(), tipo, files, prices);
    }
    ConversionResult master(const std::string& body, const std::string& name = "Maestro.xml",
                            DataFiles* files = nullptr) {
        dir.write(Recibido + name, document(body));
        return convert(TipoFichero::Maestro, files);
    }
    TempDir dir;
};

// Items in force on the day, sorted, each text once; a record starts where its key element
// opens, at any depth, and field names are exact.
TEST_F(Conversion, MasterWritesItemsInForceSortedWithTheirTexts) {
    // Stale text of an earlier run: the folder only keeps what this run wrote.
    dir.write(Datos + "textos/000099.txt", "viejo");
    runlog::open(Paths(dir.path()), "");
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
            item("27", "666668 \t\r\n") + // only blanks after 6 characters: cut, not skipped
            item("28", "555555", {{"estado", "a"}}) + item("29", "555556", {{"estado", ""}}) +
            // Longer codes are left out (their 6 characters are another medicine), and logged
            // when in force.
            item("30", "6666660") + item("31", "66666600", {{"estado", "B"}}) +
            record("item", {{"identificador", "1"}, {"codigo", "111112"}, {"estado", "A"}}) +
            // codigo before identificador: it overwrites the code of the record before.
            record("item", {{"codigo", "999999"}, {"identificador", "2"}, {"estado", "A"}}) +
            // "Estado" is not "estado"; the last repeated one wins; an empty element adds nothing;
            // the record still open at the end is written.
            "<a><identificador>3</identificador><b><c><codigo>123456</codigo></c>"
            "<Estado>A</Estado><estado>B</estado><estado>A</estado><fecha_inicio/></b></a>\n",
        "maestro.XML");
    runlog::close();
    ASSERT_TRUE(r.ok) << r.error;
    waitForDataCleanup();
    expectGoldenTree("update/master", dir.path() / Datos);
    const std::string log = fromCp1252(runlog::readLog(runlog::logPath(Paths(dir.path()), "")));
    EXPECT_NE(log.find("] Maestro.xml: omitido 1 registro vigente con un código nacional de más "
                       "de 6 caracteres: 6666660\r\n"),
              std::string::npos)
        << log;
}

// Identifiers that come back after others: each file once, with the text of its last run. An open
// handle would keep the old file on Windows: the lookup's is closed before each swap.
TEST_F(Conversion, MasterWithInterleavedIdentifiersWritesEachTextOnce) {
    dir.write(Datos + "Velantia.txt", "viejo\r\n");
    dir.write(Datos + "productos.txt", "viejo\r\n");
    DataFiles files{Paths(dir.path())};
    files.OpenDataFiles();
    ASSERT_TRUE(files.velantia().isOpen() && files.productos().isOpen());
    const Fields a{{"titulo", "A"}}, b{{"titulo", "B"}}, c{{"titulo", "C"}};
    const auto r = master(item("1", "100001", a) + item("2", "100002") + item("1", "100003", b) +
                              item("2", "100004") + item("3", "100005") + item("2", "100006", c) +
                              item("2", "100007") + item("3", "100008") + item("1", "100009", a),
                          "Maestro.xml", &files);
    ASSERT_TRUE(r.ok) << r.error;
    expectGoldenTree("update/interleaved", dir.path() / Datos / "textos");
    ASSERT_EQ(writeProductMaster(Paths(dir.path()), &files, LineGroups{}), "");
    EXPECT_TRUE(files.current()); // no handle left on a replaced file
}

// A text the same as the one in use may share its file: a text that changes further on, in a
// conversion that fails or in one that passes, never rewrites the file in use.
TEST_F(Conversion, ATextWrittenAgainLeavesTheTextsInUseAsTheyWere) {
    const Fields a{{"titulo", "A"}}, b{{"titulo", "B"}};
    ASSERT_TRUE(master(item("1", "100001", a) + item("2", "100002", a)).ok);
    const std::string one = dir.read(Datos + "textos/000001.txt");
    const std::string two = dir.read(Datos + "textos/000002.txt");
    const std::string changed = item("1", "100001", a) + item("2", "100002", a) +
                                item("1", "100003", b);
    EXPECT_FALSE(master(changed + item("3", "100004") + "<roto>").ok);
    waitForDataCleanup();
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), one);
    ASSERT_TRUE(master(changed).ok);
    waitForDataCleanup();
    EXPECT_EQ(dir.read(Datos + "textos/000001.txt"), "\"B\"\r\n\"Texto 1\"\r\n\"Anexo 1\"\r\n");
    EXPECT_EQ(dir.read(Datos + "textos/000002.txt"), two);
#ifndef _WIN32
    // A link someone put among the texts is no text of ours, even to the same bytes.
    const fs::path text = dir.path() / Datos / "textos/000002.txt";
    fs::remove(text);
    dir.write("fuera.txt", two);
    fs::create_symlink(dir.path() / "fuera.txt", text);
    ASSERT_TRUE(master(changed).ok);
    EXPECT_FALSE(fs::is_symlink(text));
#endif
}

// DTDs and entities come from the received folder, under any folder name. A document that does
// not parse or meet its DTD, none, or a Velantia.txt that cannot be replaced: nothing changes.
// The walk from the parser's events must give exactly what the reader gives: the same outcome
// and error, and for a document that passes the same texts to the same fields.
TEST(XmlWalk, EventsGiveTheReadersFieldsAndErrors) {
    // Beyond libxml2's longest text node (10 000 000 bytes).
    const std::string big(200'000, 'b'), bigger(10'000'010, 'h');
    const std::string cases[] = {
        "<t>a<!--x-->b</t><u>c<?pi y?>d</u>",
        "<t>a<![CDATA[b]]>c</t><t><![CDATA[d]]><![CDATA[e]]></t><t><![CDATA[ ]]></t>",
        "<t> \r\n\t</t><t>x<u>y</u>z</t><u/><t></t><t a='1'>&amp;&#233;&lt;&#x20AC;</t>",
        "<t>" + big + "&amp;" + big + "</t><u><![CDATA[" + big + "]]></u>",
        "<t>" + bigger + "</t>",
        "<t>a</t><u>b",
        "<t>a</u>",
        "<t>a</t></datos><t>b</t>",
        "<p:t xmlns:p='urn:x'>a</p:t><q:t>b</q:t>",
        std::string("<t>a\0b</t>", 10),
        "<t>\xff\xfe</t>",
    };
    std::vector<std::string> docs;
    for (const auto& body : cases)
        docs.push_back(document(body));
    docs.push_back("<?xml version='1.0' encoding='windows-1252'?><r:datos xmlns:r='urn:r'><t>\x80"
                   "\xe9</t></r:datos>");
    docs.push_back("\xEF\xBB\xBF<datos><t>bom</t></datos>");
    docs.push_back("<!DOCTYPE datos [<!ENTITY e 'ent'>]><datos><t>&e;</t></datos>");
    docs.push_back("<?xml version='1.0'?>");
    docs.push_back("");
    docs.push_back(document("<t>cut</t>").substr(0, 50));
    TempDir dir;
    const fs::path file = dir.path() / "d.xml";
    const std::vector<std::string> names{"t", "u"};
    for (const auto& doc : docs) {
        SCOPED_TRACE(doc.substr(0, 120));
        writeBytes(file, doc);
        std::string seen[2];
        XmlWalkOutcome outcome[2];
        for (int way = 0; way < 2; ++way) {
            const auto reading = way ? XmlReading::Reader : XmlReading::Fastest;
            outcome[way] = walkXmlFields(
                file, dir.path(), names,
                [&](std::size_t i, std::string_view v) {
                    seen[way] += std::to_string(i) + "=" + std::string(v.substr(0, 40)) + "#" +
                                 std::to_string(v.size()) + ";";
                },
                {}, reading);
        }
        // What came before an error is thrown away with the whole file.
        EXPECT_EQ(outcome[0].ok, outcome[1].ok);
        EXPECT_EQ(outcome[0].error, outcome[1].error);
        if (!outcome[1].ok) continue;
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_EQ(outcome[0].root, outcome[1].root);
        EXPECT_EQ(outcome[0].fieldElements, outcome[1].fieldElements);
    }
}

TEST(ConversionDtd, MasterDocumentsAreValidatedAndAFailureChangesNothing) {
    const std::string anyDtd = "<!ELEMENT datos ANY><!ELEMENT item ANY><!ELEMENT estado ANY>"
                               "<!ELEMENT identificador ANY><!ELEMENT titulo ANY>";
    // With `extra`, a second record ends with an element its DTD does not declare.
    const auto declaring = [](const std::string& doctype, const std::string& titulo,
                              bool extra = false) {
        const Fields last{{"identificador", "2"}, {"estado", "A"}, {"extra", "x"}};
        return document(
            record("item", {{"identificador", "1"}, {"titulo", titulo}, {"estado", "A"}}) +
                (extra ? record("item", last) : ""),
            "<!DOCTYPE datos " + doctype + ">\n");
    };
    const std::string undeclared = "Error en el documento XML: No declaration for element extra",
                      valid = declaring("SYSTEM \"datos.dtd\"", "x");
    const struct {
        std::string xml;  // empty: no document
        const char* made; // the title written; nullptr: an error
        bool readOnly = false;
        std::string error = {}; // how the error starts, when it matters
    } cases[] = {{"<datos><item>", nullptr},
                 {"", nullptr},
                 {declaring("SYSTEM \"falta.dtd\"", "x"), nullptr},
                 {declaring("[<!ELEMENT datos (item*)><!ELEMENT item (identificador)>"
                            "<!ELEMENT identificador (#PCDATA)>]",
                            "x"),
                  nullptr},
                 {declaring("SYSTEM \"datos.dtd\"", "&marca;"), "Velantia"},
                 // A whole document that fails its DTD is invalid, not cut short.
                 {declaring("SYSTEM \"datos.dtd\"", "x", true), nullptr, false, undeclared},
                 {declaring("[" + anyDtd + "]", "x", true), nullptr, false, undeclared},
                 {valid.substr(0, valid.size() - 9), nullptr, false,
                  "Maestro.xml: el fichero está incompleto (se corta en la línea 4)"},
                 {declaring("[" + anyDtd + "<!ENTITY ext SYSTEM \"titulo.ent\">]", "&ext;"),
                  "Desde fichero"},
                 {"<html><body>Error 500</body></html>", nullptr},
                 {document(item("1", "111111")), nullptr, true}};
    TempDir dir;
    const std::string base = "ra\xC3\xADz con espacio/";
    const fs::path root = dir.path() / base;
    dir.write(base + Recibido + "datos.dtd", anyDtd + "<!ENTITY marca \"Velantia\">");
    dir.write(base + Recibido + "titulo.ent", "Desde fichero");
    dir.write(base + Datos + "textos/000099.txt", "texto viejo");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        writeBytes(root / Datos / "Velantia.txt", "viejo\r\n");
        const auto before = snapshotTree(root / Datos);
        writeBytes(root / Recibido / "Maestro.xml", c.xml);
        if (c.xml.empty()) fs::remove(root / Recibido / "Maestro.xml");
        ReadOnly held(root / (c.readOnly ? Datos + "Velantia.txt" : "none"));
        if (c.readOnly && !held.holds()) GTEST_SKIP() << "no file can be made unwritable here";
        const auto r = convertIn(root, TipoFichero::Maestro);
        EXPECT_EQ(r.ok, c.made != nullptr) << r.error;
        EXPECT_EQ(r.error.find("Velantia.txt: otro programa") != std::string::npos, c.readOnly);
        EXPECT_TRUE(r.error.starts_with(c.error)) << r.error;
        waitForDataCleanup();
        if (c.made)
            EXPECT_EQ(readBytes(root / Datos / "textos/000001.txt"),
                      "\"" + std::string(c.made) + "\"\r\n\"\"\r\n\"\"\r\n");
        else
            EXPECT_EQ(snapshotTree(root / Datos), before);
    }
}

// The product lines, sorted, each with the greater price. Prices go into basea only when asked
// for, with its files open and a document that parses: the 8 price bytes of the records whose
// code matches. A basea not writable fails, naming it.
class BaseaPrices : public Conversion {};
TEST_F(BaseaPrices, OnlyMatchingPriceBytesChangeAndAFailureNamesTheFile) {
    // code 6, name 30, a field of 15, price 8, then 1 and 2 bytes (one of them a NUL).
    std::string basea;
    for (const std::string code : {"100010", "100011", "999999", "100013"})
        basea += code + "NOMBRE " + std::string(38, 'n') + "    1.00S" + std::string("\0Z", 2);
    // basey record 10001 (the first five digits) points slots 0..3 at basea 1..4.
    std::string basey(10001 * BaseIndexRecord::Length, ' ');
    basey.replace(10000 * BaseIndexRecord::Length + 6, 24, "000001000002000003000004");
    dir.write("quiroles/orbal-5/basey", basey);
    const std::string xml = document(
        price("100010", "A", "", "12,34") + // record 1
        price("100011", "B", "", "50") +    // record 2: 0,50
        price("100012", "C", "", "5,00") +  // basea code differs
        price("100013", "D", "", "0,00") +  // zero is no price
        price("100014", "E", "", "7,00") +  // empty slot
        // Seven characters: slot 0 again, but never equal to a basea code.
        price("1000110", "F", "", "99,99") + price("600001", "NOMENCLATOR MAYOR", "10,00", "9,99") +
        price("600002", "DISTRIBUIDOR MAYOR", "9,00", "10,00") +
        // Equal amounts in euros: the distributor's text.
        price("600003", "IGUALES", "5,00", "5,0") + price("500004", "SIN COMA", "", "1250") +
        price("500005", "MILES", "", "123456") + price("500006", "NO ES NUMERO", "", "abc") +
        price("6000077", "SIETE CIFRAS", "1,00", "1,00") +
        price("A00001", "JARABE \xC3\x91O\xC3\x91O \xE2\x82\xAC", "1,00", "2,00") +
        price("700001", "DESCRIPCION DE MAS DE CUARENTA CARACTERES, CORTADA", "12,50", "1250") +
        price("800001", "A", "9,99", "9,50") + price("800002", "B", "1250", "13,00") +
        price("800003", "C", "99", "1,5") + price("800004", "D", "1299", "1250"));
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
        dir.write(Recibido + "PRECIOS.xml", c.broken ? xml.substr(0, xml.size() - 12) : xml);
        DataFiles files{Paths(dir.path())};
        if (c.open) files.OpenDataFiles();
        const fs::path b = files.basea().path();
        if (c.unwritable) fs::rename(b, b.string() + ".x"), fs::create_directory(b);
        const auto r = convert(TipoFichero::Precios, &files, c.asked);
        EXPECT_EQ(r.ok, !c.broken && !c.unwritable) << r.error;
        EXPECT_EQ(r.error.starts_with("No se pueden escribir los precios en " + b.string() + ": "),
                  c.unwritable);
        if (c.unwritable) continue;
        EXPECT_EQ(r.productLines.size(), c.broken ? 0u : 17u);
        EXPECT_EQ(dir.read("quiroles/orbal-5/basea"), c.basea);
    }
    // The product master is written only when asked for.
    EXPECT_FALSE(fs::exists(dir.path() / (Datos + "productos.txt")));
    ASSERT_EQ(
        writeProductMaster(Paths(dir.path()), nullptr, convert(TipoFichero::Precios).productLines),
        "");
    expectGolden("update/productos.txt", dir.read(Datos + "productos.txt"));
}

// Rows in document order, texts in Windows-1252, a line only where a code changes by value (the
// codes before the first row are blank); no row, or a broken document, keeps the file.
// An empty (NUL bytes count as nothing) or cut file of any kind says so, so does one with a NUL;
// a damaged one keeps the parser's words.
TEST_F(Conversion, EmptyAndCutFilesSaySo) {
    const std::string whole = document(item("1", "111111")), empty = "el fichero está vacío",
                      cut = "el fichero está incompleto (se corta en la línea ",
                      nul = "El documento XML contiene caracteres no válidos (bytes NUL desde la "
                            "línea ";
    const struct {
        std::string xml, error;
    } cases[] = {{"", empty},
                 {"\r\n \n", empty},
                 {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n", empty},
                 {whole.substr(0, 20), cut + "1)"},
                 {whole.substr(0, whole.size() - 9), cut + "3)"},
                 {whole.substr(0, whole.size() - 3), cut + "4)"},
                 {whole.substr(0, 70), cut + "3)"},
                 {whole.substr(0, whole.size() - 3) + "o>\n", "Error en el documento XML: Opening"},
                 {whole + "<b>", "Error en el documento XML: Extra content"},
                 {std::string(100, '\0') + "\r\n", empty},
                 {whole + std::string(4, '\0'), nul + "5)"},
                 {whole.substr(0, 42) + '\0' + whole.substr(42), nul + "2)"},
                 // An error page saved in the data file's place.
                 {"<html><body>Error 500</body></html>", "no es un fichero de datos de Velantia"},
                 {"<?xml version=\"1.0\" encoding=\"bogus-enc\"?><datos/>",
                  "El documento XML declara una codificación de caracteres que no se admite "
                  "(«bogus-enc»)"}};
    for (const auto& c : cases)
        for (auto kind : {TipoFichero::Maestro, TipoFichero::Encuesta, TipoFichero::Precios}) {
            SCOPED_TRACE(c.xml);
            dir.write(Recibido + nombreXML(kind), c.xml);
            const std::string error =
                c.error.starts_with("E") ? c.error : nombreXML(kind) + ": " + c.error;
            EXPECT_EQ(convert(kind).error.substr(0, error.size()), error);
        }
}

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
          // A line end inside a received text would start a forged line of its own.
          {document(row({"1", "G", "1", "uno\ndos\r\nR009s&#13;&#10;P009 Otra", "1", "Si", ""})),
           true, "E1   G\r\nP1   uno dos R009s  P009 Otra\r\nR1   Si\r\n"},
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

// A long text stays whole; one beyond the parser's limit is refused. Other hostile documents are
// seeds of the fuzz replay.
class HostileXml : public Conversion {};
TEST_F(HostileXml, TextsKeepTheOutputFormats) {
    const std::string longText(3'000'000, 'L');
    ASSERT_TRUE(master(item("1", "111111", {{"titulo", longText}})).ok);
    EXPECT_NE(dir.read(Datos + "textos/000001.txt").find('"' + longText + '"'), std::string::npos);
    const auto huge = master(item("1", "111111", {{"titulo", std::string(12 << 20, 'T')}}));
    EXPECT_FALSE(huge.ok);
    EXPECT_TRUE(huge.error.starts_with("Error en el documento XML: ")) << huge.error;
}

// Windows-1252 under each of its names, also where libxml2 has no iconv (Windows).
TEST_F(Conversion, Cp1252UnderEachOfItsNames) {
    for (const char* name : {"windows-1252", "Windows-1252", "CP1252", "cp1252", "x-cp1252"}) {
        SCOPED_TRACE(name);
        dir.write(Recibido + "Maestro.xml", std::string("<?xml version=\"1.0\" encoding=\"") +
                                                name + "\"?>\n<maestro>" +
                                                item("1", "111111", {{"titulo", "\x80\x8C\x89"}}) +
                                                "</maestro>\n");
        const auto r = convert(TipoFichero::Maestro);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(dir.read(Datos + "textos/000001.txt").starts_with("\"\x80\x8C\x89\"\r\n"));
    }
}

// The converter program reaches a root named with letters only Windows-1252 has beyond Latin-1,
// which Windows' ANSI arguments would turn into others.
TEST(Converter, ConvertsUnderARootNamedWithEuroSigns) {
    TempDir dir;
    const fs::path root = dir.path() / fs::path(u8"euro\u20AC \u0152\u2030");
    writeBytes(root / Recibido / "Maestro.xml", document(item("1", "111111")));
    writeBytes(root / Recibido / "Encuesta.xml", document(row({"1", "G", "1", "P", "1", "R", ""})));
    writeBytes(root / Recibido / "Precios.xml", document(price("600001", "A", "1,00", "2,00")));
    vl::setEnvironment("VELANTIA_TODAY", Today);
    EXPECT_EQ(vltest::runProgram(VELANTIA_CONVERTIR, {vl::utf8Path(root)}), 0);
    vl::unsetEnvironment("VELANTIA_TODAY");
    for (const char* file : {"Velantia.txt", "Encuesta.txt", "productos.txt", "textos/000001.txt"})
        EXPECT_NE(readBytes(root / Datos / file), "<missing>") << file;
}

#ifndef _WIN32
// The received files of one generation: `items` master items sharing one text per three.
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
    writeBytes(root / (Recibido + "Maestro.xml"), document(master));
    writeBytes(root / (Recibido + "Encuesta.xml"), document(survey));
    writeBytes(root / (Recibido + "Precios.xml"), document(prices));
}

Tree part(Tree datos, bool master) {
    std::erase_if(datos, [&](const auto& e) {
        return (e.first == "Velantia.txt" || e.first.starts_with("textos/")) != master;
    });
    return datos;
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
        // What a window shows while the new master converts: it reaches 100, never going back.
        std::vector<int> seen;
        ASSERT_EQ(convertAll(root.path(), [&](int p) { seen.push_back(p); }), "ok");
        EXPECT_GE(seen.size(), 2u);
        EXPECT_TRUE(std::ranges::is_sorted(seen) && seen.back() == 100);
        newDatos = snapshotTree(root.path() / Datos);
        ASSERT_NE(part(oldDatos, true), part(newDatos, true));
        restoreOld();
    }
    void restoreOld() {
        fs::remove_all(root.path() / Datos);
        fs::copy(saved.path(), root.path() / Datos, fs::copy_options::recursive);
    }
    // After the recovery each file set is wholly old or wholly new, and nothing is left aside.
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
    // A write that failed for want of room: an error naming the full disk, the old files kept.
    void expectFullDisk(const std::optional<std::string>& message, const fs::path& datos) {
        ASSERT_TRUE(message.has_value());
        EXPECT_NE(message->find("disco está lleno"), std::string::npos) << *message;
        EXPECT_EQ(snapshotTree(datos), oldDatos) << *message;
    }
    Worker::End runWorker(const std::string& step, long long killAfterMicros = -1) {
        Worker w({VELANTIA_FAULT_WORKER, "convert", root.path().string(), step});
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

TEST_F(ConversionFaults, KilledAtEveryStepOfTheSwapAndAtRandomMoments) {
    // Only a kill before the marker leaves the old files.
    for (const char* step : {"swap:staged", "swap:marked", "swap:texts-aside", "swap:texts-in",
                             "swap:velantia-in", "swap:unmarked", "swap:discarding"}) {
        restoreOld();
        EXPECT_TRUE(runWorker(step).killed) << step << " never reached";
        expectWhole(step);
        EXPECT_EQ(part(snapshotTree(root.path() / Datos), true),
                  part(step == std::string("swap:staged") ? oldDatos : newDatos, true));
    }
    // The next conversion starts from whole files and completes; it spans the random kills.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(runWorker("-").exitCode, 0);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(snapshotTree(root.path() / Datos), newDatos);
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

// A full disk, as a file-size limit or a full tmpfs.
TEST_F(ConversionFaults, FullDiskKeepsTheOldFiles) {
    // Every new data file is longer than this; the texts are shorter.
    const fs::path r = root.path();
    expectFullDisk(runWithFileSizeLimit(120, [&] { return convertAll(r); }), r / Datos);
    EXPECT_TRUE(recoverDataFiles(Paths(r)));
    EXPECT_EQ(snapshotTree(r / Datos), oldDatos);
    TempDir mount, out;
    const fs::path mp = mount.path();
    const auto run = runOnFullTmpfs(r, mp, out.path(), 512 * 1024, [&] { return convertAll(mp); });
    if (!run.mounted) GTEST_SKIP() << "no tmpfs can be mounted here; the file-size limit passed";
    expectFullDisk(run.result, out.path() / Datos);
}
#else
TEST(ConversionFaults, KilledAtEveryStepOfTheSwapAndAtRandomMoments) {
    GTEST_SKIP() << "the kills are made with fork and SIGKILL, which Windows lacks";
}
TEST(ConversionFaults, FullDiskKeepsTheOldFiles) {
    GTEST_SKIP() << "a full disk is made with a file-size limit or a tmpfs, which Windows lacks";
}
#endif

struct ZipEntry {
    std::string name; // a folder when it ends in '/'
    std::string data;
    bool link = false; // stored with the Unix mode of a symbolic link
    std::time_t mtime = 0; // the entry's date; 0: when it was added
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
        const auto mode = (0120000u | 0777u) << 16; // S_IFLNK, also where the headers lack it
        ASSERT_EQ(e.link ? zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_UNIX, mode) : 0, 0);
        ASSERT_EQ(e.mtime ? zip_file_set_mtime(z, static_cast<zip_uint64_t>(i), e.mtime, 0) : 0, 0);
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
    std::error_code noLinks; // Windows without the right to make links: the rest still holds
    fs::create_symlink(outside / "intacto.txt", folder / "red.xml", noLinks);
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
#ifdef VELANTIA_ARCHIVERS_DIR
    // Under Wine no host program can be waited for: the build made them.
    for (const char* name : {"deflate", "stored", "bzip2", "lzma", "zip64", "twice"})
        fs::copy_file(fs::path(VELANTIA_ARCHIVERS_DIR) / name, dir.path() / name);
#else
    const fs::path script = fs::path(VELANTIA_SOURCE_DIR) / "tests/support/archivers.py";
    ASSERT_EQ(std::system(("python3 '" + script.string() + "' '" + dir.path().string() + "'").c_str()), 0);
#endif
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
        const char* reason = nullptr;
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
                 {zipOf({{"Maestro.xml", "1"}, {"MAESTRO.XML", ""}}), UnzipLimit, UnzipSameName, 0},
                 {zipOf({{"a/precios.xml", "1"}, {"b\\Precios.xml", ""}}), UnzipLimit,
                  UnzipSameName, 0,
                  "contiene dos ficheros con el mismo nombre: a/precios.xml y b\\Precios.xml"},
                 {dir.read("twice"), UnzipLimit, UnzipSameName, 0,
                  "contiene dos veces el fichero Maestro.xml"},
                 {zipOf(many), UnzipLimit, UnzipTooManyEntries, 0}};
    fs::remove(archive);
    empty();
    EXPECT_EQ(Unzip(archive, folder), UnzipNotAnArchive);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        empty();
        writeBytes(archive, c.bytes);
        std::string reason;
        EXPECT_EQ(Unzip(archive, folder, c.limit, &reason), c.result);
        EXPECT_EQ(snapshotTree(folder).size(), c.files);
        if (c.reason) {
            EXPECT_EQ(reason, c.reason);
        }
    }
}

// Each file keeps its entry's date, so the settings window tells when the data was made.
TEST_F(HostileZip, FilesKeepTheirEntryDates) {
    empty();
    const std::time_t made = 1700000000; // an even second, as the archive stores it
    zipOf({{"Precios.xml", "1", false, made}, {"Maestro.xml", "2", false, made - 86400}});
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    const auto date = [&](const char* name) {
        return std::chrono::system_clock::to_time_t(
            std::chrono::file_clock::to_sys(fs::last_write_time(folder / name)));
    };
    EXPECT_EQ(date("Precios.xml"), made);
    EXPECT_EQ(date("Maestro.xml"), made - 86400);
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

// Another conversion's lock, held by a thread of its own for the object's life.
struct HeldElsewhere {
    explicit HeldElsewhere(const fs::path& file)
        : t([this, file] {
              OsFileTryLock lock(file);
              ready.set_value(lock.locked());
              done.get_future().wait();
          }) {
        EXPECT_TRUE(ready.get_future().get());
    }
    ~HeldElsewhere() {
        done.set_value();
        t.join();
    }
    std::promise<bool> ready;
    std::promise<void> done;
    std::thread t;
};

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { waitForDataCleanup(); }
    // The new packages for the service; the received folder as an earlier run left it.
    void reset() {
        files.closeAll(); // Windows removes no file that is open
        waitForDataCleanup();
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
        cancelled = false;
        cancelAtRequest = requested = slowAfter = answered = 0;
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
        cb.transferState = [this](int s) {
            if (s == 5 && ++requested == cancelAtRequest) cancelled = true;
            if (s == 12 && ++answered == slowAfter) { // the service falls silent from here on
                service->setMode("delay", "12", 5);
                options.https.timeoutSeconds = 1;
            }
        };
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
    bool failed = false;
    int cancelAtRequest = 0, requested = 0, slowAfter = 0, answered = 0; // cancel at the nth
    UpdateOptions options;
    std::function<bool()> answerRetry;
    std::string said;
    std::optional<HeldElsewhere> held;
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
    EXPECT_EQ(got.statusText, "HTTP/1.1 200 OK");
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
        const char* logged = "";
        const char* end = nullptr; // the run log's end line; by default as `failed` says
    } cases[] = {
        {"prices fetched when there is no basea", [] {}, "fep", "", "555-"},
        {"prices not wanted", [&] { cfg.descargar_precios = "0"; }, "fep", "", "555-"},
        {"basea open, prices not wanted", [&] { withBasea(), cfg.descargar_precios = "0"; }, "fe",
         "", "557b"},
        {"basea open, prices wanted", withBasea, "fep", "", "555B"},
        {"silence, retry", retried, "ffep", silent, "555-"},
        {"silence, cancel: the earlier package", silence, "f", silent, "999-", "",
         "con error (código 1): Actualización cancelada: no hay respuesta del servidor"},
        {"silence at the prices, cancel: the survey's package has none",
         [&] { slowAfter = 2, root.write(Recibido + "Precios.xml", xml("9")[2].data); }, "fep",
         silent, "557-", "", "(código 1): Actualización cancelada: no hay respuesta"},
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
        {"an ERROR=3 page", [&] { fs::remove(farmacia); }, "f", fails.substr(1), "777-",
         "Maestro.xml: respuesta HTTP/1.1 200 OK\r\n"},
        {"an error status", [&] { startService("status"), service->setMode("status", "500"); },
         "f", fails.substr(1), "777-", "respuesta HTTP/1.1 500 Internal Server Error\r\n"},
        {"a package that cannot be unpacked says why", [&] { writeBytes(farmacia, lzma); }, "f",
         fails.substr(1) +
             "\nEl paquete recibido no se ha podido descomprimir: Maestro.xml usa el "
             "método de compresión 14 .LZMA., que este programa no puede leer",
         "777-"},
        {"a master that does not parse",
         [&] {
             makeZip(farmacia, {{"Maestro.xml", "<datos><item>"}});
         },
         "fep", "Maestro.xml: el fichero está incompleto .se corta en la línea 1.", "755-", "",
         "con error (código 1): Actualización completada con errores: "},
        {"a package without the step's file",
         [&] {
             makeZip(farmacia, {{"Otro.xml", "<a/>"}});
             root.write(Recibido + "Maestro.xml", xml("9")[0].data);
         },
         "fep",
         "El paquete recibido no contiene Maestro.xml .contiene: Otro.xml.; los datos "
         "anteriores se conservan.",
         "755-", "", "(código 1): Actualización completada con errores: El paquete recibido"},
        {"a package with one name twice",
         [&] { makeZip(farmacia, {xml("5")[0], {"sub/MAESTRO.XML", ""}}); }, "f",
         fails.substr(1) + "\nEl paquete recibido no se ha podido descomprimir: contiene dos "
                           "ficheros con el mismo nombre: Maestro.xml y sub/MAESTRO.XML",
         "777-",
         "Actualización terminada con error: No ha podido descargar el archivo Maestro. El"},
        {"another program converts",
         [&] { held.emplace(conversion::conversionLockPath(Paths(root.path()))); }, "",
         conversion::AnotherConversion, "777-", "",
         "con error (código 1): Actualización terminada con error: Los datos se están"},
        {"the survey step fails", [&] { fs::remove(zips.path() / "encuesta.zip"); }, "fe",
         "No ha podido descargar el archivo Encuesta", "577-"},
        {"a product master that cannot be written",
         [&] { fs::remove(productos), fs::create_directories(productos / "x"); }, "fep",
         ".+[/\\\\]datos[/\\\\]productos.txt: .+", "55--", "", "(código 1): Actualización completada con"},
        {"cancelled during the master request", [&] { cancelAtRequest = 1; }, "f", "", "577-",
         "", "Fin: Actualización cancelada\r\n"},
        {"cancelled during the last request", [&] { cancelAtRequest = 3; }, "fep", "", "555-",
         "", "Fin: Actualización cancelada\r\n"},
        {"cancelled before", [&] { cancelled = true; }, "", "", "777-", "",
         "Fin: Actualización cancelada\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        const Tree received = withoutPackage(snapshotTree(root.path() / Recibido));
        c.setup();
        if (!service) startService();
        files.OpenDataFiles();
        runlog::open(Paths(root.path()), "");
        const std::string told = run();
        held.reset();
        const int code = runlog::end(0);
        runlog::close();
        EXPECT_EQ(service->recordedQueries(), queries(c.steps));
        EXPECT_TRUE(std::regex_match(told, std::regex(c.said))) << told;
        const bool busy = told == conversion::AnotherConversion; // nothing was asked for
        EXPECT_EQ(failed, told.find("No ha podido") != std::string::npos || busy);
        EXPECT_EQ(data(), c.data);
        // Without basea there is nowhere to write prices: the setting goes off.
        EXPECT_EQ(cfg.descargar_precios, c.data[3] == 'B' || failed ? "1" : "0");
        // Stamped after every master conversion.
        EXPECT_EQ(root.read(Recibido + "actualizado.rec").ends_with("\r\n"),
                  told.find("archivo Maestro") == std::string::npos && !busy);
        if (failed && std::string(c.data) == "777-") {
            EXPECT_EQ(withoutPackage(snapshotTree(root.path() / Recibido)), received);
        }
        // The run log masks the password and says why a run ended.
        const std::string log =
            fromCp1252(runlog::readLog(runlog::logPath(Paths(root.path()), "")));
        EXPECT_EQ(log.find(ClaveInQuery), std::string::npos);
        EXPECT_EQ(log.find("&clave=***\r\n") == std::string::npos,
                  (c.data == "777-"s && !failed) || busy)
            << log;
        EXPECT_EQ(log.find("terminada con error: No ha podido") != std::string::npos,
                  failed && !c.end);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        // A run that did not go as it should never ends "sin errores".
        const std::string end = c.end ? c.end
                                : failed ? "con error (código 1): Actualización terminada con error"
                                         : "Fin: terminado sin errores\r\n";
        EXPECT_NE(log.find(end), std::string::npos) << log;
        EXPECT_EQ(code, end.find("código 1") != std::string::npos);
    }
}

// A received file whose conversion fails keeps the date of the one it replaced: the settings
// window must not show the old data as new.
TEST_F(UpdateRun, AFailedConversionKeepsTheReceivedDate) {
    using namespace std::chrono_literals;
    const auto old = fs::last_write_time(root.path() / (Recibido + "Maestro.xml")) - 72h;
    fs::last_write_time(root.path() / (Recibido + "Maestro.xml"), old);
    makeZip(zips.path() / "farmacia.zip", {{"Maestro.xml", "<datos><item>"}});
    startService();
    run();
    EXPECT_EQ(fs::last_write_time(root.path() / (Recibido + "Maestro.xml")), old);
    EXPECT_EQ(root.read(Recibido + "Maestro.xml"), "<datos><item>");
}

#ifdef _WIN32
// The old package held by a program that shares nothing (an antivirus scanning it): waited
// for, then said, the received files as they were.
TEST_F(UpdateRun, APackageAnotherProgramHoldsIsReportedAndNothingChanges) {
    startService();
    const Tree received = snapshotTree(root.path() / Recibido);
    const fs::path zip = root.path() / (Recibido + "Software.zip");
    HANDLE h = CreateFileW(zip.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run(), "No se puede guardar lo recibido: otro programa tiene abierto Software.zip (un "
                     "antivirus o una copia de seguridad). Los datos anteriores se conservan.\n"
                     "No ha podido descargar el archivo Maestro");
    CloseHandle(h);
    EXPECT_EQ(snapshotTree(root.path() / Recibido), received);
}
#endif

#ifndef _WIN32
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
#endif

} // namespace
