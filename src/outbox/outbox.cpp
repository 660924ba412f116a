#include "outbox/outbox.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

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

// "1 línea", "2 líneas": the count with its noun in the log's words.
std::string counted(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
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
        if (name.starts_with("respuesta.tsv.~") || name.starts_with("numregistro.~") ||
            name.starts_with("respuesta.pendiente.~") ||
            name.starts_with("respuesta.aceptado.~"))
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


fs::path notePath(const Paths& paths) {
    return paths.product("Respuesta.pendiente");
}

// What the service accepted, until it is out of the outbox: the send stamp's state then, and
// the bytes.
fs::path acceptedPath(const Paths& paths) {
    return paths.product("Respuesta.aceptado");
}

// Beside a reference file while a closing call of it has not completed: its command line.
fs::path markerPath(const Paths& paths, const std::string& reference) {
    return paths.product("referencias\\" + reference + ".cierre");
}

fs::path referencePath(const Paths& paths, const std::string& reference) {
    return paths.product("referencias\\" + reference + ".ref");
}

// Files of referencias named 6 characters + the last two of `reference` + ".ref" (any case),
// and with `copies` the copies of them that a run died before renaming.
std::vector<fs::path> terminalFiles(const Paths& paths, const std::string& reference,
                                    bool copies) {
    std::vector<fs::path> found;
    if (reference.size() < 2) return found;
    const std::string suffix = lowerCp1252(reference.substr(reference.size() - 2)) + ".ref";
    std::error_code ec;
    for (fs::directory_iterator it(paths.product("referencias"), ec), last; !ec && it != last;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool copy = copies && name.size() > 14 &&
                          lowerCp1252(name.substr(6, 6)) == suffix && name.compare(12, 2, ".~") == 0;
        if (copy || (name.size() == 12 && lowerCp1252(name.substr(6)) == suffix))
            found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
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

// The references of this terminal's other reference files that a closing call left unmoved;
// markers whose reference file is gone are dropped.
std::vector<std::string> keptReferences(const Paths& paths, const std::string& reference) {
    std::vector<std::string> kept;
    std::error_code ec;
    for (const fs::path& file : terminalFiles(paths, reference, false)) {
        const std::string ref = file.filename().string().substr(0, 8);
        if (lowerCp1252(ref) != lowerCp1252(reference) && fs::exists(markerPath(paths, ref), ec))
            kept.push_back(ref);
    }
    for (fs::directory_iterator it(paths.product("referencias"), ec), last; !ec && it != last;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (lowerCp1252(name).ends_with(".cierre") && name.size() == 15 &&
            !fs::exists(referencePath(paths, name.substr(0, 8))))
            fs::remove(it->path(), ec);
    }
    return kept;
}

// A closing move, noted in Respuesta.pendiente under the guard before the outbox is touched:
// the outbox's size before it, the counter before and after, the block, and each reference
// file it moves with its bytes at that moment.
struct NotedMove {
    std::uintmax_t outboxSize = 0;
    std::optional<std::string> counterBefore;
    std::int64_t counterAfter = 0;
    int lines = 0;
    std::string block;
    std::vector<std::pair<std::string, std::string>> refs;
};

constexpr std::string_view NoteMagic = "Velantia cierre pendiente\r\n";

// Each field its length, CR LF, its bytes, CR LF.
std::string encodeNote(const NotedMove& m) {
    std::string out(NoteMagic);
    const auto field = [&out](std::string_view v) {
        out += std::to_string(v.size()) + CRLF;
        out += v;
        out += CRLF;
    };
    field(std::to_string(m.outboxSize));
    field(m.counterBefore ? "1" : "0");
    field(m.counterBefore.value_or(""));
    field(std::to_string(m.counterAfter));
    field(std::to_string(m.lines));
    field(m.block);
    for (const auto& [ref, bytes] : m.refs) {
        field(ref);
        field(bytes);
    }
    return out;
}

std::optional<NotedMove> decodeNote(std::string_view s) {
    if (!s.starts_with(NoteMagic)) return std::nullopt;
    s.remove_prefix(NoteMagic.size());
    std::vector<std::string> f;
    while (!s.empty()) {
        std::size_t len = 0;
        const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), len);
        const std::size_t at = static_cast<std::size_t>(p - s.data()) + 2;
        if (ec != std::errc{} || s.size() < at + len + 2 || s.substr(at + len, 2) != CRLF)
            return std::nullopt;
        f.emplace_back(s.substr(at, len));
        s.remove_prefix(at + len + 2);
    }
    if (f.size() < 6 || f.size() % 2 != 0) return std::nullopt;
    NotedMove m;
    const auto number = [](const std::string& t, auto& v) {
        return std::from_chars(t.data(), t.data() + t.size(), v).ec == std::errc{};
    };
    if (!number(f[0], m.outboxSize) || !number(f[3], m.counterAfter) || !number(f[4], m.lines))
        return std::nullopt;
    if (f[1] == "1") m.counterBefore = f[2];
    m.block = f[5];
    for (std::size_t i = 6; i + 1 < f.size(); i += 2)
        m.refs.emplace_back(f[i], f[i + 1]);
    return m;
}

std::string readRange(const fs::path& file, std::uintmax_t from, std::uintmax_t count) {
    std::ifstream in(file, std::ios::binary);
    std::string buf(count, '\0');
    in.seekg(static_cast<std::streamoff>(from));
    if (!in.read(buf.data(), static_cast<std::streamsize>(count))) buf.clear();
    return buf;
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
    fs::resize_file(file, 0, ec);
    const bool emptied = !ec;
    fs::remove(file, ec);
    if (ec && !emptied && fs::exists(file)) return false;
    fs::remove(markerPath(paths, reference), ec);
    return true;
}

enum class Settled { Done, Changed, Failed };

// Puts a noted move in place, however far it had got: the block at its offset (appended again
// when missing or torn), the counter, the reference files moved; then the note goes. When the
// block or the counter cannot be written, or the first reference file cannot be removed, both
// are taken back and the reference files keep their answers (`failed` names the file). Changed:
// something that does not know the note has rewritten the outbox since; the reference files
// are kept, so their answers are at worst moved twice, never lost.
Settled completeNoted(const Paths& paths, const NotedMove& m, std::string& failed) {
    const fs::path outbox = outboxPath(paths);
    const std::uintmax_t size = fileSizeOrZero(outbox), end = m.outboxSize + m.block.size();
    const std::string there =
        size < m.outboxSize ? std::string()
                            : readRange(outbox, m.outboxSize, std::min(size, end) - m.outboxSize);
    const bool whole = size >= end && there == m.block;
    if (!whole && (size < m.outboxSize || size >= end || m.block.compare(0, there.size(), there))) {
        std::error_code ec;
        fs::remove(notePath(paths), ec);
        return Settled::Changed;
    }
    std::error_code ec;
    bool ok = whole;
    if (!whole) {
        if (size > m.outboxSize) fs::resize_file(outbox, m.outboxSize, ec);
        ok = !ec && appendDurably(outbox, m.block);
        if (!ok) failed = "Respuesta.tsv";
    }
    const std::string counter = std::to_string(m.counterAfter) + CRLF;
    if (ok) faultPoint("closing:counter");
    if (ok && readFileBytes(counterPath(paths)) != counter &&
        !writeFileAtomic(counterPath(paths), counter)) {
        ok = false;
        failed = "NumRegistro";
    }
    if (ok) faultPoint("closing:reference");
    std::size_t removed = 0;
    while (ok && removed < m.refs.size()) {
        const auto& [ref, bytes] = m.refs[removed];
        if (!removeMoved(paths, ref, bytes)) {
            failed = nameInCp1252(referencePath(paths, ref));
            // Once one has gone its answers are only in the outbox: the block stays.
            if (removed == 0) ok = false;
            runlog::log("Cierre: ERROR: no se puede borrar " + fromCp1252(failed) +
                        (ok ? ", ya pasado a Respuesta.tsv" : ""));
            if (!ok) break;
        }
        ++removed;
    }
    if (!ok) {
        // Taken back only while nothing came after the block.
        if (fileSizeOrZero(outbox) == end) fs::resize_file(outbox, m.outboxSize, ec);
        if (m.counterBefore)
            writeFileAtomic(counterPath(paths), *m.counterBefore);
        else
            fs::remove(counterPath(paths), ec);
    }
    faultPoint("closing:noted");
    fs::remove(notePath(paths), ec);
    return ok ? Settled::Done : Settled::Failed;
}

// A note left by a closing move that was killed: finished (or taken back) before anything
// else reads or writes the outbox. With the guard held.
void settleNotedMove(const Paths& paths) {
    std::error_code ec;
    if (!fs::exists(notePath(paths), ec)) return;
    const auto m = decodeNote(readFileBytes(notePath(paths)).value_or(""));
    std::string failed;
    const Settled done = m ? completeNoted(paths, *m, failed) : Settled::Changed;
    if (!m) fs::remove(notePath(paths), ec);
    std::string refs;
    if (m)
        for (const auto& ref : m->refs)
            refs += (refs.empty() ? "" : ", ") + fromCp1252(ref.first) + ".ref";
    runlog::log(
        "Recuperación: un cierre interrumpido (" + (refs.empty() ? "nota ilegible" : refs) +
        ") " +
        (done == Settled::Done
             ? "se ha completado: " + counted(m->lines, "línea", "líneas") +
                   " en Respuesta.tsv, números " +
                   std::to_string(m->counterAfter - m->lines + 1) + " a " +
                   std::to_string(m->counterAfter)
         : done == Settled::Failed
             ? "no se ha podido completar (" + fromCp1252(failed) +
                   "): sus respuestas siguen en el terminal"
             : "no se puede comprobar: Respuesta.tsv ha cambiado; sus ficheros de respuestas se "
               "conservan y se pasarán de nuevo"));
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
        // Blanked before the cut: a TAB, CR or LF ends the code as a blank does.
        const std::string blanked = fieldText(ans);
        const std::string_view code = std::string_view(blanked).substr(0, blanked.find(' '));
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
    int deleted = 0;
    std::error_code ec;
    for (const fs::path& file : terminalFiles(paths, reference, true)) {
        const std::string name = file.filename().string();
        if (name.size() != 12) { // a copy a run died before renaming
            fs::remove(file, ec);
            continue;
        }
        // Left by a closing call that did not complete: its answers are still to be moved.
        if (fs::exists(markerPath(paths, name.substr(0, 8)), ec)) {
            runlog::log("Cierre: se conserva " + fromCp1252(name) +
                        ", de un cierre que no terminó, para pasarlo en el próximo cierre");
            continue;
        }
        const int recorded = recordedIn(readFileBytes(file).value_or(""));
        if (!fs::is_regular_file(file, ec) || !fs::remove(file, ec)) continue;
        ++deleted;
        runlog::log("Cierre: borrado " + fromCp1252(name) + " de otra dispensación de este " +
                    "terminal, con " +
                    counted(recorded, "medicamento grabado", "medicamentos grabados") +
                    (recorded == 1  ? " que no se pasa a Respuesta.tsv"
                     : recorded > 0 ? " que no se pasan a Respuesta.tsv"
                                    : ""));
    }
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
                    ".ref, de un cierre que no terminó: " + counted(lines, "línea", "líneas");
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
            if (failed.empty() && m.lines > 0 &&
                !writeFileAtomic(notePath(paths), encodeNote(m)))
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
                    if (!fs::exists(referencePath(paths, moved.first), ec))
                        ++r.referencesDeleted;
                    else if (fileSizeOrZero(referencePath(paths, moved.first)) == 0)
                        keptLog += "; " + fromCp1252(moved.first) +
                                   ".ref vaciado pero no borrado (otro programa lo tiene abierto)";
                }
            }
        }
    }

    faultPoint("closing:release");
    release(paths);
    if (r.ok && !r.alreadyMoved) {
        faultPoint("closing:delete");
        r.referencesDeleted += deleteTerminalReferences(paths, st.reference);
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
                    "; ficheros .ref borrados: " + std::to_string(r.referencesDeleted) + keptMoved +
                    keptLog);
    else
        runlog::log(what + "ERROR: " + fromCp1252(r.error) + " NumRegistro sigue en " +
                    std::to_string(r.counter) + "." + keptLog);
    return r;
}

std::optional<std::string> readOutboxSnapshot(const Paths& paths, std::string* stamp) {
    // Under the guard, so a closing move is in it whole or not at all.
    OsFileLock guard(lockGuardPath(paths));
    if (!guard.locked()) return std::nullopt;
    settleNotedMove(paths);
    if (stamp) *stamp = sendStampState(paths);
    return readFileBytes(outboxPath(paths));
}

namespace {

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

bool noteClosingCall(const Paths& paths, const RunState& st, const std::string& commandLine) {
    std::error_code ec;
    if (!st.closingCall || !st.referenceIsPositive() ||
        !fs::exists(referencePath(paths, st.reference), ec))
        return false;
    return writeFileBytes(markerPath(paths, st.reference), commandLine, true);
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
            r.closing.error =
                heldOpenOr(notSavedMessage(lockGuardPath(paths).filename().string()));
            runlog::log(closingFailed(st, r.closing.error));
            return r;
        }
        // A move of this dispensing killed halfway is finished before its file is read again.
        if (guard) settleNotedMove(paths);
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
