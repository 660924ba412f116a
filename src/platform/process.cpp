#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vl {

std::int64_t currentProcessId() {
#ifdef _WIN32
    return static_cast<std::int64_t>(GetCurrentProcessId());
#else
    return static_cast<std::int64_t>(getpid());
#endif
}

bool appendFileBytes(const std::filesystem::path& p, std::string_view bytes) {
#ifdef _WIN32
    // FILE_APPEND_DATA alone makes every write land at the end, whoever else appends.
    HANDLE h = CreateFileW(p.wstring().c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(h);
    return ok;
#else
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    const bool ok = n == static_cast<ssize_t>(bytes.size());
    return (::close(fd) == 0) && ok;
#endif
}

} // namespace vl
