// The settings window's logic: what it shows, what it accepts, how it saves.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/paths.h"

namespace vl {

// The window's editable values, as typed (Windows-1252).
struct SettingsForm {
    std::string n_farmacia;     // Text1 (0)
    std::string alto_ventana;   // Text1 (1)
    std::string codigo_empresa; // Text1 (2)
    std::string clave;          // Text1 (3)
    bool precios = false;       // Check2 (2)
    std::string frecuencia;     // Combo1 text
    std::string conexion;       // Combo2 text
};

const std::vector<std::string>& frecuenciaChoices();
const std::vector<std::string>& conexionChoices();

// "Valores admitidos entre 480 y " + screen height.
std::string admittedRangeText(int screenHeightPx);

// The form filled from the settings in memory.
SettingsForm formFromConfig(const Config& cfg);

// Date labels for Encuesta.xml, Maestro.xml, Precios.xml and Respuesta.env: "dd/mm/yyyy " or
// "*" when the file is missing or was written exactly at midnight.
std::array<std::string, 4> receivedDates(const Paths& paths);

// A value the files cannot keep: a double quote (datos.txt has no escape for it), a control
// character, one without a Windows-1252 byte (it would silently become "?"), or more characters
// than its line of datos.txt holds.
struct UnstorableValue {
    int field = -1;      // 0 to 3 the Text1 index, 4 Combo1, 5 Combo2; -1 none
    std::string message; // for the pharmacist, UTF-8; names the value and the character
};

// The first field of the form, as typed (UTF-8), holding such a value.
UnstorableValue findUnstorableValue(const SettingsForm& typedUtf8);

enum class SaveOutcome { Saved, HeightOutOfRange, WriteFailed };

// Guardar: checks the height against 480..screen, writes datos.txt and tipoconect, and
// replaces the settings in memory. A double quote, TAB, CR or LF that reaches it unchecked is
// dropped (the files cannot hold them); a connection number outside the 16-bit range is clamped.
SaveOutcome saveSettings(const Paths& paths, const SettingsForm& form, int screenHeightPx,
                         Config& cfg);

} // namespace vl
