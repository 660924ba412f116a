#pragma once

#include <QString>

#include "core/paths.h"

class QApplication;

namespace vl::ui {

// Browser engine switches; they only take effect before the first browser is made.
void prepareBrowserEngine();

// Creates the main window for `commandLine` and runs the event loop until the program ends.
int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine);

} // namespace vl::ui
