// The survey file and the reference files, damaged or hostile: the panel stays within its
// tables, and the answers of every complete reference record survive.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/hostile.h"
#include "support/terminal.h"
#include "survey/recording.h"
#include "survey/survey.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const char* const kSurvey = "E001 Grupo\r\nP001 Uno\r\nR001sSi\r\nR002 No\r\n"
                            "E002 Otro\r\nP002 Dos\r\nR005 a\r\nR006sb\r\n";

void expectWithinTables(const SurveyPanel& p) {
    EXPECT_GE(p.ultimaPregunta, 0);
    EXPECT_LE(p.ultimaPregunta, SurveyMaxRows);
    for (const auto& row : p.rows) {
        EXPECT_LE(row.answers.size(), static_cast<std::size_t>(SurveyMaxAnswers));
        EXPECT_LT(row.listIndex, static_cast<int>(row.answers.size()));
    }
}

TEST(HostileSurveyFile, PanelStaysWithinItsTables) {
    // Beyond the tables on purpose: 80 questions of 30 answers each.
    std::string tooMany = "E001 G\r\n";
    for (int q = 0; q < 80; ++q) {
        tooMany += "P001 Pregunta\r\n";
        for (int a = 0; a < 30; ++a)
            tooMany += "R" + std::to_string(100 + a) + " r\r\n";
    }
    auto variants = vltest::hostileVariants(kSurvey);
    variants.push_back({"too many rows and answers", tooMany});
    variants.push_back({"huge answer codes", "P001 x\r\nR999s\r\nR-99 y\r\nR1e9 z\r\n"});
    for (const auto& v : variants) {
        SCOPED_TRACE(v.what);
        vltest::TempDir dir;
        dir.write("quiroles/Velantia/datos/Encuesta.txt", v.bytes);
        const std::string read = readSurveyFile(Paths(dir.path()));
        EXPECT_EQ(read, v.bytes);
        SurveyPanel p = buildSurvey(read);
        expectWithinTables(p);
        // Choosing anything anywhere, in range or not, keeps the panel sound.
        for (int row = -1; row <= SurveyMaxRows + 1; ++row)
            for (int pos : {-1, 0, 20, 21, 1000})
                chooseAnswer(p, row, pos);
        expectWithinTables(p);
    }
}

// The dispensing of reference 12345670 with two medicines.
struct Dispensing : vltest::Terminal {
    Dispensing() : Terminal({"111111", "222222"}) {}
    std::string file() const { return refFile(); }
    void writeFile(const std::string& bytes) const { write("referencias/12345670.ref", bytes); }
};

// A recorded record: code, ord(0) "1", row 1 answered with code 5 at position 1.
std::string recorded(const std::string& code) {
    RefRecord r;
    r.setCode(code);
    r.setOrd(0, "1");
    r.setOrd(1, "1");
    r.setAns(1, "5");
    r.setEnd();
    return r.bytes;
}

// Each record ends LF CR, or is all NUL when the file had to start again (no complete record).
void expectFiftyRecords(const std::string& file) {
    ASSERT_GE(file.size(), 50u * RefRecord::Length);
    const bool fresh =
        file.substr(0, 50 * RefRecord::Length) == std::string(50 * RefRecord::Length, '\0');
    for (int r = 0; r < 50; ++r)
        EXPECT_EQ(file.substr(r * RefRecord::Length + RefRecord::EndAt, 2),
                  fresh ? std::string(2, '\0') : std::string("\n\r"))
            << r + 1;
}

// Lengths that are not a multiple of the record: every complete record is read, a torn one is
// not, and the file ends up with its 50 records.
TEST(HostileReferenceFile, OddLengthsKeepEveryCompleteRecord) {
    const std::string full =
        recorded("111111") + recorded("222222") + std::string(48 * RefRecord::Length, ' ');
    const std::size_t L = RefRecord::Length;
    const std::size_t lengths[] = {1,          L - 1,         L + 1,      2 * L - 1,
                                   2 * L + 7,  49 * L + 200,  50 * L - 1, 50 * L + 1,
                                   51 * L + 7, 50 * L + L / 2};
    for (const std::size_t len : lengths) {
        SCOPED_TRACE(len);
        Dispensing d;
        std::string bytes = full;
        bytes.resize(len, '9'); // whatever follows the records
        d.writeFile(bytes);
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        EXPECT_EQ(s.isRecorded(1), len >= L);
        EXPECT_EQ(s.isRecorded(2), len >= 2 * L);
        if (len >= L) {
            EXPECT_EQ(s.respuestasMed()[1][1][1], "5   ");
        }
        s.closeReference();
        expectFiftyRecords(d.file());
        if (len >= 2 * L) {
            EXPECT_EQ(d.file().substr(0, 2 * L), full.substr(0, 2 * L));
        }
    }
}

// Damaged or hostile content: no crash, 50 sound records afterwards, and a record whose code
// is not that of a medicine of this dispensing never marks one recorded.
TEST(HostileReferenceFile, DamagedContentIsSurvived) {
    std::string valid = recorded("111111") + recorded("222222");
    for (int r = 3; r <= 50; ++r)
        valid += recorded("9999" + std::to_string(10 + r));
    for (const auto& v : vltest::hostileVariants(valid)) {
        SCOPED_TRACE(v.what);
        Dispensing d;
        d.writeFile(v.bytes);
        SurveySession s;
        ASSERT_TRUE(s.synchronise(d.st, d.paths));
        s.closeReference();
        expectFiftyRecords(d.file());
        for (int m = 3; m <= 50; ++m)
            EXPECT_FALSE(s.isRecorded(m)) << m;
    }
}

} // namespace
