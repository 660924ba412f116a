#pragma once

#include <QString>

#include "core/paths.h"

class QApplication;

namespace vl::ui {

// Browser engine switches; they only take effect before the first browser is made.
void prepareBrowserEngine();

// A closing call: takes the lock (waiting in the busy window when another terminal holds it)
// and moves the dispensing's recorded answers into the outbox. False when the call carries no
// usable reference and start-up must go on as an ordinary start.
bool runClosingCall(const Paths& paths, const QString& commandLine, int& exitCode);

// Creates the main window for `commandLine` and runs the event loop until the program ends.
int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine);

} // namespace vl::ui
