#include "outbox/closingcall.h"

#include <thread>

#include "core/runlog.h"
#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "survey/recording.h"

namespace vl {

namespace {

std::string holderName(char c) {
    if (lockValue(c) == 0 && c != '0') return "otro programa, que tiene abierto Ocupado.lck";
    return c == '0' ? std::string("un envío") : std::string("el terminal ") + c;
}

// The lock taken: the move, or the reason there is none.
void moveWithLock(const Paths& paths, ClosingOutcome& o) {
    SurveySession session;
    const StartupSyncResult r = completeStartupSync(paths, o.st.run, o.st.cfg, session);
    o.error = r.closing.error;
    if (!r.closingMoveRan) {
        // A reference file that cannot be opened is told; no usable reference starts as usual.
        o.kind = o.error.empty() ? ClosingOutcome::NoMove : ClosingOutcome::Failed;
        return;
    }
    o.kind = r.closing.ok ? ClosingOutcome::Done : ClosingOutcome::Failed;
    if (r.closing.ok) finish(paths, o.st.run.terminalDigit);
}

// One look at the lock: the move when it is free; Failed when it reads free but cannot be
// written, which no waiting mends.
bool tryClose(const Paths& paths, ClosingOutcome& o, LockAttempt& a) {
    clearFileInUse();
    a = tryAcquireForClosing(paths, o.st.run.terminalDigit);
    if (a.unwritable) {
        o.kind = ClosingOutcome::Failed;
        o.error = heldOpenOr(lockNotWritableMessage(paths, a));
        runlog::log("Cierre: ERROR: " + fromCp1252(o.error));
        return true;
    }
    if (!a.acquired) return false;
    moveWithLock(paths, o);
    return true;
}

} // namespace

ClosingOutcome closingCallWithoutWindows(const Paths& paths, const std::string& commandLine,
                                         int screenHeightPx) {
    ClosingOutcome o;
    o.st = prepareStartup(paths, commandLine, screenHeightPx);
    if (!o.st.productFolder) return o; // the window reports the missing folder
    noteClosingCall(paths, o.st.run, commandLine);
    if (o.st.settingsInUse && o.st.run.referenceIsPositive()) {
        // Without the pharmacy number the lines would go out unattributed: kept for later.
        noteFileInUse(paths.product("config\\datos.txt"));
        o.kind = ClosingOutcome::Failed;
        o.error = heldOpenOr({});
        runlog::log("Cierre de la dispensación " + fromCp1252(trimBlanks(o.st.run.reference)) +
                    ": ERROR: " + fromCp1252(o.error));
        return o;
    }
    if (LockAttempt a; !tryClose(paths, o, a)) {
        runlog::log("Cierre: Ocupado por " + holderName(a.found) + ", se espera a que se libere");
        o.kind = ClosingOutcome::Busy;
    }
    return o;
}

ClosingOutcome closeWhenFree(const Paths& paths, ClosingOutcome busy,
                             std::chrono::milliseconds every, std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    LockAttempt a;
    while (!tryClose(paths, busy, a)) {
        if (std::chrono::steady_clock::now() - start >= limit) {
            busy.kind = ClosingOutcome::Failed;
            busy.error = heldOpenOr(
                "Velantia no ha podido pasar las respuestas a Respuesta.tsv: Ocupado sigue tomado "
                "por " +
                toCp1252(holderName(a.found)) +
                ".\nLas respuestas siguen guardadas en este terminal y se pasar\xE1n en el "
                "pr\xF3ximo cierre de la dispensaci\xF3n.");
            runlog::log("Cierre: ERROR: " + fromCp1252(busy.error));
            break;
        }
        std::this_thread::sleep_for(every);
    }
    return busy;
}

} // namespace vl
