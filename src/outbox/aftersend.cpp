// The outbox emptied after a send: exactly the bytes the service accepted, the note of them in
// Respuesta.aceptado, the stamp Respuesta.env, and the snapshot a send uploads. Must not write
// lines into the outbox.
#include "outbox/outbox.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/movejournal.h"
#include "outbox/outboxfile.h"
#include "platform/fileio.h"
#include "platform/oslock.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

bool stampSend(const Paths& paths) {
    makeDirOneLevel(paths.product("recibido"));
    return writeFileBytes(paths.product("recibido\\Respuesta.env"), shortDateTimeJoined() + CRLF);
}

// Every confirmed send rewrites the stamp: its bytes and time tell whether one happened since.
std::string sendStampState(const Paths& paths) {
    const fs::path stamp = paths.product("recibido\\Respuesta.env");
    std::error_code ec;
    const auto written = fs::last_write_time(stamp, ec);
    if (ec) return {};
    return std::to_string(written.time_since_epoch().count()) + ' ' +
           readFileBytes(stamp).value_or("");
}

bool truncateBoth(const Paths& paths) {
    const bool a = writeFileBytes(outboxPath(paths), "");
    const bool b = writeFileBytes(counterPath(paths), "");
    return a && b;
}

// What the service accepted, until it is out of the outbox: the send stamp's state then, and
// the bytes.
fs::path acceptedPath(const Paths& paths) {
    return paths.product("Respuesta.aceptado");
}

// `sent` nullopt: only the size is known. `notFound` tells when bytes were sent but the outbox
// no longer begins with them.
EmptyOutcome removeSent(const Paths& paths, std::uintmax_t sentSize,
                        const std::optional<std::string>& sent, bool* notFound = nullptr,
                        const std::string* stampAtSend = nullptr, bool dropNote = false) {
    OsFileLock guard(lockGuardPath(paths));
    if (!guard.locked() || unguardedClosingMove(paths, guard)) return EmptyOutcome::Busy;
    settleNotedMove(paths);
    std::error_code ec;
    // Another send was confirmed since: it emptied the outbox, so what is there now was never
    // sent, even when a closing call wrote the same bytes again (serials restart at 1).
    if (stampAtSend && sendStampState(paths) != *stampAtSend) {
        if (notFound) *notFound = true;
        if (dropNote) fs::remove(acceptedPath(paths), ec);
        return EmptyOutcome::Trimmed;
    }

    const fs::path outbox = outboxPath(paths);
    const std::uintmax_t now = fileSizeOrZero(outbox);
    EmptyOutcome outcome = EmptyOutcome::Trimmed;
    std::optional<std::string> bytes;
    if (now >= sentSize && sentSize > 0 && (sent || now > sentSize)) {
        bytes = readFileBytes(outbox);
        if (!bytes) return EmptyOutcome::Failed;
    }
    // What was sent must still be what the outbox begins with; if another send emptied it
    // meanwhile, these bytes are new answers, and sending them twice beats losing them.
    const bool same =
        !sent || sent->empty() || (bytes && bytes->compare(0, sent->size(), *sent) == 0);
    if (now == sentSize && same) {
        if (!truncateBoth(paths)) return EmptyOutcome::Failed;
        outcome = EmptyOutcome::Emptied;
    } else if (now > sentSize && sentSize > 0 && same) {
        const std::size_t eol = bytes->find("\r\n");
        const std::string header =
            eol == std::string::npos ? std::string() : bytes->substr(0, eol + 2);
        const std::size_t from = std::max<std::size_t>(sentSize, header.size());
        if (!writeFileAtomic(outbox, header + bytes->substr(from))) return EmptyOutcome::Failed;
    }
    // Otherwise nothing of what was sent is left (emptied meanwhile, or nothing sent): keep all.
    if (notFound) *notFound = sentSize > 0 && !(now >= sentSize && same);
    // Dropped as soon as the sent bytes are out: before the stamp, which a recovery compares.
    faultPoint("send:removed");
    if (dropNote) fs::remove(acceptedPath(paths), ec);
    if (!stampSend(paths)) return EmptyOutcome::Failed;
    return outcome;
}

} // namespace

std::optional<std::string> readOutboxSnapshot(const Paths& paths, std::string* stamp) {
    // Under the guard, so a closing move is in it whole or not at all.
    OsFileLock guard(lockGuardPath(paths));
    if (!guard.locked()) return std::nullopt;
    settleNotedMove(paths);
    if (stamp) *stamp = sendStampState(paths);
    return readFileBytes(outboxPath(paths));
}

const char* describe(EmptyOutcome outcome) {
    switch (outcome) {
    case EmptyOutcome::Emptied:
        return "Respuesta.tsv y NumRegistro vaciados";
    case EmptyOutcome::Trimmed:
        return "Respuesta.tsv conserva solo lo que no se envió";
    case EmptyOutcome::Busy:
        return "otro terminal escribía en Respuesta.tsv: no se ha borrado nada";
    case EmptyOutcome::Failed:
        return "no se ha podido modificar Respuesta.tsv: no se ha borrado nada";
    }
    return "";
}

EmptyOutcome emptyOutboxAfterSend(const Paths& paths, std::uintmax_t sentSize) {
    return removeSent(paths, sentSize, std::nullopt);
}

EmptyOutcome emptyOutboxAfterSend(const Paths& paths, const std::string& sent) {
    // Noted first: a send killed before the bytes are out of the outbox has them removed by the
    // next one instead of uploading them again. Kept while the outbox is busy or cannot be
    // written, for the same reason.
    const std::string stamp = sendStampState(paths);
    writeFileAtomic(acceptedPath(paths), std::to_string(stamp.size()) + '\n' + stamp + sent);
    faultPoint("send:accepted");
    return removeSent(paths, sent.size(), sent, nullptr, nullptr, true);
}

void finishAcceptedSend(const Paths& paths) {
    const auto note = readFileBytes(acceptedPath(paths));
    if (!note) return;
    std::size_t len = 0;
    const auto [end, ec] = std::from_chars(note->data(), note->data() + note->size(), len);
    const std::size_t at = static_cast<std::size_t>(end - note->data()) + 1;
    bool notFound = true, sentSince = false;
    EmptyOutcome outcome = EmptyOutcome::Trimmed;
    if (ec == std::errc{} && at + len <= note->size() && (*note)[at - 1] == '\n') {
        const std::string stamp = note->substr(at, len);
        sentSince = sendStampState(paths) != stamp;
        outcome = removeSent(paths, note->size() - at - len, note->substr(at + len), &notFound,
                             &stamp, true);
    } else {
        std::error_code gone;
        fs::remove(acceptedPath(paths), gone);
    }
    // The stamp follows the note's removal, and the note the removal of the bytes: with no
    // send confirmed since and the bytes gone, that send had removed them itself.
    const std::string what = "Recuperación: un envío que el servicio aceptó (ERROR=0) se "
                             "interrumpió ";
    std::error_code kept;
    // Busy or not writable, its note stays for the next look.
    if ((outcome == EmptyOutcome::Busy || outcome == EmptyOutcome::Failed) &&
        fs::exists(acceptedPath(paths), kept))
        runlog::log(what + "antes de quitar lo enviado de Respuesta.tsv; " + describe(outcome) +
                    "; se intentará de nuevo antes del próximo envío");
    else if (!notFound)
        runlog::log(what + "antes de quitar lo enviado de Respuesta.tsv; " + describe(outcome) +
                    " sin volver a enviarlo");
    else if (sentSince)
        runlog::log(what + "antes de quitar lo enviado de Respuesta.tsv; otro envío confirmado "
                           "después lo ha enviado y quitado: no se quita nada");
    else
        runlog::log(what + "después de quitar lo enviado de Respuesta.tsv, antes de anotarlo; "
                           "Respuesta.tsv ya no lo contiene: no se quita nada");
}

EmptyOutcome emptyOutbox(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    if (!guard.locked() || unguardedClosingMove(paths, guard)) return EmptyOutcome::Busy;
    settleNotedMove(paths);
    if (!truncateBoth(paths) || !stampSend(paths)) return EmptyOutcome::Failed;
    return EmptyOutcome::Emptied;
}

SentTick confirmSentByHand(const Paths& paths, const std::optional<std::string>& sent,
                           const std::string& stampAtSend) {
    SentTick t;
    bool notFound = false;
    t.outcome =
        sent ? removeSent(paths, sent->size(), *sent, &notFound, &stampAtSend) : emptyOutbox(paths);
    if (t.outcome == EmptyOutcome::Busy) {
        t.askAgain = true;
        t.message = "Otro terminal est\xE1 pasando respuestas a Respuesta.tsv en este momento: no "
                    "se ha borrado nada.\nVuelva a marcar \"Enviado\" dentro de unos segundos.";
    } else if (t.outcome == EmptyOutcome::Failed) {
        t.askAgain = true;
        t.message = "No se ha podido modificar Respuesta.tsv: las respuestas enviadas siguen en "
                    "\xE9l.\nCompruebe que se puede escribir en la carpeta de Velantia y vuelva "
                    "a marcar \"Enviado\".";
    } else if (notFound) {
        t.message = "Respuesta.tsv ya no empieza por las respuestas enviadas (otro env\xEDo lo ha "
                    "cambiado): no se ha borrado nada.\nLas respuestas que contiene se enviar\xE1n "
                    "en el pr\xF3ximo env\xEDo.";
    }
    runlog::log(std::string("Marcado \"Enviado\": ") +
                (notFound ? "Respuesta.tsv ya no empieza por lo enviado: no se ha borrado nada"
                          : describe(t.outcome)));
    return t;
}

} // namespace vl
