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

// What the files cannot keep is refused in any field, naming it and the character: a double
// quote, a control character, one without a Windows-1252 byte, more characters than its line
// holds. The euro sign, "?" and accented letters are kept, each one character.
TEST(SettingsSave, CharactersTheFilesCannotKeepAreNamed) {
    std::string vl::SettingsForm::*const fields[] = {
        &vl::SettingsForm::n_farmacia,     &vl::SettingsForm::alto_ventana,
        &vl::SettingsForm::codigo_empresa, &vl::SettingsForm::clave,
        &vl::SettingsForm::frecuencia,     &vl::SettingsForm::conexion};
    std::string ene64;
    for (int i = 0; i < 64; ++i)
        ene64 += "\u00f1";
    const struct {
        int field;
        std::string value;
        int refused;
        const char* said;
    } rows[] = {
        {3, "cl,ave \u00f1\u20ac\u03a9", 3,
         "La clave contiene el car\u00e1cter \u00ab\u03a9\u00bb"},
        {0, "2800\u0141", 0,
         "El n\u00famero de farmacia contiene el car\u00e1cter \u00ab\u0141\u00bb"},
        {2, "\U0001F600", 2, "\u00ab\U0001F600\u00bb"},
        {3, "se\"creta", 3, "La clave contiene el car\u00e1cter \u00ab\"\u00bb"},
        {2, "8\"x,9", 2, "El c\u00f3digo de empresa contiene el car\u00e1cter \u00ab\"\u00bb"},
        {1, "600\u03a9", 1, "El tama\u00f1o de la pantalla contiene el car\u00e1cter \u00ab\u03a9"},
        {4, "7 - Semanal \u03a9", 4, "La frecuencia contiene el car\u00e1cter \u00ab\u03a9"},
        {5, "1 No Permanente\"", 5, "La conexi\u00f3n a internet contiene el car\u00e1cter"},
        {0, "28\t01", 0, "un car\u00e1cter de control (U+0009)"},
        {3, "a\u0085b", 3, "un car\u00e1cter de control (U+0085)"},
        {0, std::string(33, '1'), 0,
         "El n\u00famero de farmacia tiene 33 caracteres y caben como mucho 32"},
        {4, ene64 + "x", 4, "La frecuencia tiene 65 caracteres y caben como mucho 64"},
        {3, ene64, -1, ""},
        {0, "\u20ac?\u00fc\u00bfqu\u00e9?" + std::string(24, '1'), -1, ""},
    };
    for (const auto& r : rows) {
        vl::SettingsForm f{"28001234", "600", "8", "x", false, "7 - Semanal", "1 No Permanente"};
        f.*fields[r.field] = r.value;
        const vl::UnstorableValue v = vl::findUnstorableValue(f);
        EXPECT_EQ(v.field, r.refused) << r.value;
        EXPECT_NE(v.message.find(r.said), std::string::npos) << v.message;
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
