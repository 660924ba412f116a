// A closing call as far as it needs no window: the start-up files, the lock and the move. Kept
// free of the window toolkit, so the program can do the usual case before loading any of it.
#pragma once

#include <chrono>
#include <string>

#include "core/paths.h"
#include "core/startup.h"

namespace vl {

struct ClosingOutcome {
    // Done: the move ran and succeeded (finished). Failed: it ran and failed, or the reference
    // file or the lock could not be written; the message is still to be shown and the finish to be
    // done. Busy:
    // another terminal holds the lock, the busy window must wait for it. NoMove: no usable
    // reference or no product folder; an ordinary start follows.
    enum Kind { NoMove, Done, Failed, Busy } kind = NoMove;
    StartupState st;
    std::string error; // cp1252, for the message when Failed
};

ClosingOutcome closingCallWithoutWindows(const Paths& paths, const std::string& commandLine,
                                         int screenHeightPx);

// How long a closing call waits for a lock no waiting of its own can end: the launcher's wait,
// and the busy window's on another program holding Ocupado.lck.
inline constexpr std::chrono::seconds ClosingWaitLimit{120};

// A Busy call waited for as the busy window waits, where no window can be shown: a look at the
// lock `every` (the first at once), the move once it is free. After `limit` it gives up, Failed,
// the answers kept for the next closing call; the finish is then still to be done.
ClosingOutcome closeWhenFree(const Paths& paths, ClosingOutcome busy,
                             std::chrono::milliseconds every, std::chrono::milliseconds limit);

} // namespace vl
