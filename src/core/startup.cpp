#include "core/startup.h"

#include <cstdio>

#include "core/dates.h"
#include "platform/fileio.h"

namespace vl {

bool writeStatusByte(const Paths& paths, const std::string& terminalDigit, char value) {
    const auto file = paths.product("final" + terminalDigit);
    std::FILE* f = openFile(file, "r+b");
    // One held by another program was waited for already.
    if (!f && lastFileInUse() != file) f = openFile(file, "w+b");
    if (!f) return false;
    bool ok = std::fputc(value, f) != EOF;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

void makeProductFolders(const Paths& paths, const std::string& terminalDigit) {
    for (const char* dir : {"recibido", "config", "referencias", "htm"})
        makeDirOneLevel(paths.product(dir));
    makeDirOneLevel(paths.product("htm" + terminalDigit));
    makeDirOneLevel(paths.product("datos\\textos"));
}

StartupState prepareStartup(const Paths& paths, std::string_view commandLine, int screenHeightPx) {
    StartupState st;
    st.run = parseCommandLine(commandLine);
    clearFileInUse();
    // Held open by another program, the status file only misses its "I": the folder is there.
    st.statusWritten =
        writeStatusByte(paths, st.run.terminalDigit, 'I') || !lastFileInUse().empty();
    st.surveySwitch = readSurveySwitch(paths.product("config\\encuesta.for"));
    clearFileInUse();
    loadDatosTxt(paths.product("config\\datos.txt"), st.cfg);
    st.settingsInUse = !lastFileInUse().empty();
    makeProductFolders(paths, st.run.terminalDigit);
    if (auto again = readSurveySwitch(paths.product("config\\encuesta.for"))) st.surveySwitch = again;
    applyHeightLimits(st.cfg, screenHeightPx);
    st.todayStamp = TodayStamp();
    st.cfg.tipo_conexion = readTipoConexion(paths.at("quiroles\\tipoconect")).value_or(1);
    return st;
}

} // namespace vl
