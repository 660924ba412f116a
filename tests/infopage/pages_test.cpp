#include <gtest/gtest.h>

#include <filesystem>

#include "infopage/pages.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Today = "20240615";

const std::string Header = "<html>\r\n"
                           "<head>\r\n"
                           "<title>Velantia</title>\r\n"
                           "</head>\r\n"
                           "<body bgcolor='#ffffff' link='#336633' vlink='#666633' "
                           "text='#000000'  topmargin=0 leftmargin=10>\r\n"
                           "<a name=top></a>\r\n"
                           "\r\n";

const std::string ProductosInformaHeading =
    "<p align=left><font face='Arial' color=#000000 size=2><B>"
    "000016 PARACETAMOL 1G                          \r\n"
    "<br><br></B></font>\r\n";
const std::string ProductosImprimeHeading =
    "<p align=left><font face='Arial' color=#000000 size=2>Informaci\xF3n al paciente<br><br><B>"
    "000016 PARACETAMOL 1G                          <br><br></B></font>\r\n";
const std::string BaseInformaHeading =
    "<p align=left><font face='Arial' color=#000000 size=2><B>"
    "000016 PARACETAMOL BASE              <br><br></B></font>\r\n";
const std::string BaseImprimeHeading =
    "<p align=left><font face='Arial' color=#000000 size=2>Informaci\xF3n al paciente<br><br><B>"
    "000016 PARACETAMOL BASE              <br><br></B></font>\r\n";

const std::string NoInformation =
    "<td><br><font face='Verdana' color=#4d4d4d size=1>No existe informaci\xF3n asociada a este "
    "medicamento elaborada por los grupos de trabajo en Velantia del Kaprania</font></td>\r\n";

std::string item(const std::string& code, char level, const std::string& id,
                 const std::string& start, const std::string& end, char status, char print) {
    return code + level + id + "20240101" + start + end + status + print + "\r\n";
}

// A drive root with the data files under quiroles/, and the pharmacy program's files on demand.
class Pages : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("quiroles/Velantia/datos/productos.txt",
                  "000015" + std::string("OTRO").append(36, ' ') + "    1.00\r\n" + "000016" +
                      std::string("PARACETAMOL 1G").append(26, ' ') + "    2.35\r\n" + "000017" +
                      std::string("OTRO MAS").append(32, ' ') + "   10.00\r\n");
        dir.write("quiroles/Velantia/datos/textos/000001.txt",
                  "\"Aviso\"\r\n\"No <b>mezclar</b>, con alcohol\"\r\n\"anexa\"\r\n");
        dir.write("quiroles/Velantia/datos/textos/000002.txt",
                  "\"Dosis en ni\xF1os\"\r\n\"Texto\r\ndos\"\r\n\"\"\r\n");
        dir.write("quiroles/Velantia/datos/textos/000003.txt", "\"Verde\"\r\n\"Tres\"\r\n\"\"\r\n");
        fs::create_directories(dir.path() / "quiroles/Velantia/htm");
    }

    void writeItems(const std::string& lines) {
        dir.write("quiroles/Velantia/datos/Velantia.txt",
                  item("000015", '1', "000003", "20240101", "00000000", 'A', '1') + lines +
                      item("000017", '1', "000003", "20240101", "00000000", 'A', '1'));
    }

    // basey record 1, slot 6 -> basea record 1: the product of code 000016.
    void writeBase() {
        std::string index = "000000" + std::string(36, ' ') + "000001";
        index.resize(128, ' ');
        dir.write("quiroles/orbal-5/basey", index);
        dir.write("quiroles/orbal-5/basea",
                  "000016PARACETAMOL BASE              LABORATORIO X      1.95N\r\n");
    }

    MedicinePages build(const std::string& code, const std::string& today = Today) {
        DataFiles files{Paths(dir.path())};
        files.OpenDataFiles();
        Watchdog dog([] { ADD_FAILURE() << "watchdog fired"; },
                     [] { return Watchdog::Clock::time_point{}; });
        return buildMedicinePages(files, code, today, dog);
    }

    vltest::TempDir dir;
};

const std::string ThreeItems = item("000016", '1', "000001", "20240101", "00000000", 'A', '0') +
                               item("000016", '2', "000002", "        ", "        ", 'A', '1') +
                               item("000016", '3', "000003", "20240615", "20240615", 'A', '0');

const std::string ThreeCells = "<td>\r\n"
                               "<img src='..\\htm\\Red.jpg'>\r\n"
                               "<font face='Arial' color=#4d4d4d size=2><B>Aviso</B></font>\r\n"
                               "<br><font face='Verdana' color=#4d4d4d size=1>"
                               "No <b>mezclar</b>, con alcohol</font>\r\n"
                               "<br></td>\r\n"
                               "<td>\r\n"
                               "<img src='..\\htm\\Yelow.jpg'>\r\n"
                               "<font face='Arial' color=#4d4d4d size=2><B>Dosis en ni\xF1os</B>"
                               "<img src='..\\htm\\printer.jpg'></font>\r\n"
                               "<br><font face='Verdana' color=#4d4d4d size=1>Texto\r\n"
                               "dos</font>\r\n"
                               "<br></td>\r\n"
                               "<td>\r\n"
                               "<img src='..\\htm\\Green.jpg'>\r\n"
                               "<font face='Arial' color=#4d4d4d size=2><B>Verde</B></font>\r\n"
                               "<br><font face='Verdana' color=#4d4d4d size=1>Tres</font>\r\n"
                               "<br></td>\r\n";

const std::string PrintableCell =
    "<td><font face='Arial' color=#4d4d4d size=2><B>Dosis en ni\xF1os</B>"
    "<br><font face='Verdana' color=#4d4d4d size=1>Texto\r\n"
    "dos</font>\r\n"
    "<br></td>\r\n";

TEST_F(Pages, ThreeItemsOnePrintableFromProductos) {
    writeItems(ThreeItems);
    const MedicinePages p = build("000016");
    EXPECT_EQ(p.informa, Header + ProductosInformaHeading + ThreeCells);
    EXPECT_EQ(p.imprime, Header + ProductosImprimeHeading + PrintableCell);
    EXPECT_TRUE(p.productFound);
    EXPECT_EQ(p.shown, 3);
    EXPECT_TRUE(p.printable);
    EXPECT_TRUE(p.label13Visible);
    EXPECT_EQ(p.label14, "PVP:     2.35");
}

TEST_F(Pages, ThreeItemsOnePrintableFromPharmacyFiles) {
    writeItems(ThreeItems);
    writeBase();
    const MedicinePages p = build("000016");
    EXPECT_EQ(p.informa, Header + BaseInformaHeading + ThreeCells);
    EXPECT_EQ(p.imprime, Header + BaseImprimeHeading + PrintableCell);
    EXPECT_EQ(p.shown, 3);
    EXPECT_TRUE(p.printable);
    EXPECT_EQ(p.label14, "");
}

TEST_F(Pages, NothingInForceGivesTheNoInformationLine) {
    writeItems(item("000016", '1', "000001", "20240101", "20240614", 'A', '1') +
               item("000016", '2', "000002", "20240101", "00000000", 'B', '1') +
               item("000016", '3', "000003", "20240616", "00000000", 'A', '1'));
    const MedicinePages p = build("000016");
    EXPECT_EQ(p.informa, Header + ProductosInformaHeading + NoInformation);
    EXPECT_EQ(p.imprime, Header + ProductosImprimeHeading);
    EXPECT_EQ(p.shown, 0);
    EXPECT_FALSE(p.printable);
    EXPECT_FALSE(p.label13Visible);
    EXPECT_EQ(p.label14, "PVP:     2.35");
}

TEST_F(Pages, ProductWithoutItemsGivesTheNoInformationLine) {
    writeItems("");
    EXPECT_EQ(build("000016").informa, Header + ProductosInformaHeading + NoInformation);
}

TEST_F(Pages, UnknownAlertLevelHasNoImage) {
    writeItems(item("000016", '4', "000003", "20240101", "00000000", 'A', '0') +
               item("000016", ' ', "000003", "20240101", "00000000", 'A', '0'));
    const std::string cell = "<td>\r\n"
                             "<font face='Arial' color=#4d4d4d size=2><B>Verde</B></font>\r\n"
                             "<br><font face='Verdana' color=#4d4d4d size=1>Tres</font>\r\n"
                             "<br></td>\r\n";
    EXPECT_EQ(build("000016").informa, Header + ProductosInformaHeading + cell + cell);
}

TEST_F(Pages, MissingTextFileShowsTheItemEmpty) {
    writeItems(item("000016", '1', "000009", "20240101", "00000000", 'A', '1'));
    const MedicinePages p = build("000016");
    EXPECT_EQ(p.informa, Header + ProductosInformaHeading +
                             "<td>\r\n"
                             "<img src='..\\htm\\Red.jpg'>\r\n"
                             "<font face='Arial' color=#4d4d4d size=2><B></B>"
                             "<img src='..\\htm\\printer.jpg'></font>\r\n"
                             "<br><font face='Verdana' color=#4d4d4d size=1></font>\r\n"
                             "<br></td>\r\n");
    EXPECT_EQ(p.imprime, Header + ProductosImprimeHeading +
                             "<td><font face='Arial' color=#4d4d4d size=2><B></B>"
                             "<br><font face='Verdana' color=#4d4d4d size=1></font>\r\n"
                             "<br></td>\r\n");
    EXPECT_EQ(p.shown, 1);
}

TEST_F(Pages, ItemSelectionByDate) {
    struct Case {
        const char* what;
        std::string start, end;
        char status;
        int shown;
    };
    const Case cases[] = {
        {"starts tomorrow", "20240616", "00000000", 'A', 0},
        {"starts today", "20240615", "00000000", 'A', 1},
        {"blank start", "        ", "00000000", 'A', 1},
        {"ended yesterday", "20240101", "20240614", 'A', 0},
        {"ends today", "20240101", "20240615", 'A', 1},
        {"end of zeros", "20200101", "00000000", 'A', 1},
        {"blank end", "20200101", "        ", 'A', 1},
        {"withdrawn", "20200101", "00000000", 'B', 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeItems(item("000016", '1', "000001", c.start, c.end, c.status, '0'));
        const MedicinePages p = build("000016");
        EXPECT_EQ(p.shown, c.shown);
        EXPECT_EQ(p.label13Visible, c.shown > 0);
    }
}

TEST_F(Pages, UnknownCodeStillGetsItsPages) {
    struct Case {
        const char* what;
        bool base;
        std::string code;
    };
    const Case cases[] = {
        {"not in productos.txt", false, "000099"},
        {"empty basey slot", true, "000019"},
        {"first five digits zero", true, "000006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeItems(item(c.code, '1', "000001", "20240101", "00000000", 'A', '1'));
        if (c.base) writeBase();
        const MedicinePages p = build(c.code);
        const std::string note = "<td><br><font face='Verdana' color=#4d4d4d size=1>No se ha "
                                 "encontrado el medicamento con este c\xF3"
                                 "digo nacional.</font></td>\r\n";
        EXPECT_EQ(p.informa, Header + "<p align=left><font face='Arial' color=#000000 size=2><B>" +
                                 c.code + "<br><br></B></font>\r\n" + note);
        EXPECT_EQ(p.imprime, Header +
                                 "<p align=left><font face='Arial' color=#000000 size=2>"
                                 "Informaci\xF3n al paciente<br><br><B>" +
                                 c.code + "<br><br></B></font>\r\n" + note);
        EXPECT_FALSE(p.productFound);
        EXPECT_EQ(p.shown, 0);
        EXPECT_FALSE(p.printable);
        EXPECT_FALSE(p.label13Visible);
        EXPECT_EQ(p.label14, "");
    }
}

TEST_F(Pages, WritesIntoTheTerminalFolder) {
    struct Case {
        std::string digit, folder;
    };
    const Case cases[] = {{"", "htm"}, {"3", "htm3"}};
    MedicinePages p;
    p.informa = "complete\r\n";
    p.imprime = "patient\r\n";
    const Paths paths(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const fs::path folder = dir.path() / "quiroles/Velantia" / c.folder;
        fs::create_directories(folder);
        ASSERT_TRUE(writeMedicinePages(paths, c.digit, p));
        EXPECT_EQ(vltest::readBytes(folder / "Informa.htm"), "complete\r\n");
        EXPECT_EQ(vltest::readBytes(folder / "imprime.htm"), "patient\r\n");
        EXPECT_EQ(completePage(paths, c.digit), folder / "Informa.htm");
        EXPECT_EQ(patientPage(paths, c.digit), folder / "imprime.htm");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
    }
    EXPECT_EQ(emptyPage(paths), dir.path() / "quiroles/Velantia/htm/vacia.htm");
}

TEST_F(Pages, ReplacesAPageSpelledOtherwise) {
    const fs::path folder = dir.path() / "quiroles/Velantia/htm5";
    dir.write("quiroles/Velantia/htm5/INFORMA.HTM", "old page, longer than the new one");
    MedicinePages p;
    p.informa = "new";
    ASSERT_TRUE(writeMedicinePages(Paths(dir.path()), "5", p));
    EXPECT_EQ(vltest::readBytes(folder / "INFORMA.HTM"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

TEST_F(Pages, MissingFolderFails) {
    EXPECT_FALSE(writeMedicinePages(Paths(dir.path()), "7", MedicinePages{}));
}

TEST(ReadItemTexts, QuoteDelimitedFields) {
    struct Case {
        const char* what;
        std::string bytes, title, text;
    };
    const Case cases[] = {
        {"as written", "\"T\"\r\n\"X\"\r\n\"A\"\r\n", "T", "X"},
        {"blanks and line ends first", "  \r\n\t\"T\"  \r\n\r\n  \"X\"", "T", "X"},
        {"comma and line end inside quotes", "\"a, b\r\nc\"\r\n\"d\"", "a, b\r\nc", "d"},
        {"junk after the closing quote", "\"T\" junk\r\n\"X\"", "T", "X"},
        {"comma separates", "\"T\",\"X\"", "T", "X"},
        {"bare fields", "bare title  \r\nbare text\r\n", "bare title  ", "bare text"},
        {"bare field ends at a comma", "one,two,three", "one", "two"},
        {"unterminated quote", "\"T\r\nrest", "T\r\nrest", ""},
        {"empty quoted title", "\"\"\r\n\"X\"", "", "X"},
        {"single field", "\"T\"\r\n", "T", ""},
        {"empty file", "", "", ""},
        {"cp1252 kept", "\"Ni\xF1o \x80\"\r\n\"<i>x</i>\"", "Ni\xF1o \x80", "<i>x</i>"},
    };
    vltest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto [title, text] = readItemTexts(dir.write("t.txt", c.bytes));
        EXPECT_EQ(title, c.title);
        EXPECT_EQ(text, c.text);
    }
}

TEST(ReadItemTexts, MissingFileGivesEmptyTexts) {
    vltest::TempDir dir;
    const auto [title, text] = readItemTexts(dir.path() / "000001.txt");
    EXPECT_EQ(title, "");
    EXPECT_EQ(text, "");
}

} // namespace
