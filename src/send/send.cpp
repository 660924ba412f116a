#include "send/send.h"

#include <chrono>
#include <thread>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

namespace {

// A closing move of an older program holds the byte only for a moment; waiting a little
// avoids sending the same answers twice.
EmptyOutcome emptyWhenFree(const std::function<EmptyOutcome()>& empty) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    EmptyOutcome outcome = empty();
    while (outcome == EmptyOutcome::Busy && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        outcome = empty();
    }
    return outcome;
}

// The start of the service's answer, enough to tell it in the run log.
std::string excerpt(const std::string& text) {
    return fromCp1252(text.substr(0, 160));
}

} // namespace

bool nothingToSend(const Paths& paths) {
    finishAcceptedSend(paths);
    if (fileSizeOrZero(paths.product("Respuesta.tsv")) >= 10) return false;
    freeIfHolderDied(paths);
    return true;
}

SendVerdict settleAnswer(const Paths& paths, const ServiceAnswer& answer,
                         const std::optional<std::string>& sent,
                         std::optional<EmptyOutcome>* emptied) {
    writeErrorTxt(paths, answer.text);
    const SendVerdict verdict = answer.verdict;
    const std::string what =
        (sent ? "Envío de " + std::to_string(sent->size()) + " bytes" : "Envío manual") +
        (answer.statusText.empty() ? ": " : " (" + answer.statusText + "): ");
    if (verdict == SendVerdict::Accepted) {
        // Killed from here until the emptying has noted them, the next send uploads these
        // answers again: the service cannot tell a repeat.
        faultPoint("send:answered");
        const EmptyOutcome outcome = emptyWhenFree(
            [&] { return sent ? emptyOutboxAfterSend(paths, *sent) : emptyOutbox(paths); });
        faultPoint("send:emptied");
        if (emptied) *emptied = outcome;
        runlog::log(what + "aceptado (ERROR=0); " + describe(outcome));
    } else if (verdict == SendVerdict::Refused) {
        runlog::log(what + "rechazado por el servicio: " + excerpt(answer.text) +
                    "; Respuesta.tsv se conserva");
    } else {
        runlog::log(what + "respuesta sin veredicto" +
                    (answer.notAPage.empty() ? "" : " (" + answer.notAPage + ")") + ": " +
                    excerpt(answer.text) +
                    "; Respuesta.tsv se conserva hasta que se marque \"Enviado\"");
    }
    releaseSend(paths);
    return verdict;
}

LockAttempt takeLockForSend(const Paths& paths, std::string& message) {
    clearFileInUse();
    const LockAttempt lock = tryAcquireForSend(paths);
    message.clear();
    if (lock.acquired) return lock;
    if (busyForSend(lock.found)) {
        const std::string c(1, lock.found);
        message = "OCUPADO POR EL TERMINAL " + c +
                  "\n\nIntente enviar la informaci\xF3n de nuevo\no revise el terminal " + c;
        return lock;
    }
    // Free, yet not taken: a file of the lock cannot be written, and no waiting mends that. The
    // closing call's words, for the file that failed: Ocupado, or its guard beside it.
    const std::filesystem::path held = lastFileInUse();
    std::string words = lockNotWritableMessage(paths, lock);
    words.resize(words.find('\n'));
    message = held.empty() ? words
                           : "No se puede enviar: el fichero " + nameInCp1252(held) +
                                 " lo est\xE1 usando otro programa (una hoja de c\xE1lculo, un "
                                 "antivirus o una copia de seguridad).";
    message += "\nLas respuestas siguen pendientes de enviar.";
    runlog::log("Envío: ERROR: " + fromCp1252(message));
    return lock;
}

std::string settingsRefuseSend(const Paths& paths, const Config& cfg) {
    const std::string damage = settingsDamage(paths, cfg, true);
    if (damage.empty()) return {};
    const std::string message = "No se puede enviar por un " + damage +
                                ".\nCorr\xEDjalo con Configurar.\nLas respuestas siguen "
                                "pendientes de enviar.";
    runlog::log("Envío: ERROR: " + fromCp1252(message));
    return message;
}

SendResult uploadAndSettle(const Paths& paths, const Config& cfg, const std::string& url,
                           const std::function<void(int)>& progress, const UploadOptions& options) {
    SendResult r;
    bool answered = false;
    UploadResult up;
    clearFileInUse();
    const auto snapshot = readOutboxSnapshot(paths, &r.stampAtSend);
    if (!snapshot) {
        // The pharmacist can do something about a file another program holds: say which.
        r.error = lastFileInUse().empty()
                      ? toCp1252("No se puede leer el fichero de respuestas.")
                      : "No se puede leer Respuesta.tsv: lo est\xE1 usando otro programa (una "
                        "hoja de c\xE1lculo, un antivirus o una copia de seguridad). Vuelva a "
                        "enviar cuando ese programa lo deje libre.";
    } else {
        r.sent = *snapshot;
        up = uploadOutboxContent(cfg, r.sent, url, progress, options);
        answered = up.answered;
        r.transferOk = up.transferOk;
        r.error = up.error;
        r.answerText = up.answerText;
        r.statusText = up.statusText;
    }
    if (!r.transferOk) {
        // No answer page to judge: the outbox stays as it is and the lock is freed for the
        // others. error.txt keeps the page that came back, else what went wrong.
        std::string why = fromCp1252(r.error);
        if (why.ends_with('.')) why.pop_back();
        if (!snapshot)
            runlog::log(std::string("Envío: no enviado, no se puede leer Respuesta.tsv") +
                        (lastFileInUse().empty() ? "" : " (lo está usando otro programa)") +
                        "; se conserva");
        else
            runlog::log("Envío de " + std::to_string(r.sent.size()) + " bytes: " +
                        (r.statusText.empty() ? "sin respuesta del servicio: "
                                              : "respuesta " + r.statusText + ": ") +
                        why + "; Respuesta.tsv se conserva");
        writeErrorTxt(paths, answered ? r.answerText : r.error);
        releaseSend(paths);
        return r;
    }
    r.verdict = settleAnswer(paths, {r.answerText, up.verdict, r.statusText, up.notAPage}, r.sent,
                             &r.emptied);
    return r;
}

SendRun sendOutbox(const Paths& paths, const Config& cfg, const std::string& url,
                   const std::function<void(int)>& progress, const UploadOptions& options) {
    SendRun run;
    run.nothingToSend = nothingToSend(paths);
    if (run.nothingToSend) return run;
    run.lockMessage = settingsRefuseSend(paths, cfg);
    if (!run.lockMessage.empty()) return run;
    run.lock = takeLockForSend(paths, run.lockMessage);
    if (!run.lock.acquired) return run;
    run.result = uploadAndSettle(paths, cfg, url, progress, options);
    return run;
}

} // namespace vl
