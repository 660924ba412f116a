#include <gtest/gtest.h>

#include <algorithm>

#include "core/text.h"
#include "infopage/navigation.h"

using namespace vl;

namespace {

TEST(Navigate, MovesAndSetsButtons) {
    struct Case {
        int index, current, count;
        int newCurrent;
        bool show, next, prev;
        const char* label;
        int focus;
    };
    const Case cases[] = {
        // two medicines, at the first: next shows the second and hands the focus back
        {0, 1, 2, 2, true, false, true, "Medicamento 2/2", 1},
        {0, 2, 2, 2, false, false, true, "Medicamento 2/2", 1},
        {1, 2, 2, 1, true, true, false, "Medicamento 1/2", 0},
        {1, 1, 2, 1, false, true, false, "Medicamento 1/2", 0},
        {0, 1, 3, 2, true, true, true, "Medicamento 2/3", -1},
        {1, 3, 3, 2, true, true, true, "Medicamento 2/3", -1},
        // a single medicine: nowhere to go, nothing to give the focus to
        {0, 1, 1, 1, false, false, false, "Medicamento 1/1", -1},
        {1, 1, 1, 1, false, false, false, "Medicamento 1/1", -1},
        {0, 49, 50, 50, true, false, true, "Medicamento 50/50", 1},
        // no medicine: the keys still reach the handler
        {0, 0, 0, 0, false, false, true, "Medicamento 0/0", 1},
        {1, 0, 0, 0, false, false, true, "Medicamento 0/0", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.index << " at " << c.current << "/" << c.count);
        int current = c.current;
        bool show = !c.show;
        const NavState s = navigate(c.index, current, c.count, show);
        EXPECT_EQ(current, c.newCurrent);
        EXPECT_EQ(show, c.show);
        EXPECT_EQ(s.nextEnabled, c.next);
        EXPECT_EQ(s.prevEnabled, c.prev);
        EXPECT_EQ(s.label2, c.label);
        EXPECT_EQ(s.focus, c.focus);
    }
}

TEST(DeferredStart, Buttons) {
    struct Case {
        int current, count;
        bool next, prev;
    };
    const Case cases[] = {{0, 0, false, false}, {1, 1, false, false}, {1, 2, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.current << "/" << c.count);
        const NavState s = deferredStartState(c.current, c.count);
        EXPECT_EQ(s.nextEnabled, c.next);
        EXPECT_EQ(s.prevEnabled, c.prev);
        EXPECT_EQ(s.focus, -1);
    }
}

TEST(PrintWatch, RecognisesThePatientPageByExactCase) {
    EXPECT_TRUE(isPrintPage("file:///quiroles/Velantia/htm3/imprime.htm"));
    EXPECT_TRUE(isPrintPage("imprime.htm?x"));
    EXPECT_FALSE(isPrintPage("file:///quiroles/Velantia/htm3/IMPRIME.HTM"));
    EXPECT_FALSE(isPrintPage("file:///quiroles/Velantia/htm3/informa.htm"));
    EXPECT_FALSE(isPrintPage(""));
}

TEST(FullPrint, QuestionHasSixLinesAllInCp1252) {
    const std::string q(FullPrintQuestion);
    EXPECT_EQ(std::count(q.begin(), q.end(), '\n'), 5);
    EXPECT_EQ(q.find("\n\n"), q.find('\n'));
    // A character outside Windows-1252 would print as '?' on the message box's code page.
    EXPECT_EQ(toCp1252(q).find('?'), std::string::npos);
    EXPECT_EQ(toCp1252(FullPrintTitle), "Informaci\xF3n completa");
}

} // namespace
