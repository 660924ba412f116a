#pragma once

#include <QString>
#include <string>

#include "core/paths.h"
#include "outbox/closingcall.h"

class QApplication;

namespace vl::ui {

// Browser engine switches; they only take effect before the first browser is made.
void prepareBrowserEngine();

// Qt's own texts in Spanish: the standard buttons read "Sí", "No", "Cancelar", "Reintentar".
// False when the translation is not installed (the buttons then stay in English).
bool installSpanishTranslations(QApplication& app);

// With VELANTIA_MEDIR_ARRANQUE set, prints "<name> <steady-clock ns>" on stdout so bench/run can
// see where the start-up time goes; nothing otherwise.
void markStartup(const char* name);

// Shows a failed move's message (cp1252) and finishes; the process's exit code.
int reportClosingFailure(const Paths& paths, const std::string& error,
                         const std::string& terminalDigit);

// A closing call: takes the lock (waiting in the busy window when another terminal holds it)
// and moves the dispensing's recorded answers into the outbox. False when the call carries no
// usable reference and start-up must go on as an ordinary start.
bool runClosingCall(const Paths& paths, const QString& commandLine, int& exitCode);

// Creates the main window for `commandLine` and runs the event loop until the program ends.
int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine);

} // namespace vl::ui
