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
    // The product folder is there: "I" reached this terminal's status file, another program
    // holds that file open, or the file itself refused it (statusRefused).
    bool productFolder = false;
    // The status file is there but cannot be written: a note the start goes on without.
    bool statusRefused = false;
    int statusCause = 0; // why, as an errno value
    bool settingsInUse = false; // datos.txt is there but another program holds it: not read
};

// Writes one byte into record 1 of the status file final + digit (created when missing); a
// failure is logged with the system's reason.
bool writeStatusByte(const Paths& paths, const std::string& terminalDigit, char value,
                     int* cause = nullptr);

// Without the product folder nothing can be shown or recorded (UTF-8): where it was looked for.
std::string productFolderMissingMessage(const Paths& paths);

// For an ordinary start whose status file refused its "I" (Windows-1252), with the cause.
std::string statusRefusedMessage(const Paths& paths, const std::string& terminalDigit,
                                 int cause);

// Steps that need no window: parse, status "I", settings (with the height limits for a screen
// of `screenHeightPx`), folders, survey switch, tipoconect and today's stamp.
StartupState prepareStartup(const Paths& paths, std::string_view commandLine, int screenHeightPx);

// The folders every start makes, one level each, in this order.
void makeProductFolders(const Paths& paths, const std::string& terminalDigit);

} // namespace vl
