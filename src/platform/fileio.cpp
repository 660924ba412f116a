#include "platform/fileio.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vl {

namespace fs = std::filesystem;

bool flushToDisk(std::FILE* f) {
    if (std::fflush(f) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

std::optional<std::string> readFileBytes(const fs::path& p) {
    std::FILE* f = std::fopen(p.string().c_str(), "rb");
    if (!f) return std::nullopt;
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) return std::nullopt;
    return out;
}

bool writeFileBytes(const fs::path& p, std::string_view bytes, bool durable) {
    std::FILE* f = std::fopen(p.string().c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (durable ? flushToDisk(f) : std::fflush(f) == 0) && ok;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

namespace {

bool writeAside(const fs::path& p, std::string_view bytes, bool durable) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    const fs::path tmp =
        p.parent_path() / (p.filename().string() + ".~" + std::to_string(rng() % 1000000000));
    std::FILE* f = std::fopen(tmp.string().c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (durable ? flushToDisk(f) : std::fflush(f) == 0) && ok;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok && renameWithRetry(tmp, p)) return true;
    fs::remove(tmp, ec);
    return false;
}

} // namespace

bool writeFileAtomic(const fs::path& p, std::string_view bytes) {
    return writeAside(p, bytes, true);
}

bool writeFileReplacing(const fs::path& p, std::string_view bytes) {
    return writeAside(p, bytes, false);
}

bool renameWithRetry(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    for (int attempt = 0; attempt < 40; ++attempt) {
        fs::rename(from, to, ec);
        if (!ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::uintmax_t fileSizeOrZero(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        if (nl == std::string_view::npos) {
            std::string_view last = bytes.substr(start);
            if (last.back() == '\r') last.remove_suffix(1);
            lines.emplace_back(last);
            break;
        }
        std::size_t end = nl;
        if (end > start && bytes[end - 1] == '\r') --end;
        lines.emplace_back(bytes.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

} // namespace vl
