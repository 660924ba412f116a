#include <gtest/gtest.h>

#include "core/cmdline.h"

using vl::parseCommandLine;

namespace {

struct LineCase {
    const char* line;
    const char* pending;
    bool closing;
    bool hasRef;
    const char* reference;
    const char* digit;
    std::vector<std::string> codes;
};

TEST(CommandLine, FormsParseIntoRunState) {
    const LineCase cases[] = {
        {"", "", false, false, "", "", {}},
        {"enviar", "ENVIAR", false, false, "", "", {}},
        {"Actualizar", "ACTUALIZAR", false, false, "", "", {}},
        {"CONFIGURAR", "CONFIGURAR", false, false, "", "", {}},
        // The word must be the whole line.
        {"ENVIAR+123456", "", false, false, "", "", {"123456"}},
        {"-00012341+654321+712345", "", false, true, "00012341", "1", {"654321", "712345"}},
        {"TK-00012341+654321+712345", "", true, true, "00012341", "1", {"654321", "712345"}},
        {"-00012340+654321", "", false, true, "00012340", "0", {"654321"}},
        // A short reference is blank-padded; its digit is then a blank.
        {"-1234", "", false, true, "1234    ", " ", {}},
        {"+654321", "", false, false, "", "", {"654321"}},
        // A code cut short at the end of the line is kept as it stands.
        {"-00012340+6543", "", false, true, "00012340", "0", {"6543"}},
        // A remainder without "+" carries no code.
        {"-00012340+654321 basura", "", false, true, "00012340", "0", {"654321"}},
        {"TK", "", true, false, "", "", {}},
        // Path tricks in the reference make it unusable, the codes still count.
        {"-../../x1+654321", "", false, false, "", "", {"654321"}},
        {"-ab\\cd001+654321", "", false, false, "", "", {"654321"}},
        {"-C:000001+654321", "", false, false, "", "", {"654321"}},
        {"-0001\t001+654321", "", false, false, "", "", {"654321"}}};
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        const vl::RunState st = parseCommandLine(c.line);
        EXPECT_EQ(st.PendingAction, c.pending);
        EXPECT_EQ(st.closingCall, c.closing);
        EXPECT_EQ(st.hasReference, c.hasRef);
        EXPECT_EQ(st.reference, c.reference);
        EXPECT_EQ(st.terminalDigit, c.digit);
        ASSERT_EQ(st.CodeCount, static_cast<int>(c.codes.size()));
        for (int i = 1; i <= st.CodeCount; ++i) EXPECT_EQ(st.CodeList[i], c.codes[i - 1]) << i;
        EXPECT_EQ(st.CurrentIndex, c.codes.empty() ? 0 : 1);
    }
}

TEST(CommandLine, KeepsTheFirstFiftyCodes) {
    std::string line = "-00012340";
    for (int i = 0; i < 60; ++i) line += "+" + std::to_string(600000 + i);
    const vl::RunState st = parseCommandLine(line);
    ASSERT_EQ(st.CodeCount, 50);
    EXPECT_EQ(st.CodeList[1], "600000");
    EXPECT_EQ(st.CodeList[50], "600049");
}

TEST(CommandLine, ReferencePositiveAndTerminalValue) {
    struct Case {
        const char* line;
        bool positive;
        int terminal;
    } cases[] = {{"-00012340", true, 0}, {"-00012347", true, 7}, {"-00000000", false, 0},
                 {"-ABCDEFG3", false, 3}, {"", false, 0},         {"-1234", true, 0}};
    for (const auto& c : cases) {
        const vl::RunState st = parseCommandLine(c.line);
        EXPECT_EQ(st.referenceIsPositive(), c.positive) << c.line;
        EXPECT_EQ(st.terminalValue(), c.terminal) << c.line;
    }
}

} // namespace
