#include "core/paths.h"

#include <cstdlib>
#include <system_error>
#include <vector>

#include "core/text.h"
#include "platform/fileio.h"
#include "platform/process.h"

namespace vl {

namespace {

std::vector<std::string> splitComponents(std::string_view rel) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : rel) {
        if (c == '/' || c == '\\') {
            if (!cur.empty() && cur != ".") parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty() && cur != ".") parts.push_back(cur);
    return parts;
}

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && lowerCp1252(a) == lowerCp1252(b);
}

} // namespace

fs::path systemSettingsFile() {
#ifdef _WIN32
    return {};
#else
    return "/etc/velantia.conf";
#endif
}

DriveRootChoice chooseDriveRoot(const fs::path& executableDir, const fs::path& settings) {
    if (fs::path env = environmentPath("VELANTIA_ROOT"); !env.empty())
        return {env, "raíz de unidad tomada de VELANTIA_ROOT"};
    const fs::path dir = executableDir.lexically_normal();
    const fs::path product = dir.filename().empty() ? dir.parent_path() : dir;
    const fs::path quiroles = product.parent_path();
    if (sameNameIgnoringCase(product.filename().string(), "velantia") &&
        sameNameIgnoringCase(quiroles.filename().string(), "quiroles"))
        return {quiroles.parent_path(), "raíz de unidad tomada de la carpeta del programa"};
    const fs::path fallback = dir.root_path().empty() ? fs::path("/") : dir.root_path();
    std::string why = "raíz de unidad: la del sistema de archivos; VELANTIA_ROOT no está definida";
    if (settings.empty()) return {fallback, why};
    const std::string name = utf8Path(settings);
    std::error_code ec;
    if (!fs::exists(settings, ec)) return {fallback, why + " y " + name + " no existe"};
    const auto bytes = readFileBytes(settings);
    if (!bytes) return {fallback, why + " y " + name + " no se puede leer"};
    // Written by hand: "raiz = /srv/farmacia", blanks around, "RAIZ" or "raíz"; the first one
    // counts; '#' starts a comment line.
    for (const std::string& text : splitLinesAnyEnd(*bytes)) {
        const std::string line = trimBlanks(text);
        const auto eq = line.find('=');
        if (line.starts_with('#') || eq == std::string::npos) continue;
        const std::string key = trimBlanks(line.substr(0, eq));
        if (upperAscii(key) != "RAIZ" && key != "raíz") continue;
        const std::string value = trimBlanks(line.substr(eq + 1));
        const fs::path root(std::u8string(value.begin(), value.end()));
        if (value.empty()) return {fallback, why + " y la línea raiz= de " + name + " está vacía"};
        if (!root.is_absolute())
            return {fallback, why + " y la raíz de " + name + " no es una ruta absoluta: " + value};
        return {root, "raíz de unidad tomada de " + name};
    }
    return {fallback, why + " y " + name + " no tiene una línea raiz="};
}

fs::path resolvePath(const fs::path& base, std::string_view relative) {
    fs::path cur = base;
    bool exists = true; // once a component is missing, nothing below it can exist
    for (const std::string& comp : splitComponents(relative)) {
        if (comp == "..") {
            cur = cur.parent_path();
            continue;
        }
        std::error_code ec;
        fs::path direct = cur / pathFromCp1252(comp);
        if (exists) {
            if (const auto stored = storedName(direct)) {
                cur /= *stored;
                continue;
            }
        }
        bool found = false;
        if (exists && fs::is_directory(cur, ec)) {
            for (fs::directory_iterator it(cur, ec), end; !ec && it != end; it.increment(ec)) {
                const fs::path name = it->path().filename();
                if (sameNameIgnoringCase(nameInCp1252(name), comp)) {
                    cur /= name;
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            cur = std::move(direct);
            exists = false;
        }
    }
    return cur;
}

fs::path Paths::product(std::string_view relative) const {
    std::string rel = "quiroles/Velantia/";
    rel += relative;
    return resolvePath(root_, rel);
}

fs::path Paths::orbal(std::string_view relative) const {
    std::string rel = "quiroles/orbal-5/";
    rel += relative;
    return resolvePath(root_, rel);
}

fs::path Paths::pageFolder(const std::string& terminalDigit) const {
    return product("htm" + terminalDigit);
}

std::string Paths::fileUrl(const fs::path& p) {
    std::string s = fs::absolute(p).lexically_normal().generic_string();
    if (!s.empty() && s.front() != '/') s.insert(s.begin(), '/'); // C:/... on Windows
    return "file://" + s;
}

void makeDirOneLevel(const fs::path& dir) {
    std::error_code ec;
    fs::create_directory(dir, ec);
}

} // namespace vl
