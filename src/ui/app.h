#pragma once

#include <QString>
#include <functional>
#include <string>

#include "core/paths.h"
#include "outbox/closingcall.h"

class QApplication;
class QDialog;

namespace vl::ui {

class Velantia;

// Browser engine switches; they only take effect before the first browser is made.
void prepareBrowserEngine();

// Qt's own texts in Spanish: the standard buttons read "Sí", "No", "Cancelar", "Reintentar".
// False when the translation is not installed (the buttons then stay in English).
bool installSpanishTranslations(QApplication& app);

// With VELANTIA_MEDIR_ARRANQUE set, prints "<name> <steady-clock ns>" on stdout so bench/run can
// see where the start-up time goes; nothing otherwise.
void markStartup(const char* name);
// Where the marks go instead of stdout (a window process sends them to its launcher); an empty
// sink prints again.
void setStartupMarkSink(std::function<void(const char* name, long long ns)> sink);

// Shows a failed move's message (cp1252) and finishes; the process's exit code.
int reportClosingFailure(const Paths& paths, const std::string& error,
                         const std::string& terminalDigit);

// A closing call: takes the lock (waiting in the busy window when another terminal holds it)
// and moves the dispensing's recorded answers into the outbox. False when the call carries no
// usable reference and start-up must go on as an ordinary start.
bool runClosingCall(const Paths& paths, const QString& commandLine, int& exitCode);

// The screenshot (VELANTIA_SCREENSHOT) and timed start (VELANTIA_MEDIR_ARRANQUE) of a run:
// once the first page has loaded, the window is grabbed or the time marked, and it closes.
// `say` reports the saved screenshot.
void watchFirstPage(Velantia& window, const std::function<void(const QString&)>& say);

// VELANTIA_SCREENSHOT=<file>: a picture of `dialog` a moment after it is shown; then it is closed
// when `close` (a window that closes by itself is left to do so).
void screenshotWhenShown(QDialog& dialog, bool close);

// Creates the main window for `commandLine` and runs the event loop until the program ends.
int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine);

} // namespace vl::ui
