// The file side of start-up: status file, survey switch, settings, folders, window height.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/cmdline.h"
#include "core/config.h"
#include "core/paths.h"

namespace vl {

struct StartupState {
    RunState run;
    Config cfg;
    std::optional<int> surveySwitch; // config\encuesta.for; nullopt keeps the check box as built
    std::string todayStamp;
    // "I" reached this terminal's status file, or another program holds that file open.
    bool statusWritten = false;
    bool settingsInUse = false; // datos.txt is there but another program holds it: not read
};

// Writes one byte into record 1 of the status file final + digit (created when missing).
bool writeStatusByte(const Paths& paths, const std::string& terminalDigit, char value);

// Steps that need no window: parse, status "I", settings (with the height limits for a screen
// of `screenHeightPx`), folders, survey switch, tipoconect and today's stamp.
StartupState prepareStartup(const Paths& paths, std::string_view commandLine, int screenHeightPx);

// The folders every start makes, one level each, in this order.
void makeProductFolders(const Paths& paths, const std::string& terminalDigit);

} // namespace vl
