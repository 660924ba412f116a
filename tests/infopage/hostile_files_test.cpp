// Item text files that are damaged or hostile, and item records whose text identifier tries to
// name another file: the pages are still built and written, and only the texts of the received
// items are shown.
#include <gtest/gtest.h>

#include <filesystem>

#include "data/records.h"
#include "infopage/pages.h"
#include "support/hostile.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Today = "20240615";
const std::string Textos = "quiroles/Velantia/datos/textos/";

std::string item(const std::string& textId) {
    return InfoItemRecord::make("000016", "1", textId, "20240101", "20240101", "", "A", "1").bytes;
}

struct Root {
    vltest::TempDir dir;
    Root() {
        dir.write("quiroles/Velantia/datos/productos.txt",
                  ProductRecord::make("000016", "PARACETAMOL", "2.35").bytes);
        fs::create_directories(dir.path() / "quiroles/Velantia/htm3");
    }
    MedicinePages build() {
        DataFiles files{Paths(dir.path())};
        files.OpenDataFiles();
        Watchdog dog([] { ADD_FAILURE() << "watchdog fired"; });
        MedicinePages pages = buildMedicinePages(files, "000016", Today, dog);
        EXPECT_TRUE(writeMedicinePages(Paths(dir.path()), "3", pages));
        EXPECT_EQ(dir.read("quiroles/Velantia/htm3/Informa.htm"), pages.informa);
        return pages;
    }
};

TEST(HostileItemTexts, DamagedTextFilesStillGiveBothPages) {
    for (const auto& v :
         vltest::hostileVariants("\"Aviso\"\r\n\"No <b>mezclar</b>\"\r\n\"\"\r\n")) {
        SCOPED_TRACE(v.what);
        Root r;
        r.dir.write("quiroles/Velantia/datos/Velantia.txt", item("000001"));
        r.dir.write(Textos + "000001.txt", v.bytes);
        const MedicinePages pages = r.build();
        EXPECT_EQ(pages.shown, 1);
        EXPECT_TRUE(pages.printable);
        EXPECT_EQ(r.dir.read(Textos + "000001.txt"), v.bytes) << "reading changed the file";
    }
}

TEST(HostileItemTexts, IdentifiersThatAreNotSixDigitsNameNoFile) {
    Root r;
    // Files a forged identifier could reach from datos\textos.
    r.dir.write("quiroles/Velantia/.txt", "\"FUERA\"\r\n\"FUERA\"\r\n");
    r.dir.write("quiroles/Velantia/datos/.txt", "\"FUERA\"\r\n\"FUERA\"\r\n");
    r.dir.write(Textos + "etc/p.txt", "\"FUERA\"\r\n\"FUERA\"\r\n");
    r.dir.write(Textos + "00 001.txt", "\"FUERA\"\r\n\"FUERA\"\r\n");
    std::string items;
    for (const char* id : {"../../", "..\\..\\", "/etc/p", "00 001", "../.\0\0"})
        items += item(std::string(id, 6));
    r.dir.write("quiroles/Velantia/datos/Velantia.txt", items);
    const MedicinePages pages = r.build();
    EXPECT_EQ(pages.shown, 5);
    EXPECT_EQ(pages.informa.find("FUERA"), std::string::npos);
    EXPECT_EQ(pages.imprime.find("FUERA"), std::string::npos);
}

} // namespace
