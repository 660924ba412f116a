// The settings files, damaged or hostile: start-up goes on with sound values, reads never
// change the files, and nothing is made outside the product folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/startup.h"
#include "support/hostile.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string Datos = "quiroles/Velantia/config/datos.txt";
const std::string Switch = "quiroles/Velantia/config/encuesta.for";
const std::string Tipo = "quiroles/tipoconect";
const std::string ValidDatos =
    "\"28123\"\r\n\"600\"\r\n1\r\n\"1 - Diaria\"\r\n\"8\"\r\n\"clave, con coma\"\r\n";

TEST(HostileSettingsFiles, StartupGoesOnWithSoundValues) {
    struct File {
        std::string path, valid;
    } files[] = {{Datos, ValidDatos}, {Switch, "1\r\n"}, {Tipo, "0\r\n"}};
    for (const auto& f : files) {
        for (const auto& v : vltest::hostileVariants(f.valid)) {
            SCOPED_TRACE(f.path + ": " + v.what);
            vltest::TempDir dir;
            for (const auto& other : files)
                dir.write(other.path, other.path == f.path ? v.bytes : other.valid);
            const StartupState st = prepareStartup(Paths(dir.path()), "-00012340+654321", 768);
            EXPECT_TRUE(st.statusWritten);
            EXPECT_GE(st.cfg.alto_ventana, 480.0f);
            EXPECT_LE(st.cfg.alto_ventana, 768.0f);
            if (st.surveySwitch) {
                EXPECT_GE(*st.surveySwitch, -32768);
                EXPECT_LE(*st.surveySwitch, 32767);
            }
            // Only the first line of a file ever makes a value; no line end gets into one.
            for (const std::string* s :
                 {&st.cfg.n_farmacia, &st.cfg.descargar_precios, &st.cfg.frecuencia,
                  &st.cfg.codigo_empresa, &st.cfg.clave}) {
                EXPECT_EQ(s->find('\r'), std::string::npos);
                EXPECT_EQ(s->find('\n'), std::string::npos);
            }
            EXPECT_EQ(dir.read(f.path), v.bytes) << "reading changed the file";
            for (const auto& e : fs::directory_iterator(dir.path()))
                EXPECT_EQ(e.path().filename(), "quiroles");
            for (const auto& e : fs::directory_iterator(dir.path() / "quiroles"))
                EXPECT_TRUE(e.path().filename() == "Velantia" ||
                            e.path().filename() == "tipoconect")
                    << e.path();
        }
    }
}

} // namespace

namespace {

TEST(HostileSettingsFiles, LoneCarriageReturnEndsAField) {
    EXPECT_EQ(readDelimitedField("\"28\r123\""), "28");
    EXPECT_EQ(readDelimitedField("28\r,1"), "28");
    EXPECT_EQ(readDelimitedField("\r\"28\""), "");
}

} // namespace
