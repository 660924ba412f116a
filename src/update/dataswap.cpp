#include "update/dataswap.h"

#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "update/conversion.h"
#include "update/recovery.h"

namespace vl {

namespace fs = std::filesystem;

namespace conversion {

MasterFiles::MasterFiles(const Paths& paths)
    : datos(paths.product("datos")), textos(paths.product("datos\\textos")),
      velantia(paths.product("datos\\Velantia.txt")), fresh(datos / "textos.~nuevo"),
      old(datos / "textos.~viejo"), freshVelantia(datos / "Velantia.txt.~nuevo"),
      marker(datos / SwapMarkerName) {}

fs::path conversionLockPath(const Paths& paths) {
    return paths.product("Actualiza.lck");
}

namespace {

// The old texts are deleted beside the rest of the update: thousands of deletions would
// otherwise hold it up. One folder at a time per process.
class Discarder {
  public:
    ~Discarder() { wait(); }

    void start(fs::path folder) {
        wait();
        std::lock_guard lock(mutex_);
        current_ = folder;
        thread_ = std::thread([f = std::move(folder)] {
            std::error_code ec;
            fs::remove_all(f, ec);
        });
    }

    void wait() {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) thread_.join();
        current_.clear();
    }

    bool busyWith(const fs::path& folder) {
        std::lock_guard lock(mutex_);
        return !current_.empty() && current_ == folder;
    }

  private:
    std::mutex mutex_;
    std::thread thread_;
    fs::path current_;
};

Discarder& discarder() {
    static Discarder d;
    return d;
}

bool rollForward(const MasterFiles& m, bool removeOld = true) {
    std::error_code ec;
    if (fs::is_directory(m.fresh, ec)) {
        if (fs::exists(m.textos, ec)) {
            fs::remove_all(m.old, ec);
            if (!renameWithRetry(m.textos, m.old)) return false;
            faultPoint("swap:texts-aside");
        }
        if (!renameWithRetry(m.fresh, m.textos)) return false;
        faultPoint("swap:texts-in");
    } else if (!fs::exists(m.textos, ec) && fs::is_directory(m.old, ec)) {
        // Only possible when someone removed the new texts: the old ones beat none.
        renameWithRetry(m.old, m.textos);
    }
    if (fs::exists(m.freshVelantia, ec)) {
        if (!renameWithRetry(m.freshVelantia, m.velantia)) return false;
        faultPoint("swap:velantia-in");
    }
    if (!fs::remove(m.marker, ec) && fs::exists(m.marker, ec)) return false;
    faultPoint("swap:unmarked");
    if (removeOld) fs::remove_all(m.old, ec);
    return true;
}

// After a swap: the old texts go under a name of their own, so that no later swap can hand its
// own set-aside folder to the deletion still running.
void discardOldTexts(const MasterFiles& m) {
    std::error_code ec;
    if (!fs::exists(m.old, ec)) return;
    const fs::path doomed =
        m.datos / ("textos.~borrar" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    if (renameWithRetry(m.old, doomed)) {
        faultPoint("swap:discarding");
        discarder().start(doomed);
    } else
        fs::remove_all(m.old, ec);
}

void rollBack(const MasterFiles& m) {
    std::error_code ec;
    // A run of an older version could die between its two renames.
    if (!fs::exists(m.textos, ec) && fs::is_directory(m.old, ec)) renameWithRetry(m.old, m.textos);
    fs::remove_all(m.fresh, ec);
    fs::remove(m.freshVelantia, ec);
    if (fs::exists(m.textos, ec)) fs::remove_all(m.old, ec);
}

// Copies that writeFileAtomic had not yet renamed when its run died.
void removeStaleCopies(const MasterFiles& m) {
    std::error_code ec;
    fs::directory_iterator it(m.datos, ec);
    if (ec) return;
    for (const auto& entry : it) {
        const std::string name = lowerCp1252(entry.path().filename().string());
        if (name.starts_with("textos.~borrar") && !discarder().busyWith(entry.path())) {
            fs::remove_all(entry.path(), ec);
            continue;
        }
        for (const char* file :
             {"velantia.txt.~", "encuesta.txt.~", "productos.txt.~", "cambio.~listo.~"})
            if (name.starts_with(file)) fs::remove_all(entry.path(), ec);
    }
}

// With the conversion lock held.
bool recoverLocked(const MasterFiles& m) {
    std::error_code ec;
    bool ok = true;
    const bool marked = fs::exists(m.marker, ec);
    const bool staged = fs::exists(m.fresh, ec) || fs::exists(m.freshVelantia, ec);
    // Only a replacement that was under way is worth a line in the run log.
    const bool interrupted = marked || staged || fs::exists(m.old, ec);
    if (marked)
        ok = rollForward(m);
    else
        rollBack(m);
    if (ok) removeStaleCopies(m);
    if (interrupted)
        runlog::log(std::string("Recuperación tras una actualización interrumpida: ") +
                    (marked   ? "se completa la sustitución de Velantia.txt y textos"
                     : staged ? "se deshace la sustitución a medias, quedan los datos anteriores"
                              : "se retiran los textos anteriores que quedaron apartados") +
                    (ok ? "" : " (ERROR: no se ha podido renombrar, se reintentará)"));
    return ok;
}

// Puts the old texts back while the old Velantia.txt is still in place, then drops the marker
// and what was staged: the item file and the texts always belong to one conversion.
void undoSwap(const MasterFiles& m) {
    std::error_code ec;
    // Once the new Velantia.txt is in, the new set is the whole one: the recovery completes it.
    if (!fs::exists(m.freshVelantia, ec)) return;
    if (fs::is_directory(m.old, ec)) {
        if (fs::exists(m.textos, ec) && !fs::exists(m.fresh, ec) &&
            !renameWithRetry(m.textos, m.fresh))
            return;
        if (!fs::exists(m.textos, ec) && !renameWithRetry(m.old, m.textos)) return;
    }
    if (!fs::remove(m.marker, ec) && fs::exists(m.marker, ec)) return;
    rollBack(m);
}

// What a swap that stopped could not rename, in the order the swap renames them.
fs::path stuckOn(const MasterFiles& m) {
    std::error_code ec;
    if (fs::is_directory(m.fresh, ec)) return m.textos;
    if (fs::exists(m.freshVelantia, ec)) return m.velantia;
    return m.marker;
}

} // namespace

std::string MasterSwap::prepare() {
    std::error_code ec;
    discarder().wait();
    if (!recoverLocked(m_)) return cannotReplace(stuckOn(m_));
    // The staging folder is ours; the pharmacist knows the texts folder.
    if (!fs::create_directory(m_.fresh, ec)) return cannotWrite(m_.textos);
    return {};
}

void MasterSwap::abandon() {
    rollBack(m_);
}

std::string MasterSwap::stage(const std::string& velantiaBytes) {
    std::error_code ec;
    // Written and flushed before the marker may say it is complete.
    if (!writeFileBytes(m_.freshVelantia, velantiaBytes, true) || !flushFolderToDisk(m_.fresh)) {
        rollBack(m_);
        return cannotWrite(m_.velantia);
    }
    faultPoint("swap:staged");
    if (!writeFileAtomic(m_.marker, "") || !flushFolderToDisk(m_.datos)) {
        fs::remove(m_.marker, ec);
        rollBack(m_);
        return cannotWrite(m_.marker);
    }
    faultPoint("swap:marked");
    return {};
}

std::string MasterSwap::commit(DataFiles* files) {
    // The lookup must not hold the item file while it is replaced.
    if (files) files->closeVelantia();
    // A rename that fails is undone while the marker stands, so that a kill meanwhile is still
    // finished by the recovery; only one that cannot be undone leaves it to the next run.
    if (!rollForward(m_, false)) {
        const fs::path stuck = stuckOn(m_);
        undoSwap(m_);
        return cannotReplace(stuck);
    }
    discardOldTexts(m_);
    return {};
}

} // namespace conversion

void waitForDataCleanup() {
    conversion::discarder().wait();
}

bool recoverDataFiles(const Paths& paths) {
    using namespace conversion;
    std::error_code ec;
    if (!fs::is_directory(paths.product("datos"), ec)) return true;
    // Every start asks: when nothing lies aside, the share is not bothered with a lock.
    const MasterFiles m(paths);
    bool leftovers = fs::exists(m.marker, ec) || fs::exists(m.fresh, ec) || fs::exists(m.old, ec) ||
                     fs::exists(m.freshVelantia, ec) || !fs::exists(m.textos, ec);
    for (fs::directory_iterator it(m.datos, ec), end; !leftovers && !ec && it != end;
         it.increment(ec))
        leftovers = it->path().filename().string().find(".~") != std::string::npos;
    if (!leftovers) return true;
    OsFileTryLock guard(conversionLockPath(paths));
    // Someone is converting right now: what lies aside is theirs.
    if (!guard.locked()) return false;
    return recoverLocked(m);
}

} // namespace vl
