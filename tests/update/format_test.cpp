#include <gtest/gtest.h>

#include "update/convert.h"

using namespace vl;

namespace {

TEST(Format, PricesAmountsAndTextIdentifiers) {
    const std::pair<const char*, const char*> prices[] = {
        {"10,00", "   10.00"}, {"9,99", "    9.99"},
        {"1,2,3", "   1.2,3"},      // only the first comma
        {"123456,789", "123456.7"}, // cut to the leftmost 8
        {"1250", "   12,50"},  {"123456", "1.234,56"}, {"5", "    0,05"},   {"0", "    0,00"},
        {"100", "    1,00"},   {"99999", "  999,99"},  {"-1250", " (12,50)"}, {"+1250", "   12,50"},
        {" 1250 ", "   12,50"},
        {"1.250", "   12,50"}, // the point groups thousands
        {"12345678", "123.456,"}, {"abc", "    0,00"}, {"", "    0,00"}, {"12a", "    0,00"},
        {"-", "    0,00"},        {"12.", "    0,00"}};
    for (const auto& [received, expected] : prices)
        EXPECT_EQ(normalizePrice(received), expected) << received;

    const std::pair<long long, const char*> amounts[] = {
        {0, "0,00"},           {1, "0,01"},      {99, "0,99"},
        {100, "1,00"},         {99999, "999,99"}, {100000, "1.000,00"},
        {123456789, "1.234.567,89"}, {-1, "(0,01)"}, {-123456, "(1.234,56)"}};
    for (const auto& [hundredths, expected] : amounts)
        EXPECT_EQ(formatSpanishAmount(hundredths), expected) << hundredths;

    const std::pair<const char*, const char*> ids[] = {
        {"7", "000007"},   {"12", "000012"}, {"999999", "999999"}, {"", "000000"},
        {"abc", "000000"}, {"0", "000000"},  {"  42", "000042"},
        {"1234567", "123456"}, // RSet keeps the left 6
        {"-5", "999995"}};
    for (const auto& [identificador, expected] : ids)
        EXPECT_EQ(textIdentifier(identificador), expected) << identificador;
}

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

TEST(LineGroups, AGroupKeepsEveryLine) {
    LineGroups g;
    for (int i = 0; i < 32800; ++i)
        g.add("5" + std::to_string(100000 + i));
    g.add("6000000");
    EXPECT_EQ(g.group(5).size(), 32800u);
    EXPECT_EQ(g.size(), 32801u);
}

TEST(SurveyFile, LinesOnlyWhereACodeChangesByValue) {
    const std::vector<ReceivedSurveyRow> rows{
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
