#include "outbox/closingcall.h"

#include "core/runlog.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "survey/recording.h"

namespace vl {

ClosingOutcome closingCallWithoutWindows(const Paths& paths, const std::string& commandLine,
                                         int screenHeightPx) {
    ClosingOutcome o;
    o.st = prepareStartup(paths, commandLine, screenHeightPx);
    if (!o.st.statusWritten) return o; // the window reports the missing folder
    if (const LockAttempt a = tryAcquireForClosing(paths, o.st.run.terminalDigit); !a.acquired) {
        runlog::log(
            "Cierre: Ocupado por " +
            (a.found == '0' ? std::string("un envío") : std::string("el terminal ") + a.found) +
            ", se espera a que se libere");
        o.kind = ClosingOutcome::Busy;
        return o;
    }
    SurveySession session;
    const StartupSyncResult r = completeStartupSync(paths, o.st.run, o.st.cfg, session);
    o.error = r.closing.error;
    if (!r.closingMoveRan) {
        // A reference file that cannot be opened is told; no usable reference starts as usual.
        if (!o.error.empty()) o.kind = ClosingOutcome::Failed;
        return o;
    }
    o.kind = r.closing.ok ? ClosingOutcome::Done : ClosingOutcome::Failed;
    if (r.closing.ok) finish(paths, o.st.run.terminalDigit);
    return o;
}

} // namespace vl
