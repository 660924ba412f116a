#include <gtest/gtest.h>

#include "core/config.h"
#include "support/tempdir.h"

namespace {

TEST(DelimitedField, ReadsLikeTheFieldReader) {
    struct Case {
        const char* line;
        const char* field;
    } cases[] = {{"\"28001234\"", "28001234"},
                 {"   \"con, coma y  blancos \"", "con, coma y  blancos "},
                 {"1", "1"},
                 {"  sin comillas  ", "sin comillas"},
                 {"a,b", "a"},
                 {"\"\"", ""},
                 {"\"abierta", "abierta"},
                 {"", ""}};
    for (const auto& c : cases) EXPECT_EQ(vl::readDelimitedField(c.line), c.field) << c.line;
}

// Fields missing from the file, or the whole file, take their defaults whatever memory held.
TEST(DatosTxt, LoadGivesDefaultsForWhatIsMissing) {
    struct Case {
        const char* bytes; // nullptr: no file
        const char *farmacia, *precios;
        float alto;
    } cases[] = {{nullptr, "", "", 525}, {"\"111\"\r\n\"600\"\r\n1\r\n", "111", "1", 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes ? c.bytes : "no file");
        vltest::TempDir dir;
        if (c.bytes) dir.write("datos.txt", c.bytes);
        vl::Config cfg;
        cfg.frecuencia = "otra";
        cfg.codigo_empresa = "otra";
        vl::loadDatosTxt(dir.path() / "datos.txt", cfg);
        vl::applyHeightLimits(cfg, 768);
        EXPECT_EQ(cfg.n_farmacia, c.farmacia);
        EXPECT_EQ(cfg.alto_ventana, c.alto);
        EXPECT_EQ(cfg.descargar_precios, c.precios);
        EXPECT_EQ(cfg.frecuencia, "7 - Semanal");
        EXPECT_EQ(cfg.codigo_empresa, "8");
        EXPECT_EQ(cfg.clave, "");
        EXPECT_EQ(vl::readTipoConexion(dir.path() / "tipoconect"), std::nullopt);
    }
}

TEST(DatosTxt, HeightLimits) {
    struct Case {
        const char* line2;
        int screen;
        float expected;
    } cases[] = {{"\"\"", 768, 525}, {"\"300\"", 768, 480},  {"\"600px\"", 768, 600},
                 {"\"2000\"", 768, 768}, {"\"abc\"", 768, 480}, {"\"480\"", 768, 480},
                 {"\"\"", 500, 500}};
    for (const auto& c : cases) {
        vltest::TempDir dir;
        const auto f = dir.write("datos.txt", std::string("\"1\"\r\n") + c.line2 + "\r\n");
        vl::Config cfg;
        vl::loadDatosTxt(f, cfg);
        vl::applyHeightLimits(cfg, c.screen);
        EXPECT_EQ(cfg.alto_ventana, c.expected) << c.line2 << " screen " << c.screen;
    }
}

TEST(DatosTxt, SaveIsByteExactAndRoundTrips) {
    vltest::TempDir dir;
    const auto f = dir.path() / "datos.txt";
    vl::DatosTxtLines lines{"28,001 234", "600", 1, "10 d\xED" "as", "8", " cl,ave \"x\" "};
    ASSERT_TRUE(vl::saveDatosTxt(f, lines));
    EXPECT_EQ(vltest::readBytes(f), "\"28,001 234\"\r\n\"600\"\r\n1\r\n\"10 d\xED" "as\"\r\n\"8\"\r\n"
                                    "\" cl,ave x \"\r\n");
    vl::Config cfg;
    vl::loadDatosTxt(f, cfg);
    EXPECT_EQ(cfg.n_farmacia, "28,001 234");
    EXPECT_EQ(cfg.alto_ventana, 600.0f);
    EXPECT_EQ(cfg.descargar_precios, "1");
    EXPECT_EQ(cfg.frecuencia, "10 d\xED" "as");
    EXPECT_EQ(cfg.codigo_empresa, "8");
    EXPECT_EQ(cfg.clave, " cl,ave x ");
}

TEST(SmallFiles, TipoConexionAndSurveySwitch) {
    vltest::TempDir dir;
    const auto t = dir.path() / "tipoconect";
    ASSERT_TRUE(vl::saveTipoConexion(t, 0));
    EXPECT_EQ(vltest::readBytes(t), "0\r\n");
    EXPECT_EQ(vl::readTipoConexion(t), 0);
    dir.write("tipoconect", "1\r\n");
    EXPECT_EQ(vl::readTipoConexion(t), 1);
    dir.write("tipoconect", "");
    EXPECT_EQ(vl::readTipoConexion(t), std::nullopt);

    const auto s = dir.path() / "encuesta.for";
    EXPECT_EQ(vl::readSurveySwitch(s), std::nullopt);
    dir.write("encuesta.for", "  0  \r\n");
    EXPECT_EQ(vl::readSurveySwitch(s), 0);
    ASSERT_TRUE(vl::saveSurveySwitch(s, 1));
    EXPECT_EQ(vltest::readBytes(s), "1\r\n");
    EXPECT_EQ(vl::readSurveySwitch(s), 1);
}

} // namespace
