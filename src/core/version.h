// The program's version: CMake's project(VERSION), the one place it is written.
#pragma once

namespace vl {

const char* programVersion();

// "--version" as the only argument: prints "<program> <version>" on standard output and is true.
bool printVersionIfAsked(int argc, char* argv[], const char* program);

} // namespace vl
