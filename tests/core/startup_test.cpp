#include <gtest/gtest.h>

#include "core/startup.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

TEST(Startup, FreshRootGetsStatusFoldersAndDefaults) {
    vltest::TempDir dir;
    fs::create_directories(dir.path() / "quiroles/Velantia");
    const vl::Paths paths(dir.path());
    const vl::StartupState st = vl::prepareStartup(paths, "-00012343+654321", 768);
    EXPECT_TRUE(st.statusWritten);
    EXPECT_EQ(dir.read("quiroles/Velantia/final3"), "I");
    for (const char* d : {"recibido", "config", "referencias", "htm", "htm3"})
        EXPECT_TRUE(fs::is_directory(dir.path() / "quiroles/Velantia" / d)) << d;
    // One level at a time: datos does not exist, so datos\textos is not made.
    EXPECT_FALSE(fs::exists(dir.path() / "quiroles/Velantia/datos"));
    EXPECT_EQ(st.surveySwitch, std::nullopt);
    EXPECT_EQ(st.cfg.alto_ventana, 525.0f);
    EXPECT_EQ(st.cfg.tipo_conexion, 1);
    EXPECT_EQ(st.todayStamp.size(), 8u);
    EXPECT_EQ(st.run.CodeCount, 1);
}

TEST(Startup, ReadsSettingsInAnySpelling) {
    vltest::TempDir dir;
    dir.write("QUIROLES/velantia/Config/DATOS.TXT", "\"99\"\r\n\"300\"\r\n0\r\n");
    dir.write("QUIROLES/velantia/Config/Encuesta.for", "0\r\n");
    dir.write("QUIROLES/velantia/Datos/x", "");
    dir.write("QUIROLES/TipoConect", "0\r\n");
    const vl::StartupState st = vl::prepareStartup(vl::Paths(dir.path()), "", 700);
    EXPECT_EQ(st.cfg.n_farmacia, "99");
    EXPECT_EQ(st.cfg.alto_ventana, 480.0f);
    EXPECT_EQ(st.surveySwitch, 0);
    EXPECT_EQ(st.cfg.tipo_conexion, 0);
    // No reference: the status file is "final" itself, and the folders reuse their spelling.
    EXPECT_EQ(dir.read("QUIROLES/velantia/final"), "I");
    EXPECT_TRUE(fs::is_directory(dir.path() / "QUIROLES/velantia/Datos/textos"));
    EXPECT_EQ(fs::directory_iterator(dir.path())->path().filename(), "QUIROLES");
}

TEST(Startup, MissingProductFolderIsReported) {
    vltest::TempDir dir;
    const vl::StartupState st = vl::prepareStartup(vl::Paths(dir.path()), "-00012340", 768);
    EXPECT_FALSE(st.statusWritten);
}

} // namespace
