#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/terminal.h"
#include "survey/recording.h"

using namespace vl;

namespace {

const std::string N3(3, '\0'), N4(4, '\0'), S3(3, ' '), S4(4, ' ');

std::string rep(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

// Row 1 a group with no list, row 2 "Si"(1)/"No"(2) default Si, row 3 a(5)/b(6) default b.
const char* const kSurvey = "E001 Grupo\r\nP001 Uno\r\nR001sSi\r\nR002 No\r\n"
                            "P002 Dos\r\nR005 a\r\nR006sb\r\n";

struct Dispensing : vltest::Terminal {
    SurveyPanel panel = buildSurvey(kSurvey);
    using Terminal::Terminal;
    std::string file() const { return refFile(); }
    std::string record(int r) const { return file().substr((r - 1) * 365, 365); }
};

TEST(Recording, RefRecordFieldsAreCutAndPadded) {
    RefRecord r;
    r.setCode("1234567");
    r.setOrd(50, "12345");
    r.setAns(0, "7");
    r.setOrd(51, "x");
    r.setAns(-1, "x");
    EXPECT_EQ(r.code(), "123456");
    EXPECT_EQ(r.ord(50), "123");
    EXPECT_EQ(r.ans(0), "7   ");
    EXPECT_EQ(r.ord(51), "");
    EXPECT_EQ(r.bytes, "123456" + rep(N3, 50) + "123" + "7   " + rep(N4, 50) + N3.substr(1));
}

TEST(Recording, NewReferenceFileHoldsFiftyRecordsNeverWritten) {
    Dispensing d({"111111"});
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));
    EXPECT_TRUE(s.referenceOpen());
    EXPECT_EQ(d.file(), std::string(18250, '\0'));
}

TEST(Recording, GrabarThenBorrarWriteTheirFields) {
    Dispensing d({"111111", "222222"});
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));

    EXPECT_EQ(s.grabar(1, d.st, d.panel).controls, (RecordingControls{false, true, true}));
    EXPECT_TRUE(s.todoEnabled());
    // Build captions go in as they stand ("001"); restoring turns them into plain numbers.
    EXPECT_EQ(d.record(1), "111111" + std::string("1  ") + N3 + "0  " + "1  " + rep(N3, 47) + N4 +
                               N4 + "001 " + "006 " + rep(N4, 47) + "\n\r");
    EXPECT_EQ(d.file().substr(365), std::string(49 * 365, '\0'));
    EXPECT_EQ(d.panel.rows[2].sele, "1");
    EXPECT_EQ(d.panel.rows[3].sele, "6");

    EXPECT_EQ(s.borrar(1, d.st, d.panel).controls, (RecordingControls{true, true, false}));
    EXPECT_FALSE(s.todoEnabled());
    EXPECT_FALSE(s.isRecorded(1));
    EXPECT_EQ(d.record(1), "111111" + S3 + N3 + S3 + S3 + rep(N3, 47) + N4 + N4 + S4 + S4 +
                               rep(N4, 47) + "\n\r");
    EXPECT_EQ(d.panel.rows[3].sele, "6"); // the panel keeps the erased choice
    EXPECT_EQ(s.respuestasMed()[1][1][3], "");
}

TEST(Recording, TodoAppliesThePanelToEveryMedicine) {
    Dispensing d({"111111", "222222", "333333"});
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));
    s.grabar(1, d.st, d.panel);
    chooseAnswer(d.panel, 2, 1); // changed after Grabar: the buffer still holds the old answer

    std::vector<int> shown;
    s.todo(d.st, d.panel, [&](int m) {
        d.st.CurrentIndex = m;
        shown.push_back(m);
        s.muestraRespuestas(m, d.panel);
    });
    EXPECT_EQ(shown, (std::vector<int>{1, 2, 3, 1}));
    EXPECT_EQ(d.st.CurrentIndex, 1);
    for (int m = 1; m <= 3; ++m) {
        const std::string code(6, static_cast<char>('0' + m));
        EXPECT_EQ(d.record(m), code + "1  " + N3 + "1  " + "1  " + rep(N3, 47) + N4 + N4 + "2   " +
                                   "6   " + rep(N4, 47) + "\n\r");
        EXPECT_TRUE(s.isRecorded(m));
        EXPECT_EQ(s.respuestasMed()[m][1][2], "2");
        EXPECT_EQ(s.respuestasMed()[m][0][1], "orden"); // the header row's caption comes along
    }
    EXPECT_EQ(d.panel.rows[2].listIndex, 1);
    EXPECT_EQ(d.panel.rows[2].sele, "2");
    EXPECT_EQ(d.record(4), std::string(365, '\0'));
}

TEST(Recording, RestartRestoresAnswersInTheNewOrder) {
    Dispensing d({"111111", "222222", "333333"});
    std::string first, second;
    {
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        s.grabar(1, d.st, d.panel);
        chooseAnswer(d.panel, 2, 1);
        s.grabar(2, d.st, d.panel);
        first = d.record(1);
        second = d.record(2);
    }
    d.setCodes({"333333", "111111", "222222"});
    d.panel = buildSurvey(kSurvey);
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));

    // Unrecorded medicines come back as blanks; recorded ones byte for byte, NULs included.
    const std::string blankFields(153 + 204, ' ');
    EXPECT_EQ(d.record(1), "333333" + blankFields + "\n\r");
    EXPECT_EQ(d.record(2), first);
    EXPECT_EQ(d.record(3), second);
    for (int r = 4; r <= 50; ++r)
        EXPECT_EQ(d.record(r), std::string(363, ' ') + "\n\r") << r;
    EXPECT_EQ(d.file().size(), 18250u);

    EXPECT_EQ(s.respuestasMed()[2][0][0], "1  ");
    EXPECT_EQ(s.respuestasMed()[3][1][2], "2   ");
    EXPECT_EQ(s.muestraRespuestas(1, d.panel), (RecordingControls{true, true, false}));
    EXPECT_EQ(s.muestraRespuestas(3, d.panel), (RecordingControls{false, true, true}));
    EXPECT_EQ(d.panel.rows[2].sele, "2");
    EXPECT_EQ(d.panel.rows[2].orden, "1");
    EXPECT_EQ(d.panel.rows[2].listIndex, 1);

    // Same list again: nothing changes.
    const std::string before = d.file();
    SurveySession again;
    ASSERT_TRUE(again.synchronise(d.st, d.paths));
    EXPECT_EQ(d.file(), before);
}

// A file cut short keeps the answers of its complete records and gets its 50 records back.
TEST(Recording, ShortReferenceFileKeepsWhatItHolds) {
    Dispensing d({"111111"});
    const std::string recorded = "111111" + std::string("1  ") + std::string(354, ' ') + "\n\r";
    d.dir.write("quiroles/Velantia/referencias/12345670.ref", rep(recorded, 49));
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));
    EXPECT_EQ(d.file().size(), 18250u);
    EXPECT_TRUE(s.isRecorded(1));
    EXPECT_EQ(s.respuestasMed()[1][0][0], "1  ");
    EXPECT_EQ(d.record(1), recorded);
}

TEST(Recording, RepeatedCodesKeepTheFirst) {
    struct Case {
        std::vector<std::string> in, out;
    } cases[] = {
        {{"A", "B", "B"}, {"A", "B"}},
        {{"A", "B", "A", "C", "B"}, {"A", "B", "C"}},
        {{"A", "A", "A"}, {"A"}},
        {{"A"}, {"A"}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        RunState st;
        for (const auto& code : c.in)
            st.CodeList[++st.CodeCount] = code;
        removeRepeatedCodes(st);
        ASSERT_EQ(st.CodeCount, static_cast<int>(c.out.size()));
        for (int i = 1; i <= MaxCodes; ++i)
            EXPECT_EQ(st.CodeList[i], i <= st.CodeCount ? c.out[i - 1] : "") << i;
    }
}

TEST(Recording, MuestraRespuestasRestoresNumbers) {
    SurveySession s;
    SurveyPanel p = buildSurvey(kSurvey);
    auto& t = s.respuestasMed();
    t[1][0][0] = "1  ";
    t[1][0][2] = S3; // empty stored position and code: "0", first entry
    t[1][1][2] = S4;
    t[1][0][3] = "1  ";
    t[1][1][3] = "006 ";
    t[1][0][1] = "1  "; // a header row is never restored
    // No reference file: the recording buttons stay off.
    EXPECT_EQ(s.muestraRespuestas(1, p), (RecordingControls{false, false, false}));
    EXPECT_EQ(p.rows[2].sele, "0");
    EXPECT_EQ(p.rows[2].orden, "0");
    EXPECT_EQ(p.rows[2].listIndex, 0);
    EXPECT_EQ(p.rows[3].sele, "6");
    EXPECT_EQ(p.rows[3].listIndex, 1);
    EXPECT_EQ(p.rows[1].orden, "orden");

    t[1][0][2] = "7"; // beyond the list: no entry shown
    s.muestraRespuestas(1, p);
    EXPECT_EQ(p.rows[2].listIndex, -1);
    EXPECT_EQ(p.rows[2].orden, "7");

    t[2][0][0] = "2";
    p.rows[2].sele = "x";
    // Not recorded, but nowhere to record it: "PENDIENTE DE GRABAR" stays grey as well.
    EXPECT_EQ(s.muestraRespuestas(2, p), (RecordingControls{false, false, false}));
    EXPECT_EQ(p.rows[2].sele, "x");
    EXPECT_EQ(s.muestraRespuestas(0, p), std::nullopt);
    EXPECT_EQ(s.muestraRespuestas(51, p), std::nullopt);
}

TEST(Recording, NoUsableReferenceMeansNoFile) {
    for (const char* ref : {"", "ABC00001", "00000000"}) {
        Dispensing d({"111111", "111111"});
        d.st.hasReference = *ref != '\0';
        d.st.reference = ref;
        SurveySession s;
        EXPECT_TRUE(s.synchronise(d.st, d.paths));
        EXPECT_EQ(d.st.CodeCount, 1);
        EXPECT_FALSE(s.referenceOpen());
        EXPECT_EQ(s.grabar(1, d.st, d.panel).controls, std::nullopt);
        EXPECT_FALSE(s.todoEnabled());
        EXPECT_TRUE(std::filesystem::is_empty(d.dir.path() / "quiroles/Velantia/referencias"));
    }
}

// A reference file that refuses writes (read-only, a full disk, a share gone read-only): Grabar,
// Borrar and Todo record nothing, in the file or in memory, and name the file; so does the
// start-up rewrite into a new order, after which nothing is recorded either.
TEST(Recording, ReadOnlyReferenceFileRecordsNothingAndSaysWhich) {
    enum Action { Grabar, Borrar, Todo, NewOrder };
    for (Action a : {Grabar, Borrar, Todo, NewOrder}) {
        SCOPED_TRACE(a);
        Dispensing d({"111111", "222222"});
        {
            SurveySession s;
            ASSERT_TRUE(s.synchronise(d.st, d.paths));
            ASSERT_TRUE(s.grabar(2, d.st, d.panel).controls);
            ASSERT_TRUE(SurveySession().synchronise(d.st, d.paths)); // records in this order
        }
        if (a == NewOrder) d.setCodes({"222222", "111111"});
        const std::string before = d.file();
        const auto ref = d.dir.path() / "quiroles/Velantia/referencias/12345670.ref";
        std::optional<vltest::ReadOnly> file(ref), folder(ref.parent_path());
        if (!file->holds()) GTEST_SKIP() << "a read-only file cannot be made here";
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        EXPECT_EQ(s.startupWriteFailed(), a == NewOrder);
        const AnswerTable table = s.respuestasMed();
        const RecordingResult r = a == Borrar ? s.borrar(2, d.st, d.panel)
                                  : a == Todo ? s.todo(d.st, d.panel, {})
                                              : s.grabar(1, d.st, d.panel);
        EXPECT_EQ(r.controls, std::nullopt);
        EXPECT_NE(r.unwrittenFile.find("12345670.ref"), std::string::npos) << r.unwrittenFile;
        EXPECT_TRUE(s.respuestasMed() == table);
        EXPECT_EQ(d.file(), before);
        // Mended, the file takes the start-up rewrite and the recording on the next try.
        file.reset(), folder.reset();
        EXPECT_TRUE(s.grabar(1, d.st, d.panel).controls);
        EXPECT_EQ(d.file().substr(RefRecord::Length, 6), a == NewOrder ? "111111" : "222222");
    }
}

TEST(Recording, FocusAfterRecording) {
    using F = FocusTarget;
    struct Case {
        bool next, prev, surveyShown;
        F grabar, borrar;
    } cases[] = {
        {true, true, false, F::Next, F::Next},     {false, true, false, F::Prev, F::Prev},
        {false, false, false, F::None, F::None},   {true, false, true, F::Command3, F::Next},
        {false, true, true, F::Command1, F::Prev},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(focusAfterGrabar(c.next, c.prev, c.surveyShown), c.grabar);
        EXPECT_EQ(focusAfterBorrar(c.next, c.prev), c.borrar);
    }
}

} // namespace
