#include "core/startup.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/dates.h"
#include "core/filecause.h"
#include "core/runlog.h"
#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

bool writeStatusByte(const Paths& paths, const std::string& terminalDigit, char value,
                     int* cause) {
    const auto file = paths.product("final" + terminalDigit);
    std::FILE* f = openFile(file, "r+b");
    // One held by another program was waited for already.
    if (!f && lastFileInUse() != file) f = openFile(file, "w+b");
    bool ok = f && std::fputc(value, f) != EOF;
    int why = ok ? 0 : errno;
    if (f && std::fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (cause) *cause = why;
    if (!ok && lastFileInUse() != file)
        runlog::log(std::string("No se puede escribir \"") + value + "\" en el fichero de estado " +
                    utf8Path(file) + ": " + fromCp1252(fileCause(why)) +
                    "; se sigue sin esa anotación");
    return ok;
}

std::string productFolderMissingMessage(const Paths& paths) {
    return "No se encuentra la carpeta de Velantia o no se puede escribir en ella:\n" +
           utf8Path(paths.product()) +
           (paths.rootOrigin().empty() ? "" : "\n(" + paths.rootOrigin() + ")") +
           "\n\nCompruebe la instalación.";
}

std::string statusRefusedMessage(const Paths& paths, const std::string& terminalDigit,
                                 int cause) {
    const bool full = diskFull(cause);
    return "No se puede escribir en el fichero de estado final" + terminalDigit + ":\n" +
           nameInCp1252(paths.product("final" + terminalDigit)) + "\n(" + fileCause(cause) +
           ")\n\nVelantia funciona igual, pero el programa de gesti\xF3n puede no saber cu\xE1ndo "
           "termina. " +
           (full ? "Libere espacio en el disco." : "Compruebe los permisos de ese fichero.");
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
    // One that is there but refuses the byte is its own fault, not the folder's.
    const bool written = writeStatusByte(paths, st.run.terminalDigit, 'I', &st.statusCause);
    std::error_code ec;
    const fs::path status = paths.product("final" + st.run.terminalDigit);
    // A full disk may refuse even a new status file: the folder is there all the same.
    const bool full = diskFull(st.statusCause);
    st.statusRefused = !written && lastFileInUse().empty() &&
                       (fs::exists(fs::symlink_status(status, ec)) ||
                        (full && fs::is_directory(status.parent_path(), ec)));
    st.productFolder = written || !lastFileInUse().empty() || st.statusRefused;
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
