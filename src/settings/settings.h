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

// A value the files cannot keep: n_farmacia, codigo_empresa and clave are written in
// Windows-1252, where a character without a byte would silently become "?".
struct UnstorableValue {
    int field = -1;      // the Text1 index: 0 n_farmacia, 2 codigo_empresa, 3 clave; -1 none
    std::string message; // for the pharmacist, UTF-8; names the value and the character
};

// The first of the three values, as typed (UTF-8), holding such a character.
UnstorableValue findUnstorableValue(const std::string& n_farmacia,
                                    const std::string& codigo_empresa, const std::string& clave);

enum class SaveOutcome { Saved, HeightOutOfRange, WriteFailed };

// Guardar: checks the height against 480..screen, writes datos.txt and tipoconect, and
// replaces the settings in memory. A double quote, TAB, CR or LF typed into a value is
// dropped (the files cannot hold them); a connection number outside the 16-bit range is clamped.
SaveOutcome saveSettings(const Paths& paths, const SettingsForm& form, int screenHeightPx,
                         Config& cfg);

} // namespace vl
