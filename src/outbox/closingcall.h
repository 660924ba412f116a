// A closing call as far as it needs no window: the start-up files, the lock and the move. Kept
// free of the window toolkit, so the program can do the usual case before loading any of it.
#pragma once

#include <string>

#include "core/paths.h"
#include "core/startup.h"

namespace vl {

struct ClosingOutcome {
    // Done: the move ran and succeeded (finished). Failed: it ran and failed, or the reference
    // file could not be opened; the message is still to be shown and the finish to be done. Busy:
    // another terminal holds the lock, the busy window must wait for it. NoMove: no usable
    // reference or no product folder; an ordinary start follows.
    enum Kind { NoMove, Done, Failed, Busy } kind = NoMove;
    StartupState st;
    std::string error; // cp1252, for the message when Failed
};

ClosingOutcome closingCallWithoutWindows(const Paths& paths, const std::string& commandLine,
                                         int screenHeightPx);

} // namespace vl
