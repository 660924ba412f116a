#include "core/faultpoint.h"

#include <atomic>

namespace vl {

namespace {

std::atomic<FaultHandler> installed{nullptr};

} // namespace

void setFaultHandler(FaultHandler handler) { installed.store(handler); }

void faultPoint(const char* step) {
    if (FaultHandler h = installed.load()) h(step);
}

} // namespace vl
