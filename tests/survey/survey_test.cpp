#include <gtest/gtest.h>

#include <filesystem>

#include "support/tempdir.h"
#include "survey/survey.h"

using namespace vl;

namespace {

std::string lines(std::initializer_list<const char*> ls) {
    std::string s;
    for (const char* l : ls)
        s += std::string(l) + "\r\n";
    return s;
}

TEST(SurveyBuild, RowsAndColumns) {
    struct Case {
        const char* name;
        std::string file;
        bool twoColumns;
        int ultimaPregunta, lastRow;
        std::vector<int> columns; // of rows 1, 2, ...
    } cases[] = {
        {"empty", "", false, 0, 0, {}},
        // The line after the last row creates one more hidden row.
        {"one column",
         lines({"E001 Grupo", "P001 Uno", "R001 si", "R002 no", "P002 Dos", "R003 a"}),
         false,
         3,
         4,
         {0, 0, 0, 0}},
        {"last line takes a row", lines({"E001 G", "P001 Q"}), false, 2, 2, {0, 0}},
        // The second header starts the second column; a third stays there.
        {"two columns",
         lines({"E001 G1", "P001 Q1", "R001 a", "E002 G2", "P002 Q2", "R005 b", "E003 G3",
                "P003 Q3"}),
         true,
         6,
         6,
         {0, 0, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SurveyPanel p = buildSurvey(c.file);
        EXPECT_EQ(p.twoColumns, c.twoColumns);
        EXPECT_EQ(p.ultimaPregunta, c.ultimaPregunta);
        for (std::size_t r = 0; r < c.columns.size(); ++r) {
            EXPECT_TRUE(p.rows[r + 1].exists) << r + 1;
            EXPECT_EQ(p.rows[r + 1].column, c.columns[r]) << r + 1;
        }
        EXPECT_FALSE(p.rows[c.lastRow + 1].exists);
    }
}

TEST(SurveyBuild, RowKindsAndTexts) {
    const SurveyPanel p =
        buildSurvey(lines({"E001 Grupo \xC1", "P009xPregunta \xF1", "X001 otro"}));
    EXPECT_TRUE(p.rows[1].isGroup && p.rows[1].bold && p.rows[1].titleShown);
    EXPECT_FALSE(p.rows[1].listShown);
    EXPECT_EQ(p.rows[1].title, "Grupo \xC1");
    EXPECT_TRUE(p.rows[2].listShown && p.rows[2].titleShown && !p.rows[2].bold);
    EXPECT_EQ(p.rows[2].title, "Pregunta \xF1");
    // An unknown type only creates the next row, hidden.
    EXPECT_TRUE(p.rows[3].exists);
    EXPECT_FALSE(p.rows[3].titleShown || p.rows[3].listShown);
    EXPECT_TRUE(p.isQuestionRow(2));
    EXPECT_FALSE(p.isQuestionRow(1));
}

TEST(SurveyBuild, DefaultAnswer) {
    struct Case {
        std::vector<const char*> answers;
        int listIndex;
        const char* sele;
        const char* orden;
    } cases[] = {
        {{"R001 a", "R002sb", "R003 c", "R004sd", "R005 e"}, 3, "004", "3"}, // last flagged wins
        {{"R001 a", "R002Sb"}, 0, "001", "0"}, // upper case is no flag
        {{"R001 a", "R002 b"}, 0, "001", "0"},
        {{"R 7 a"}, 0, " 7 ", "0"}, // code characters kept as they stand
    };
    for (const auto& c : cases) {
        std::string file = lines({"P001 Q"});
        for (const char* a : c.answers)
            file += std::string(a) + "\r\n";
        const SurveyPanel p = buildSurvey(file);
        EXPECT_EQ(p.rows[1].answers.size(), c.answers.size());
        EXPECT_EQ(p.rows[1].listIndex, c.listIndex) << c.sele;
        EXPECT_EQ(p.rows[1].sele, c.sele);
        EXPECT_EQ(p.rows[1].orden, c.orden);
    }
    EXPECT_EQ(buildSurvey(lines({"P001 Q", "R 7 a", "R-12b"})).codigoRespuesta[1][1], -12);
}

TEST(SurveyBuild, AnswersOutsideQuestions) {
    // Before any row: the template's hidden list; row 1 was created before it.
    SurveyPanel p = buildSurvey(lines({"R004sx", "P001 Q", "P002 Sin respuestas"}));
    EXPECT_EQ(p.rows[0].answers, std::vector<std::string>{"x"});
    EXPECT_EQ(p.rows[0].sele, "004");
    EXPECT_EQ(p.codigoRespuesta[0][0], 4);
    EXPECT_EQ(p.rows[1].sele, "");
    EXPECT_EQ(p.rows[1].orden, "orden");
    EXPECT_EQ(p.rows[1].title, "Q");

    // After a group header: that row's hidden list. A question without answers keeps "orden".
    p = buildSurvey(lines({"E001 G", "R003 a", "P001 Q"}));
    EXPECT_EQ(p.rows[1].answers.size(), 1u);
    EXPECT_EQ(p.rows[1].sele, "003");
    EXPECT_FALSE(p.rows[1].listShown);
    EXPECT_TRUE(p.rows[2].answers.empty());
    EXPECT_EQ(p.rows[2].sele, "");
    EXPECT_EQ(p.rows[2].orden, "orden");
    EXPECT_EQ(p.rows[2].listIndex, -1);
}

TEST(SurveyBuild, ShortLinesAreSkippedAndLimitsHold) {
    SurveyPanel p = buildSurvey("E001 G\r\n\r\nR\r\nP01\r\nRabc\r\nP001 \r\n");
    EXPECT_TRUE(p.rows[1].answers.empty());
    EXPECT_EQ(p.ultimaPregunta, 2);
    EXPECT_EQ(p.rows[2].title, "");
    EXPECT_FALSE(p.rows[3].exists);

    std::string big;
    for (int r = 1; r <= 60; ++r)
        big += "P001 Q" + std::to_string(r) + "\r\n";
    big += "R001 late\r\n";
    p = buildSurvey(big);
    EXPECT_EQ(p.ultimaPregunta, 50);
    EXPECT_EQ(p.rows[50].title, "Q50");
    EXPECT_TRUE(p.rows[50].answers.empty());

    std::string many = "P001 Q\r\n";
    for (int a = 1; a <= 25; ++a)
        many += "R" + std::to_string(100 + a) + "sA\r\n";
    p = buildSurvey(many);
    EXPECT_EQ(p.rows[1].answers.size(), 21u);
    EXPECT_EQ(p.codigoRespuesta[1][20], 121);
    EXPECT_EQ(p.rows[1].sele, "121");
}

TEST(SurveyBuild, ChooseAnswerStoresDecimalCode) {
    SurveyPanel p = buildSurvey(lines({"P001 Q", "R001 a", "R006 b"}));
    chooseAnswer(p, 1, 1);
    EXPECT_EQ(p.rows[1].sele, "6");
    EXPECT_EQ(p.rows[1].orden, "1");
    EXPECT_EQ(p.rows[1].listIndex, 1);
    for (auto [row, pos] : {std::pair{1, 2}, {1, -1}, {1, 21}, {51, 0}, {-1, 0}, {2, 0}})
        chooseAnswer(p, row, pos);
    EXPECT_EQ(p.rows[1].listIndex, 1);
    EXPECT_EQ(p.rows[1].sele, "6");
}

TEST(SurveyBuild, ReadSurveyFileCreatesMissingFile) {
    vltest::TempDir dir;
    std::filesystem::create_directories(dir.path() / "quiroles/Velantia/datos");
    const Paths paths(dir.path());
    EXPECT_EQ(readSurveyFile(paths), "");
    EXPECT_EQ(dir.read("quiroles/Velantia/datos/encuesta.txt"), "");
    dir.write("quiroles/Velantia/datos/encuesta.txt", "P001 Q\r\n");
    EXPECT_EQ(readSurveyFile(paths), "P001 Q\r\n");
}

} // namespace
