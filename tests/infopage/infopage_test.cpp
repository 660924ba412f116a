#include <gtest/gtest.h>

#include "infopage/navigation.h"
#include "infopage/pages.h"
#include "support/golden.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

// A Velantia.txt record, in force from 2024-01-01 and never ending unless told otherwise.
std::string item(const std::string& code, char level, const std::string& id, char print,
                 const std::string& start = "20240101", const std::string& end = "00000000",
                 char status = 'A') {
    return code + level + id + "20240101" + start + end + status + print + "\r\n";
}

// A drive root with the data files under quiroles/, and the pharmacy program's files on demand.
class Pages : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("quiroles/Velantia/datos/productos.txt",
                  ProductRecord::make("000015", "OTRO", "1.00").bytes +
                      ProductRecord::make("000016", "PARACETAMOL 1G", "2.35").bytes +
                      ProductRecord::make("000017", "OTRO MAS", "10.00").bytes);
        dir.write("quiroles/Velantia/datos/textos/000001.txt",
                  "\"Aviso\"\r\n\"No <b>mezclar</b>, con alcohol\"\r\n\"anexa\"\r\n");
        dir.write("quiroles/Velantia/datos/textos/000002.txt",
                  "\"Dosis en ni\xF1os\"\r\n\"Texto\r\ndos\"\r\n\"\"\r\n");
        dir.write("quiroles/Velantia/datos/textos/000003.txt", "\"Verde\"\r\n\"Tres\"\r\n\"\"\r\n");
        fs::create_directories(dir.path() / "quiroles/Velantia/htm");
    }
    vltest::TempDir dir;
    Watchdog dog{[] { ADD_FAILURE() << "watchdog fired"; },
                 [] { return Watchdog::Clock::time_point{}; }};
};

// Each case's two pages are golden files: <name>-informa.htm and <name>-imprime.htm.
TEST_F(Pages, BuiltByteForByte) {
    const std::string threeItems = item("000016", '1', "000001", '0') +
                                   item("000016", '2', "000002", '1', "        ", "        ") +
                                   item("000016", '3', "000003", '0', "20240615", "20240615");
    struct Case {
        const char* name;
        std::string items;
        bool base;
        const char* code;
        const char* outcome; // shown, printable, label 13, product found | label 14
    } cases[] = {
        {"productos", threeItems, false, "000016", "3PLF|PVP:     2.35"},
        {"basea", threeItems, true, "000016", "3PLF|"},
        {"nothing-in-force",
         item("000016", '1', "000001", '1', "20240101", "20240614") +
             item("000016", '2', "000002", '1', "20240101", "00000000", 'B') +
             item("000016", '3', "000003", '1', "20240616"),
         false, "000016", "0--F|PVP:     2.35"},
        {"nothing-in-force", "", false, "000016", "0--F|PVP:     2.35"},
        {"unknown-level", item("000016", '4', "000003", '0') + item("000016", ' ', "000003", '0'),
         false, "000016", "2-LF|PVP:     2.35"},
        {"missing-text", item("000016", '1', "000009", '1'), false, "000016", "1PLF|PVP:     2.35"},
        // An unknown code still gets its own pages: not in productos.txt, an empty basey slot,
        // first five digits zero.
        {"unknown-000099", item("000099", '1', "000001", '1'), false, "000099", "0---|"},
        {"unknown-000019", item("000019", '1', "000001", '1'), true, "000019", "0---|"},
        {"unknown-000006", item("000006", '1', "000001", '1'), true, "000006", "0---|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("quiroles/Velantia/datos/Velantia.txt", item("000015", '1', "000003", '1') +
                                                              c.items +
                                                              item("000017", '1', "000003", '1'));
        // basey record 1, slot 6 -> basea record 1: the product of code 000016.
        dir.write("quiroles/orbal-5/basey",
                  c.base ? ("000000" + std::string(36, ' ') + "000001").append(80, ' ') : "");
        dir.write("quiroles/orbal-5/basea",
                  "000016PARACETAMOL BASE              LABORATORIO X      1.95N\r\n");
        if (!c.base) fs::remove(dir.path() / "quiroles/orbal-5/basey");
        DataFiles files{Paths(dir.path())};
        files.OpenDataFiles();
        const MedicinePages p = buildMedicinePages(files, c.code, "20240615", dog);
        vltest::expectGolden(std::string("infopage/") + c.name + "-informa.htm", p.informa);
        vltest::expectGolden(std::string("infopage/") + c.name + "-imprime.htm", p.imprime);
        EXPECT_EQ(std::to_string(p.shown) + (p.printable ? "P" : "-") +
                      (p.label13Visible ? "L" : "-") + (p.productFound ? "F" : "-") + "|" +
                      p.label14,
                  c.outcome);
    }
}

// Another terminal's update swaps the texts, then Velantia.txt: the next medicine reads the new
// pair; a swap found half done is waited for, or said, never old items shown over new texts.
TEST_F(Pages, AnotherTerminalsUpdateIsSeenWholeAtTheNextMedicine) {
    const fs::path datos = dir.path() / "quiroles/Velantia/datos";
    dir.write("quiroles/Velantia/datos/Velantia.txt", item("000016", '1', "000001", '0'));
    DataFiles files{Paths(dir.path())};
    files.OpenDataFiles();
    const auto finishSwap = [&] {
        fs::rename(datos / "Velantia.txt.~nuevo", datos / "Velantia.txt");
        fs::remove(datos / SwapMarkerName);
        fs::remove_all(datos / "textos.~viejo");
    };
    int waits = 0, finish = 0; // the swap ends: 0 before the lookup, 1 while it waits, 2 never
    files.setSwapWait([&](int round) {
        ++waits;
        if (finish == 1) finishSwap();
        return finish == 1 || round < 2;
    });
    const std::tuple<const char*, const char*, int, const char*> rows[] = {
        {"", "", 0, "0 Aviso"},
        {"000004", "Nuevo", 0, "0 Nuevo"},
        {"000005", "Otro", 1, "1 Otro"},
        {"000006", "Tercero", 2, "3 actualizando"}};
    for (const auto& [id, title, ends, expected] : rows) {
        if (*id) { // the update's staging, its marker, the texts swapped first
            dir.write("quiroles/Velantia/datos/textos.~nuevo/" + std::string(id) + ".txt",
                      "\"" + std::string(title) + "\"\r\n");
            dir.write("quiroles/Velantia/datos/Velantia.txt.~nuevo", item("000016", '1', id, '0'));
            dir.write("quiroles/Velantia/datos/" + std::string(SwapMarkerName), "");
            fs::rename(datos / "textos", datos / "textos.~viejo");
            fs::rename(datos / "textos.~nuevo", datos / "textos");
            finish = ends;
            if (ends == 0) finishSwap();
        }
        const std::string page = buildMedicinePages(files, "000016", "20240615", dog).informa;
        std::string got = std::to_string(std::exchange(waits, 0));
        for (const char* t : {"Aviso", "Nuevo", "Otro", "Tercero", "actualizando"})
            if (page.find(t) != std::string::npos) got += std::string(" ") + t;
        EXPECT_EQ(got, expected);
    }
}

// A new page takes the program's spelling; an old one spelled otherwise is replaced whole.
TEST_F(Pages, WrittenIntoTheTerminalFolder) {
    const Paths paths(dir.path());
    const fs::path folder = dir.path() / "quiroles/Velantia/htm3";
    dir.write("quiroles/Velantia/htm3/IMPRIME.HTM", "old page, longer than the new one");
    MedicinePages p;
    p.informa = "complete\r\n";
    p.imprime = "patient\r\n";
    ASSERT_TRUE(writeMedicinePages(paths, "3", p));
    EXPECT_EQ(completePage(paths, "3"), folder / "Informa.htm");
    EXPECT_EQ(patientPage(paths, "3"), folder / "IMPRIME.HTM");
    EXPECT_EQ(vltest::readBytes(folder / "Informa.htm") + vltest::readBytes(folder / "IMPRIME.HTM"),
              "complete\r\npatient\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2);
    EXPECT_EQ(emptyPage(paths), dir.path() / "quiroles/Velantia/htm/vacia.htm");
    EXPECT_FALSE(writeMedicinePages(paths, "7", p)); // no such folder
}

TEST(ReadItemTexts, QuoteDelimitedFields) {
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"\"T\"\r\n\"X\"\r\n\"A\"\r\n", "T", "X"},
        {"  \r\n\t\"T\"  \r\n\r\n  \"X\"", "T", "X"}, // blanks and line ends first
        {"\"a, b\r\nc\"\r\n\"d\"", "a, b\r\nc", "d"}, // comma and line end inside quotes
        {"\"T\" junk\r\n\"X\"", "T", "X"},            // junk after the closing quote
        {"\"T\",\"X\"", "T", "X"},
        {"bare title  \r\nbare text\r\n", "bare title  ", "bare text"},
        {"one,two,three", "one", "two"},
        {"\"T\r\nrest", "T\r\nrest", ""}, // unterminated quote
        {"\"\"\r\n\"X\"", "", "X"},
        {"\"T\"\r\n", "T", ""},
        {"", "", ""},
        {"\"Ni\xF1o \x80\"\r\n\"<i>x</i>\"", "Ni\xF1o \x80", "<i>x</i>"},
    };
    vltest::TempDir dir;
    for (const auto& [bytes, title, text] : cases)
        EXPECT_EQ(readItemTexts(dir.write("t.txt", bytes)), std::pair(title, text)) << bytes;
    EXPECT_EQ(readItemTexts(dir.path() / "000001.txt"), std::pair(std::string(), std::string()));
}

// Button index (0 next, 1 previous) at current/count -> where it leaves the medicine, whether
// it is shown again, the buttons that stay enabled, and which one takes the focus.
TEST(Navigate, MovesAndSetsButtons) {
    const std::tuple<int, int, int, const char*> cases[] = {
        // two medicines, at the first: next shows the second and hands the focus back
        {0, 1, 2, "Medicamento 2/2 shown -P focus 1"},
        {0, 2, 2, "Medicamento 2/2 -P focus 1"},
        {1, 2, 2, "Medicamento 1/2 shown N- focus 0"},
        {1, 1, 2, "Medicamento 1/2 N- focus 0"},
        {0, 1, 3, "Medicamento 2/3 shown NP focus -1"},
        // a single medicine: nowhere to go, nothing to give the focus to
        {0, 1, 1, "Medicamento 1/1 -- focus -1"},
        {1, 1, 1, "Medicamento 1/1 -- focus -1"},
        // no medicine: the keys still reach the handler
        {0, 0, 0, "Medicamento 0/0 -P focus 1"},
        {1, 0, 0, "Medicamento 0/0 -P focus -1"},
    };
    for (const auto& [index, current, count, expected] : cases) {
        int cur = current;
        bool shown = true; // cleared unless the medicine changes
        const NavState s = navigate(index, cur, count, shown);
        EXPECT_EQ(s.label2 + (shown ? " shown " : " ") + (s.nextEnabled ? "N" : "-") +
                      (s.prevEnabled ? "P" : "-") + " focus " + std::to_string(s.focus),
                  expected)
            << index << " at " << current << "/" << count;
        EXPECT_EQ(positionLabel(cur, count), s.label2);
    }
    for (const auto& [current, count, next] :
         {std::tuple{0, 0, false}, {1, 1, false}, {1, 2, true}}) {
        const NavState s = deferredStartState(current, count);
        EXPECT_EQ(std::tuple(s.nextEnabled, s.prevEnabled, s.focus), std::tuple(next, false, -1))
            << current << "/" << count;
    }
}

} // namespace
