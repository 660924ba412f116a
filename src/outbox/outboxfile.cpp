// The outbox file itself: durable append, torn tail, counter, stale copies and the line's
// fields. Must not take the lock or touch the reference files or the notes' contents.
#include "outbox/outboxfile.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "core/runlog.h"
#include "core/text.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"

namespace vl {

namespace fs = std::filesystem;

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
// TAB, CR and LF would break the line's columns, and a NUL (a field padded with them) ends the
// text for whoever reads it: inside a value they become a blank.
std::string fieldText(std::string_view value) {
    std::string out(value);
    // Control bytes, and the five that are no character in Windows-1252, mean nothing in a line.
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || unassignedInCp1252(b))
            c = ' ';
    }
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
            name.starts_with("respuesta.pendiente.~") || name.starts_with("respuesta.aceptado.~"))
            fs::remove(entry.path(), ec);
    }
}

std::string readRange(const fs::path& file, std::uintmax_t from, std::uintmax_t count) {
    std::ifstream in(file, std::ios::binary);
    std::string buf(count, '\0');
    in.seekg(static_cast<std::streamoff>(from));
    if (!in.read(buf.data(), static_cast<std::streamsize>(count))) buf.clear();
    return buf;
}

std::int64_t readCounter(const Paths& paths) {
    const auto bytes = readConfigText(counterPath(paths));
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
        // Blanked before the cut: a TAB, CR, LF, NUL or other control byte ends the code as a
        // blank does.
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

} // namespace vl
