// The closing move: a dispensing's recorded answers from the terminal's reference files into
// the outbox, under the guard, through the journal; then the reference files go. Must not empty
// the outbox nor read what a send accepted.
#include "outbox/outbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

#include "core/faultpoint.h"
#include "core/filecause.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingmove.h"
#include "outbox/lock.h"
#include "outbox/movejournal.h"
#include "outbox/outboxfile.h"
#include "outbox/setaside.h"
#include "platform/fileio.h"
#include "platform/oslock.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

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

// Files of referencias named 6 characters + the last two of `reference` + ".ref" (any case),
// and with `copies` the copies of them that a run died before renaming.
std::vector<fs::path> terminalFiles(const Paths& paths, const std::string& reference, bool copies) {
    std::vector<fs::path> found;
    if (reference.size() < 2) return found;
    const std::string suffix = lowerCp1252(reference.substr(reference.size() - 2)) + ".ref";
    std::error_code ec;
    for (fs::directory_iterator it(paths.product("referencias"), ec), last; !ec && it != last;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool copy = copies && name.size() > 14 && lowerCp1252(name.substr(6, 6)) == suffix &&
                          name.compare(12, 2, ".~") == 0;
        if (copy || (name.size() == 12 && lowerCp1252(name.substr(6)) == suffix))
            found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// A closing call holds its marker for its life: the system lets go of it however the call ends,
// so a marker nobody holds is one a call left unfinished.
constexpr std::uint64_t MarkerAlive = std::uint64_t{1} << 30;

bool closingCallAlive(const Paths& paths, const std::string& reference) {
    return heldByAnyone(markerPath(paths, reference), MarkerAlive);
}

// The references of this terminal's other reference files that a closing call left unmoved;
// markers whose reference file is gone are dropped.
std::vector<std::string> keptReferences(const Paths& paths, const std::string& reference) {
    std::vector<std::string> kept;
    std::error_code ec;
    for (const fs::path& file : terminalFiles(paths, reference, false)) {
        const std::string ref = file.filename().string().substr(0, 8);
        if (lowerCp1252(ref) != lowerCp1252(reference) && fs::exists(markerPath(paths, ref), ec) &&
            !closingCallAlive(paths, ref))
            kept.push_back(ref);
    }
    for (fs::directory_iterator it(paths.product("referencias"), ec), last; !ec && it != last;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // A running call's own marker without its file tells that call its answers went.
        if (lowerCp1252(name).ends_with(".cierre") && name.size() == 15 &&
            !fs::exists(referencePath(paths, name.substr(0, 8))) &&
            !closingCallAlive(paths, name.substr(0, 8)))
            fs::remove(it->path(), ec);
    }
    return kept;
}

// Answers of a closing call that are nowhere: its marker says its file was there when the call
// began, and nothing that moves answers left the marker without the file.
std::string answersNotFoundMessage(const std::string& reference) {
    return "No se encuentran las respuestas grabadas de la dispensaci\xF3n " + reference +
           ": su fichero referencias\\" + reference +
           ".ref ya no est\xE1 (otro programa lo ha borrado o movido).\nNo se ha pasado nada a "
           "Respuesta.tsv.";
}

} // namespace

// Beside a reference file while a closing call of it has not completed: its command line.
fs::path markerPath(const Paths& paths, const std::string& reference) {
    return paths.product("referencias\\" + reference + ".cierre");
}

fs::path referencePath(const Paths& paths, const std::string& reference) {
    return paths.product("referencias\\" + reference + ".ref");
}

// Records with a code and the recorded flag 1.
int recordedIn(const std::string& file) {
    int n = 0;
    RefRecord rec;
    for (std::size_t at = 0; at + RefRecord::Length <= file.size(); at += RefRecord::Length) {
        rec.bytes = file.substr(at, RefRecord::Length);
        n += Val(rec.code()) > 0 && Val(rec.ord(0)) == 1;
    }
    return n;
}

// The reference file once its answers are in the outbox: deleted, or emptied when it cannot
// be (empty, it holds nothing to move). Changed since it was noted (a window of that
// dispensing recorded into it), only the records that went into the outbox are blanked, and
// its marker stays: the terminal's next closing call moves the rest instead of deleting it.
bool removeMoved(const Paths& paths, const std::string& reference, const std::string& noted) {
    const fs::path file = referencePath(paths, reference);
    std::error_code ec;
    const auto now = readFileBytes(file);
    if (now && !now->empty() && *now != noted && recordedIn(*now) > 0) {
        std::string left = *now;
        for (std::size_t at = 0; at + RefRecord::Length <= left.size(); at += RefRecord::Length)
            for (std::size_t n = 0; n + RefRecord::Length <= noted.size(); n += RefRecord::Length)
                if (left.compare(at, RefRecord::Length, noted, n, RefRecord::Length) == 0)
                    left.replace(at, RefRecord::Length, RefRecord{}.bytes);
        if (recordedIn(left) > 0) return writeFileAtomic(file, left);
    }
    // The marker first: a marker left without its file would say the answers were lost. Its
    // hold goes before it (Windows keeps a held file's name until it is let go of).
    dropHolds(markerPath(paths, reference));
    fs::remove(markerPath(paths, reference), ec);
    fs::resize_file(file, 0, ec);
    const bool emptied = !ec;
    fs::remove(file, ec);
    return !(ec && !emptied && fs::exists(file));
}

namespace {

// Once more, to learn why an emptied reference file is still there (UTF-8, empty when it went
// now): a folder that allows no removal says so, anything else is taken for another program
// holding the file.
std::string whyNotRemoved(const fs::path& file) {
    const int cause = removeFileCause(file);
    if (cause == 0) return {};
    if (cause == EACCES || cause == EPERM || cause == EROFS)
        return "no se puede borrar en la carpeta " +
               fromCp1252(nameInCp1252(file.parent_path().filename())) + ": " +
               fromCp1252(fileCause(cause));
    return "otro programa lo tiene abierto";
}

} // namespace

std::string heldOpenOr(std::string message) {
    const fs::path held = lastFileInUse();
    if (held.empty()) return message;
    return "No se han podido pasar las respuestas a Respuesta.tsv: el fichero " +
           nameInCp1252(held) +
           " lo est\xE1 usando otro programa (una hoja de c\xE1lculo, un antivirus o una copia "
           "de seguridad).\nLas respuestas siguen guardadas en este terminal y se pasar\xE1n en "
           "el pr\xF3ximo cierre de la dispensaci\xF3n, cuando ese programa lo deje libre.";
}

int deleteTerminalReferences(const Paths& paths, const std::string& reference,
                             const std::set<std::string>& moved) {
    int deleted = 0;
    std::error_code ec;
    for (const fs::path& file : terminalFiles(paths, reference, true)) {
        const std::string name = file.filename().string();
        if (name.size() != 12) { // a copy a run died before renaming
            fs::remove(file, ec);
            continue;
        }
        if (moved.contains(name.substr(0, 8))) continue;
        // Left by a closing call that did not complete, or of one still running: its answers
        // are still to be moved.
        if (fs::exists(markerPath(paths, name.substr(0, 8)), ec)) {
            if (closingCallAlive(paths, name.substr(0, 8)))
                runlog::log("Cierre: se conserva " + fromCp1252(name) +
                            ", cuyo cierre está en curso en este terminal");
            else
                runlog::log("Cierre: se conserva " + fromCp1252(name) +
                            ", de un cierre que no terminó, para pasarlo en el próximo cierre");
            continue;
        }
        const int recorded = recordedIn(readFileBytes(file).value_or(""));
        if (!fs::is_regular_file(file, ec)) continue;
        if (recorded > 0) {
            if (setAside(paths, file))
                runlog::log("Cierre: apartado " + fromCp1252(name) +
                            " de otra dispensación de este terminal, con " +
                            counted(recorded, "medicamento grabado", "medicamentos grabados") +
                            ", en referencias\\apartados: su cierre lo recupera");
            else
                runlog::log("Cierre: se conserva " + fromCp1252(name) +
                            " de otra dispensación de este terminal, con " +
                            counted(recorded, "medicamento grabado", "medicamentos grabados") +
                            ": no se puede apartar");
            continue;
        }
        if (!fs::remove(file, ec)) continue;
        ++deleted;
        runlog::log("Cierre: borrado " + fromCp1252(name) +
                    " de otra dispensación de este terminal, sin medicamentos grabados");
    }
    dropAbandoned(paths);
    return deleted;
}

ClosingResult closingMove(const Paths& paths, const RunState& st, const Config& cfg,
                          SurveySession& session, const CivilDate& date) {
    ClosingResult r;
    clearFileInUse();
    const fs::path outbox = outboxPath(paths);
    std::string keptLog, keptMoved;
    {
        // The byte keeps the other terminals waiting; the guard keeps the outbox whole against
        // what the byte cannot tell apart: a send of this terminal's own digit "0" reading or
        // emptying it, or a second instance of this terminal closing too.
        OsFileLock guard(lockGuardPath(paths));
        if (!guard.locked()) {
            r.counter = readCounter(paths);
            r.error = heldOpenOr(notSavedMessage(lockGuardPath(paths).filename().string()));
        } else if (settleNotedMove(paths); !session.referenceUnchanged()) {
            // A second closing call of this same dispensing (launched twice) finds the reference
            // file gone or changed once the first has moved it: its answers are not written again.
            r.ok = true;
            r.alreadyMoved = true;
            r.counter = readCounter(paths);
        } else {
            removeStaleCopies(paths);
            const bool tailKept = cutTornTail(outbox, paths.product("Respuesta.recortado"));
            NotedMove m;
            m.outboxSize = fileSizeOrZero(outbox);
            m.counterBefore = readFileBytes(counterPath(paths));
            // A counter another program holds cannot be read: numbering from 0 would repeat.
            const fs::path held = lastFileInUse();
            const std::int64_t before = readCounter(paths);
            std::int64_t counter = before;
            const std::string stamp = TodayStamp(date);
            // First what closing calls of this terminal that never completed left behind.
            for (const std::string& kept : keptReferences(paths, st.reference)) {
                const auto line = readFileBytes(markerPath(paths, kept));
                RunState ks = parseCommandLine(line.value_or(""));
                SurveySession s;
                int lines = 0;
                if (ks.reference != kept || !s.synchronise(ks, paths) || !s.referenceWritable()) {
                    keptLog += "; " + fromCp1252(kept) +
                               ".ref (de un cierre que no terminó) no se puede leer o escribir: "
                               "se conserva";
                    continue;
                }
                m.block += buildClosingBlock(ks, cfg, s.respuestasMed(), stamp,
                                             m.outboxSize + m.block.size(), counter, lines);
                s.closeReference();
                m.refs.push_back({kept, readFileBytes(s.referenceFile().path()).value_or("")});
                m.lines += lines;
                keptMoved +=
                    "; pasadas también las respuestas de " + fromCp1252(kept) +
                    ".ref, de un cierre que no terminó: " + counted(lines, "línea", "líneas") +
                    (s.leftOut().empty() ? "" : ", sin " + leftOutText(s.leftOut()));
            }
            int lines = 0;
            m.block += buildClosingBlock(st, cfg, session.respuestasMed(), stamp,
                                         m.outboxSize + m.block.size(), counter, lines);
            m.lines += lines;
            m.counterAfter = counter;
            // Closed first: on Windows an open file is not deleted until its last handle goes.
            const fs::path own = session.referenceFile().path();
            session.closeReference();
            m.refs.push_back({st.reference, readFileBytes(own).value_or("")});

            // Noted before the outbox is touched, so a call killed from here on is finished by
            // the next one instead of being repeated. Without lines nothing can be repeated.
            std::string failed = !held.empty() ? nameInCp1252(held.filename())
                                 : tailKept    ? ""
                                               : "Respuesta.recortado";
            faultPoint("closing:note");
            if (failed.empty() && m.lines > 0 && !writeFileAtomic(notePath(paths), encodeNote(m)))
                failed = notePath(paths).filename().string();
            if (failed.empty()) {
                faultPoint("closing:append");
                const Settled done = completeNoted(paths, m, failed);
                r.ok = done == Settled::Done;
            }
            if (!r.ok) {
                r.counter = before;
                // Nothing named: another program changed the outbox meanwhile.
                r.error = heldOpenOr(
                    failed.empty()
                        ? "Respuesta.tsv ha cambiado mientras se pasaban las respuestas (otro "
                          "programa lo ha modificado): no se ha a\xF1"
                          "adido nada.\nLas respuestas siguen guardadas en este terminal y se "
                          "pasar\xE1n en el pr\xF3ximo cierre de la dispensaci\xF3n."
                    : failed.ends_with(".ref") ? referenceNotMovableMessage(failed)
                                               : notSavedMessage(failed));
            } else {
                r.linesWritten = m.lines;
                r.counter = counter;
                // Another program may hold one without letting it go: emptied, but still there.
                for (const auto& moved : m.refs) {
                    std::error_code ec;
                    // Not the file this call made for want of one: nothing was there to delete.
                    if (!fs::exists(referencePath(paths, moved.first), ec))
                        r.referencesDeleted +=
                            !(moved.first == st.reference && session.madeNew());
                    else if (fileSizeOrZero(referencePath(paths, moved.first)) == 0) {
                        const std::string why = whyNotRemoved(referencePath(paths, moved.first));
                        if (why.empty())
                            ++r.referencesDeleted;
                        else
                            keptLog += "; " + fromCp1252(moved.first) +
                                       ".ref vaciado pero no borrado (" + why + ")";
                    }
                }
                // Under the guard: a closing call of another dispensing of this terminal notes
                // itself under it, so its file is never set aside once it has begun.
                faultPoint("closing:delete");
                std::set<std::string> handled;
                for (const auto& moved : m.refs) handled.insert(moved.first);
                r.referencesDeleted += deleteTerminalReferences(paths, st.reference, handled);
            }
        }
    }

    faultPoint("closing:release");
    release(paths);
    faultPoint("closing:finish");
    finish(paths, st.terminalDigit);
    const std::string what =
        "Cierre de la dispensación " + fromCp1252(trimBlanks(st.reference)) + ": ";
    // The start-up rewrite has already left them out of the reference file.
    if (!session.leftOut().empty())
        keptLog += "; sin pasar a Respuesta.tsv: " + leftOutText(session.leftOut());
    if (r.alreadyMoved)
        runlog::log(what + "ya pasada por otra llamada, no se escribe nada");
    else if (r.ok)
        runlog::log(what + "líneas escritas en Respuesta.tsv: " + std::to_string(r.linesWritten) +
                    (r.linesWritten > 0
                         ? " (números " + std::to_string(r.counter - r.linesWritten + 1) + " a " +
                               std::to_string(r.counter) + ")"
                         : std::string()) +
                    "; ficheros .ref borrados: " + std::to_string(r.referencesDeleted) + keptMoved +
                    keptLog);
    else
        runlog::log(what + "ERROR: " + fromCp1252(r.error) + " NumRegistro sigue en " +
                    std::to_string(r.counter) + "." + keptLog);
    return r;
}

bool noteClosingCall(const Paths& paths, const RunState& st, const std::string& commandLine) {
    std::error_code ec;
    if (!st.closingCall || !st.referenceIsPositive()) return false;
    OsFileLock guard(lockGuardPath(paths));
    if (guard.locked()) takeBack(paths, st.reference);
    if (!fs::exists(referencePath(paths, st.reference), ec)) return false;
    const fs::path marker = markerPath(paths, st.reference);
    if (!writeFileBytes(marker, commandLine, true)) return false;
    // Another closing call of this terminal moves the answers of a marker nobody holds.
    holdShared(marker, MarkerAlive);
    return true;
}

void handOverClosingNote(const Paths& paths, const RunState& st) {
    dropHolds(markerPath(paths, st.reference));
}

namespace {

std::string closingFailed(const RunState& st, const std::string& error) {
    return "Cierre de la dispensación " + fromCp1252(trimBlanks(st.reference)) +
           ": ERROR: " + fromCp1252(error);
}

} // namespace

StartupSyncResult completeStartupSync(const Paths& paths, RunState& st, const Config& cfg,
                                      SurveySession& session) {
    StartupSyncResult r;
    clearFileInUse();
    {
        // Under the guard on a closing call: a second call of this dispensing must not rewrite
        // the reference file while the first moves and deletes it, or the answers would return.
        std::optional<OsFileLock> guard;
        if (st.closingCall) guard.emplace(lockGuardPath(paths));
        if (guard && !guard->locked()) {
            r.closing.error = heldOpenOr(notSavedMessage(lockGuardPath(paths).filename().string()));
            runlog::log(closingFailed(st, r.closing.error));
            return r;
        }
        // A move of this dispensing killed halfway is finished before its file is read again.
        if (guard) {
            settleNotedMove(paths);
            if (st.referenceIsPositive()) takeBack(paths, st.reference);
        } else if (st.referenceIsPositive()) {
            takeBackSetAside(paths, st.reference);
        }
        std::error_code ec;
        const fs::path marker = markerPath(paths, st.reference);
        // Let go of first: on Windows a marker another call of this dispensing removed keeps its
        // name while this call still holds it, and would read as answers gone astray.
        dropHolds(marker);
        if (st.closingCall && st.referenceIsPositive() && fs::exists(marker, ec) &&
            !fs::exists(referencePath(paths, st.reference), ec)) {
            fs::remove(marker, ec);
            r.closing.error = answersNotFoundMessage(trimBlanks(st.reference));
            runlog::log(closingFailed(st, r.closing.error));
            return r;
        }
        if (st.closingCall && fs::exists(marker, ec)) holdShared(marker, MarkerAlive);
        r.referenceOpened = session.synchronise(st, paths);
    }
    const bool moves = st.closingCall && st.referenceIsPositive();
    // A damaged pharmacy number would go into every line: the answers wait until it is mended.
    const std::string damage = moves ? settingsDamage(paths, cfg, false) : std::string();
    // Without the reference file the table is empty: moving would delete answers unsent.
    if (moves && damage.empty() && r.referenceOpened && session.referenceWritable()) {
        r.closing = closingMove(paths, st, cfg, session);
        r.closingMoveRan = true;
        return r;
    }
    if (moves && !damage.empty())
        r.closing.error = "No se han pasado las respuestas a Respuesta.tsv por un " + damage +
                          ".\nCorr\xEDjalo con Configurar en el terminal 0; las respuestas siguen "
                          "guardadas en este terminal y se pasar\xE1n en el pr\xF3ximo cierre de "
                          "la dispensaci\xF3n.";
    else if (moves && r.referenceOpened)
        r.closing.error =
            heldOpenOr(referenceNotMovableMessage(session.referenceFile().path().string()));
    else if (moves)
        r.closing.error = heldOpenOr(referenceNotOpenedMessage(
            paths.product("referencias\\" + st.reference + ".ref").string()));
    if (moves) runlog::log(closingFailed(st, r.closing.error));
    releaseIfOwn(paths, st.terminalDigit);
    return r;
}

} // namespace vl
