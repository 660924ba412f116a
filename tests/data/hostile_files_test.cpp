// The data files and the pharmacy program's product files, damaged, hostile or of a length
// that is not a whole number of records: every lookup stays inside the files, finds nothing
// it should not, and never writes.
#include <gtest/gtest.h>

#include <algorithm>

#include "data/lookup.h"
#include "support/hostile.h"
#include "support/tempdir.h"

using namespace vl;

namespace {

const std::string Velantia = "quiroles/Velantia/datos/Velantia.txt";
const std::string Productos = "quiroles/Velantia/datos/productos.txt";
const std::string Basea = "quiroles/orbal-5/basea";
const std::string Basey = "quiroles/orbal-5/basey";

std::string validVelantia() {
    std::string s;
    for (const char* code : {"111111", "222222", "222222", "333333"})
        s += InfoItemRecord::make(code, "1", "000001", "20240101", "20240101", "", "A", "1").bytes;
    return s;
}

std::string validProductos() {
    return ProductRecord::make("111111", "UNO", "1.00").bytes +
           ProductRecord::make("222222", "DOS", "2.00").bytes;
}

// basey record 1 (codes 00001x): slot 0 -> basea 1, slot 1 -> basea 2, slot 2 -> basea 999999
// (past the end), slot 3 -> a number too large for any file, slot 4 -> a negative number.
std::string validBasey() {
    std::string r = "000000000001000002999999999999999999-00001";
    r.resize(128, ' ');
    return r;
}

std::string validBasea() {
    std::string a = "000010UNO", b = "000011DOS";
    a.resize(62, ' ');
    b.resize(62, ' ');
    return a + b;
}

const char* const Codes[] = {"111111", "222222", "333333", "000010", "000011",
                             "000012", "000013", "000014", "999999", "00001\xFF"};

void lookEverywhere(vltest::TempDir& dir) {
    DataFiles files{Paths(dir.path())};
    files.OpenDataFiles();
    Watchdog dog([] { ADD_FAILURE() << "watchdog fired"; });
    for (const char* code : Codes) {
        SCOPED_TRACE(code);
        const ProductLookup p = findProduct(files, code, dog);
        const RecordFile& source = p.fromBase ? files.basea() : files.productos();
        if (p.found()) {
            EXPECT_LE(p.recordNumber, std::max<long long>(source.count(), 1));
        }
        for (const auto& item : findItemRange(files, code, dog))
            EXPECT_EQ(item.code(), std::string(code));
    }
}

TEST(HostileDataFiles, LookupsStayInsideAndNeverWrite) {
    struct File {
        std::string path, valid;
    } files[] = {{Velantia, validVelantia()},
                 {Productos, validProductos()},
                 {Basea, validBasea()},
                 {Basey, validBasey()}};
    for (const auto& f : files) {
        auto variants = vltest::hostileVariants(f.valid);
        // Lengths that are not a multiple of the record length.
        for (std::size_t cut : {std::size_t{1}, std::size_t{7}, f.valid.size() - 1}) {
            variants.push_back({"length " + std::to_string(cut), f.valid.substr(0, cut)});
            variants.push_back(
                {"length +" + std::to_string(cut), f.valid + f.valid.substr(0, cut)});
        }
        for (const auto& v : variants) {
            SCOPED_TRACE(f.path + ": " + v.what);
            vltest::TempDir dir;
            for (const auto& other : files)
                dir.write(other.path, other.path == f.path ? v.bytes : other.valid);
            lookEverywhere(dir);
            for (const auto& other : files)
                EXPECT_EQ(dir.read(other.path), other.path == f.path ? v.bytes : other.valid);
        }
    }
}

// basey slots that point past the end of basea, beyond any file size, or below 1.
TEST(HostileDataFiles, IndexSlotsOutsideBaseaFindNothing) {
    vltest::TempDir dir;
    dir.write(Basea, validBasea());
    dir.write(Basey, validBasey());
    DataFiles files{Paths(dir.path())};
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());
    Watchdog dog([] { ADD_FAILURE() << "watchdog fired"; });
    const std::pair<const char*, long long> cases[] = {
        {"000010", 1}, {"000011", 2}, {"000012", 0}, {"000013", 0}, {"000014", 0}};
    for (const auto& [code, n] : cases)
        EXPECT_EQ(findProduct(files, code, dog).recordNumber, n) << code;
    files.closeAll();
    EXPECT_EQ(dir.read(Basea), validBasea());
}

} // namespace
