#include "core/version.h"

#include <cstdio>
#include <cstring>

namespace vl {

const char* programVersion() { return VELANTIA_VERSION; }

bool printVersionIfAsked(int argc, char* argv[], const char* program) {
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0) return false;
    std::printf("%s %s\n", program, programVersion());
    std::fflush(stdout);
    return true;
}

} // namespace vl
