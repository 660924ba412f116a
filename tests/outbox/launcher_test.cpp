// The launcher alone in a product folder, as on a terminal where the window program cannot
// start (the Windows build has none): what it logs, what it shows, what it leaves.
#include <gtest/gtest.h>

#include "core/runlog.h"
#include "platform/process.h"
#include "support/closings.h" // with the worker processes on Linux
#include "support/faults.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

using vltest::runProgram;

// Every start is logged with its end, the start first; a failure is shown through the message box (here the
// file VELANTIA_MENSAJES names) and logged; the command line arrives with its accents.
TEST(Launcher, WithoutTheWindowsEveryStartIsLoggedAndAFailureShown) {
    const vltest::Product p;
    const fs::path launcher = p.paths.product(fs::path(VELANTIA_LAUNCHER).filename().string());
    fs::copy_file(VELANTIA_LAUNCHER, launcher);
    const vltest::TempDir out;
    const fs::path shownBefore = vl::environmentPath("VELANTIA_MENSAJES");
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
        fs::remove(out.path() / "mensajes.txt");
        EXPECT_EQ(runProgram(launcher, row.args), row.exitCode) << line;
        const std::string log = vl::fromCp1252(p.read(row.log));
        EXPECT_NE(log.find("Inicio: velantia " + line + "\r\n"), std::string::npos) << log;
        EXPECT_LT(log.find("Inicio: velantia " + line), log.find("No se puede iniciar")) << log;
        const char* end = row.exitCode ? "con error (código 1)\r\n" : "sin errores\r\n";
        EXPECT_TRUE(log.ends_with(std::string("Fin: terminado ") + end)) << log;
        EXPECT_EQ(log.find("Sigue en velantia-ventanas"), std::string::npos) << log;
        const std::string shown = out.read("mensajes.txt");
        EXPECT_NE(shown.find(*row.message ? row.message : "<missing>"), std::string::npos) << line;
        EXPECT_EQ(log.find("Mensaje: " + shown.substr(0, shown.find('\n'))) != std::string::npos,
                  *row.message != 0);
    }
    // No product folder where the root points, or one that cannot be written: nothing is
    // prepared, a closing call starts no windows, and the message says where.
    const vltest::Folder readOnlyRoot;
    for (const fs::path& root : {out.path() / "nada", readOnlyRoot.dir.path()})
    for (const char* command : {"PRECARGAR", "TK-10000011+101001"}) {
        std::optional<vltest::ReadOnly> readOnly;
        if (root != out.path() / "nada") {
            readOnly.emplace(readOnlyRoot.paths.product());
            if (!readOnly->holds()) continue;
        }
        fs::remove(out.path() / "mensajes.txt");
        vl::setEnvironment("VELANTIA_ROOT", root.string());
        EXPECT_EQ(runProgram(VELANTIA_LAUNCHER, {command}), 1) << root << command;
        vl::unsetEnvironment("VELANTIA_ROOT");
        EXPECT_NE(out.read("mensajes.txt")
                      .find("no se puede escribir en ella:\n" +
                            (root / "quiroles" / "Velantia").string() +
                            "\n(raíz de unidad tomada de VELANTIA_ROOT)"),
                  std::string::npos)
            << out.read("mensajes.txt");
    }
    vl::setEnvironment("VELANTIA_MENSAJES", shownBefore.string());
}

#ifdef _WIN32

// Started by the pharmacy-management program it opens no console: a GUI program, with our
// icon and version information.
TEST(Launcher, IsAWindowsProgramWithIconAndVersion) {
    const std::wstring file = fs::absolute(VELANTIA_LAUNCHER).make_preferred().wstring();
    // A console program's type has no subsystem version.
    EXPECT_NE(HIWORD(SHGetFileInfoW(file.c_str(), 0, nullptr, 0, SHGFI_EXETYPE)), 0);
    EXPECT_GT(ExtractIconExW(file.c_str(), -1, nullptr, nullptr, 0), 0u);
    std::vector<char> info(GetFileVersionInfoSizeW(file.c_str(), nullptr));
    ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    for (const auto& [key, want] :
         {std::pair(L"ProductName", L"Velantia"), std::pair(L"CompanyName", L"Velantia"),
          std::pair(L"ProductVersion", L"" VELANTIA_VERSION)}) {
        wchar_t* v = nullptr;
        UINT n = 0;
        const std::wstring at = std::wstring(L"\\StringFileInfo\\0C0A04E4\\") + key;
        VerQueryValueW(info.data(), at.c_str(), reinterpret_cast<void**>(&v), &n);
        EXPECT_EQ(std::wstring(v ? v : L"<none>"), want);
    }
}

// A file another program holds open sharing nothing (a spreadsheet, a backup) is waited for a
// moment, then named as in use, not as a full disk or a read-only file; the outbox and the
// counter stay as they were; once it is let go the same call moves the answers, once. The
// lock's guard is waited for as another terminal is; the status file is only a note.
TEST(ClosingHeldOpen, NamedAsInUseAndMovedOnceItIsFree) {
    // The last time within the wait, so the call goes through.
    const char* files[] = {"Respuesta.tsv", "NumRegistro",      "referencias/10000013.ref",
                           "Ocupado",       "Ocupado.lck",      "config/datos.txt",
                           "final3",        "Respuesta.tsv"};
    for (const char* const& file : files) {
        const bool letGoSoon = &file == std::end(files) - 1;
        const bool movesHeld = letGoSoon || std::string(file) == "final3";
        SCOPED_TRACE(file + std::string(letGoSoon ? ", let go soon" : ""));
        const vltest::Product p(2);
        const std::string line = vltest::writeClosingRound(p.paths, "3", 1, 3);
        const std::string outbox = p.read("Respuesta.tsv"), counter = p.read("NumRegistro");
        if (!fs::exists(p.paths.product(file))) p.write(file, "*");
        HANDLE held = CreateFileW(p.paths.product(file).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread letGo([&] {
            if (!letGoSoon) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CloseHandle(std::exchange(held, INVALID_HANDLE_VALUE));
        });
        const std::string result = vltest::closeOnce(p.paths, line, std::chrono::seconds(1));
        letGo.join();
        if (!movesHeld) {
            const std::string named = fs::path(file).filename().string();
            EXPECT_NE(result.find(named + " lo est\xE1 usando otro programa"), std::string::npos)
                << result;
            CloseHandle(std::exchange(held, INVALID_HANDLE_VALUE));
            EXPECT_EQ(p.read("Respuesta.tsv"), outbox);
            EXPECT_EQ(p.read("NumRegistro"), counter);
        }
        EXPECT_EQ(movesHeld ? result : vltest::closeOnce(p.paths, line), "ok");
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        vltest::checkAllClosed(p, 1, "/123");
    }
}

#endif

// A reference file that cannot be deleted (another program holds it without letting it be
// deleted, or its folder allows no removal) is emptied, so nothing in it is moved twice, and
// the run log does not count it as deleted and says why it stays.
TEST(ClosingHeldOpen, AReferenceThatCannotBeDeletedIsEmptiedAndLoggedSo) {
    const vltest::Product p;
    const std::string line = vltest::writeClosingRound(p.paths, "3", 1, 3);
#ifdef _WIN32
    HANDLE held =
        CreateFileW(p.paths.product("referencias/10000013.ref").c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string why = "(otro programa lo tiene abierto)";
#else
    vltest::ReadOnly folder(p.paths.product("referencias"));
    if (!folder.holds()) GTEST_SKIP() << "no read-only folder here";
    const std::string why = "(no se puede borrar en la carpeta referencias: es de solo lectura";
#endif
    vl::runlog::open(p.paths, "3");
    EXPECT_EQ(vltest::closeOnce(p.paths, line), "ok");
    vl::runlog::close();
#ifdef _WIN32
    CloseHandle(held);
#endif
    EXPECT_EQ(p.read("referencias/10000013.ref"), "");
    const std::string log = vl::fromCp1252(vl::runlog::readLog(vl::runlog::logPath(p.paths, "3")));
    EXPECT_NE(log.find("borrados: 0; 10000013.ref vaciado pero no borrado " + why),
              std::string::npos)
        << log;
}

#ifdef _WIN32
// Held by a window of the dispensing that lets it be deleted: the name stays listed until the
// window lets go, yet it is this dispensing's file, deleted once and not taken for another's.
TEST(ClosingHeldOpen, AReferenceDeletedUnderItsWindowCountsOnce) {
    const vltest::Product p;
    const std::string line = vltest::writeClosingRound(p.paths, "3", 1, 3);
    HANDLE held = CreateFileW(p.paths.product("referencias/10000013.ref").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    vl::runlog::open(p.paths, "3");
    EXPECT_EQ(vltest::closeOnce(p.paths, line), "ok");
    vl::runlog::close();
    CloseHandle(held);
    const std::string log = vl::fromCp1252(vl::runlog::readLog(vl::runlog::logPath(p.paths, "3")));
    EXPECT_EQ(log.find("de otra dispensación"), std::string::npos) << log;
    EXPECT_NE(log.find("ficheros .ref borrados: 1"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(p.paths.product("referencias/10000013.ref")));
}
#endif

} // namespace
