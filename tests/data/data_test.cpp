#include <gtest/gtest.h>

#include "core/runlog.h"
#include "data/lookup.h"
#include "data/recordfile.h"
#include "data/records.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

TEST(Records, MakeLaysOutFieldsByteExact) {
    using I = InfoItemRecord;
    // Short values blank-padded on the right, long ones keep their leftmost characters.
    EXPECT_EQ(
        I::make("12", "", "7", "", "", "0", "", "").bytes +
            I::make("1234567", "23", "0000071", "202401019", "202401029", "2024123199", "AB", "10")
                .bytes,
        "12     7                     0         \r\n"
        "1234562000007202401012024010220241231A1\r\n");
    const std::string d40(40, 'd');
    EXPECT_EQ(ProductRecord::make("123456", "ASPIRINA", "3.5").bytes +
                  ProductRecord::make("1234567", d40 + "xyz", "123456789").bytes,
              "123456ASPIRINA" + std::string(32, ' ') + "     3.5\r\n123456" + d40 +
                  "12345678\r\n");
    // A short source reads blank to the record length, a long one is cut.
    EXPECT_EQ(ProductRecord::fromBytes("12").bytes, "12" + std::string(54, ' '));
    EXPECT_EQ(BaseProductRecord::fromBytes(std::string(70, 'x')).bytes, std::string(62, 'x'));

    const std::pair<std::string, long long> slots[] = {
        {"000012", 12}, {"     7", 7}, {"  12  ", 12}, {"999999", 999999},        {"      ", 0},
        {"000000", 0},  {"ABC123", 0}, {"-00005", 0},  {std::string(6, '\0'), 0},
    };
    for (const auto& [text, expected] : slots) {
        auto index = BaseIndexRecord::fromBytes("      000001000002000003" + text + "000005");
        EXPECT_EQ(index.slot(3), expected) << '"' << text << '"'; // slot 3: bytes 25 to 30
        EXPECT_EQ(std::tuple(index.slot(0), index.slot(4), index.slot(-1), index.slot(10)),
                  std::tuple(1, 5, 0, 0));
    }
}

TEST(RecordFile, CreatesOnlyWhenAskedReadsBlankPastTheEndAndWritesPaddedWithNul) {
    vltest::TempDir dir;
    RecordFile f;
    EXPECT_FALSE(f.open(dir.path() / "basea", 62, RecordFile::Create::Never));
    EXPECT_FALSE(f.open(dir.path(), 41));
    ASSERT_TRUE(f.open(dir.write("f", std::string("abcdefg\0h\r\n", 11) + "xyz"), 4,
                       RecordFile::Create::Never));
    EXPECT_EQ(f.count(), 3); // 14 bytes: the short tail is no record
    std::string got;
    for (long long n : {1, 2, 3, 4, 5, 1000000, 0, -1, 2})
        got += f.read(n) + "|";
    // The short last record's missing tail reads blank; reads after the end still work.
    EXPECT_EQ(got, std::string("abcd|efg\0|h\r\nx|yz  |    |    |    |    |efg\0|", 45));

    const auto p = dir.path() / "r";
    ASSERT_TRUE(f.open(p, 5));
    EXPECT_EQ(fs::file_size(p), 0u);
    EXPECT_TRUE(f.write(2, "ab"));
    EXPECT_TRUE(f.write(1, "1234567"));
    EXPECT_FALSE(f.write(0, "x"));
    // Flushed: another reader sees the bytes without closing the file.
    EXPECT_EQ(vltest::readBytes(p), std::string("12345ab\0\0\0", 10));
    // Another terminal's handle extends the file: counted and read on the next call.
    RecordFile other;
    ASSERT_TRUE(other.open(p, 5, RecordFile::Create::Never));
    EXPECT_TRUE(other.write(3, "ZZZZZ"));
    EXPECT_EQ(f.count(), 3);
    EXPECT_EQ(f.read(3), "ZZZZZ");
    f.close();
    EXPECT_FALSE(f.write(1, "x"));
}

const std::string Velantia = "quiroles/Velantia/datos/Velantia.txt";
const std::string Productos = "quiroles/Velantia/datos/productos.txt";
const std::string Basea = "quiroles/orbal-5/basea";
const std::string Basey = "quiroles/orbal-5/basey";

struct Never {};

class Lookup : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string items, products;
        for (const char* r : {"111111000001", "222222000002", "222222000003", "222222000004",
                              "333333000005", "444444000006", "999999000007"})
            items += InfoItemRecord::make(std::string(r, 6), "1", r + 6, "20240101", "20240101", "",
                                          "A", "0")
                         .bytes;
        for (const char* p :
             {"100001PRIMERO", "200002SEGUNDO", "300003TERCERO", "400004CUARTO", "50000aMINUSCULA"})
            products += ProductRecord::make(std::string(p, 6), p + 6, "1.00").bytes;
        dir.write(Velantia, items);
        dir.write(Productos, products);
    }
    // basey: 6 leading bytes, then ten slots of a record number in basea.
    void writeBase() {
        dir.write(Basea, "000010UNO" + std::string(53, ' ') + "000011DOS" + std::string(53, ' ') +
                             "000014TRES" + std::string(52, ' '));
        dir.write(Basey, ("      000001000002      000004000003" + std::string(92, ' ')) +
                             "      000000" + std::string(116, ' '));
    }
    DataFiles open() {
        DataFiles files{Paths(dir.path())};
        files.OpenDataFiles();
        return files;
    }

    vltest::TempDir dir;
    Watchdog dog{[] { throw Never{}; }};
};

TEST_F(Lookup, ProductsBySearchOrThroughTheBaseIndex) {
    auto files = open();
    ASSERT_FALSE(files.BaseFilesOpen());
    const std::pair<const char*, long long> products[] = {
        {"100001", 1}, {"300003", 3}, {"400004", 4}, {"50000a", 5}, // first, middle, last
        {"000000", 0}, {"250000", 0}, {"999999", 0}, {"50000A", 0}, // case matters
        {"10000", 0},  {"1000011", 0}};
    for (const auto& [code, n] : products) {
        const auto r = findProduct(files, code, dog);
        EXPECT_EQ(r.recordNumber, n) << code;
        EXPECT_TRUE(!r.fromBase && (n == 0 || r.product.code() == code)) << code;
    }
    writeBase();
    files.OpenDataFiles();
    ASSERT_TRUE(files.BaseFilesOpen());
    const std::pair<const char*, long long> base[] = {
        {"000010", 1}, {"000011", 2}, {"000014", 3}, // slot 4 holds the last basea record
        {"000012", 0},                               // empty slot
        {"000013", 0},                               // slot points past the end of basea
        {"000020", 0},                               // slot of zeros
        {"000005", 0},                               // first five digits "00000"
        {"000035", 0},                               // basey record past its end
        {"00001X", 0}, // no digit: slot 0, whose record is another code's
    };
    for (const auto& [code, n] : base) {
        const auto r = findProduct(files, code, dog);
        EXPECT_EQ(r.recordNumber, n) << code;
        EXPECT_EQ(r.found(), r.fromBase) << code;
    }
    // No check that the basea code matches: the slot decides.
    EXPECT_EQ(findProduct(files, "000014", dog).heading(), "000014 TRES" + std::string(26, ' '));
}

TEST_F(Lookup, ItemRangeStartsAtTheFirstRecordOfTheCode) {
    auto files = open();
    // With seven records the first probe is record 4, the third of the three "222222".
    EXPECT_EQ(binarySearchCode(files.velantia(), "222222", dog), 4);
    // Reads: the search's probes, then one for the whole run.
    const std::tuple<const char*, std::string, int> cases[] = {
        {"111111", "000001 ", 3 + 1}, // only in record 1: the step back stops there
        {"222222", "000002 000003 000004 ", 1 + 1},
        {"999999", "000007 ", 3 + 1}, // last record
        {"300003", "", 3},
        {"000000", "", 3}};
    for (const auto& [code, ids, reads] : cases) {
        std::string got;
        const long long before = files.velantia().readsDone();
        for (const auto& r : findItemRange(files, code, dog))
            got += r.textId() + " ";
        EXPECT_EQ(got, ids) << code;
        EXPECT_EQ(files.velantia().readsDone() - before, reads) << code;
    }
}

// Runs longer than one read's block, found at either end or in the middle of theirs.
TEST_F(Lookup, LongItemRangesWhole) {
    std::string items; // 40 records of 111111, 70 of 222222, 40 of 333333
    for (int i = 0; i < 150; ++i)
        items += InfoItemRecord::make(std::string(6, char('1' + (i >= 40) + (i >= 110))), "1",
                                      std::to_string(100000 + i), "", "", "", "A", "0")
                     .bytes;
    dir.write(Velantia, items);
    auto files = open();
    for (const auto& [code, expected] : {std::pair{"111111", "100000-100039 40"},
                                         {"222222", "100040-100109 70"},
                                         {"333333", "100110-100149 40"}}) {
        const auto r = findItemRange(files, code, dog);
        ASSERT_FALSE(r.empty()) << code;
        EXPECT_EQ(r.front().textId() + "-" + r.back().textId() + " " + std::to_string(r.size()),
                  expected);
    }
}

// Either base file missing, at start-up or at a reopen: the products file, never nothing.
TEST_F(Lookup, FallsBackToProductsWhileEitherBaseFileIsMissing) {
    for (const std::string& missing : {Basea, Basey}) {
        writeBase();
        auto files = open();
        fs::remove(dir.path() / missing);
        files.OpenDataFiles();
        EXPECT_FALSE(files.BaseFilesOpen()) << missing;
        EXPECT_FALSE(fs::exists(dir.path() / missing)) << "never created in the other folder";
        EXPECT_EQ(findProduct(files, "400004", dog).recordNumber, 4) << missing;
        writeBase();
        files.OpenDataFiles();
        EXPECT_TRUE(findProduct(files, "000010", dog).fromBase);
    }
    fs::remove(dir.path() / Velantia);
    fs::remove(dir.path() / Productos);
    fs::remove(dir.path() / Basea);
    auto files = open(); // our own files are made empty
    EXPECT_EQ(fs::file_size(dir.path() / Velantia) + fs::file_size(dir.path() / Productos), 0u);
    EXPECT_FALSE(findProduct(files, "100001", dog).found());
}

// A basey slot leading to another code's basea record: this code's product comes from
// productos.txt, or there is none; the run log says so once.
TEST_F(Lookup, StaleBaseIndexFallsBackToProducts) {
    writeBase();
    dir.write(Productos, ProductRecord::make("000015", "QUINCE", "2.00").bytes);
    // Slots 5 and 6 lead to basea records 1 (000010) and 2 (000011).
    dir.write(Basey, "      000001000002      000004000003000001000002" + std::string(80, ' '));
    runlog::open(Paths(dir.path()), "4");
    auto files = open();
    std::string got;
    for (const char* code : {"000015", "000016", "000015", "000010"}) {
        const auto r = findProduct(files, code, dog);
        got += r.found() ? r.heading().substr(0, 13) + (r.fromBase ? "B|" : "P|") : "-|";
    }
    runlog::close();
    EXPECT_EQ(got, "000015 QUINCEP|-|000015 QUINCEP|000010 UNO   B|");
    const std::string log = dir.read("quiroles/Velantia/registro4.log");
    const char* said = "000015 lleva al registro 1 de basea, que es del c\xF3" "digo 000010";
    EXPECT_TRUE(log.find(said) != log.npos && log.find("basey") == log.rfind("basey")) << log;
}

// The pages' tests hold the dates around today; these are the odd ones.
TEST(ItemShown, DatesAndStatus) {
    const std::tuple<std::string, std::string, const char*, bool> cases[] = {
        {"", "", "A", true}, // no start, no end
        {"", "0", "A", true},
        {std::string(8, '\0'), std::string(8, '\0'), "A", true},
        {"20240101", "20301231", "", true},
        {"20240616", "", "A", false}};
    for (const auto& [start, end, status, shown] : cases) {
        const auto r = InfoItemRecord::make("123456", "1", "1", "", start, end, status, "1");
        EXPECT_EQ(itemShown(r, "20240615"), shown) << start << "|" << end << "|" << status;
    }
}

// A search whose clock runs past a second is ended by the watchdog (a frozen clock never ends
// one: the pages' tests); the page never waits on it.
TEST_F(Lookup, WatchdogEndsASlowSearch) {
    auto files = open();
    Watchdog::Clock::time_point t{};
    bool expired = false;
    Watchdog slow([&] { expired = true; }, [&] { return t += std::chrono::milliseconds(600); });
    slow.start();
    EXPECT_EQ(findItemRange(files, "222222", slow).size(), 3u);
    EXPECT_TRUE(expired);
}

} // namespace
