// Prices go into the pharmacy program's basea only through a basey slot that names a complete
// record with the same code: slots past the end, out of range or at a torn last record change
// nothing, and basea never changes length.
#include <gtest/gtest.h>

#include "data/lookup.h"
#include "data/records.h"
#include "support/tempdir.h"
#include "update/convert.h"

using namespace vl;

namespace {

std::string baseRecord(const std::string& code, const std::string& price) {
    std::string r = code + std::string(30, 'N') + std::string(15, 'x') + price + "S\r\n";
    r.resize(BaseProductRecord::Length, ' ');
    return r;
}

TEST(HostileBasea, SlotsOutsideCompleteRecordsWriteNoPrice) {
    vltest::TempDir dir;
    // Two records and a torn third one whose first bytes carry a code.
    const std::string basea = baseRecord("100010", "    1.00") + baseRecord("100011", "    2.00") +
                              baseRecord("100014", "    3.00").substr(0, 40);
    dir.write("quiroles/orbal-5/basea", basea);
    // basey record 10001: slot 0 -> 1, 1 -> past the end, 2 -> beyond any file, 3 -> negative,
    // 4 -> the torn record 3, 5 -> not a number.
    std::string basey(10001 * BaseIndexRecord::Length, ' ');
    basey.replace(10000 * BaseIndexRecord::Length + 6, 36, "000001000500999999-00001000003ABCDEF");
    dir.write("quiroles/orbal-5/basey", basey);
    std::string xml = "<?xml version=\"1.0\"?>\n<datos>\n";
    for (const char* code : {"100010", "100011", "100012", "100013", "100014", "100015"})
        xml += std::string("<p><codigo_nacional>") + code +
               "</codigo_nacional><pvp_distribuidor>9,99</pvp_distribuidor></p>\n";
    dir.write("quiroles/Velantia/recibido/Precios.xml", xml + "</datos>\n");

    DataFiles files{Paths(dir.path())};
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());
    ConversionOptions o;
    o.today = "20240615";
    o.descargarPrecios = true;
    const ConversionResult r = ConvertirFichero(TipoFichero::Precios, Paths(dir.path()), &files, o);
    ASSERT_TRUE(r.ok) << r.error;
    files.closeAll();
    EXPECT_EQ(r.pricesWritten, 1u);
    std::string expected = basea;
    expected.replace(BaseProductRecord::PriceOffset, 8, "    9.99");
    EXPECT_EQ(dir.read("quiroles/orbal-5/basea"), expected);
}

} // namespace
