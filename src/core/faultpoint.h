// Named steps inside the updates that touch several files (the closing move, the swap of the
// data files). A test program installs a handler that stops the process at one of them, to
// prove that every step leaves the files whole. Without a handler a step costs one load.
#pragma once

namespace vl {

using FaultHandler = void (*)(const char* step);

// Installs `handler` for the whole process (nullptr removes it).
void setFaultHandler(FaultHandler handler);

// Calls the installed handler with `step`, if any.
void faultPoint(const char* step);

} // namespace vl
