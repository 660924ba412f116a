// The closing call as the launcher does it, before any window exists.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "core/dates.h"
#include "core/runlog.h"
#include "core/startup.h"
#include "core/text.h"
#include "outbox/closingcall.h"
#include "support/tempdir.h"
#include "survey/recording.h"
#include "survey/survey.h"

namespace fs = std::filesystem;

namespace {

// Records the first medicine of "-00012342+692514+683907" with its default answers.
void recordFirstMedicine(const vl::Paths& paths) {
    vl::makeProductFolders(paths, "2");
    vl::RunState st = vl::parseCommandLine("-00012342+692514+683907");
    vl::SurveyPanel panel = vl::buildSurvey(vl::readSurveyFile(paths));
    vl::SurveySession session;
    ASSERT_TRUE(session.synchronise(st, paths));
    for (int k = 1; k <= panel.ultimaPregunta; ++k)
        if (panel.isQuestionRow(k)) vl::chooseAnswer(panel, k, 0);
    ASSERT_TRUE(session.grabar(1, st, panel).controls);
}

TEST(ClosingCallWithoutWindows, OutcomeAndFilesLeft) {
    struct Case {
        const char* name;
        const char* lockBefore; // nullptr: no lock file
        bool productFolder;
        const char* commandLine;
        vl::ClosingOutcome::Kind kind;
        bool moved; // one line reached the outbox, the reference file is gone
        const char* lockAfter;
        const char* statusAfter; // final2
        const char* error = "";  // part of the message; the reference file made unopenable
        const char* logged = ""; // part of the run log
        bool readOnly = false;   // instead the reference file made read-only, closed twice
    };
    const Case cases[] = {
        {"lock free", nullptr, true, "TK-00012342+692514+683907", vl::ClosingOutcome::Done, true,
         "*", "F", "", "00012342: líneas escritas en Respuesta.tsv: 1 (números 1 a 1)"},
        {"run log cannot be written", nullptr, true, "TK-00012342+692514+683907",
         vl::ClosingOutcome::Done, true, "*", "F"},
        {"own lock left over", "2", true, "TK-00012342+692514+683907", vl::ClosingOutcome::Done,
         true, "*", "F"},
        {"other terminal sending", "3", true, "TK-00012342+692514+683907", vl::ClosingOutcome::Busy,
         false, "3", "I", "", "Cierre: Ocupado por el terminal 3"},
        {"no reference", nullptr, true, "TK+692514", vl::ClosingOutcome::NoMove, false, "<missing>",
         "<missing>"},
        {"no product folder", nullptr, false, "TK-00012342+692514", vl::ClosingOutcome::NoMove,
         false, "<missing>", "<missing>"},
        {"reference file cannot be opened", nullptr, true, "TK-00012342+692514+683907",
         vl::ClosingOutcome::Failed, false, "*", "I", "00012342.ref",
         "Cierre de la dispensación: ERROR: No se puede abrir"},
        {"reference file read-only", nullptr, true, "TK-00012342+692514+683907",
         vl::ClosingOutcome::Failed, false, "*", "I", "00012342.ref", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vltest::TempDir dir;
        const vl::Paths paths(dir.path());
        if (c.productFolder) {
            fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", dir.path(),
                     fs::copy_options::recursive);
            recordFirstMedicine(paths);
        }
        std::optional<vltest::ReadOnly> readOnly;
        if (c.readOnly) {
            readOnly.emplace(paths.product("referencias/00012342.ref"));
            if (!readOnly->holds()) continue;
            vl::closingCallWithoutWindows(paths, c.commandLine, 768);
        } else if (*c.error) {
            fs::remove(paths.product("referencias/00012342.ref"));
            fs::create_directory(paths.product("referencias/00012342.ref"));
        }
        if (c.lockBefore) vltest::writeBytes(paths.product("Ocupado"), c.lockBefore);
        if (std::string_view(c.name).starts_with("run log"))
            fs::create_directories(paths.product("registro2.log"));

        vl::runlog::open(paths, "2");
        const vl::ClosingOutcome o = vl::closingCallWithoutWindows(paths, c.commandLine, 768);
        vl::runlog::close();
        EXPECT_NE(
            vl::fromCp1252(vl::runlog::readLog(vl::runlog::logPath(paths, "2"))).find(c.logged),
            std::string::npos);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_TRUE(*c.error ? o.error.find(c.error) != std::string::npos : o.error.empty())
            << o.error;
        if (!c.productFolder) {
            EXPECT_FALSE(o.st.statusWritten);
            continue;
        }
        const std::string outbox = vltest::readBytes(paths.product("Respuesta.tsv"));
        if (c.moved) {
            EXPECT_EQ(outbox, "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n"
                              "1\t692514\t28001234\t" +
                                  vl::TodayStamp() + "\t101,111,121,201,211,221\r\n");
            EXPECT_FALSE(fs::exists(paths.product("referencias/00012342.ref")));
        } else {
            EXPECT_EQ(outbox, "<missing>");
        }
        EXPECT_EQ(vltest::readBytes(paths.product("Ocupado")), c.lockAfter);
        EXPECT_EQ(vltest::readBytes(paths.product("final2")), c.statusAfter);
    }
}

} // namespace
