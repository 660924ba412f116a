// The command line the pharmacy-management program passes, parsed into the run state.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vl {

inline constexpr int MaxCodes = 50;

struct RunState {
    std::string PendingAction;  // "ACTUALIZAR", "ENVIAR", "CONFIGURAR", "REGISTRO" or empty
    bool closingCall = false;   // the line held "TK"
    bool hasReference = false;  // a usable dispensing reference was given
    std::string reference;      // 8 characters, blank-padded; empty when absent
    std::string terminalDigit;  // last character of the reference; empty when absent
    std::array<std::string, MaxCodes + 1> CodeList; // 1-based, index 0 unused
    int CodeCount = 0;
    int CurrentIndex = 0;

    // The reference names a reference file only when it is a positive number.
    bool referenceIsPositive() const;
    // Value of the terminal digit: 0 for "0", a blank, a non-digit or no digit.
    int terminalValue() const;
};

// `line` is the whole command line as one string (arguments joined by single blanks).
RunState parseCommandLine(std::string_view line);

} // namespace vl
