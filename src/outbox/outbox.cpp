#include "outbox/outbox.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/lock.h"
#include "platform/fileio.h"
#include "platform/oslock.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

fs::path outboxPath(const Paths& paths) {
    return paths.product("Respuesta.tsv");
}
fs::path counterPath(const Paths& paths) {
    return paths.product("NumRegistro");
}

// Appends `block` in one write and flushes it to disk; on any failure the file is cut back to
// the size it had, so no torn line stays behind.
bool appendDurably(const fs::path& file, const std::string& block) {
    std::FILE* f = openFile(file, "ab");
    if (!f) return false;
    const std::uintmax_t before = fileSizeOrZero(file);
    bool ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
    ok = flushToDisk(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::error_code ec;
        fs::resize_file(file, before, ec);
    }
    return ok;
}

// Every complete append ends with CR LF, so a tail without one is what a move that died in its
// write left behind, or lines another tool wrote with LF alone: they are cut off, or the next
// block would be glued onto them. The cut bytes go first to `side`, which nothing here deletes,
// so no answer that was in the outbox is lost, however few bytes the tail has. False when the
// cut bytes could not be kept aside.
bool cutTornTail(const fs::path& file, const fs::path& side) {
    const std::uintmax_t size = fileSizeOrZero(file);
    std::ifstream in(file, std::ios::binary);
    if (!in) return true;
    // Only the tail is read, so a closing move costs the same whatever the outbox holds.
    constexpr std::uintmax_t Chunk = 4096;
    std::uintmax_t end = size;
    std::uintmax_t cut = 0;
    char last = 0;
    while (end > 0 && cut == 0) {
        const std::uintmax_t start = end > Chunk ? end - Chunk : 0;
        std::string buf(end - start, '\0');
        in.seekg(static_cast<std::streamoff>(start));
        if (!in.read(buf.data(), static_cast<std::streamsize>(buf.size()))) return true;
        for (std::size_t i = buf.size(); i-- > 0;) {
            const char next = last;
            last = buf[i];
            if (buf[i] == '\r' && next == '\n') {
                cut = start + i + 2;
                break;
            }
        }
        end = start;
    }
    if (cut == size) return true;
    std::string tail(size - cut, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(cut));
    if (!in.read(tail.data(), static_cast<std::streamsize>(tail.size()))) return false;
    in.close();
    // Each cut on a line of its own, or successive cuts would run together.
    std::string piece;
    if (fileSizeOrZero(side) > 0) {
        std::ifstream kept(side, std::ios::binary);
        char lastKept = 0;
        if (!kept.seekg(-1, std::ios::end).get(lastKept)) return false;
        if (lastKept != '\n') piece = CRLF;
    }
    piece += tail;
    if (piece.back() != '\n') piece += CRLF;
    if (!appendDurably(side, piece)) return false;
    std::error_code ec;
    fs::resize_file(file, cut, ec);
    runlog::log("Recuperación: " + std::to_string(tail.size()) +
                " bytes sin fin de línea al final de Respuesta.tsv (un cierre interrumpido) "
                "apartados en " +
                side.filename().string());
    return true;
}

// TAB, CR and LF would break the line's columns: inside a value they become a blank.
std::string fieldText(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return out;
}

// Temporary copies of the outbox or the counter that a move or a send left when it died; only
// the holder of the lock writes those two files, so none of them is in use now.
void removeStaleCopies(const Paths& paths) {
    std::error_code ec;
    fs::directory_iterator it(paths.product(), ec);
    if (ec) return;
    for (const auto& entry : it) {
        const std::string name = lowerCp1252(entry.path().filename().string());
        if (name.starts_with("respuesta.tsv.~") || name.starts_with("numregistro.~"))
            fs::remove(entry.path(), ec);
    }
}

// The message for a move that could not write (Windows-1252).
std::string notSavedMessage(const std::string& file) {
    return "No se han podido guardar las respuestas en " + file +
           ": el disco est\xE1 lleno o no se puede escribir en \xE9l.\n"
           "Las respuestas siguen guardadas en este terminal y se pasar\xE1n en el pr\xF3ximo "
           "cierre de la dispensaci\xF3n.";
}

std::string referenceNotOpenedMessage(const std::string& file) {
    return "No se puede abrir el fichero de respuestas " + file +
           ".\nLas respuestas de esta dispensaci\xF3n no se han pasado a Respuesta.tsv: "
           "compruebe que la carpeta referencias existe y que se puede escribir en ella.";
}

// A reference file that cannot be written cannot be deleted or emptied after the move either:
// the next closing call would move its answers again.
std::string referenceNotMovableMessage(const std::string& file) {
    return "No se puede escribir en el fichero de respuestas " + file +
           ": es de solo lectura o la carpeta compartida no admite cambios.\nLas respuestas de "
           "esta dispensaci\xF3n no se han pasado a Respuesta.tsv: compruebe el fichero; se "
           "pasar\xE1n en el pr\xF3ximo cierre de la dispensaci\xF3n.";
}

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

} // namespace

std::int64_t readCounter(const Paths& paths) {
    const auto bytes = readFileBytes(counterPath(paths));
    if (!bytes) return 0;
    const std::string t = trimBlanks(*bytes);
    std::int64_t v = 0;
    const char* first = t.data();
    if (!t.empty() && t[0] == '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, t.data() + t.size(), v);
    (void)ptr;
    return ec == std::errc{} ? v : 0;
}

std::string joinRespuestas(const AnswerTable& t, int m) {
    std::string out;
    std::string_view sep;
    for (int k = 1; k < AnswerRows; ++k) {
        const std::string& ans = t[m][1][k];
        if (!(Val(ans) > 0)) continue;
        const std::string_view code = std::string_view(ans).substr(0, ans.find(' '));
        if (!code.empty()) {
            out += sep;
            out += code;
        }
        // A code that starts with a blank still counts: the next one gets its comma.
        sep = ",";
    }
    return out;
}

std::string buildClosingBlock(const RunState& st, const Config& cfg, const AnswerTable& t,
                              const std::string& todayStamp, std::uintmax_t outboxSize,
                              std::int64_t& counter, int& lines) {
    std::string block;
    lines = 0;
    if (outboxSize < 10) {
        block += OutboxHeader;
        counter = 0;
    }
    for (int i = 1; i <= st.CodeCount && i <= MaxCodes; ++i) {
        if (Val(t[i][0][0]) != 1) continue;
        ++counter;
        ++lines;
        block += std::to_string(counter);
        block += '\t';
        block += fieldText(st.CodeList[i]);
        block += '\t';
        block += fieldText(cfg.n_farmacia);
        block += '\t';
        block += fieldText(todayStamp);
        block += '\t';
        block += fieldText(joinRespuestas(t, i));
        block += CRLF;
    }
    return block;
}

int deleteTerminalReferences(const Paths& paths, const std::string& reference) {
    if (reference.size() < 2) return 0;
    const std::string suffix = lowerCp1252(reference.substr(reference.size() - 2)) + ".ref";
    std::error_code ec;
    fs::directory_iterator it(paths.product("referencias"), ec);
    if (ec) return 0;
    int deleted = 0;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        // Copies of this terminal's reference files that a run died before renaming go too.
        const bool copy = name.size() > 14 && lowerCp1252(name.substr(6, 6)) == suffix &&
                          name.compare(12, 2, ".~") == 0;
        if (copy) {
            fs::remove(entry.path(), ec);
            continue;
        }
        if (name.size() != 12 || lowerCp1252(name.substr(6)) != suffix) continue;
        if (!entry.is_regular_file(ec)) continue;
        if (fs::remove(entry.path(), ec)) ++deleted;
    }
    return deleted;
}

ClosingResult closingMove(const Paths& paths, const RunState& st, const Config& cfg,
                          SurveySession& session, const CivilDate& date) {
    ClosingResult r;
    const fs::path outbox = outboxPath(paths);
    bool ownDeleted = false;
    {
        // The byte keeps the other terminals waiting; the guard keeps the outbox whole against
        // what the byte cannot tell apart: a send of this terminal's own digit "0" reading or
        // emptying it, or a second instance of this terminal closing too.
        OsFileLock guard(lockGuardPath(paths));
        // A second closing call of this same dispensing (launched twice) finds the reference
        // file gone or changed once the first has moved it: its answers are not written again.
        if (!session.referenceUnchanged()) {
            r.ok = true;
            r.alreadyMoved = true;
            r.counter = readCounter(paths);
        } else {
            removeStaleCopies(paths);
            const bool tailKept = cutTornTail(outbox, paths.product("Respuesta.recortado"));
            const std::uintmax_t size = fileSizeOrZero(outbox);
            const std::int64_t before = readCounter(paths);
            std::int64_t counter = before;
            int lines = 0;
            const std::string block = buildClosingBlock(st, cfg, session.respuestasMed(),
                                                        TodayStamp(date), size, counter, lines);

            // Outbox first, counter second, reference files last: a crash in between may repeat
            // lines but never loses one.
            const auto counterBefore = readFileBytes(counterPath(paths));
            faultPoint("closing:append");
            const bool appended = tailKept && appendDurably(outbox, block);
            if (appended) faultPoint("closing:counter");
            if (!appended) {
                r.counter = before;
                r.error = notSavedMessage(tailKept ? "Respuesta.tsv" : "Respuesta.recortado");
            } else if (!writeFileAtomic(counterPath(paths), std::to_string(counter) + CRLF)) {
                // Without the new counter the lines would get their serials again: take them
                // back.
                std::error_code ec;
                fs::resize_file(outbox, fileSizeOrZero(outbox) - block.size(), ec);
                r.counter = before;
                r.error = notSavedMessage("NumRegistro");
            } else if (const auto gone = session.removeReference();
                       gone == SurveySession::Removal::Kept) {
                // Still holding the answers, the file would be moved again by the next closing
                // call: the lines and the counter are taken back.
                std::error_code ec;
                fs::resize_file(outbox, fileSizeOrZero(outbox) - block.size(), ec);
                if (counterBefore)
                    writeFileAtomic(counterPath(paths), *counterBefore);
                else
                    fs::remove(counterPath(paths), ec);
                r.counter = before;
                r.error = referenceNotMovableMessage(session.referenceFile().path().string());
            } else {
                // Removed still under the guard, so a second call of this dispensing sees it
                // moved.
                r.ok = true;
                r.linesWritten = lines;
                r.counter = counter;
                ownDeleted = gone == SurveySession::Removal::Deleted;
            }
        }
    }

    faultPoint("closing:release");
    release(paths);
    if (r.ok && !r.alreadyMoved) {
        session.closeReference();
        faultPoint("closing:delete");
        r.referencesDeleted = deleteTerminalReferences(paths, st.reference) + (ownDeleted ? 1 : 0);
    }
    faultPoint("closing:finish");
    finish(paths, st.terminalDigit);
    const std::string what =
        "Cierre de la dispensación " + fromCp1252(trimBlanks(st.reference)) + ": ";
    if (r.alreadyMoved)
        runlog::log(what + "ya pasada por otra llamada, no se escribe nada");
    else if (r.ok)
        runlog::log(what + "líneas escritas en Respuesta.tsv: " + std::to_string(r.linesWritten) +
                    (r.linesWritten > 0
                         ? " (números " + std::to_string(r.counter - r.linesWritten + 1) + " a " +
                               std::to_string(r.counter) + ")"
                         : std::string()) +
                    "; ficheros .ref borrados: " + std::to_string(r.referencesDeleted));
    else
        runlog::log(what + "ERROR: " + fromCp1252(r.error) + " NumRegistro sigue en " +
                    std::to_string(r.counter) + ".");
    return r;
}

std::optional<std::string> readOutboxSnapshot(const Paths& paths, std::string* stamp) {
    // Under the guard, so a closing move is in it whole or not at all.
    OsFileLock guard(lockGuardPath(paths));
    if (stamp) *stamp = sendStampState(paths);
    return readFileBytes(outboxPath(paths));
}

namespace {

// `sent` nullopt: only the size is known. `notFound` tells when bytes were sent but the outbox
// no longer begins with them.
EmptyOutcome removeSent(const Paths& paths, std::uintmax_t sentSize,
                        const std::optional<std::string>& sent, bool* notFound = nullptr,
                        const std::string* stampAtSend = nullptr) {
    OsFileLock guard(lockGuardPath(paths));
    if (unguardedClosingMove(paths, guard)) return EmptyOutcome::Busy;
    // Another send was confirmed since: it emptied the outbox, so what is there now was never
    // sent, even when a closing call wrote the same bytes again (serials restart at 1).
    if (stampAtSend && sendStampState(paths) != *stampAtSend) {
        if (notFound) *notFound = true;
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
    if (!stampSend(paths)) return EmptyOutcome::Failed;
    return outcome;
}

} // namespace

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
    return removeSent(paths, sent.size(), sent);
}

EmptyOutcome emptyOutbox(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    if (unguardedClosingMove(paths, guard)) return EmptyOutcome::Busy;
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

StartupSyncResult completeStartupSync(const Paths& paths, RunState& st, const Config& cfg,
                                      SurveySession& session) {
    StartupSyncResult r;
    {
        // Under the guard on a closing call: a second call of this dispensing must not rewrite
        // the reference file while the first moves and deletes it, or the answers would return.
        std::optional<OsFileLock> guard;
        if (st.closingCall) guard.emplace(lockGuardPath(paths));
        r.referenceOpened = session.synchronise(st, paths);
    }
    const bool moves = st.closingCall && st.referenceIsPositive();
    // Without the reference file the table is empty: moving would delete answers unsent.
    if (moves && r.referenceOpened && session.referenceWritable()) {
        r.closing = closingMove(paths, st, cfg, session);
        r.closingMoveRan = true;
        return r;
    }
    if (moves && r.referenceOpened)
        r.closing.error = referenceNotMovableMessage(session.referenceFile().path().string());
    else if (moves)
        r.closing.error = referenceNotOpenedMessage(
            paths.product("referencias\\" + st.reference + ".ref").string());
    if (moves) runlog::log("Cierre de la dispensación: ERROR: " + fromCp1252(r.closing.error));
    releaseIfOwn(paths, st.terminalDigit);
    return r;
}

} // namespace vl
