#include "core/cmdline.h"

#include "core/text.h"

namespace vl {

namespace {

// Files are built from the reference inside their folders; anything that could leave the folder
// or corrupt a file name makes the reference unusable.
bool referenceIsSafe(std::string_view ref) {
    for (char c : ref) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || b < 0x20 || b == 0x7F) return false;
    }
    return true;
}

std::string dropFirst(const std::string& s, std::size_t n) {
    return s.size() <= n ? std::string() : s.substr(n);
}

} // namespace

bool RunState::referenceIsPositive() const { return hasReference && Val(reference) > 0; }

int RunState::terminalValue() const {
    if (terminalDigit.size() != 1) return 0;
    return static_cast<int>(Val(terminalDigit));
}

RunState parseCommandLine(std::string_view line) {
    RunState st;
    std::string work(line);

    const std::string upper = upperAscii(work);
    // REGISTRO opens the run log, for the menu's entry; no dispensing is ever called that.
    if (upper == "ACTUALIZAR" || upper == "ENVIAR" || upper == "CONFIGURAR" || upper == "REGISTRO") {
        st.PendingAction = upper;
        work.clear();
    }

    // "TK" anywhere marks a closing call; the line is expected to start with it.
    if (work.find("TK") != std::string::npos) {
        st.closingCall = true;
        work = dropFirst(work, 2);
    }

    if (const auto dash = work.find('-'); dash != std::string::npos) {
        std::string ref = LSet(work.substr(dash + 1, 8), 8);
        work = dropFirst(work, 9);
        if (referenceIsSafe(ref)) {
            st.hasReference = true;
            st.reference = ref;
            st.terminalDigit = ref.substr(7, 1);
        }
    }

    while (!work.empty() && st.CodeCount < MaxCodes) {
        const auto plus = work.find('+');
        if (plus == std::string::npos) break; // a remainder without "+" carries no code
        st.CodeList[++st.CodeCount] = work.substr(plus + 1, 6);
        work = dropFirst(work, 7);
    }

    if (st.CodeCount >= 1) st.CurrentIndex = 1;
    return st;
}

} // namespace vl
