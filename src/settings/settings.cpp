#include "settings/settings.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "core/dates.h"
#include "core/text.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// A double quote would end the value in datos.txt; TAB, CR and LF would break its lines or the
// outbox's columns.
std::string storableValue(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '"' && c != '\t' && c != '\r' && c != '\n') out += c;
    return out;
}

// The code point of one whole UTF-8 character.
char32_t codePoint(std::string_view ch) {
    char32_t cp = static_cast<unsigned char>(ch[0]) & (ch.size() == 1 ? 0x7F : 0x7F >> ch.size());
    for (std::size_t k = 1; k < ch.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(ch[k]) & 0x3F);
    return cp;
}

std::string shortestDecimal(float v) {
    std::ostringstream ss;
    ss << v;
    return ss.str();
}

std::string fileDate(const fs::path& p) {
    std::error_code ec;
    const auto t = fs::last_write_time(p, ec);
    if (ec) return "*";
    const auto sys =
        std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(t));
    const std::tm tm = localTime(std::chrono::system_clock::to_time_t(sys));
    // A time of exactly midnight has no time part in the date text, so no date is shown.
    if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) return "*";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d ", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
    return buf;
}

} // namespace

const std::vector<std::string>& frecuenciaChoices() {
    static const std::vector<std::string> c = {"0 - Manual", "1 - Diaria", "7 - Semanal",
                                               "15- Qincenal", "30- Mensual"};
    return c;
}

const std::vector<std::string>& conexionChoices() {
    static const std::vector<std::string> c = {"0 Permanente ADSL", "1 No Permanente"};
    return c;
}

std::string admittedRangeText(int screenHeightPx) {
    return "Valores admitidos entre 480 y " + std::to_string(screenHeightPx);
}

SettingsForm formFromConfig(const Config& cfg) {
    SettingsForm f;
    f.n_farmacia = cfg.n_farmacia;
    f.alto_ventana = shortestDecimal(cfg.alto_ventana);
    f.codigo_empresa = cfg.codigo_empresa;
    f.clave = cfg.clave;
    f.precios = Val(cfg.descargar_precios) != 0;
    f.frecuencia = cfg.frecuencia;
    const auto& conn = conexionChoices();
    f.conexion = cfg.tipo_conexion >= 0 && cfg.tipo_conexion < static_cast<int>(conn.size())
                     ? conn[static_cast<std::size_t>(cfg.tipo_conexion)]
                     : std::string();
    return f;
}

std::array<std::string, 4> receivedDates(const Paths& paths) {
    return {fileDate(paths.product("Recibido\\Encuesta.xml")),
            fileDate(paths.product("Recibido\\Maestro.xml")),
            fileDate(paths.product("Recibido\\Precios.xml")),
            fileDate(paths.product("Recibido\\Respuesta.env"))};
}

UnstorableValue findUnstorableValue(const SettingsForm& f) {
    const std::size_t any = std::string::npos;
    const struct {
        const std::string& value;
        const char* name;
        std::size_t limit; // characters, each one byte in the file
    } fields[] = {{f.n_farmacia, "El número de farmacia", DatosTxtLimits[0]},
                  {f.alto_ventana, "El tamaño de la pantalla", DatosTxtLimits[1]},
                  {f.codigo_empresa, "El código de empresa", DatosTxtLimits[4]},
                  {f.clave, "La clave", DatosTxtLimits[5]},
                  {f.frecuencia, "La frecuencia", DatosTxtLimits[3]},
                  {f.conexion, "La conexión a internet", any}}; // only its number is kept
    const std::string notSaved = "\nEscríbalo sin ese carácter; no se ha guardado nada.";
    for (int field = 0; field < 6; ++field) {
        const auto& [value, name, limit] = fields[field];
        std::size_t count = 0;
        for (std::size_t i = 0; i < value.size(); ++count) {
            std::size_t end = i + 1; // one character: its lead byte and its continuation bytes
            while (end < value.size() && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
                ++end;
            const std::string ch = value.substr(i, end - i);
            i = end;
            const char32_t cp = codePoint(ch);
            if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
                return {field, std::string(name) + " contiene un carácter de control (" +
                                   codePointName(cp) +
                                   "), que no se puede guardar en la configuración." + notSaved};
            }
            if (ch == "\"" || (ch != "?" && toCp1252(ch) == "?"))
                return {field, std::string(name) + " contiene el carácter «" + ch +
                                   "», que no se puede guardar en la configuración." + notSaved};
        }
        if (count > limit)
            return {field, std::string(name) + " tiene " + std::to_string(count) +
                               " caracteres y caben como mucho " + std::to_string(limit) +
                               ".\nAcórtelo; no se ha guardado nada."};
    }
    return {};
}

SaveOutcome saveSettings(const Paths& paths, const SettingsForm& form, int screenHeightPx,
                         Config& cfg) {
    const double h = Val(form.alto_ventana);
    if (h < MinWindowHeight || h > screenHeightPx) return SaveOutcome::HeightOutOfRange;

    DatosTxtLines lines;
    lines.n_farmacia = storableValue(form.n_farmacia);
    lines.alto_ventana_text = storableValue(form.alto_ventana);
    lines.descargar_precios = form.precios ? 1 : 0;
    lines.frecuencia = storableValue(form.frecuencia);
    lines.codigo_empresa = storableValue(form.codigo_empresa);
    lines.clave = storableValue(form.clave);
    if (!saveDatosTxt(paths.product("config\\datos.txt"), lines)) return SaveOutcome::WriteFailed;

    cfg.n_farmacia = lines.n_farmacia;
    cfg.alto_ventana = static_cast<float>(h);
    cfg.codigo_empresa = lines.codigo_empresa;
    cfg.clave = lines.clave;
    cfg.descargar_precios = form.precios ? "1" : "0";
    cfg.frecuencia = lines.frecuencia;
    cfg.tipo_conexion = static_cast<std::int16_t>(ValInt16(form.conexion));
    if (!saveTipoConexion(paths.at("quiroles\\tipoconect"), cfg.tipo_conexion))
        return SaveOutcome::WriteFailed;
    return SaveOutcome::Saved;
}

} // namespace vl
