// The settings: config\datos.txt under the product folder and quiroles\tipoconect.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class Paths;

inline constexpr float DefaultWindowHeight = 525.0f;
inline constexpr float MinWindowHeight = 480.0f;
inline constexpr const char* DefaultFrecuencia = "7 - Semanal";
inline constexpr const char* DefaultCodigoEmpresa = "8";

// All texts are Windows-1252 bytes.
struct Config {
    std::string n_farmacia;
    float alto_ventana = DefaultWindowHeight;
    std::string descargar_precios;
    std::string frecuencia = DefaultFrecuencia;
    std::string codigo_empresa = DefaultCodigoEmpresa;
    std::string clave;
    std::int16_t tipo_conexion = 1;
    // Why a line of datos.txt was cut by a line break inside a value (UTF-8; empty when it was
    // not): a quote left open, or a lone CR or LF among CR LF ends; the lines after it are
    // shifted. Damage, as a control byte is.
    std::array<std::string, 6> lineDamage{};
};

// A configuration or survey file as Windows-1252 bytes; nullopt when it cannot be read. One that
// an editor saved as UTF-8 with its byte-order mark is read as UTF-8, without the mark.
std::optional<std::string> readConfigText(const std::filesystem::path& file);

// One field of a comma-delimited line: leading blanks skipped, a quoted field runs to its
// closing quote, an unquoted one to the first comma (trailing blanks dropped).
std::string readDelimitedField(std::string_view line);

// The most bytes a value of datos.txt can hold, by line (pharmacy number, height as typed,
// prices flag, frequency, company code, password): a longer one is damage, not a value.
inline constexpr std::array<std::size_t, 6> DatosTxtLimits = {32, 16, 8, 64, 32, 64};

// Why `value` cannot be what its line holds (UTF-8), empty when it can: a control byte, a byte
// that is no Windows-1252 character, or more than `limit` bytes.
std::string valueDamage(std::string_view value, std::size_t limit);

// Reads datos.txt into `cfg`; a missing file or line leaves the values as they are, with the
// frequency and company defaults put in place just before their lines are read. A damaged
// height, prices flag or frequency counts as missing; the values that leave the terminal are
// kept as read, for settingsDamage to stop them.
void loadDatosTxt(const std::filesystem::path& file, Config& cfg);

// The first damaged value of the pharmacy number and, with `credentials`, the company code and
// the password (Windows-1252), empty when they are sound: "dato dañado en el fichero <datos.txt>:
// línea 1 (número de farmacia), contiene el byte de control 0x00". The closing call and the
// send are refused with these words.
std::string settingsDamage(const Paths& paths, const Config& cfg, bool credentials);

// Lower limit 480, upper limit the screen height in pixels.
void applyHeightLimits(Config& cfg, int screenHeightPx);

// tipoconect as a 16-bit integer; nullopt when missing or unreadable.
std::optional<std::int16_t> readTipoConexion(const std::filesystem::path& file);

// The six lines exactly as the settings window writes them (height as typed).
struct DatosTxtLines {
    std::string n_farmacia;
    std::string alto_ventana_text;
    int descargar_precios = 0; // 0 or 1
    std::string frecuencia;
    std::string codigo_empresa;
    std::string clave;
};
std::string formatDatosTxt(const DatosTxtLines& lines);
bool saveDatosTxt(const std::filesystem::path& file, const DatosTxtLines& lines);
bool saveTipoConexion(const std::filesystem::path& file, std::int16_t value);

// config\encuesta.for: whether the survey panel is shown; nullopt when missing or unreadable.
std::optional<int> readSurveySwitch(const std::filesystem::path& file);
bool saveSurveySwitch(const std::filesystem::path& file, int value);

} // namespace vl
