#include "core/config.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/paths.h"
#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

namespace fs = std::filesystem;

std::optional<std::string> readConfigText(const fs::path& file) {
    auto bytes = readFileBytes(file);
    if (bytes && bytes->starts_with("\xEF\xBB\xBF")) *bytes = toCp1252(bytes->substr(3));
    return bytes;
}

std::string readDelimitedField(std::string_view line) {
    // A lone CR ends the line for the field reader too; a value never holds one (the settings
    // window cannot write it), and it would split an outbox line.
    line = line.substr(0, line.find('\r'));
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i < line.size() && line[i] == '"') {
        const std::size_t close = line.find('"', i + 1);
        return std::string(line.substr(
            i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
    }
    const std::size_t comma = line.find(',', i);
    return trimBlanks(
        line.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
}

std::string valueDamage(std::string_view value, std::size_t limit) {
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", b);
        if (b < 0x20 || b == 0x7F) return std::string("contiene el byte de control ") + hex;
        if (unassignedInCp1252(b))
            return std::string("contiene el byte ") + hex + ", que no es un carácter";
    }
    if (value.size() > limit)
        return "tiene " + std::to_string(value.size()) + " bytes y caben como mucho " +
               std::to_string(limit);
    return {};
}

std::string settingsDamage(const Paths& paths, const Config& cfg, bool credentials) {
    const struct {
        int line;
        const std::string& value;
        const char* what;
    } sent[] = {{1, cfg.n_farmacia, "número de farmacia"},
                {5, cfg.codigo_empresa, "código de empresa"},
                {6, cfg.clave, "clave"}};
    for (const auto& v : sent) {
        if (v.line > 1 && !credentials) break;
        const std::string why = !cfg.lineDamage[v.line - 1].empty()
                                    ? cfg.lineDamage[v.line - 1]
                                    : valueDamage(v.value, DatosTxtLimits[v.line - 1]);
        if (!why.empty())
            return toCp1252("dato dañado en el fichero ") +
                   nameInCp1252(paths.product("config\\datos.txt")) + ": " +
                   toCp1252("línea " + std::to_string(v.line) + " (" + v.what + "), " + why);
    }
    return {};
}

void loadDatosTxt(const fs::path& file, Config& cfg) {
    const auto bytes = readConfigText(file);
    const std::vector<std::string> lines =
        bytes ? splitLinesAnyEnd(*bytes) : std::vector<std::string>{};
    // The settings window writes six lines ended by CR LF. More lines than that, with a lone CR
    // or LF among CR LF ends, tell of a break inside a value: every line from it on is shifted.
    std::size_t oddFrom = lines.size();
    if (bytes && lines.size() > DatosTxtLimits.size() && bytes->find("\r\n") != std::string::npos) {
        std::size_t line = 0;
        for (std::size_t at = 0; at < bytes->size() && oddFrom == lines.size(); ++at) {
            const char c = (*bytes)[at];
            const bool crlf = c == '\r' && at + 1 < bytes->size() && (*bytes)[at + 1] == '\n';
            if ((c == '\r' && !crlf) || (c == '\n' && (at == 0 || (*bytes)[at - 1] != '\r')))
                oddFrom = line;
            line += c == '\n' || (c == '\r' && !crlf);
        }
    }
    auto field = [&](std::size_t i, std::string& into) {
        if (i >= lines.size()) return;
        std::string v = readDelimitedField(lines[i]);
        const std::string line = trimBlanks(lines[i]);
        if (line.starts_with('"') && line.find('"', 1) == std::string::npos)
            cfg.lineDamage[i] =
                "sus comillas no se cierran en esa línea (un salto de línea dentro del valor)";
        else if (i >= oddFrom)
            cfg.lineDamage[i] = "un salto de línea suelto (CR o LF sin el otro) antes o dentro "
                                "de ella desplaza las líneas";
        // Only the window reads these three: a damaged one is as good as none.
        if (i >= 1 && i <= 3 &&
            (!cfg.lineDamage[i].empty() || !valueDamage(v, DatosTxtLimits[i]).empty()))
            return;
        into = std::move(v);
    };
    field(0, cfg.n_farmacia);
    std::string height;
    field(1, height);
    if (!height.empty()) cfg.alto_ventana = static_cast<float>(Val(height));
    field(2, cfg.descargar_precios);
    cfg.frecuencia = DefaultFrecuencia;
    field(3, cfg.frecuencia);
    cfg.codigo_empresa = DefaultCodigoEmpresa;
    field(4, cfg.codigo_empresa);
    field(5, cfg.clave);
}

void applyHeightLimits(Config& cfg, int screenHeightPx) {
    if (!(cfg.alto_ventana >= MinWindowHeight)) cfg.alto_ventana = MinWindowHeight; // NaN too
    if (static_cast<float>(screenHeightPx) < cfg.alto_ventana)
        cfg.alto_ventana = static_cast<float>(screenHeightPx);
}

namespace {

std::optional<std::string> firstLine(const fs::path& file) {
    const auto bytes = readConfigText(file);
    if (!bytes) return std::nullopt;
    const auto lines = splitLinesAnyEnd(*bytes);
    if (lines.empty()) return std::nullopt;
    return lines.front();
}

std::string quotedField(std::string_view v) {
    // The format has no escape for a double quote: drop it rather than break the line.
    std::string out = "\"";
    for (char c : v)
        if (c != '"' && c != '\r' && c != '\n') out += c;
    out += '"';
    return out;
}

} // namespace

std::optional<std::int16_t> readTipoConexion(const fs::path& file) {
    const auto line = firstLine(file);
    if (!line) return std::nullopt;
    return static_cast<std::int16_t>(ValInt16(*line));
}

std::string formatDatosTxt(const DatosTxtLines& l) {
    std::string out;
    out += quotedField(l.n_farmacia) + CRLF;
    out += quotedField(l.alto_ventana_text) + CRLF;
    out += (l.descargar_precios ? "1" : "0") + std::string(CRLF);
    out += quotedField(l.frecuencia) + CRLF;
    out += quotedField(l.codigo_empresa) + CRLF;
    out += quotedField(l.clave) + CRLF;
    return out;
}

bool saveDatosTxt(const fs::path& file, const DatosTxtLines& lines) {
    return writeFileAtomic(file, formatDatosTxt(lines));
}

bool saveTipoConexion(const fs::path& file, std::int16_t value) {
    return writeFileAtomic(file, std::to_string(value) + CRLF);
}

std::optional<int> readSurveySwitch(const fs::path& file) {
    const auto line = firstLine(file);
    if (!line) return std::nullopt;
    const std::string t = trimBlanks(*line);
    if (t.empty()) return std::nullopt;
    return ValInt16(t);
}

bool saveSurveySwitch(const fs::path& file, int value) {
    return writeFileAtomic(file, std::to_string(value) + CRLF);
}

} // namespace vl
