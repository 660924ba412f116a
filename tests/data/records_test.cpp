#include <gtest/gtest.h>

#include "data/records.h"

using namespace vl;

namespace {

TEST(Records, MakeLaysOutFieldsByteExact) {
    const std::string d40(40, 'd');
    const std::pair<std::string, std::string> cases[] = {
        {InfoItemRecord::make("123456", "1", "000007", "20240101", "20240102", "20241231", "A", "1")
             .bytes,
         "1234561000007202401012024010220241231A1\r\n"},
        // Short values blank-padded on the right, long ones keep their leftmost characters.
        {InfoItemRecord::make("12", "", "7", "", "", "0", "", "").bytes,
         "12" + std::string(5, ' ') + "7" + std::string(5 + 16, ' ') + "0" + std::string(9, ' ') +
             "\r\n"},
        {InfoItemRecord::make("1234567", "23", "0000071", "202401019", "202401029", "2024123199",
                              "AB", "10")
             .bytes,
         "1234562000007202401012024010220241231A1\r\n"},
        {ProductRecord::make("123456", "ASPIRINA", "3.5").bytes,
         "123456ASPIRINA" + std::string(32, ' ') + "     3.5\r\n"}, // price right-aligned
        {ProductRecord::make("1234567", d40 + "xyz", "123456789").bytes,
         "123456" + d40 + "12345678\r\n"},
    };
    for (const auto& [got, expected] : cases)
        EXPECT_EQ(got, expected);
}

TEST(Records, AccessorsAndFromBytes) {
    const auto r = InfoItemRecord::fromBytes("1234562000007202401012024010220241231B0\r\n");
    EXPECT_EQ(r.code() + r.alertLevel() + r.textId() + "|" + r.updated() + "|" + r.startDate() +
                  "|" + r.endDate() + "|" + r.status() + r.printFlag(),
              "1234562000007|20240101|20240102|20241231|B0");
    const auto p = ProductRecord::make("654321", "NOMBRE", "12.50");
    EXPECT_EQ(p.code() + p.description() + p.price(),
              "654321NOMBRE" + std::string(34, ' ') + "   12.50");
    // A short source reads blank to the record length, a long one is cut.
    EXPECT_EQ(ProductRecord::fromBytes("12").bytes, "12" + std::string(54, ' '));
    EXPECT_EQ(BaseProductRecord::fromBytes(std::string(70, 'x')).bytes, std::string(62, 'x'));
    EXPECT_EQ(BaseIndexRecord::fromBytes("").bytes, std::string(128, ' '));
}

TEST(BaseIndexRecord, SlotValues) {
    const std::pair<std::string, long long> cases[] = {
        {"000012", 12}, {"     7", 7}, {"  12  ", 12}, {"999999", 999999},        {"      ", 0},
        {"000000", 0},  {"ABC123", 0}, {"-00005", 0},  {std::string(6, '\0'), 0},
    };
    for (const auto& [text, expected] : cases) {
        BaseIndexRecord r;
        r.bytes.replace(6 + 6 * 3, 6, text); // slot 3: bytes 25 to 30
        EXPECT_EQ(r.slot(3), expected) << '"' << text << '"';
        EXPECT_EQ(r.slotText(3), text);
    }
    BaseIndexRecord r;
    r.bytes.replace(6, 60, "000001000002000003000004000005000006000007000008000009000010");
    EXPECT_EQ(r.slot(0), 1);
    EXPECT_EQ(r.slot(9), 10);
    EXPECT_EQ(r.slot(-1), 0);
    EXPECT_EQ(r.slot(10), 0);
}

} // namespace
