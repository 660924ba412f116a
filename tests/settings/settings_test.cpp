#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "settings/settings.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

vl::SettingsForm form(const std::string& height) {
    vl::SettingsForm f;
    f.n_farmacia = "28001234";
    f.alto_ventana = height;
    f.codigo_empresa = "8";
    f.clave = "secreta";
    f.precios = true;
    f.frecuencia = "7 - Semanal";
    f.conexion = "1 No Permanente";
    return f;
}

struct Root {
    vltest::TempDir dir;
    vl::Paths paths{dir.path()};
    Root() { fs::create_directories(dir.path() / "quiroles/Velantia/config"); }
};

TEST(SettingsSave, HeightMustLieBetween480AndTheScreen) {
    struct Case {
        const char* height;
        vl::SaveOutcome outcome;
    } cases[] = {{"479", vl::SaveOutcome::HeightOutOfRange},
                 {"480", vl::SaveOutcome::Saved},
                 {"768", vl::SaveOutcome::Saved},
                 {"769", vl::SaveOutcome::HeightOutOfRange},
                 {"abc", vl::SaveOutcome::HeightOutOfRange},
                 {"600px", vl::SaveOutcome::Saved}};
    for (const auto& c : cases) {
        Root r;
        vl::Config cfg;
        EXPECT_EQ(vl::saveSettings(r.paths, form(c.height), 768, cfg), c.outcome) << c.height;
        EXPECT_EQ(fs::exists(r.dir.path() / "quiroles/Velantia/config/datos.txt"),
                  c.outcome == vl::SaveOutcome::Saved)
            << c.height;
    }
}

TEST(SettingsSave, WritesAsTypedAndUpdatesMemory) {
    Root r;
    vl::Config cfg;
    vl::SettingsForm f = form("600px");
    f.frecuencia = "10 d\xED" "as";
    f.clave = "a\"b\t,c\r\n";
    ASSERT_EQ(vl::saveSettings(r.paths, f, 768, cfg), vl::SaveOutcome::Saved);
    EXPECT_EQ(r.dir.read("quiroles/Velantia/config/datos.txt"),
              "\"28001234\"\r\n\"600px\"\r\n1\r\n\"10 d\xED" "as\"\r\n\"8\"\r\n\"ab,c\"\r\n");
    EXPECT_EQ(r.dir.read("quiroles/tipoconect"), "1\r\n");
    EXPECT_EQ(cfg.alto_ventana, 600.0f);
    EXPECT_EQ(cfg.clave, "ab,c");
    EXPECT_EQ(cfg.descargar_precios, "1");
    EXPECT_EQ(cfg.frecuencia, "10 d\xED" "as");

    // What was saved is what the window shows next time.
    vl::Config loaded;
    vl::loadDatosTxt(r.dir.path() / "quiroles/Velantia/config/datos.txt", loaded);
    EXPECT_EQ(vl::formFromConfig(loaded).alto_ventana, "600");
    EXPECT_EQ(vl::formFromConfig(loaded).frecuencia, "10 d\xED" "as");
}

TEST(SettingsSave, ConnectionNumber) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"0 Permanente ADSL", 0}, {"1 No Permanente", 1}, {"ADSL", 0}, {"99999", 32767}};
    for (const auto& c : cases) {
        Root r;
        vl::Config cfg;
        vl::SettingsForm f = form("500");
        f.conexion = c.text;
        ASSERT_EQ(vl::saveSettings(r.paths, f, 768, cfg), vl::SaveOutcome::Saved);
        EXPECT_EQ(cfg.tipo_conexion, c.value) << c.text;
        EXPECT_EQ(r.dir.read("quiroles/tipoconect"), std::to_string(c.value) + "\r\n");
    }
}

TEST(SettingsForm, FilledFromMemory) {
    vl::Config cfg;
    EXPECT_EQ(vl::formFromConfig(cfg).alto_ventana, "525");
    EXPECT_FALSE(vl::formFromConfig(cfg).precios);
    EXPECT_EQ(vl::formFromConfig(cfg).conexion, "1 No Permanente");
    cfg.tipo_conexion = 0;
    EXPECT_EQ(vl::formFromConfig(cfg).conexion, "0 Permanente ADSL");
    EXPECT_EQ(vl::admittedRangeText(1024), "Valores admitidos entre 480 y 1024");
}

TEST(SettingsDates, ReceivedFilesAndLastSend) {
    Root r;
    const auto stamp = [](int hour, int min) {
        std::tm tm{};
        tm.tm_year = 2026 - 1900;
        tm.tm_mon = 10;
        tm.tm_mday = 3;
        tm.tm_hour = hour;
        tm.tm_min = min;
        tm.tm_isdst = -1;
        const auto sys = std::chrono::system_clock::from_time_t(std::mktime(&tm));
        return std::chrono::file_clock::from_sys(sys);
    };
    const auto enc = r.dir.write("quiroles/Velantia/recibido/ENCUESTA.XML", "x");
    const auto env = r.dir.write("quiroles/Velantia/recibido/Respuesta.env", "x");
    fs::last_write_time(enc, stamp(9, 30));
    fs::last_write_time(env, stamp(0, 0));
    const auto dates = vl::receivedDates(r.paths);
    EXPECT_EQ(dates[0], "03/11/2026 ");
    EXPECT_EQ(dates[1], "*"); // missing
    EXPECT_EQ(dates[2], "*");
    EXPECT_EQ(dates[3], "*"); // midnight
}

} // namespace
