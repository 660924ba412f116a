#include "update/unzip.h"

#include <zip.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "core/runlog.h"
#include "core/text.h"

#include "platform/fileio.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

struct ArchiveCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct EntryCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Packages made on Windows may separate folders with a backslash; a colon would name a drive
// ("C:x") or a stream of another file there.
std::string lastComponent(std::string_view name) {
    const auto cut = name.find_last_of("/\\:");
    return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

// What the pharmacist's IT person can act on: the method's name when libzip cannot decode it.
std::string methodName(std::int32_t method) {
    switch (method) {
    case ZIP_CM_DEFLATE64:
        return " (Deflate64)";
    case ZIP_CM_BZIP2:
        return " (bzip2)";
    case ZIP_CM_LZMA:
        return " (LZMA)";
    case ZIP_CM_XZ:
        return " (xz)";
    case ZIP_CM_PPMD:
        return " (PPMd)";
    case 93:
        return " (Zstandard)";
    default:
        return {};
    }
}

// Other files in `folder` whose names equal `name` but for letter case.
std::vector<fs::path> otherSpellings(const fs::path& folder, const std::string& name) {
    std::vector<fs::path> found;
    const std::string wanted = lowerCp1252(name);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string existing = it->path().filename().string();
        if (existing != name && existing.size() == name.size() && lowerCp1252(existing) == wanted)
            found.push_back(it->path());
    }
    return found;
}

fs::path tempNameIn(const fs::path& folder) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    return folder / (".~unzip" + std::to_string(rng() % 1000000000));
}

// The name each entry lands under, empty for one that is skipped (a folder, ".."); `full`
// gets its whole path in the archive.
std::string landingName(zip_t* zip, zip_uint64_t index, std::string& full) {
    zip_stat_t st;
    zip_stat_init(&st);
    full.clear();
    if (zip_stat_index(zip, index, ZIP_FL_ENC_GUESS, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
        return {};
    full = st.name;
    if (!full.empty() && (full.back() == '/' || full.back() == '\\')) return {};
    std::string name = lastComponent(full);
    return name == "." || name == ".." ? std::string() : name;
}

// Two entries under one name (in any case, in any folder of the archive) would leave only the
// later one, and which one a reader then finds is chance: such a package is refused, naming
// both as the archive holds them.
std::optional<std::string> sameNameEntries(zip_t* zip, zip_int64_t entries) {
    std::map<std::string, std::string> seen; // lower case -> path as written
    std::string full;
    for (zip_int64_t i = 0; i < entries; ++i) {
        const std::string name = landingName(zip, static_cast<zip_uint64_t>(i), full);
        if (name.empty()) continue;
        const auto [at, fresh] = seen.emplace(lowerCp1252(name), full);
        if (fresh) continue;
        if (at->second == full) return "contiene dos veces el fichero " + full;
        return "contiene dos ficheros con el mismo nombre: " + at->second + " y " + full;
    }
    return std::nullopt;
}

// The entry's date on the extracted file; without one, the file keeps the time it was written.
void keepEntryDate(const fs::path& file, const zip_stat_t& st) {
    if (!(st.valid & ZIP_STAT_MTIME) || st.mtime <= 0) return;
    std::error_code ec;
    fs::last_write_time(
        file, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(st.mtime)),
        ec);
}

} // namespace

int Unzip(const fs::path& archive, const fs::path& folder, std::uint64_t limit,
          std::string* reason, std::vector<std::string>* written) {
    auto fail = [reason](int result, std::string why) {
        if (reason) *reason = std::move(why);
        return result;
    };
    std::error_code ec;
    // libzip opens a zero-length file as a new, empty archive; an empty body is no package.
    if (!fs::is_regular_file(archive, ec) || fs::file_size(archive, ec) == 0 || ec)
        return fail(UnzipNotAnArchive, "no es un archivo ZIP");

    int err = 0;
    std::unique_ptr<zip_t, ArchiveCloser> zip(
        zip_open(archive.string().c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
    // Two entries spelled exactly alike fail the consistency check; opened without it, the
    // package is refused below naming them.
    const bool twiceNamed = !zip && err == ZIP_ER_EXISTS;
    if (twiceNamed) zip.reset(zip_open(archive.string().c_str(), ZIP_RDONLY, &err));
    if (!zip) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, err);
        std::string why =
            std::string("no es un archivo ZIP válido (") + zip_error_strerror(&ze) + ")";
        zip_error_fini(&ze);
        return fail(UnzipNotAnArchive, std::move(why));
    }

    const zip_int64_t entries = zip_get_num_entries(zip.get(), 0);
    if (entries > UnzipMaxEntries)
        return fail(UnzipTooManyEntries, "contiene " + std::to_string(entries) + " ficheros");
    if (auto twice = sameNameEntries(zip.get(), entries)) return fail(UnzipSameName, *twice);
    if (twiceNamed) return fail(UnzipSameName, "contiene dos entradas con el mismo nombre");
    std::uint64_t total = 0;
    int extracted = 0;
    std::string names;
    std::string buffer(64 * 1024, '\0');
    const std::string tooLarge =
        "su contenido ocupa más de " + std::to_string(limit / (1024 * 1024)) + " MB descomprimido";
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS, &st) != 0 ||
            !(st.valid & ZIP_STAT_NAME))
            return fail(UnzipBadEntry, zip_strerror(zip.get()));
        const std::string_view full(st.name);
        if (!full.empty() && (full.back() == '/' || full.back() == '\\')) continue; // a folder
        const std::string name = lastComponent(full);
        if (name.empty() || name == "." || name == "..") continue;

        // The declared size is checked first; the bytes actually produced are counted below,
        // since a header can lie.
        if ((st.valid & ZIP_STAT_SIZE) && st.size > limit - total)
            return fail(UnzipTooLarge, tooLarge);

        std::unique_ptr<zip_file_t, EntryCloser> entry(
            zip_fopen_index(zip.get(), static_cast<zip_uint64_t>(i), 0));
        if (!entry) {
            if (zip_error_code_zip(zip_get_error(zip.get())) == ZIP_ER_COMPNOTSUPP &&
                (st.valid & ZIP_STAT_COMP_METHOD))
                return fail(UnzipBadEntry, name + " usa el método de compresión " +
                                               std::to_string(st.comp_method) +
                                               methodName(st.comp_method) +
                                               ", que este programa no puede leer");
            return fail(UnzipBadEntry, name + ": " + zip_strerror(zip.get()));
        }

        const fs::path tmp = tempNameIn(folder);
        std::unique_ptr<std::FILE, FileCloser> out(openFile(tmp, "wb"));
        if (!out) return fail(UnzipWriteError, "no se puede escribir en " + folder.string());
        int failure = UnzipOk;
        std::string why;
        for (;;) {
            const zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
            if (n < 0) {
                failure = UnzipBadEntry;
                why = name + ": " + zip_file_strerror(entry.get());
                break;
            }
            if (n == 0) break;
            if (static_cast<std::uint64_t>(n) > limit - total) {
                failure = UnzipTooLarge;
                why = tooLarge;
                break;
            }
            total += static_cast<std::uint64_t>(n);
            if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), out.get()) !=
                static_cast<std::size_t>(n)) {
                failure = UnzipWriteError;
                break;
            }
        }
        const bool closed = std::fclose(out.release()) == 0;
        if (failure == UnzipOk && !closed) failure = UnzipWriteError;
        const fs::path target = folder / fs::path(std::u8string(name.begin(), name.end()));
        const std::vector<fs::path> stale = failure == UnzipOk
                                                ? otherSpellings(folder, target.filename().string())
                                                : std::vector<fs::path>{};
        if (failure == UnzipOk) keepEntryDate(tmp, st);
        if (failure == UnzipOk && !renameWithRetry(tmp, target)) failure = UnzipWriteError;
        if (failure != UnzipOk) {
            fs::remove(tmp, ec);
            if (failure == UnzipWriteError) why = "no se puede escribir en " + folder.string();
            return fail(failure, std::move(why));
        }
        // The same name in another case would be found instead of the new file. On a folder
        // that ignores case it is the new file itself, and stays.
        for (const fs::path& old : stale)
            if (!fs::equivalent(old, target, ec) && !ec) fs::remove(old, ec);
        ++extracted;
        names += (names.empty() ? "" : ", ") + name;
        if (written) written->push_back(name);
    }
    if (extracted > 0)
        runlog::log("Descomprimidos de " + archive.filename().string() + ": " + names + " (" +
                    std::to_string(total) + " bytes)");
    return extracted > 0 ? UnzipOk : fail(UnzipEmpty, "no contiene ningún fichero");
}

} // namespace vl
