#pragma once

#include "core/paths.h"

namespace vl::ui {

// Writes the images and pages that ship with the program into the shared htm folder when they
// are missing there (a new installation, or someone cleaned the folder).
void installPageAssets(const Paths& paths);

} // namespace vl::ui
