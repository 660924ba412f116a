// Moving between the medicines of a dispensing and the print watch: plain state the main window
// applies to Command2 (0) and (1), Label2 and the focus.
#pragma once

#include <string>
#include <string_view>

namespace vl {

struct NavState {
    bool nextEnabled = false; // Command2 (0)
    bool prevEnabled = false; // Command2 (1)
    std::string label2;       // position counter
    int focus = -1;           // -1 leave it, 0 to Command2 (0), 1 to Command2 (1)
};

// "Medicamento " + current + "/" + count.
std::string positionLabel(int currentIndex, int codeCount);

// Command2_Click for index 0 (next) or 1 (previous). Moves `currentIndex` within 1..codeCount;
// `showNeeded` says whether it moved, i.e. whether ShowMedicine must run for the new position.
NavState navigate(int index, int& currentIndex, int codeCount, bool& showNeeded);

// The buttons after the deferred start: both off when there is no medicine.
NavState deferredStartState(int currentIndex, int codeCount);

// Label13's confirmation before printing the complete page (UTF-8).
inline constexpr std::string_view FullPrintTitle = "Información completa";
inline constexpr std::string_view FullPrintQuestion =
    "Se va a imprimir toda la información de este medicamento.\n"
    "\n"
    "Parte de la información puede ser de uso reservado al farmacéutic(o/a).\n"
    "Si va a entregar esta información al paciente pulse en el botón IMPRIMIR.\n"
    "\n"
    "Está seguro de imprimir toda la información";

} // namespace vl
