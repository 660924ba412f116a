#include <gtest/gtest.h>

#include "data/lookup.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Velantia = "quiroles/Velantia/datos/Velantia.txt";
const std::string Productos = "quiroles/Velantia/datos/productos.txt";
const std::string Basea = "quiroles/orbal-5/basea";
const std::string Basey = "quiroles/orbal-5/basey";

std::string item(const char* code, const char* textId) {
    return InfoItemRecord::make(code, "1", textId, "20240101", "20240101", "", "A", "0").bytes;
}

std::string product(const char* code, const char* name) {
    return ProductRecord::make(code, name, "1.00").bytes;
}

std::string baseProduct(const char* code, const char* name) {
    return (std::string(code) + name + std::string(62, ' ')).substr(0, 62);
}

// basey record: 6 leading bytes, then ten slots.
std::string baseIndex(std::initializer_list<const char*> slots) {
    std::string r(6, ' ');
    for (const char* s : slots)
        r += s;
    r.resize(128, ' ');
    return r;
}

struct Never {};

class Lookup : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write(Velantia, item("111111", "000001") + item("222222", "000002") +
                                item("222222", "000003") + item("222222", "000004") +
                                item("333333", "000005") + item("444444", "000006") +
                                item("999999", "000007"));
        dir.write(Productos, product("100001", "PRIMERO") + product("200002", "SEGUNDO") +
                                 product("300003", "TERCERO") + product("400004", "CUARTO") +
                                 product("50000a", "MINUSCULA"));
    }
    void writeBase() {
        dir.write(Basea, baseProduct("000010", "UNO") + baseProduct("000011", "DOS") +
                             baseProduct("000014", "TRES"));
        dir.write(Basey, baseIndex({"000001", "000002", "      ", "000004", "000003"}) +
                             baseIndex({"000000"}));
    }
    DataFiles open() {
        DataFiles files{Paths(dir.path())};
        files.OpenDataFiles();
        return files;
    }

    vltest::TempDir dir;
    Watchdog dog{[] { throw Never{}; }};
};

TEST_F(Lookup, ProductsFileBinarySearch) {
    auto files = open();
    ASSERT_FALSE(files.BaseFilesOpen());
    const std::pair<const char*, long long> cases[] = {
        {"100001", 1}, {"300003", 3},  {"400004", 4}, {"50000a", 5}, // first, middle, last
        {"000000", 0}, {"250000", 0},  {"999999", 0}, {"50000A", 0}, // case matters
        {"10000", 0},  {"1000011", 0},
    };
    for (const auto& [code, n] : cases) {
        const auto r = findProduct(files, code, dog);
        EXPECT_EQ(r.recordNumber, n) << code;
        EXPECT_FALSE(r.fromBase);
        if (n > 0) {
            EXPECT_EQ(r.product.code(), code);
        }
    }
    EXPECT_EQ(findProduct(files, "200002", dog).heading(), "200002 SEGUNDO" + std::string(33, ' '));
}

TEST_F(Lookup, ItemRangeStartsAtTheFirstRecordOfTheCode) {
    auto files = open();
    // With seven records the first probe is record 4, the third of the three "222222".
    EXPECT_EQ(binarySearchCode(files.velantia(), "222222", dog), 4);
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"111111", {"000001"}}, // only in record 1: the step back stops there
        {"222222", {"000002", "000003", "000004"}},
        {"333333", {"000005"}},
        {"999999", {"000007"}}, // last record
        {"300003", {}},
        {"000000", {}},
    };
    for (const auto& [code, ids] : cases) {
        std::vector<std::string> got;
        for (const auto& r : findItemRange(files, code, dog))
            got.push_back(r.textId());
        EXPECT_EQ(got, ids) << code;
    }
}

TEST_F(Lookup, BaseFilesAreAddressedDirectly) {
    writeBase();
    auto files = open();
    ASSERT_TRUE(files.BaseFilesOpen());
    const std::pair<const char*, long long> cases[] = {
        {"000010", 1}, {"000011", 2}, {"000014", 3}, // slot 4 holds the last basea record
        {"000012", 0},                               // empty slot
        {"000013", 0},                               // slot points past the end of basea
        {"000020", 0},                               // slot of zeros
        {"000005", 0},                               // first five digits "00000"
        {"000035", 0},                               // basey record past its end
        {"00001X", 1},                               // no digit: slot 0
    };
    for (const auto& [code, n] : cases) {
        const auto r = findProduct(files, code, dog);
        EXPECT_EQ(r.recordNumber, n) << code;
        EXPECT_EQ(r.found(), r.fromBase) << code;
    }
    // No check that the basea code matches: the slot decides.
    EXPECT_EQ(findProduct(files, "000014", dog).heading(), "000014 TRES" + std::string(26, ' '));
}

TEST_F(Lookup, FallsBackToProductsWhenEitherBaseFileIsMissing) {
    for (const std::string& missing : {Basea, Basey}) {
        writeBase();
        fs::remove(dir.path() / missing);
        auto files = open();
        EXPECT_FALSE(files.BaseFilesOpen()) << missing;
        EXPECT_FALSE(fs::exists(dir.path() / missing)) << "never created in the other folder";
        EXPECT_EQ(findProduct(files, "400004", dog).recordNumber, 4) << missing;
    }
}

// A reopen decides anew, as at start-up: no product source is never the outcome.
TEST_F(Lookup, ReopenFallsBackWhileTheBaseFilesAreMissing) {
    writeBase();
    auto files = open();
    fs::remove(dir.path() / Basea);
    files.OpenDataFiles();
    EXPECT_FALSE(files.BaseFilesOpen());
    EXPECT_EQ(findProduct(files, "400004", dog).recordNumber, 4);
    writeBase();
    files.OpenDataFiles();
    EXPECT_TRUE(findProduct(files, "000010", dog).fromBase);
}

TEST_F(Lookup, MissingOwnFilesAreCreatedEmpty) {
    fs::remove(dir.path() / Velantia);
    fs::remove(dir.path() / Productos);
    auto files = open();
    EXPECT_EQ(fs::file_size(dir.path() / Velantia), 0u);
    EXPECT_EQ(fs::file_size(dir.path() / Productos), 0u);
    EXPECT_FALSE(findProduct(files, "100001", dog).found());
    EXPECT_TRUE(findItemRange(files, "111111", dog).empty());
}

TEST(ItemShown, DatesAndStatus) {
    struct Case {
        std::string start, end, status;
        bool shown;
    };
    const Case cases[] = {
        {"20240615", "20240615", "A", true},  // starts and ends today
        {"20240616", "", "A", false},         // starts tomorrow
        {"20240614", "20240614", "A", false}, // ended yesterday
        {"", "", "A", true},                  // no start, no end
        {"", "00000000", "A", true},
        {"", "0", "A", true},
        {std::string(8, '\0'), std::string(8, '\0'), "A", true},
        {"20240101", "20301231", "B", false},
        {"20240101", "20301231", "", true},
    };
    for (const auto& c : cases) {
        const auto r = InfoItemRecord::make("123456", "1", "1", "", c.start, c.end, c.status, "1");
        EXPECT_EQ(itemShown(r, "20240615"), c.shown) << c.start << "|" << c.end << "|" << c.status;
    }
}

// The clock moves one step each time it is read: start() reads it once, every check once more.
TEST_F(Lookup, WatchdogEndsASlowSearch) {
    auto files = open();
    // "222222": one probe plus four forward reads (the last meets "333333") = five checks.
    const std::pair<int, bool> cases[] = {{200, false}, {250, true}};
    for (const auto& [stepMs, expires] : cases) {
        Watchdog::Clock::time_point t{};
        bool expired = false;
        Watchdog slow([&] { expired = true; },
                      [&] {
                          const auto r = t;
                          t += std::chrono::milliseconds(stepMs);
                          return r;
                      });
        slow.start();
        EXPECT_EQ(findItemRange(files, "222222", slow).size(), 3u);
        EXPECT_EQ(expired, expires) << stepMs;
    }

    Watchdog::Clock::time_point t{};
    Watchdog throwing([] { throw Never{}; }, [&] { return t += std::chrono::milliseconds(600); });
    throwing.start();
    EXPECT_THROW(findItemRange(files, "222222", throwing), Never);
}

TEST(Watchdog, DefaultClockDoesNotFireAtOnce) {
    bool expired = false;
    Watchdog dog([&] { expired = true; });
    dog.check();
    dog.start();
    dog.check();
    EXPECT_FALSE(expired);
}

} // namespace
