// The item file, the product master, an item's text and the pharmacy program's basea and basey,
// one of them (picked by the first byte) holding the rest of the input: every lookup stays
// inside the files, the pages are built, no file changes and no text outside datos\textos shows.
#include "common.h"

#include <algorithm>

#include "data/lookup.h"
#include "data/records.h"
#include "infopage/pages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    if (size == 0) return 0;
    // An item in force since 2024 that goes to the patient, with the text 000001.
    const std::string item = "1000001202401012024010100000000A1\r\n";
    const fs::path root = scratch() / "datos";
    resetFolder(root);
    // basey record 1 (codes 00001x): slots to basea 1, 2, past its end, beyond any file, below 1.
    std::pair<std::string, std::string> files[] = {
        {"Velantia/datos/Velantia.txt", "111111" + item + "222222" + item + "222222" + item},
        {"Velantia/datos/productos.txt",
         vl::ProductRecord::make("111111", "UNO", "1.00").bytes +
             vl::ProductRecord::make("222222", "DOS", "2.00").bytes},
        {"Velantia/datos/textos/000001.txt", "\"Aviso\"\r\n\"No <b>mezclar</b>\"\r\n\"\"\r\n"},
        {"orbal-5/basea",
         std::string("000010UNO").append(53, ' ') + "000011DOS" + std::string(53, ' ')},
        {"orbal-5/basey",
         std::string("000000000001000002999999999999999999-00001").append(86, ' ')}};
    const std::size_t pick = data[0] % 5;
    files[pick].second = asText(data + 1, size - 1);
    // basea and basey only when one of them is looked at; otherwise productos.txt is used.
    for (std::size_t f = 0; f < 5; ++f)
        if (f < 3 || pick >= 3) writeBytes(root / "quiroles" / files[f].first, files[f].second);
    // Where a forged text identifier ("../../", "00 001") could reach from datos\textos.
    for (const char* p : {"Velantia/.txt", "Velantia/datos/.txt", "Velantia/datos/textos/etc/p.txt",
                          "Velantia/datos/textos/00 001.txt"})
        writeBytes(root / "quiroles" / p, "\"FUERA\"\r\n\"FUERA\"\r\n");
    const auto before = snapshotTree(root);

    vl::DataFiles df{vl::Paths(root)};
    df.OpenDataFiles();
    vl::Watchdog dog([] {}); // a stuck loop is the runner's time-out
    for (const char* code : {"111111", "222222", "333333", "000010", "000011", "000012", "000013",
                             "000014", "999999", "00001\xFF"}) {
        const vl::ProductLookup p = vl::findProduct(df, code, dog);
        const vl::RecordFile& source = p.fromBase ? df.basea() : df.productos();
        check(!p.found() || p.recordNumber <= source.count(), "record past the end", code);
        for (const auto& it : vl::findItemRange(df, code, dog))
            check(it.code() == code, "item of another code", it.code());
        const vl::MedicinePages pages = vl::buildMedicinePages(df, code, "20240615", dog);
        check(pages.informa.find("FUERA") == std::string::npos &&
                  pages.imprime.find("FUERA") == std::string::npos,
              "text from outside datos\\textos");
        // A damaged text never costs its item the place on the page.
        if (pick == 2 && code == std::string("111111"))
            check(pages.shown == 1 && pages.printable, "item not shown");
    }
    df.closeAll();
    check(snapshotTree(root) == before, "a lookup changed a file");
    return 0;
}
