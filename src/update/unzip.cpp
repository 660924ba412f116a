#include "update/unzip.h"

#include <zip.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

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

fs::path tempNameIn(const fs::path& folder) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    return folder / (".~unzip" + std::to_string(rng() % 1000000000));
}

} // namespace

int Unzip(const fs::path& archive, const fs::path& folder, std::uint64_t limit) {
    std::error_code ec;
    // libzip opens a zero-length file as a new, empty archive; an empty body is no package.
    if (!fs::is_regular_file(archive, ec) || fs::file_size(archive, ec) == 0 || ec)
        return UnzipNotAnArchive;

    int err = 0;
    std::unique_ptr<zip_t, ArchiveCloser> zip(
        zip_open(archive.string().c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
    if (!zip) return UnzipNotAnArchive;

    const zip_int64_t entries = zip_get_num_entries(zip.get(), 0);
    if (entries > UnzipMaxEntries) return UnzipTooManyEntries;
    std::uint64_t total = 0;
    int extracted = 0;
    std::string buffer(64 * 1024, '\0');
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS, &st) != 0 ||
            !(st.valid & ZIP_STAT_NAME))
            return UnzipBadEntry;
        const std::string_view full(st.name);
        if (!full.empty() && (full.back() == '/' || full.back() == '\\')) continue; // a folder
        const std::string name = lastComponent(full);
        if (name.empty() || name == "." || name == "..") continue;

        // The declared size is checked first; the bytes actually produced are counted below,
        // since a header can lie.
        if ((st.valid & ZIP_STAT_SIZE) && st.size > limit - total) return UnzipTooLarge;

        std::unique_ptr<zip_file_t, EntryCloser> entry(
            zip_fopen_index(zip.get(), static_cast<zip_uint64_t>(i), 0));
        if (!entry) return UnzipBadEntry;

        const fs::path tmp = tempNameIn(folder);
        std::unique_ptr<std::FILE, FileCloser> out(openFile(tmp, "wb"));
        if (!out) return UnzipWriteError;
        int failure = UnzipOk;
        for (;;) {
            const zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
            if (n < 0) {
                failure = UnzipBadEntry;
                break;
            }
            if (n == 0) break;
            if (static_cast<std::uint64_t>(n) > limit - total) {
                failure = UnzipTooLarge;
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
        if (failure == UnzipOk &&
            !renameWithRetry(tmp, folder / fs::path(std::u8string(name.begin(), name.end()))))
            failure = UnzipWriteError;
        if (failure != UnzipOk) {
            fs::remove(tmp, ec);
            return failure;
        }
        ++extracted;
    }
    return extracted > 0 ? UnzipOk : UnzipEmpty;
}

} // namespace vl
