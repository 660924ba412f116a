#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "settings/settings.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

struct Root {
    vltest::TempDir dir;
    vl::Paths paths{dir.path()};
    vl::Config cfg;
    Root() { fs::create_directories(dir.path() / "quiroles/Velantia/config"); }
    vl::SaveOutcome save(const std::string& height, const std::string& conexion = "1") {
        const vl::SettingsForm f{"28001234",     height, "8",
                                 "a\"b\t,c\r\n", true,   std::string("10 d\xED") + "as",
                                 conexion};
        return vl::saveSettings(paths, f, 768, cfg);
    }
};

// Height between 480 and the screen; the connection is the number the choice starts with.
TEST(SettingsSave, HeightRangeAndConnectionNumber) {
    using O = vl::SaveOutcome;
    const std::tuple<const char*, const char*, O, int> cases[] = {
        {"479", "1", O::HeightOutOfRange, 0},    {"480", "0 Permanente ADSL", O::Saved, 0},
        {"768", "1 No Permanente", O::Saved, 1}, {"769", "1", O::HeightOutOfRange, 0},
        {"abc", "1", O::HeightOutOfRange, 0},    {"600px", "ADSL", O::Saved, 0},
        {"500", "99999", O::Saved, 32767}};
    for (const auto& [height, conexion, outcome, tipo] : cases) {
        Root r;
        EXPECT_EQ(r.save(height, conexion), outcome) << height;
        const bool saved = outcome == O::Saved;
        EXPECT_EQ(fs::exists(r.dir.path() / "quiroles/Velantia/config/datos.txt"), saved) << height;
        EXPECT_EQ(r.dir.read("quiroles/tipoconect"),
                  saved ? std::to_string(tipo) + "\r\n" : "<missing>");
        EXPECT_EQ(r.cfg.tipo_conexion, saved ? tipo : 1) << conexion;
    }
}

TEST(SettingsSave, WritesAsTypedAndUpdatesMemory) {
    Root r;
    ASSERT_EQ(r.save("600px"), vl::SaveOutcome::Saved);
    const std::string days = std::string("10 d\xED") + "as";
    EXPECT_EQ(r.dir.read("quiroles/Velantia/config/datos.txt"),
              "\"28001234\"\r\n\"600px\"\r\n1\r\n\"" + days + "\"\r\n\"8\"\r\n\"ab,c\"\r\n");
    EXPECT_EQ(r.cfg.alto_ventana, 600.0f);
    EXPECT_EQ(r.cfg.clave + r.cfg.descargar_precios + r.cfg.frecuencia, "ab,c1" + days);
    // What was saved is what the window shows next time.
    vl::Config loaded;
    vl::loadDatosTxt(r.dir.path() / "quiroles/Velantia/config/datos.txt", loaded);
    loaded.tipo_conexion = 0;
    const vl::SettingsForm f = vl::formFromConfig(loaded);
    EXPECT_EQ(f.alto_ventana + "|" + f.frecuencia + "|" + f.conexion + "|" + f.clave,
              "600|" + days + "|0 Permanente ADSL|ab,c");
    EXPECT_TRUE(f.precios);
}

// A character with no Windows-1252 byte is refused, naming it; the euro sign and "?" are kept.
TEST(SettingsSave, CharactersWindows1252CannotKeepAreNamed) {
    const std::tuple<const char*, const char*, const char*, int, const char*> cases[] = {
        {"28001234", "8", "cl,ave \u00f1\u20ac\u03a9", 3,
         "La clave contiene el car\u00e1cter \u00ab\u03a9\u00bb"},
        {"2800\u0141", "8\U0001F600", "x", 0,
         "El n\u00famero de farmacia contiene el car\u00e1cter \u00ab\u0141\u00bb"},
        {"28001234", "\U0001F600", "x", 2, "\u00ab\U0001F600\u00bb"},
        {"\u20ac?\u00fc", "", "\u00bfqu\u00e9?", -1, ""}};
    for (const auto& [farmacia, empresa, clave, field, said] : cases) {
        const vl::UnstorableValue v = vl::findUnstorableValue(farmacia, empresa, clave);
        EXPECT_EQ(v.field, field) << clave;
        EXPECT_NE(v.message.find(said), std::string::npos) << v.message;
    }
}

TEST(SettingsDates, ReceivedFilesAndLastSend) {
    Root r;
    const auto stamp = [](int hour, int min) { // 2026-11-03, local time
        std::tm tm{};
        tm.tm_year = 126, tm.tm_mon = 10, tm.tm_mday = 3, tm.tm_hour = hour, tm.tm_min = min;
        tm.tm_isdst = -1;
        const auto sys = std::chrono::system_clock::from_time_t(std::mktime(&tm));
        return std::chrono::file_clock::from_sys(sys);
    };
    fs::last_write_time(r.dir.write("quiroles/Velantia/recibido/ENCUESTA.XML", "x"), stamp(9, 30));
    fs::last_write_time(r.dir.write("quiroles/Velantia/recibido/Respuesta.env", "x"), stamp(0, 0));
    const auto dates = vl::receivedDates(r.paths);
    // A missing file, and one written at midnight, show no date.
    EXPECT_EQ(dates[0] + dates[1] + dates[2] + dates[3], "03/11/2026 ***");
}

} // namespace
