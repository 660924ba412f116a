#include "infopage/navigation.h"

namespace vl {

namespace {

NavState buttonsAt(int currentIndex, int codeCount) {
    NavState s;
    s.nextEnabled = currentIndex != codeCount;
    s.prevEnabled = currentIndex != 1;
    s.label2 = positionLabel(currentIndex, codeCount);
    return s;
}

} // namespace

std::string positionLabel(int currentIndex, int codeCount) {
    return "Medicamento " + std::to_string(currentIndex) + "/" + std::to_string(codeCount);
}

NavState navigate(int index, int& currentIndex, int codeCount, bool& showNeeded) {
    showNeeded = false;
    if (index == 0 && currentIndex < codeCount) {
        ++currentIndex;
        showNeeded = true;
    } else if (index == 1 && currentIndex >= 2) {
        --currentIndex;
        showNeeded = true;
    }
    NavState s = buttonsAt(currentIndex, codeCount);
    // A button that just went grey would leave the keyboard nowhere: hand it to the other one.
    if (index == 0 && !s.nextEnabled && s.prevEnabled) s.focus = 1;
    if (index == 1 && !s.prevEnabled && s.nextEnabled) s.focus = 0;
    return s;
}

NavState deferredStartState(int currentIndex, int codeCount) {
    NavState s = buttonsAt(currentIndex, codeCount);
    if (codeCount == 0) s.nextEnabled = s.prevEnabled = false;
    return s;
}

} // namespace vl
