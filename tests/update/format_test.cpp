#include <gtest/gtest.h>

#include "update/convert.h"

using namespace vl;

namespace {

struct PriceCase {
    const char* received;
    const char* expected;
};

class NormalizePrice : public ::testing::TestWithParam<PriceCase> {};

TEST_P(NormalizePrice, RightAlignedInEight) {
    EXPECT_EQ(normalizePrice(GetParam().received), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizePrice,
    ::testing::Values(PriceCase{"10,00", "   10.00"}, PriceCase{"9,99", "    9.99"},
                      PriceCase{"1,2,3", "   1.2,3"},      // only the first comma
                      PriceCase{"123456,789", "123456.7"}, // cut to the leftmost 8
                      PriceCase{"1250", "   12,50"}, PriceCase{"123456", "1.234,56"},
                      PriceCase{"5", "    0,05"}, PriceCase{"0", "    0,00"},
                      PriceCase{"100", "    1,00"}, PriceCase{"99999", "  999,99"},
                      PriceCase{"-1250", " (12,50)"}, PriceCase{"+1250", "   12,50"},
                      PriceCase{" 1250 ", "   12,50"},
                      PriceCase{"1.250", "   12,50"}, // the point groups thousands
                      PriceCase{"12345678", "123.456,"}, PriceCase{"abc", "    0,00"},
                      PriceCase{"", "    0,00"}, PriceCase{"12a", "    0,00"},
                      PriceCase{"-", "    0,00"}, PriceCase{"12.", "    0,00"}));

struct AmountCase {
    long long hundredths;
    const char* expected;
};

class SpanishAmount : public ::testing::TestWithParam<AmountCase> {};

TEST_P(SpanishAmount, Formatted) {
    EXPECT_EQ(formatSpanishAmount(GetParam().hundredths), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpanishAmount,
    ::testing::Values(AmountCase{0, "0,00"}, AmountCase{1, "0,01"}, AmountCase{99, "0,99"},
                      AmountCase{100, "1,00"}, AmountCase{99999, "999,99"},
                      AmountCase{100000, "1.000,00"}, AmountCase{123456789, "1.234.567,89"},
                      AmountCase{-1, "(0,01)"}, AmountCase{-123456, "(1.234,56)"}));

struct IdCase {
    const char* identificador;
    const char* expected;
};

class TextIdentifier : public ::testing::TestWithParam<IdCase> {};

TEST_P(TextIdentifier, SixDigits) {
    EXPECT_EQ(textIdentifier(GetParam().identificador), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextIdentifier,
                         ::testing::Values(IdCase{"7", "000007"}, IdCase{"12", "000012"},
                                           IdCase{"999999", "999999"}, IdCase{"", "000000"},
                                           IdCase{"abc", "000000"}, IdCase{"0", "000000"},
                                           IdCase{"  42", "000042"},
                                           IdCase{"1234567", "123456"}, // RSet keeps the left 6
                                           IdCase{"-5", "999995"}));

struct ForceCase {
    const char* estado;
    const char* inicio;
    const char* final_;
    bool shown;
};

class ItemInForce : public ::testing::TestWithParam<ForceCase> {};

TEST_P(ItemInForce, OnTheDay) {
    const auto& c = GetParam();
    EXPECT_EQ(itemInForce(c.estado, c.inicio, c.final_, "20240615"), c.shown)
        << c.estado << " " << c.inicio << " " << c.final_;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ItemInForce,
    ::testing::Values(ForceCase{"A", "20240101", "20241231", true},
                      ForceCase{"A", "20240615", "20240615", true}, // starts and ends today
                      ForceCase{"A", "20240616", "20241231", false},
                      ForceCase{"A", "20240101", "20240614", false}, ForceCase{"A", "", "", true},
                      ForceCase{"A", "20240101", "0", true},
                      ForceCase{"A", "20240101", "00000000", true},
                      ForceCase{"B", "20240101", "20241231", false},
                      ForceCase{"a", "20240101", "20241231", false},
                      ForceCase{"", "20240101", "20241231", false}));

TEST(LineGroups, GroupedByFirstDigitAndSortedBytewise) {
    LineGroups g;
    for (const char* l : {"9z", "10", "A1", "05", "\xD1x", "1a", "11", " x", "z0"})
        g.add(l);
    g.sort();
    // Non-digits land in group 0, ordered there by byte value (blank < digits < letters < 0xD1).
    EXPECT_EQ(g.joined(), " x\r\n05\r\nA1\r\nz0\r\n\xD1x\r\n10\r\n11\r\n1a\r\n9z\r\n");
}

TEST(LineGroups, GroupHoldsAtMost32767Lines) {
    LineGroups g;
    for (std::size_t i = 0; i < LineGroups::Capacity; ++i)
        ASSERT_TRUE(g.add("5" + std::to_string(100000 + i)));
    EXPECT_FALSE(g.add("5000000"));
    EXPECT_TRUE(g.add("6000000")); // other groups are not affected
    EXPECT_EQ(g.group(5).size(), LineGroups::Capacity);
    EXPECT_EQ(g.dropped(), 1u);
    EXPECT_EQ(g.size(), LineGroups::Capacity + 1);
}

TEST(SurveyFile, LinesOnlyWhereACodeChangesByValue) {
    const std::vector<SurveyXmlRow> rows{
        {"1", "Grupo uno", "1", "Pregunta", "1", "Si", "s"},
        {"1", "Grupo uno", "1", "Pregunta", "2", "No", ""},
        {"01", "Grupo uno", "2", "Otra", "4", "Cuatro", "no"},
        {"1", "Grupo uno", "3", "Tercera", "4", "Repetida", "s"}, // same answer code: no line
        {"2", "Grupo dos", "1234", "Larga", "1", "Uno", ""},
        {"2", "Grupo dos", "1234", "Larga", "2", "Dos", ""}, // 1234 never equals its cut 123
    };
    EXPECT_EQ(surveyFileBytes(rows), "E1   Grupo uno\r\n"
                                     "P1   Pregunta\r\n"
                                     "R1  sSi\r\n"
                                     "R2   No\r\n"
                                     "P2   Otra\r\n"
                                     "R4  nCuatro\r\n"
                                     "P3   Tercera\r\n"
                                     "E2   Grupo dos\r\n"
                                     "P123 Larga\r\n"
                                     "R1   Uno\r\n"
                                     "P123 Larga\r\n"
                                     "R2   Dos\r\n");
}

TEST(SurveyFile, CodeZeroOnTheFirstRowWritesNoLineBecauseThePreviousCodeStartsBlank) {
    EXPECT_EQ(surveyFileBytes({{"0", "G", "0", "P", "0", "R", ""}}), "");
    EXPECT_EQ(surveyFileBytes({{"", "G", "5", "P", "", "R", ""}}), "P5   P\r\n");
}

} // namespace
