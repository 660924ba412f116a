// The closing call as the launcher does it, before any window exists.
#include <gtest/gtest.h>

#include <optional>

#include "core/dates.h"
#include "core/runlog.h"
#include "outbox/closingcall.h"
#include "support/closings.h"

namespace fs = std::filesystem;

namespace {

TEST(ClosingCallWithoutWindows, OutcomeAndFilesLeft) {
    using K = vl::ClosingOutcome::Kind;
    const std::string line = "TK-10000012+201001";
    const struct {
        const char* name;
        const char* lockBefore; // nullptr: no lock file
        std::string commandLine;
        K kind;
        const char* lockAfter;
        const char* statusAfter; // final2
        const char* error = "";  // part of the message; the reference file made unopenable
        const char* logged = ""; // part of the run log
        bool readOnly = false;   // instead the reference file made read-only, closed twice
    } cases[] = {
        {"lock free", nullptr, line, K::Done, "*", "F", "",
         "10000012: líneas escritas en Respuesta.tsv: 1 (números 1 a 1)"},
        {"run log cannot be written", nullptr, line, K::Done, "*", "F"},
        {"own lock left over", "2", line, K::Done, "*", "F"},
        {"other terminal sending", "3", line, K::Busy, "3", "I", "",
         "Cierre: Ocupado por el terminal 3"},
        {"no reference", nullptr, "TK+201001", K::NoMove, "<missing>", "<missing>"},
        {"no product folder", nullptr, line, K::NoMove, "", ""},
        {"reference file cannot be opened", nullptr, line, K::Failed, "*", "I", "10000012.ref",
         "Cierre de la dispensación: ERROR: No se puede abrir"},
        {"reference file read-only", nullptr, line, K::Failed, "*", "I", "10000012.ref", "", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vltest::TempDir dir;
        const vl::Paths paths(dir.path());
        const fs::path ref = paths.product("referencias/10000012.ref");
        if (*c.statusAfter) { // one medicine recorded
            dir.write("quiroles/Velantia/config/datos.txt", "4321\r\n");
            fs::create_directories(ref.parent_path());
            vltest::writeClosingRound(paths, "2", 1, 1);
        }
        std::optional<vltest::ReadOnly> readOnly;
        if (c.readOnly) {
            readOnly.emplace(ref);
            if (!readOnly->holds()) continue;
            vl::closingCallWithoutWindows(paths, c.commandLine, 768);
        } else if (*c.error) {
            fs::remove(ref);
            fs::create_directory(ref);
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
        if (!*c.statusAfter) {
            EXPECT_FALSE(o.st.statusWritten);
            continue;
        }
        // Moved: one line in the outbox, the reference file gone.
        const bool moved = c.kind == K::Done;
        EXPECT_EQ(vltest::readBytes(paths.product("Respuesta.tsv")),
                  moved ? std::string(vl::OutboxHeader) + "1\t201001\t4321\t" + vl::TodayStamp() +
                              "\t2,1,1\r\n"
                        : "<missing>");
        EXPECT_EQ(fs::exists(ref), !moved);
        EXPECT_EQ(vltest::readBytes(paths.product("Ocupado")), c.lockAfter);
        EXPECT_EQ(vltest::readBytes(paths.product("final2")), c.statusAfter);
    }
}

} // namespace
