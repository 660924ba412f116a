// Shared by the fuzz targets: one scratch folder per process, byte-exact file helpers and a
// check that stops the run with a message (libFuzzer, or the replay, names the input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/tempdir.h"

namespace vlfuzz {

namespace fs = std::filesystem;

// Made on first use and removed when the process ends normally; every input works inside it,
// so a long run leaves nothing behind.
inline const fs::path& scratch() {
    static const vltest::TempDir folder;
    return folder.path();
}

using namespace vltest;

// Empties `dir` (made if missing) so each input starts from the same state.
inline void resetFolder(const fs::path& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
}

inline std::string currentInput; // set by the replay, for the message
// The seed's file name while the replay runs it unchanged (else empty): what it must give.
inline std::string seedName;

inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s %s %s\n", what, detail.c_str(),
                 currentInput.c_str());
    std::abort();
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace vlfuzz

#if (!defined(VL_FUZZ_REPLAY) || defined(VL_FUZZ_MAIN)) && !defined(_WIN32)
// Durability is not what these runs look at, and a sync per input makes them crawl: this
// definition takes the place of the C library's in every fuzz program and in the replay.
extern "C" int fsync(int) {
    return 0;
}
#endif
