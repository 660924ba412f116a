#include <gtest/gtest.h>

#include <regex>

#include "core/cmdline.h"
#include "core/config.h"
#include "core/dates.h"
#include "core/handoff.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/startup.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/detached.h"
#include "platform/localchannel.h"
#include "platform/process.h"
#include "support/localserver.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

// Started by the hard-exit test with CORE_TEST_FIN=<address>: connected there as a window
// process is to the launcher it serves, it ends as a lookup that does not answer ends it.
const bool hardExitHelper = [] {
    const char* address = std::getenv("CORE_TEST_FIN");
    if (!address) return false;
    auto c = vl::LocalChannel::connect(address, std::chrono::seconds(10));
    if (c) vl::handoff::tellLauncherOnHardExit(c->nativeHandle());
    vl::hardExit(3);
}();

// ... and the launcher hears the code first, by the same path on every system, and nothing
// after it.
TEST(Handoff, HardExitTellsTheServedLauncherItsCode) {
    vltest::TempDir t;
    const auto address = vl::windowServerAddress(t.path());
    vltest::Server server(address);
    vl::setEnvironment("CORE_TEST_FIN", address);
    const auto pid = vl::startDetached(vl::executablePath(), {});
    vl::unsetEnvironment("CORE_TEST_FIN");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(server.read(7), "FIN 3\n");
}

// action|TK|reference/digit|positive,terminal value|codes|current index
std::string summary(const vl::RunState& s) {
    std::string codes;
    for (int i = 1; i <= s.CodeCount; ++i)
        codes += (i > 1 ? "+" : "") + s.CodeList[i];
    return s.PendingAction + "|" + (s.closingCall ? "TK" : "") + "|" +
           (s.hasReference ? s.reference + "/" + s.terminalDigit : "none") + "|" +
           std::to_string(s.referenceIsPositive()) + std::to_string(s.terminalValue()) + "|" +
           codes + "|" + std::to_string(s.CurrentIndex);
}

TEST(CommandLine, FormsParseIntoRunState) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "||none|00||0"},
        {"enviar", "ENVIAR||none|00||0"},
        {"Actualizar", "ACTUALIZAR||none|00||0"},
        {"CONFIGURAR", "CONFIGURAR||none|00||0"},
        {"registro", "REGISTRO||none|00||0"},
        {"ENVIAR+123456", "||none|00|123456|1"}, // the word must be the whole line
        {"-00012341+654321+712345", "||00012341/1|11|654321+712345|1"},
        {"TK-00012341+654321+712345", "|TK|00012341/1|11|654321+712345|1"},
        {"-00012347", "||00012347/7|17||0"},
        {"-00000000", "||00000000/0|00||0"},
        {"-ABCDEFG3", "||ABCDEFG3/3|03||0"},
        {"-1234", "||1234    / |10||0"},              // blank-padded; the digit is a blank
        {"-00012340+6543", "||00012340/0|10|6543|1"}, // a code cut short stays as it is
        {"-00012340+654321 basura", "||00012340/0|10|654321|1"},
        {"TK", "|TK|none|00||0"},
        // Path tricks in the reference make it unusable, the codes still count.
        {"-../../x1+654321", "||none|00|654321|1"},
        {"-ab\\cd001+654321", "||none|00|654321|1"},
        {"-C:000001+654321", "||none|00|654321|1"},
        {"-0001\t001+654321", "||none|00|654321|1"}};
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(summary(vl::parseCommandLine(line)), expected) << line;

    std::string line = "-00012340";
    for (int i = 0; i < 60; ++i)
        line += "+" + std::to_string(600000 + i);
    const vl::RunState st = vl::parseCommandLine(line);
    ASSERT_EQ(st.CodeCount, 50);
    EXPECT_EQ(st.CodeList[1] + st.CodeList[50], "600000600049");
}

TEST(Text, Cp1252AndNumbers) {
    const std::pair<const char*, const char*> cp[] = {{"Informaci\xC3\xB3n", "Informaci\xF3n"},
                                                      {"\xE2\x82\xAC 12,50", "\x80 12,50"},
                                                      {"\xC3\x91o\xC3\xBA", "\xD1o\xFA"},
                                                      {"\xE2\x80\x9Cx\xE2\x80\x9D", "\x93x\x94"}};
    for (const auto& [utf8, bytes] : cp) {
        EXPECT_EQ(vl::toCp1252(utf8), bytes);
        EXPECT_EQ(vl::fromCp1252(bytes), utf8);
    }
    // No Windows-1252 byte, or broken UTF-8: a question mark per character.
    EXPECT_EQ(vl::toCp1252("\xE4\xB8\xAD-\xF0\x9F\x98\x80"), "?-?");
    EXPECT_EQ(vl::toCp1252("a\x80z\xC3"), "a?z?");

    const std::pair<const char*, double> val[] = {
        {"", 0},    {"  42", 42},       {"600px", 600}, {"12.5", 12.5}, {"12,5", 12}, {"-3", -3},
        {"abc", 0}, {"7 - Semanal", 7}, {"+8", 8},      {"\t9", 9},     {".5", 0.5},  {"-", 0}};
    for (const auto& [text, value] : val)
        EXPECT_DOUBLE_EQ(vl::Val(text), value) << text;
    EXPECT_EQ(std::tuple(vl::ValInt16("99999"), vl::ValInt16("-99999"), vl::ValInt16("12.9")),
              std::tuple(32767, -32768, 12));
    EXPECT_EQ(vl::TodayStamp({2026, 12, 6}) + vl::TodayStamp({2009, 1, 31}), "2026120620090131");
}

TEST(DatosTxt, FieldsDefaultsAndHeightLimits) {
    // datos.txt (none when empty), screen height -> farmacia|alto|precios|frecuencia|empresa|clave
    const std::tuple<const char*, int, const char*> cases[] = {
        {"", 768, "|525||7 - Semanal|8|"}, // defaults, whatever memory held
        {"\"111\"\n\"600\"\n1\n", 768, "111|600|1|7 - Semanal|8|"},
        {"  sin comillas  \r\n\"600px\"\r\n0\r\n\"10\"\r\n\"9\"\r\n\"c\"", 768,
         "sin comillas|600|0|10|9|c"},
        {"   \"con, coma y  blancos \"\r\n\"300\"", 768,
         "con, coma y  blancos |480||7 - Semanal|8|"},
        {"a,b\r\n\"2000\"", 768, "a|768||7 - Semanal|8|"},
        {"\"\"\r\n\"abc\"", 768, "|480||7 - Semanal|8|"},
        {"\"abierta\r\n\"480\"", 768, "abierta|480||7 - Semanal|8|"},
        {"\"1\"\r\n\"\"", 768, "1|525||7 - Semanal|8|"},
        {"\"1\"\r\n\"\"", 500, "1|500||7 - Semanal|8|"},
        // A lone CR ends a line as CR LF and LF do; CR LF is one end, LF CR two.
        {"\"1\"\r\"600\"\r1\r\"10\"\r\"9\"\r\"c\"\r", 768, "1|600|1|10|9|c"},
        {"\"1\"\r\n\"600\"\n\r1\r\"9\"\n\"c\"", 768, "1|600||1|9|c"}};
    for (const auto& [bytes, screen, expected] : cases) {
        vltest::TempDir dir;
        if (*bytes) dir.write("datos.txt", bytes);
        vl::Config cfg;
        cfg.frecuencia = cfg.codigo_empresa = "otra";
        vl::loadDatosTxt(dir.path() / "datos.txt", cfg);
        vl::applyHeightLimits(cfg, screen);
        EXPECT_EQ(cfg.n_farmacia + "|" + std::to_string(static_cast<int>(cfg.alto_ventana)) + "|" +
                      cfg.descargar_precios + "|" + cfg.frecuencia + "|" + cfg.codigo_empresa +
                      "|" + cfg.clave,
                  expected)
            << bytes << " screen " << screen;
    }
}

TEST(DatosTxt, SmallFilesAreByteExactAndReplacedWhole) {
    vltest::TempDir dir;
    const auto f = dir.write("datos.txt", "viejo");
    const std::string days = std::string("10 d\xED") + "as";
    ASSERT_TRUE(vl::saveDatosTxt(f, {"28,001 234", "600", 1, days, "8", " cl,ave \"x\" "}));
    EXPECT_EQ(vltest::readBytes(f),
              "\"28,001 234\"\r\n\"600\"\r\n1\r\n\"" + days + "\"\r\n\"8\"\r\n\" cl,ave x \"\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1); // no temporary left
    EXPECT_FALSE(vl::saveDatosTxt(dir.path() / "no/existe/datos.txt", {}));
    const auto s = dir.write("encuesta.for", "  0  \r\n");
    EXPECT_EQ(vl::readSurveySwitch(s), 0);
    ASSERT_TRUE(vl::saveSurveySwitch(s, 1));
    EXPECT_EQ(vltest::readBytes(s), "1\r\n");
}

TEST(Paths, ResolvesAnySpellingToTheExistingEntry) {
    vltest::TempDir dir;
    dir.write("quiroles/Velantia/Recibido/Maestro.xml", "x");
    const vl::Paths p(dir.path());
    const fs::path product = dir.path() / "quiroles/Velantia";
    EXPECT_EQ(p.product("recibido\\maestro.XML"), product / "Recibido/Maestro.xml");
    EXPECT_EQ(p.at("QUIROLES/velantia/RECIBIDO"), product / "Recibido");
    // A new file keeps the spelling asked for, in the existing folder.
    EXPECT_EQ(p.product("recibido\\Software.zip"), product / "Recibido/Software.zip");
    EXPECT_EQ(p.product("Nueva/Dentro/a.txt"), product / "Nueva/Dentro/a.txt");
    EXPECT_EQ(p.pageFolder("3"), product / "htm3");
    EXPECT_EQ(p.orbal("basea"), dir.path() / "quiroles/orbal-5/basea");
    // Windows-1252 names, the euro sign too: "PEÑA " finds "Peña ", and a new
    // file below it is stored under the name the program spelled.
    const std::string pena = std::string("Pe\xF1") + "a \x80";
    fs::create_directories(dir.path() / vl::pathFromCp1252("quiroles/" + pena));
    const fs::path note = p.at(std::string("QUIROLES/PE\xD1") + "A \x80/Nota \xE9.txt");
    EXPECT_EQ(note, dir.path() / vl::pathFromCp1252("quiroles/" + pena + "/Nota \xE9.txt"));
    ASSERT_TRUE(vl::writeFileBytes(note, "n"));
    EXPECT_EQ(vl::nameInCp1252(fs::directory_iterator(note.parent_path())->path().filename()),
              "Nota \xE9.txt");
}

TEST(Paths, DriveRootAndFileUrl) {
    vl::unsetEnvironment("VELANTIA_ROOT");
    EXPECT_EQ(vl::driveRoot("/srv/farmacia/QUIROLES/velantia"), fs::path("/srv/farmacia"));
    EXPECT_EQ(vl::driveRoot("/srv/farmacia/quiroles/Velantia/"), fs::path("/srv/farmacia"));
    // Where paths have no drive letters: an installed program's setting, read only after the
    // variable and the program's own folder; every fallback says why.
    const vltest::TempDir dir;
    const fs::path conf = dir.path() / "velantia.conf";
    const std::string none = "raíz de unidad: la del sistema de archivos; VELANTIA_ROOT no está "
                             "definida y " + conf.string();
    const struct {
        const char *env, *exeDir, *settings; // settings: nullptr for no file
        const char* root;
        std::string origin;
    } rows[] = {
        {nullptr, "/usr/bin", "# Velantia\n  RAIZ = /srv/farmacia \r\nraiz=/otra\n", "/srv/farmacia",
         "raíz de unidad tomada de " + conf.string()},
        {nullptr, "/usr/bin", "raíz=/srv/con acento\r", "/srv/con acento", ""},
        {"/tmp/raiz", "/usr/bin", "raiz=/srv/farmacia", "/tmp/raiz",
         "raíz de unidad tomada de VELANTIA_ROOT"},
        {nullptr, "/mnt/f/quiroles/Velantia", "raiz=/srv/farmacia", "/mnt/f",
         "raíz de unidad tomada de la carpeta del programa"},
        {nullptr, "/usr/bin", nullptr, "/", none + " no existe"},
        {nullptr, "/usr/bin", "", "/", none + " no tiene una línea raiz="},
        {nullptr, "/usr/bin", "# raiz=/srv/farmacia\nraizx=/srv\n", "/", none + " no tiene una línea raiz="},
        {nullptr, "/usr/bin", "raiz=farmacia", "/",
         "raíz de unidad: la del sistema de archivos; VELANTIA_ROOT no está definida y la raíz de " +
             conf.string() + " no es una ruta absoluta: farmacia"},
        {nullptr, "/usr/bin", "raiz = \r\n", "/",
         "raíz de unidad: la del sistema de archivos; VELANTIA_ROOT no está definida y la línea "
         "raiz= de " + conf.string() + " está vacía"},
        {nullptr, "/usr/bin", "folder", "/", none + " no se puede leer"},
    };
    if (!fs::path("C:/").has_root_name()) {
        for (const auto& r : rows) {
            SCOPED_TRACE(r.settings ? r.settings : "(none)");
            fs::remove_all(conf);
            if (r.settings && std::string(r.settings) == "folder")
                fs::create_directory(conf);
            else if (r.settings)
                dir.write("velantia.conf", r.settings);
            if (r.env) vl::setEnvironment("VELANTIA_ROOT", r.env);
            const vl::DriveRootChoice c = vl::chooseDriveRoot(r.exeDir, conf);
            vl::unsetEnvironment("VELANTIA_ROOT");
            EXPECT_EQ(c.root, fs::path(r.root));
            if (!r.origin.empty()) {
                EXPECT_EQ(c.origin, r.origin);
            }
        }
    }
    vl::setEnvironment("VELANTIA_ROOT", "/tmp/raiz");
    EXPECT_EQ(vl::driveRoot("/usr/local/bin"), fs::path("/tmp/raiz"));
    // Where paths have drive letters (Windows), the drive leads the address.
    if (fs::path("C:/").has_root_name()) {
        // Letters of the code page outside ASCII ("\x80" is the euro sign) arrive whole.
        vl::setEnvironment("VELANTIA_ROOT", "C:\\Farmacia \x80uro");
        EXPECT_EQ(vl::driveRoot("C:\\bin"), fs::path(L"C:\\Farmacia \u20ACuro"));
        EXPECT_EQ(vl::Paths::fileUrl("C:\\a\\quiroles\\Velantia\\htm1\\informa.htm"),
                  "file:///C:/a/quiroles/Velantia/htm1/informa.htm");
        EXPECT_EQ(vl::Paths::fileUrl("D:/x/../htm1/informa.htm"), "file:///D:/htm1/informa.htm");
    } else {
        EXPECT_EQ(vl::Paths::fileUrl("/a/quiroles/Velantia/htm1/informa.htm"),
                  "file:///a/quiroles/Velantia/htm1/informa.htm");
    }
    vl::unsetEnvironment("VELANTIA_ROOT");
}

TEST(RunLog, OneWindows1252LinePerEventInTheTerminalsFileMovedToDotOneWhenFull) {
    vltest::TempDir dir;
    const vl::Paths paths(dir.path());
    const std::string full(vl::runlog::MaxBytes - 20, 'x');
    dir.write("quiroles/Velantia/registro0.log", full);
    dir.write("quiroles/Velantia/registro0.log.1", "previous");
    fs::create_directories(dir.path() / "quiroles/Velantia/registro1.log");
    // Its ".1" cannot be replaced: it keeps its newer half's whole lines (none) and says why.
    dir.write("quiroles/Velantia/registro2.log", "1\r\n" + full);
    fs::create_directories(dir.path() / "quiroles/Velantia/registro2.log.1/x");
    vl::runlog::log("antes de abrir");                   // no file yet: nothing to write to
    for (const char* digit : {"3", "", "0", "1", "2"}) { // "1" cannot be written: skipped
        vl::runlog::open(paths, digit);
        vl::runlog::log("Cierre: número\r\ncortado \u03a9");
    }
    vl::runlog::close();
    const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[\d+\] )";
    const std::regex line(stamp + R"(Cierre: n\xFAmero cortado U\+03A9\r\n)");
    for (const char* log : {"registro3.log", "registro.log", "registro0.log"})
        EXPECT_TRUE(std::regex_match(dir.read("quiroles/Velantia/" + std::string(log)), line))
            << log;
    EXPECT_EQ(dir.read("quiroles/Velantia/registro0.log.1"), full);
    EXPECT_TRUE(std::regex_match(
        dir.read("quiroles/Velantia/registro2.log"),
        std::regex(stamp + R"(Registro: no se puede sustituir registro2\.log\.1;[^\r]*\r\n)" +
                   stamp + R"(Cierre: n\xFAmero cortado U\+03A9\r\n)")));
}

// A value that cannot be what its line holds is named by file and line; a damaged height,
// prices flag or frequency reads as missing, the values that go out are kept for the refusal.
TEST(Settings, DamagedValuesAreNamedByFileAndLine) {
    const std::string nul(1, '\0'), rest = "\"600\"\r\n1\r\n\"7 - Semanal\"\r\n\"8\"\r\n";
    const struct {
        std::string datos, farmacia, credentials, height = "600";
    } rows[] = {
        {"\"2800" + nul + "9999\"\r\n" + rest, "control 0x00", "control 0x00"},
        {"\"9" + nul + "\"\r\n" + rest, "control 0x00", "control 0x00"},
        {std::string(5'000'000, '1') + "\r\n" + rest, "tiene 5000000 bytes y caben como mucho 32",
         "5000000"},
        {std::string(32, '1') + "\r\n" + rest + "\"" + std::string(64, 'c') + "\"", "", ""},
        {"1\r\n" + rest + "\"" + std::string(65, 'c') + "\"", "", "nea 6 (clave), tiene 65"},
        {"1\r\n" + rest + "\"a\tb\"", "", "nea 6 (clave), contiene el byte de control 0x09"},
        {"1\r\n" + rest + "\"\x81\"", "", "el byte 0x81, que no es un car\xE1\x63ter"},
        // A line break inside a quoted value (a lone CR or LF) leaves its quote open.
        {"\"2800\r\n" + rest, "no se cierran", "no se cierran"},
        {"1\r\n" + rest + "\"se\rcreta\"", "", "nea 6 (clave), sus comillas no se cierran"},
        {"2800\r1234\r\n" + rest + "\"c\"\r\n", "salto de l\xEDnea suelto", "salto de l\xEDnea suelto", "525"},
        {"1\r\n\"6" + nul + "00\"\r\n1" + nul + "\r\n\"" + std::string(65, '7') + "\"\r\n\"8\x7F\"",
         "", "digo de empresa), contiene el byte de control 0x7F", "525"},
    };
    for (const auto& r : rows) {
        vltest::TempDir dir;
        const vl::Paths paths(dir.path());
        vl::Config cfg;
        vl::loadDatosTxt(dir.write("quiroles/Velantia/config/datos.txt", r.datos), cfg);
        const std::string where = vl::toCp1252("dato dañado en el fichero ") +
                                  vl::nameInCp1252(paths.product("config/datos.txt")) + ": l";
        for (const bool credentials : {false, true}) {
            const std::string said = vl::settingsDamage(paths, cfg, credentials),
                              expected = credentials ? r.credentials : r.farmacia;
            EXPECT_EQ(said.empty(), expected.empty()) << said;
            EXPECT_TRUE(said.empty() ||
                        (said.starts_with(where) && said.find(expected) != said.npos))
                << said;
        }
        EXPECT_EQ(vl::Config().frecuencia + r.height,
                  cfg.frecuencia + std::to_string(int(cfg.alto_ventana)));
    }
}

TEST(Startup, StatusFileFoldersAndSettingsInAnySpelling) {
    vltest::TempDir dir;
    const vl::Paths paths(dir.path());
    EXPECT_FALSE(vl::prepareStartup(paths, "-00012340", 768).productFolder); // no product folder
    const fs::path product = dir.path() / "QUIROLES/velantia";
    fs::create_directories(product);
    vl::StartupState st = vl::prepareStartup(paths, "-00012343+654321", 768);
    EXPECT_TRUE(st.productFolder && !st.statusRefused);
    EXPECT_EQ(dir.read("QUIROLES/velantia/final3"), "I");
    for (const char* d : {"recibido", "config", "referencias", "htm", "htm3"})
        EXPECT_TRUE(fs::is_directory(product / d)) << d;
    // One level at a time: datos does not exist, so datos\textos is not made.
    EXPECT_FALSE(fs::exists(product / "datos"));
    EXPECT_EQ(st.surveySwitch, std::nullopt);
    EXPECT_EQ(std::tuple(st.cfg.alto_ventana, int{st.cfg.tipo_conexion}), std::tuple(525.0f, 1));

    // Saved by an editor as UTF-8 with its byte-order mark: read as UTF-8.
    const std::string bom = "\xEF\xBB\xBF";
    dir.write("QUIROLES/velantia/config/DATOS.TXT", bom + "\"9\xC3\xB1\"\r\n\"300\"\r\n0\r\n");
    dir.write("QUIROLES/velantia/config/Encuesta.for", bom + "1\r\n");
    dir.write("QUIROLES/velantia/Datos/x", "");
    dir.write("QUIROLES/TipoConect", "0\r\n");
    st = vl::prepareStartup(paths, "", 700);
    EXPECT_EQ(st.cfg.n_farmacia, "9\xF1");
    EXPECT_EQ(st.surveySwitch, 1);
    EXPECT_EQ(std::tuple(st.cfg.alto_ventana, int{st.cfg.tipo_conexion}), std::tuple(480.0f, 0));
    dir.write("QUIROLES/TipoConect", bom + "1\r\n");
    EXPECT_EQ(vl::readTipoConexion(dir.path() / "QUIROLES/TipoConect"), 1);
    // No reference: the status file is "final" itself, and the folders reuse their spelling.
    EXPECT_EQ(dir.read("QUIROLES/velantia/final"), "I");
    EXPECT_TRUE(fs::is_directory(product / "Datos/textos"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);

    // A status file that refuses its byte is only a note: the start goes on, naming the file.
    fs::create_directories(product / "final5");
    vl::runlog::open(paths, "5");
    st = vl::prepareStartup(paths, "-00012345", 768);
    vl::runlog::close();
    EXPECT_TRUE(st.productFolder && st.statusRefused);
    EXPECT_TRUE(
        std::regex_search(dir.read("QUIROLES/velantia/registro5.log"),
                          std::regex("\"I\" en el fichero de estado [^\r]*final5: [^;]+; ")));
    EXPECT_NE(vl::statusRefusedMessage(paths, "5", EACCES).find(vl::nameInCp1252(paths.product("final5"))),
              std::string::npos);
}

} // namespace
