// Encoding, decoding, completing and settling the note of a closing move. Owns
// Respuesta.pendiente; must not decide what goes into a move, only put a noted one in place.
#include "outbox/movejournal.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingmove.h"
#include "outbox/outboxfile.h"
#include "platform/fileio.h"

namespace vl {

namespace fs = std::filesystem;

fs::path notePath(const Paths& paths) {
    return paths.product("Respuesta.pendiente");
}

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
        "Recuperación: un cierre interrumpido (" + (refs.empty() ? "nota ilegible" : refs) + ") " +
        (done == Settled::Done
             ? "se ha completado: " + counted(m->lines, "línea", "líneas") +
                   " en Respuesta.tsv, números " + std::to_string(m->counterAfter - m->lines + 1) +
                   " a " + std::to_string(m->counterAfter)
         : done == Settled::Failed
             ? "no se ha podido completar (" + fromCp1252(failed) +
                   "): sus respuestas siguen en el terminal"
             : "no se puede comprobar: Respuesta.tsv ha cambiado; sus ficheros de respuestas se "
               "conservan y se pasarán de nuevo"));
}

} // namespace vl
