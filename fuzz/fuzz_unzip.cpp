// A received package unpacked into an empty folder: whatever the archive says, only plain
// files land, directly in that folder, within the byte limit, and nothing is written beside it.
#include "common.h"

#include "update/unzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    // Small limit: a hostile archive is found as soon as it passes it, and runs stay quick.
    constexpr std::uint64_t Limit = 1 << 20;
    const fs::path work = scratch() / "paquete";
    resetFolder(work);
    const fs::path archive = work / "llegada.zip";
    const fs::path folder = work / "recibido";
    fs::create_directories(folder);
    writeBytes(archive, asText(data, size));

    const int rc = vl::Unzip(archive, folder, Limit);
    check(rc >= vl::UnzipOk && rc <= vl::UnzipTooManyEntries, "result code", std::to_string(rc));

    std::uint64_t total = 0;
    for (const auto& e : fs::directory_iterator(work)) {
        const auto name = e.path().filename();
        check(name == "llegada.zip" || name == "recibido", "written beside the folder",
              name.string());
    }
    check(readBytes(archive).size() == size, "archive changed");
    for (const auto& e : fs::directory_iterator(folder)) {
        check(e.is_regular_file() && !e.is_symlink(), "not a plain file", e.path().string());
        const std::string n = e.path().filename().string();
        check(n != "." && n != ".." && n.find('\\') == std::string::npos, "entry name", n);
        total += e.file_size();
    }
    check(total <= Limit, "more than the limit written", std::to_string(total));
    if (rc == vl::UnzipOk) check(total > 0 || !fs::is_empty(folder), "ok without a file");
    // A bomb, or too many entries, leaves no file behind.
    if (rc == vl::UnzipTooLarge || rc == vl::UnzipTooManyEntries)
        check(fs::is_empty(folder), "files left by a refused archive");
    return 0;
}
