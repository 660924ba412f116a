#include <gtest/gtest.h>

#include <regex>

#include "core/paths.h"
#include "core/runlog.h"
#include "support/tempdir.h"

namespace {

struct LogTest : ::testing::Test {
    vltest::TempDir dir;
    vl::Paths paths{dir.path()};
    void SetUp() override { dir.write("quiroles/Velantia/config/x", ""); }
    void TearDown() override { vl::runlog::close(); }
};

TEST_F(LogTest, OneWindows1252LinePerEventInTheTerminalsFile) {
    vl::runlog::log("antes de abrir"); // no file yet: nothing to write to
    vl::runlog::open(paths, "3");
    vl::runlog::log("Cierre: número\r\ncortado");
    vl::runlog::open(paths, "");
    vl::runlog::log("sin dígito");
    const std::string three = dir.read("quiroles/Velantia/registro3.log");
    EXPECT_TRUE(std::regex_match(
        three,
        std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[\d+\] Cierre: n\xFAmero cortado\r\n)")))
        << three;
    EXPECT_NE(dir.read("quiroles/Velantia/registro.log").find("sin d\xEDgito\r\n"),
              std::string::npos);
}

TEST_F(LogTest, PastTheLimitTheLogMovesToDotOneReplacingTheOldOne) {
    const std::string full(vl::runlog::MaxBytes - 20, 'x');
    dir.write("quiroles/Velantia/registro0.log", full);
    dir.write("quiroles/Velantia/registro0.log.1", "previous");
    vl::runlog::open(paths, "0");
    vl::runlog::log("nuevo");
    EXPECT_EQ(dir.read("quiroles/Velantia/registro0.log.1"), full);
    EXPECT_NE(dir.read("quiroles/Velantia/registro0.log").find("] nuevo\r\n"), std::string::npos);
    EXPECT_LT(dir.read("quiroles/Velantia/registro0.log").size(), 100u);
}

TEST_F(LogTest, AnUnwritableLogIsSkipped) {
    std::filesystem::create_directories(dir.path() / "quiroles/Velantia/registro1.log");
    vl::runlog::open(paths, "1");
    vl::runlog::log("nada"); // must neither throw nor crash
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "quiroles/Velantia/registro1.log"));
}

} // namespace
