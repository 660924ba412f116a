// The recovery of the data files after a conversion that died, on its own so that the windows
// can run it without the conversion's declarations.
#pragma once

#include "core/paths.h"

namespace vl {

// Finishes or undoes a replacement of the master's files (datos\Velantia.txt and datos\textos)
// that a conversion did not complete, and removes what such a run left aside. Run before the
// data files are opened; every conversion runs it first. False when another program is
// converting right now (nothing is touched then) or a rename failed.
bool recoverDataFiles(const Paths& paths);

} // namespace vl
