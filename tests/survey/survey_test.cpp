#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/closings.h"
#include "support/golden.h"
#include "survey/recording.h"
#include "survey/survey.h"

using namespace vl;

namespace {

// Every row that exists past the template: kind (E group, P question, - hidden), column, title,
// answers, and the Sele/Orden captions with the list entry shown when they are not the blank
// template's.
std::string describe(const SurveyPanel& p) {
    std::string out = std::to_string(p.ultimaPregunta) + (p.twoColumns ? " two" : " one");
    for (int k = 1; k <= SurveyMaxRows && p.rows[k].exists; ++k) {
        const SurveyRow& r = p.rows[k];
        const bool group = r.isGroup && r.bold && r.titleShown && !r.listShown;
        const bool question = !r.isGroup && !r.bold && r.titleShown && r.listShown;
        const bool hidden = !r.isGroup && !r.titleShown && !r.listShown;
        const char* kind = group ? "E" : question ? "P" : hidden ? "-" : "?";
        out += std::string(" | ") + kind + std::to_string(r.column) + r.title;
        for (std::size_t a = 0; a < r.answers.size(); ++a)
            out += (a ? "," : "[") + r.answers[a] + (a + 1 == r.answers.size() ? "]" : "");
        if (!r.sele.empty() || r.orden != "orden" || r.listIndex != -1) // not as built
            out += " " + r.sele + "/" + r.orden + "/" + std::to_string(r.listIndex);
    }
    return out;
}

TEST(SurveyBuild, RowsColumnsAndDefaultAnswers) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "0 one"},
        // The line after the last row creates one more hidden row.
        {"E001 Grupo\r\nP001 Uno\r\nR001 si\r\nR002 no\r\nP002 Dos\r\nR003 a\r\n",
         "3 one | E0Grupo | P0Uno[si,no] 001/0/0 | P0Dos[a] 003/0/0 | -0"},
        {"E001 G\r\nP001 Q\r\n", "2 one | E0G | P0Q"},
        // The second header starts the second column; a third stays there.
        {"E001 G1\r\nP001 Q1\r\nR001 a\r\nE002 G2\r\nP002 Q2\r\nR005 b\r\nE003 G3\r\nP003 Q3\r\n",
         "6 two | E0G1 | P0Q1[a] 001/0/0 | E1G2 | P1Q2[b] 005/0/0 | E1G3 | P1Q3"},
        // An unknown type only creates the next row, hidden.
        {"E001 Grupo \xC1\r\nP009xPregunta \xF1\r\nX001 otro\r\n",
         "2 one | E0Grupo \xC1 | P0Pregunta \xF1 | -0"},
        // The last flagged answer is the default; upper case is no flag; codes kept as they stand.
        {"P001 Q\r\nR001 a\r\nR002sb\r\nR003 c\r\nR004sd\r\nR005 e\r\n",
         "1 one | P0Q[a,b,c,d,e] 004/3/3 | -0"},
        {"P001 Q\r\nR001 a\r\nR002Sb\r\n", "1 one | P0Q[a,b] 001/0/0 | -0"},
        {"P001 Q\r\nR 7 a\r\n", "1 one | P0Q[]  7 /0/0 | -0"},
        // An answer before any row is ignored: the template's captions stay blank.
        {"R004sx\r\nP001 Q\r\nP002 Sin respuestas\r\n", "2 one | P0Q | P0Sin respuestas"},
        // After a group header: that row's hidden list.
        {"E001 G\r\nR003 a\r\nP001 Q\r\n", "2 one | E0G[a] 003/0/0 | P0Q"},
        // Lines too short to carry type, code and flag are skipped.
        {"E001 G\r\n\r\nR\r\nP01\r\nRabc\r\nP001 \r\n", "2 one | E0G | P0"},
    };
    for (const auto& [file, expected] : cases)
        EXPECT_EQ(describe(buildSurvey(file)), expected) << file;

    // Codes are read as numbers; an answer before any row reaches no list.
    const SurveyPanel codes = buildSurvey("R004sx\r\nP001 Q\r\nR 7 a\r\nR-12b\r\n");
    EXPECT_EQ(std::to_string(codes.rows[0].answers.size()) + codes.rows[0].sele + "/" +
                  codes.rows[0].orden,
              "0/orden");
    const auto& code = codes.codigoRespuesta;
    EXPECT_EQ((std::vector<int>{code[0][0], code[1][0], code[1][1]}),
              (std::vector<int>{0, 7, -12}));
    // Past the limits: 21 answers of 25, 50 rows of 60, and an answer after them goes nowhere.
    std::string big = "P001 Q1\r\n";
    for (int a = 1; a <= 25; ++a)
        big += "R" + std::to_string(100 + a) + "sA\r\n";
    for (int r = 2; r <= 60; ++r)
        big += "P001 Q" + std::to_string(r) + "\r\n";
    const SurveyPanel p = buildSurvey(big + "R001 late\r\n");
    EXPECT_EQ(std::to_string(p.rows[1].answers.size()) + p.rows[1].sele + "/" +
                  std::to_string(p.codigoRespuesta[1][20]) + " " +
                  std::to_string(p.ultimaPregunta) + p.rows[50].title +
                  std::to_string(p.rows[50].answers.size()),
              "21121/121 50Q500");
}

TEST(SurveyBuild, ChooseAnswerStoresDecimalCodeAndTheFileIsMadeWhenMissing) {
    SurveyPanel p = buildSurvey("P001 Q\r\nR001 a\r\nR006 b\r\n");
    chooseAnswer(p, 1, 1);
    for (auto [row, pos] : {std::pair{1, 2}, {1, -1}, {1, 21}, {51, 0}, {-1, 0}, {2, 0}})
        chooseAnswer(p, row, pos); // out of range: ignored
    EXPECT_EQ(describe(p), "1 one | P0Q[a,b] 6/1/1 | -0");

    vltest::TempDir dir;
    std::filesystem::create_directories(dir.path() / "quiroles/Velantia/datos");
    EXPECT_EQ(readSurveyFile(Paths(dir.path())), "");
    EXPECT_EQ(dir.read("quiroles/Velantia/datos/encuesta.txt"), "");
    // Saved by an editor as UTF-8 with its mark: read as UTF-8.
    dir.write("quiroles/Velantia/datos/encuesta.txt", "\xEF\xBB\xBFP001 Q\xC3\xA9\r\n");
    EXPECT_EQ(readSurveyFile(Paths(dir.path())), "P001 Q\xE9\r\n");
}

// Row 1 a group with no list, row 2 "Si"(1)/"No"(2) default Si, row 3 a(5)/b(6) default b.
const char* const kSurvey = "E001 Grupo\r\nP001 Uno\r\nR001sSi\r\nR002 No\r\n"
                            "P002 Dos\r\nR005 a\r\nR006sb\r\n";

struct Dispensing : vltest::Terminal {
    SurveyPanel panel = buildSurvey(kSurvey);
    using Terminal::Terminal;
};

TEST(Recording, RefRecordFieldsAreCutAndPadded) {
    RefRecord r;
    r.setCode("1234567");
    r.setOrd(50, "12345");
    r.setAns(0, "7");
    r.setOrd(51, "x");
    r.setAns(-1, "x");
    EXPECT_EQ(r.code() + r.ord(50) + r.ans(0) + r.ord(51), "1234561237   ");
    EXPECT_EQ(r.bytes, "123456" + std::string(150, '\0') + "123" + "7   " + std::string(202, '\0'));
}

// Grabar, Borrar and Todo write their fields; a restart in a new order restores the answers.
TEST(Recording, RecordsFollowTheAnswersAndTheOrderOfTheCodes) {
    Dispensing d({"111111", "222222", "333333"});
    SurveySession s;
    ASSERT_TRUE(s.synchronise(d.st, d.paths));
    EXPECT_EQ(d.refFile(), std::string(18250, '\0')); // fifty records never written

    EXPECT_EQ(s.grabar(1, d.st, d.panel).controls, (RecordingControls{false, true, true}));
    EXPECT_TRUE(s.todoEnabled());
    // Record 1 only, NUL where never written; build captions go in as they stand ("001"),
    // restoring turns them into plain numbers.
    vltest::expectGolden("survey/grabar.ref", d.refFile());
    EXPECT_EQ(d.panel.rows[2].sele + d.panel.rows[3].sele, "16");

    EXPECT_EQ(s.borrar(1, d.st, d.panel).controls, (RecordingControls{true, true, false}));
    EXPECT_FALSE(s.todoEnabled() || s.isRecorded(1));
    // The answers of the question rows blank-padded, the flag too.
    vltest::expectGolden("survey/borrar.ref", d.refFile());
    EXPECT_EQ(d.panel.rows[3].sele, "6"); // the panel keeps the erased choice
    EXPECT_EQ(s.respuestasMed()[1][1][3], "");

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
    for (int m = 1; m <= 3; ++m)
        EXPECT_EQ(s.respuestasMed()[m][1][2] + s.respuestasMed()[m][0][1], "2orden");
    vltest::expectGolden("survey/todo.ref", d.refFile());

    const std::string firstTwo = d.refFile().substr(0, 2 * RefRecord::Length);
    d.setCodes({"444444", "111111", "222222"});
    d.panel = buildSurvey(kSurvey);
    SurveySession again;
    ASSERT_TRUE(again.synchronise(d.st, d.paths));
    // Unrecorded medicines come back as blanks; recorded ones byte for byte, NULs included.
    std::string blanks;
    for (int r = 4; r <= 50; ++r)
        blanks += std::string(363, ' ') + "\n\r";
    EXPECT_EQ(d.refFile(), "444444" + std::string(357, ' ') + "\n\r" + firstTwo + blanks);
    EXPECT_EQ(again.respuestasMed()[3][1][2], "2   ");
    EXPECT_EQ(again.muestraRespuestas(1, d.panel), (RecordingControls{true, true, false}));
    EXPECT_EQ(again.muestraRespuestas(3, d.panel), (RecordingControls{false, true, true}));
    EXPECT_EQ(d.panel.rows[2].sele + d.panel.rows[2].orden, "21");
    EXPECT_EQ(d.panel.rows[2].listIndex, 1);
    const std::string before = d.refFile(); // same list again: nothing changes
    ASSERT_TRUE(SurveySession().synchronise(d.st, d.paths));
    EXPECT_EQ(d.refFile(), before);
}

// Restoring: an empty stored position and code show "0" and the first entry, a position beyond
// the list shows none, a header row is never restored; without a reference file nothing can be
// recorded, "PENDIENTE DE GRABAR" included.
TEST(Recording, MuestraRespuestasRestoresNumbers) {
    SurveySession s;
    SurveyPanel p = buildSurvey(kSurvey);
    auto& t = s.respuestasMed();
    t[1][0] = {"1  ", "1  ", "   ", "7  "};
    t[1][1] = {"", "", "    ", "006 "};
    EXPECT_EQ(s.muestraRespuestas(1, p), (RecordingControls{false, false, false}));
    const std::string restored = describe(p);
    EXPECT_EQ(restored, "3 one | E0Grupo | P0Uno[Si,No] 0/0/0 | P0Dos[a,b] 6/7/-1 | -0");
    EXPECT_EQ(s.muestraRespuestas(2, p), (RecordingControls{false, false, false}));
    EXPECT_EQ(describe(p), restored); // not recorded: the panel stays as it is
    EXPECT_EQ(s.muestraRespuestas(0, p), std::nullopt);
    EXPECT_EQ(s.muestraRespuestas(51, p), std::nullopt);
}

// Repeated codes keep their first place, with or without a file.
TEST(Recording, NoUsableReferenceMeansNoFile) {
    for (const char* ref : {"", "ABC00001", "00000000"}) {
        Dispensing d({"A", "B", "A", "C", "B", "B"});
        d.st.hasReference = *ref != '\0';
        d.st.reference = ref;
        SurveySession s;
        EXPECT_TRUE(s.synchronise(d.st, d.paths));
        std::string codes;
        for (const std::string& code : d.st.CodeList)
            codes += code;
        EXPECT_EQ(codes + std::to_string(d.st.CodeCount), "ABC3");
        EXPECT_FALSE(s.referenceOpen());
        EXPECT_EQ(s.grabar(1, d.st, d.panel).controls, std::nullopt);
        EXPECT_TRUE(std::filesystem::is_empty(d.dir.path() / "quiroles/Velantia/referencias"));
    }
}

// A reference file that refuses writes (read-only, a full disk, a share gone read-only): Grabar,
// Borrar and Todo record nothing, in the file or in memory, and name the file; so does the
// start-up rewrite into a new order, or of a new file left empty, after which nothing is
// recorded either.
TEST(Recording, ReadOnlyReferenceFileRecordsNothingAndSaysWhich) {
    enum Action { Grabar, Borrar, Todo, NewOrder, NewFile };
    for (Action a : {Grabar, Borrar, Todo, NewOrder, NewFile}) {
        SCOPED_TRACE(a);
        Dispensing d({"111111", "222222"});
        {
            SurveySession s;
            ASSERT_TRUE(s.synchronise(d.st, d.paths));
            ASSERT_TRUE(s.grabar(2, d.st, d.panel).controls);
            ASSERT_TRUE(SurveySession().synchronise(d.st, d.paths)); // records in this order
        }
        if (a == NewOrder) d.setCodes({"222222", "111111"});
        const auto ref = d.dir.path() / "quiroles/Velantia/referencias/12345670.ref";
        if (a == NewFile) vltest::writeBytes(ref, "");
        const std::string before = d.refFile();
        std::optional<vltest::ReadOnly> file(ref), folder(ref.parent_path());
        if (!file->holds()) GTEST_SKIP() << "a read-only file cannot be made here";
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        EXPECT_EQ(s.startupWriteFailed(), a >= NewOrder);
        const AnswerTable table = s.respuestasMed();
        const RecordingResult r = a == Borrar ? s.borrar(2, d.st, d.panel)
                                  : a == Todo ? s.todo(d.st, d.panel, {})
                                              : s.grabar(1, d.st, d.panel);
        EXPECT_EQ(r.controls, std::nullopt);
        EXPECT_NE(r.unwrittenFile.find("12345670.ref"), std::string::npos) << r.unwrittenFile;
        EXPECT_TRUE(s.respuestasMed() == table);
        EXPECT_EQ(d.refFile(), before);
        // Mended, the file takes the start-up rewrite and the recording on the next try.
        file.reset(), folder.reset();
        EXPECT_TRUE(s.grabar(1, d.st, d.panel).controls);
        EXPECT_EQ(d.refFile().substr(0, 6), d.st.CodeList[1]);
        const std::string second = a == NewFile    ? std::string(6, '\0')
                                   : a == NewOrder ? "111111"
                                                   : "222222";
        EXPECT_EQ(d.refFile().substr(RefRecord::Length, 6), second);
    }
}

// A damaged survey: an answer before any row and a question without answers; Grabar and Todo
// leave that question's fields blank, so nothing of it reaches the outbox.
TEST(Recording, QuestionWithoutAnswersRecordsNothing) {
    for (const bool todo : {false, true}) {
        Dispensing d({"111111"});
        d.panel = buildSurvey("R004sx\r\nE001 G\r\nP001 Sin respuestas\r\nP002 Q\r\nR005 a\r\n");
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        ASSERT_TRUE(s.grabar(1, d.st, d.panel).controls);
        if (todo) s.todo(d.st, d.panel, [&](int m) { s.muestraRespuestas(m, d.panel); });
        RefRecord r;
        r.bytes = d.refFile().substr(0, RefRecord::Length);
        EXPECT_EQ(r.ord(2) + "|" + r.ans(2) + "|" + r.ord(3) + r.ans(3),
                  todo ? "   |    |0  5   " : "   |    |0  005 ");
        EXPECT_EQ(s.respuestasMed()[1][1][2] + s.respuestasMed()[1][0][2], "");
    }
}

// Grabar hands the focus to the next, else the previous medicine; with the survey shown, to the
// arrow beside Grabar. Borrar only to the next or previous medicine.
TEST(Recording, FocusAfterRecording) {
    using F = FocusTarget;
    EXPECT_EQ(
        std::vector({focusAfterGrabar(true, true, false), focusAfterGrabar(false, true, false),
                     focusAfterGrabar(false, false, false), focusAfterGrabar(true, false, true),
                     focusAfterGrabar(false, true, true), focusAfterBorrar(true, false),
                     focusAfterBorrar(false, true), focusAfterBorrar(false, false)}),
        std::vector(
            {F::Next, F::Prev, F::None, F::Command3, F::Command1, F::Next, F::Prev, F::None}));
}

} // namespace
