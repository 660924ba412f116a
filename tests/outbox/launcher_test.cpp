// The launcher alone in a product folder, as on a terminal where the window program cannot
// start (the Windows build has none): what it logs, what it shows, what it leaves.
#include <gtest/gtest.h>

#include <thread>

#include "core/runlog.h"
#include "platform/process.h"
#include "support/closings.h"
#include "support/launch.h"

namespace {

namespace fs = std::filesystem;

// Every start is logged with its end; a failure is shown through the message box (here the
// file VELANTIA_MENSAJES names); the command line arrives with its accents, converted once.
TEST(Launcher, WithoutTheWindowsEveryStartIsLoggedAndAFailureShown) {
    const vltest::Product p;
    const fs::path launcher = p.paths.product(fs::path(VELANTIA_LAUNCHER).filename().string());
    fs::copy_file(VELANTIA_LAUNCHER, launcher);
    const vltest::TempDir out;
    vl::setEnvironment("VELANTIA_MENSAJES", (out.path() / "mensajes.txt").string());
    const struct {
        std::vector<std::string> args;
        const char* log; // registro<digit>.log
        int exitCode;
        const char* message; // part of what is shown; empty: nothing
    } rows[] = {
        {{"-Ñandú002", "+692514"}, "registro2.log", 1, "no puede mostrar sus ventanas"},
        {{"CONFIGURAR"}, "registro.log", 1, "no se puede iniciar"},
        {{"TK-10000011+101001"}, "registro1.log", 0, ""},
        {{"TK-10000021+201001"}, "registro1.log", 1, "No se puede abrir el fichero de respuestas"},
    };
    vltest::writeClosingRound(p.paths, "1", 1, 1);
    fs::create_directories(p.paths.product("referencias/10000021.ref"));
    for (const auto& row : rows) {
        std::string line;
        for (const auto& a : row.args)
            line += (line.empty() ? "" : " ") + a;
        SCOPED_TRACE(line);
        for (const auto& log : vl::runlog::logFiles(p.paths))
            fs::remove(log);
        fs::remove(out.path() / "mensajes.txt");
        EXPECT_EQ(vltest::runProgram(launcher, row.args), row.exitCode);
        const std::string log = vl::fromCp1252(p.read(row.log));
        const std::size_t start = log.find("Inicio: velantia " + line + "\r\n");
        EXPECT_NE(start, std::string::npos) << log;
        EXPECT_TRUE(log.ends_with(row.exitCode ? "Fin: terminado con error (código 1)\r\n"
                                               : "Fin: terminado sin errores\r\n"))
            << log;
        const std::string shown = out.read("mensajes.txt");
        if (!*row.message) {
            EXPECT_EQ(shown, "<missing>");
            continue;
        }
        EXPECT_NE(shown.find(row.message), std::string::npos) << shown;
        EXPECT_NE(log.find("Mensaje: " + shown.substr(0, shown.find_first_of("\r\n"))),
                  std::string::npos);
    }
    vl::unsetEnvironment("VELANTIA_MENSAJES");
}

#ifdef _WIN32

// A file another program holds open without sharing it is waited for a moment, then named as
// in use, not as a full disk or a read-only file; the outbox and the counter stay as they were
// and, once it is let go, the same call moves the answers, once.
TEST(ClosingHeldOpen, NamedAsInUseAndMovedOnceItIsFree) {
    const struct {
        const char* file;
        bool letGoSoon; // within the wait: the call goes through
    } rows[] = {{"Respuesta.tsv", false},
                {"NumRegistro", false},
                {"referencias/10000013.ref", false},
                {"Ocupado", false},
                {"Respuesta.tsv", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file + std::string(row.letGoSoon ? ", let go soon" : ""));
        const vltest::Product p(2);
        const std::string line = vltest::writeClosingRound(p.paths, "3", 1, 3);
        const std::string outbox = p.read("Respuesta.tsv"), counter = p.read("NumRegistro");
        vltest::HeldOpen held(p.paths.product(row.file));
        ASSERT_NE(held.h, INVALID_HANDLE_VALUE);
        std::thread letGo;
        if (row.letGoSoon)
            letGo = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                held.release();
            });
        const std::string result = vltest::closeOnce(p.paths, line);
        if (letGo.joinable()) letGo.join();
        if (!row.letGoSoon) {
            EXPECT_NE(result.find(" lo est\xE1 usando otro programa"), std::string::npos) << result;
            EXPECT_NE(result.find(fs::path(row.file).filename().string()), std::string::npos);
            held.release();
            EXPECT_EQ(p.read("Respuesta.tsv"), outbox);
            EXPECT_EQ(p.read("NumRegistro"), counter);
            EXPECT_EQ(vltest::closeOnce(p.paths, line), "ok");
        } else {
            EXPECT_EQ(result, "ok");
        }
        vltest::checkAllClosed(p, 1, "/123");
    }
}

#endif

} // namespace
