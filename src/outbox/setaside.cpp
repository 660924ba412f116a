// The folder referencias\apartados: another dispensing's reference file with recorded answers,
// which a closing move of this terminal would otherwise delete, waits there for its own closing
// call (or an ordinary start of it) to take it back, for 14 days. Moves files only; never reads
// or writes the outbox.
#include "outbox/setaside.h"

#include <chrono>
#include <system_error>

#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingmove.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "outbox/outboxfile.h"
#include "platform/fileio.h"
#include "platform/oslock.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// Another dispensing's file with recorded answers goes here instead of being deleted: its own
// closing call may still come (two closing calls of one terminal close together) and takes it
// back. Kept this long after it was set aside, then taken for abandoned.
constexpr auto AsideKept = std::chrono::hours(24 * 14);

fs::path asidePath(const Paths& paths, const std::string& name) {
    return paths.product("referencias\\apartados\\" + name);
}

} // namespace

bool setAside(const Paths& paths, const fs::path& file) {
    const std::string name = file.filename().string();
    makeDirOneLevel(paths.product("referencias\\apartados"));
    const fs::path to = asidePath(paths, name);
    std::error_code ec;
    // An earlier copy with answers is not overwritten: this one then stays where it is.
    if (fs::exists(to, ec) && recordedIn(readFileBytes(to).value_or("")) > 0) return false;
    if (!renameWithRetry(file, to)) return false;
    fs::last_write_time(to, fs::file_time_type::clock::now(), ec);
    return true;
}

// Files set aside longer than AsideKept: no closing call came for them.
void dropAbandoned(const Paths& paths) {
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(paths.product("referencias\\apartados"), ec), last;
         !ec && it != last; it.increment(ec)) {
        std::error_code tc;
        const auto at = fs::last_write_time(it->path(), tc);
        if (tc || now - at < AsideKept || !fs::is_regular_file(it->path(), tc)) continue;
        const int recorded = recordedIn(readFileBytes(it->path()).value_or(""));
        if (fs::remove(it->path(), tc))
            runlog::log("Cierre: borrado referencias\\apartados\\" +
                        fromCp1252(it->path().filename().string()) +
                        ", apartado hace más de 14 días sin que llegara su cierre, con " +
                        counted(recorded, "medicamento grabado", "medicamentos grabados"));
    }
}

// The file of `reference` set aside by another dispensing's closing call goes back, unless
// referencias holds answers of its own for it. With the guard held.
void takeBack(const Paths& paths, const std::string& reference) {
    const fs::path aside = asidePath(paths, reference + ".ref");
    std::error_code ec;
    if (!fs::exists(aside, ec)) return;
    const fs::path file = referencePath(paths, reference);
    if (recordedIn(readFileBytes(file).value_or("")) > 0) return;
    const int recorded = recordedIn(readFileBytes(aside).value_or(""));
    const bool back = renameWithRetry(aside, file);
    fs::remove(aside.parent_path(), ec); // only when nothing else is set aside
    runlog::log(
        "Recuperación: " + fromCp1252(reference) +
        ".ref, apartado en referencias\\apartados por el cierre de otra dispensación, " +
        (back ? "vuelve a referencias con " : "no se puede devolver a referencias; conserva ") +
        counted(recorded, "medicamento grabado", "medicamentos grabados"));
}

void takeBackSetAside(const Paths& paths, const std::string& reference) {
    std::error_code ec;
    if (!fs::exists(asidePath(paths, reference + ".ref"), ec)) return;
    OsFileLock guard(lockGuardPath(paths));
    if (guard.locked()) takeBack(paths, reference);
}

} // namespace vl
