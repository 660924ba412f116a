#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/text.h"

namespace {

TEST(Cp1252, ConvertsBothWays) {
    struct Case {
        const char* utf8;
        const char* cp;
    } cases[] = {{"Informaci\xC3\xB3n", "Informaci\xF3n"},
                 {"\xE2\x82\xAC 12,50", "\x80 12,50"},
                 {"\xC3\x91" "and\xC3\xBA", "\xD1" "and\xFA"},
                 {"\xE2\x80\x9C" "cita\xE2\x80\x9D", "\x93" "cita\x94"},
                 {"plain", "plain"}};
    for (const auto& c : cases) {
        EXPECT_EQ(vl::toCp1252(c.utf8), c.cp);
        EXPECT_EQ(vl::fromCp1252(c.cp), c.utf8);
    }
    // No Windows-1252 byte, or broken UTF-8: a question mark per character.
    EXPECT_EQ(vl::toCp1252("\xE4\xB8\xAD-\xF0\x9F\x98\x80"), "?-?");
    EXPECT_EQ(vl::toCp1252("a\x80z\xC3"), "a?z?");
}

TEST(FixedWidth, LSetAndRSet) {
    EXPECT_EQ(vl::LSet("abc", 6), "abc   ");
    EXPECT_EQ(vl::LSet("abcdefgh", 6), "abcdef");
    EXPECT_EQ(vl::LSet("", 3), "   ");
    EXPECT_EQ(vl::RSet("12,50", 8), "   12,50");
    EXPECT_EQ(vl::RSet("1234567890", 8), "12345678");
}

TEST(NumericValue, LeadingNumberOnly) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {{"", 0},      {"  42", 42},     {"600px", 600},  {"12.5", 12.5}, {"12,5", 12},
                 {"-3", -3},   {"abc", 0},       {"00000000", 0}, {"   ", 0},     {"7 - Semanal", 7},
                 {"+8", 8},    {"\t9", 9},       {".5", 0.5},     {"-", 0}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(vl::Val(c.text), c.value) << c.text;
    EXPECT_EQ(vl::ValInt16("99999"), 32767);
    EXPECT_EQ(vl::ValInt16("-99999"), -32768);
    EXPECT_EQ(vl::ValInt16("12.9"), 12);
}

TEST(Dates, TodayStampForm) {
    EXPECT_EQ(vl::TodayStamp({2026, 12, 6}), "20261206");
    EXPECT_EQ(vl::TodayStamp({2009, 1, 31}), "20090131");
    EXPECT_EQ(vl::TodayStamp().size(), 8u);
}

TEST(Case, LowerCp1252) {
    EXPECT_EQ(vl::lowerCp1252("ReciBIDO\xC1\xD1"), "recibido\xE1\xF1");
    EXPECT_EQ(vl::upperAscii("enviar\xF1"), "ENVIAR\xF1");
}

} // namespace
