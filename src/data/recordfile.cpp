#include "data/recordfile.h"

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

#include "platform/fileio.h"

namespace vl {

RecordFile::RecordFile(RecordFile&& other) noexcept
    : f_(std::exchange(other.f_, nullptr)), path_(std::move(other.path_)), len_(other.len_),
      writable_(std::exchange(other.writable_, false)) {}

RecordFile& RecordFile::operator=(RecordFile&& other) noexcept {
    if (this != &other) {
        close();
        f_ = std::exchange(other.f_, nullptr);
        path_ = std::move(other.path_);
        len_ = other.len_;
        writable_ = std::exchange(other.writable_, false);
    }
    return *this;
}

RecordFile::~RecordFile() {
    close();
}

bool RecordFile::open(const std::filesystem::path& file, std::size_t recordLength, Create create) {
    close();
    path_ = file;
    len_ = recordLength == 0 ? 1 : recordLength;

    std::error_code ec;
    const auto st = std::filesystem::status(file, ec);
    if (std::filesystem::exists(st)) {
        // A directory opens read-only on some systems; it is never a record file.
        if (std::filesystem::is_directory(st)) return false;
    } else if (create == Create::IfMissing) {
        // Append mode: another terminal creating the same file at this moment loses nothing.
        if (std::FILE* c = openFile(file, "ab")) std::fclose(c);
    }

    // Shared for reading and writing, as the other terminals expect.
    f_ = openFile(file, "r+b");
    writable_ = f_ != nullptr;
    if (!f_) f_ = openFile(file, "rb");
    if (!f_) return false;
    // Unbuffered: every read goes to the file, so records another terminal rewrites are seen.
    std::setvbuf(f_, nullptr, _IONBF, 0);
    return true;
}

void RecordFile::close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
    writable_ = false;
}

long long RecordFile::count() const {
    if (!f_) return 0;
    if (std::fseek(f_, 0, SEEK_END) != 0) return 0;
    const long size = std::ftell(f_);
    if (size <= 0) return 0;
    return static_cast<long long>(size) / static_cast<long long>(len_);
}

std::string RecordFile::read(long long n) const {
    return readRecords(n, 1);
}

std::string RecordFile::readRecords(long long first, long long count) const {
    const long long len = static_cast<long long>(len_);
    if (count < 1 || count > LONG_MAX / len) return {};
    std::string recs(static_cast<std::size_t>(count * len), ' ');
    if (!f_ || first < 1 || first - 1 > LONG_MAX / len - count) return recs;
    if (std::fseek(f_, static_cast<long>((first - 1) * len), SEEK_SET) != 0) return recs;
    ++reads_;
    const std::size_t got = std::fread(recs.data(), 1, recs.size(), f_);
    // Short read at the end of the file: the rest stays blank.
    if (got < recs.size()) {
        std::clearerr(f_);
        std::fill(recs.begin() + static_cast<std::ptrdiff_t>(got), recs.end(), ' ');
    }
    return recs;
}

bool RecordFile::write(long long n, std::string_view bytes) {
    if (!f_ || !writable_ || n < 1) return false;
    if (n - 1 > LONG_MAX / static_cast<long long>(len_)) return false;
    std::string rec(bytes.substr(0, len_));
    rec.resize(len_, '\0');
    const long long offset = (n - 1) * static_cast<long long>(len_);
    if (std::fseek(f_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    const bool ok = std::fwrite(rec.data(), 1, len_, f_) == len_;
    const bool flushed = std::fflush(f_) == 0;
    if (!ok || !flushed) std::clearerr(f_);
    return ok && flushed;
}

} // namespace vl
