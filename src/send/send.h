// A send of the outbox without its window: the lock taken with "0", one snapshot uploaded, the
// answer kept in error.txt and judged, exactly the bytes sent removed when the service accepted
// them, the lock freed. The main window and the tests run this same sequence.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/config.h"
#include "core/paths.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "send/sendpage.h"
#include "send/upload.h"

namespace vl {

// Below 10 bytes the outbox holds no answers. A send that the service accepted and that was
// killed before its emptying is finished first (finishAcceptedSend), not sent again; with
// nothing to send, the "0" a killed send left in Ocupado is freed (a send would take it over).
bool nothingToSend(const Paths& paths);

struct SendResult {
    bool transferOk = false; // an answer page arrived
    std::string error;       // a failed transfer, Spanish, Windows-1252
    std::string answerText;  // the page's visible text, Windows-1252
    std::string statusText;  // the answers' HTTP status lines
    SendVerdict verdict = SendVerdict::NoVerdict;
    std::string sent;                    // the bytes that went out
    std::string stampAtSend;             // the send stamp's state when they were read
    std::optional<EmptyOutcome> emptied; // set when the verdict was Accepted
};

// With the lock taken for the send (tryAcquireForSend): reads the outbox once, uploads it to
// `url`, then settles as below; a transfer without an answer to judge keeps the outbox, writes
// the page that came back (an error status, a redirect not followed), else what went wrong,
// into error.txt and frees the lock.
SendResult uploadAndSettle(const Paths& paths, const Config& cfg, const std::string& url,
                           const std::function<void(int percent)>& progress = {},
                           const UploadOptions& options = {});

// The service's answer as a send read it.
struct ServiceAnswer {
    std::string text; // visible text, Windows-1252
    SendVerdict verdict = SendVerdict::NoVerdict;
    std::string statusText; // the answers' HTTP status lines, when known
    std::string notAPage;   // why it gives no verdict whatever it says (UTF-8), when so
};

// The answer: error.txt, the verdict, on ERROR=0 the outbox emptied of `sent` (of everything
// when what went out is not known: a send by hand), then the lock freed, all in the run log.
SendVerdict settleAnswer(const Paths& paths, const ServiceAnswer& answer,
                         const std::optional<std::string>& sent,
                         std::optional<EmptyOutcome>* emptied = nullptr);

// Takes the lock with "0" (tryAcquireForSend). When it cannot, `message` tells the pharmacist
// why (Windows-1252): the terminal whose closing move holds it, or the lock file that cannot
// be written, named (logged too).
LockAttempt takeLockForSend(const Paths& paths, std::string& message);

// Why the settings in memory must not go out in the form (Windows-1252, logged): a damaged
// pharmacy number, company code or password; empty when they may.
std::string settingsRefuseSend(const Paths& paths, const Config& cfg);

struct SendRun {
    bool nothingToSend = false;
    // Not acquired: a closing move holds it, it cannot be written, or the settings are damaged
    // (settingsRefuseSend; the lock not even tried).
    LockAttempt lock;
    std::string lockMessage; // then, what the pharmacist is told (Windows-1252)
    SendResult result;       // when the lock was taken
};

// The whole send, as the window's "Enviar" runs it.
SendRun sendOutbox(const Paths& paths, const Config& cfg, const std::string& url,
                   const std::function<void(int percent)>& progress = {},
                   const UploadOptions& options = {});

} // namespace vl
