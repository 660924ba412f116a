#include "send/sendpage.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <utility>

#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

namespace {

std::string utf8Of(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::size_t at, std::string_view prefix) {
    if (at + prefix.size() > s.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lowerAscii(s[at + i]) != prefix[i]) return false;
    return true;
}

// Position just past the closing tag `</name ...>` at or after `from`; npos when there is none.
std::size_t skipElement(std::string_view html, std::size_t from, std::string_view name) {
    const std::string close = "</" + std::string(name);
    for (std::size_t i = from; i < html.size(); ++i) {
        if (html[i] == '<' && startsWithNoCase(html, i, close)) {
            const std::size_t gt = html.find('>', i);
            return gt == std::string_view::npos ? html.size() : gt + 1;
        }
    }
    return std::string_view::npos;
}

// Tags that start a new line in a browser, so words on either side stay apart.
bool breaksLine(std::string_view html, std::size_t lt) {
    std::size_t k = lt + 1;
    if (k < html.size() && html[k] == '/') ++k;
    std::string name;
    while (k < html.size() && std::isalnum(static_cast<unsigned char>(html[k])))
        name += lowerAscii(html[k++]);
    static constexpr std::array<std::string_view, 26> Block{
        "br",    "p",     "div",   "tr",   "td",  "th",         "li", "ul", "ol",
        "table", "tbody", "thead", "hr",   "h1",  "h2",         "h3", "h4", "h5",
        "h6",    "body",  "html",  "form", "pre", "blockquote", "dd", "dt"};
    for (auto b : Block)
        if (b == name) return true;
    return false;
}

// The entities such an answer page plausibly carries; anything else is left as written.
constexpr std::array<std::pair<std::string_view, char32_t>, 32> NamedEntities{{
    {"amp", U'&'},    {"lt", U'<'},     {"gt", U'>'},     {"quot", U'"'},   {"apos", U'\''},
    {"nbsp", U' '},   {"aacute", U'á'}, {"eacute", U'é'}, {"iacute", U'í'}, {"oacute", U'ó'},
    {"uacute", U'ú'}, {"Aacute", U'Á'}, {"Eacute", U'É'}, {"Iacute", U'Í'}, {"Oacute", U'Ó'},
    {"Uacute", U'Ú'}, {"ntilde", U'ñ'}, {"Ntilde", U'Ñ'}, {"uuml", U'ü'},   {"Uuml", U'Ü'},
    {"iexcl", U'¡'},  {"iquest", U'¿'}, {"ordf", U'ª'},   {"ordm", U'º'},   {"euro", U'€'},
    {"copy", U'©'},   {"reg", U'®'},    {"deg", U'°'},    {"ccedil", U'ç'}, {"Ccedil", U'Ç'},
    {"middot", U'·'}, {"laquo", U'«'},
}};

// Decodes the entity starting at html[i] == '&'; returns the bytes and how many were read.
std::pair<std::string, std::size_t> decodeEntity(std::string_view html, std::size_t i) {
    const std::size_t semi = html.find(';', i);
    if (semi == std::string_view::npos || semi - i > 10) return {"&", 1};
    const std::string_view name = html.substr(i + 1, semi - i - 1);
    const std::size_t used = semi - i + 1;
    if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        std::uint32_t cp = 0;
        bool any = false;
        for (std::size_t k = hex ? 2 : 1; k < name.size(); ++k) {
            const char c = name[k];
            int d = -1;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            if (d < 0 || cp > 0x10FFFF) return {"&", 1};
            cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
            any = true;
        }
        if (!any || cp == 0 || cp > 0x10FFFF) return {"&", 1};
        return {toCp1252(utf8Of(cp)), used};
    }
    for (const auto& [n, cp] : NamedEntities)
        if (n == name) return {toCp1252(utf8Of(cp)), used};
    return {"&", 1};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '\xA0';
}

} // namespace

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\'':
            out += "&#39;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string uploadPageText(const Config& cfg, const std::string& uploadUrl) {
    const std::array<std::string, 17> lines{
        "<html>",
        "<head>",
        "</head>",
        "<body >",
        "<font name='Arial'>Archivo a enviar:<br>\\quiroles\\Velantia\\Respuesta.tsv<br></font>",
        "<FORM id='enviar' name='enviar' action='" + uploadUrl +
            "' enctype='multipart/form-data' method='post'>",
        "<INPUT type='hidden' name='n_farmacia' value='" + htmlEscape(cfg.n_farmacia) + "'>",
        "<INPUT type='hidden' name='fichero' value='respuesta'>",
        "<INPUT type='hidden' name='tipo_fichero' value='1'>",
        "<INPUT type='hidden' name='fecha_ultima' value='20061105'>",
        "<INPUT type='hidden' name='codigo_empresa' value='" + htmlEscape(cfg.codigo_empresa) +
            "'>",
        "<INPUT type='hidden' name='clave' value='" + htmlEscape(cfg.clave) + "'>",
        "<INPUT type='file' name='fichero2' ><br>",
        "<INPUT type='submit' value='  Enviar encuesta al KAPR  '>",
        "</FORM>",
        "</body>",
        "</html>",
    };
    std::string out;
    for (const auto& l : lines) {
        out += l;
        out += CRLF;
    }
    return out;
}

bool writeUploadPage(const Paths& paths, const Config& cfg, const std::string& uploadUrl) {
    const fs::path file = paths.product("Htm\\enviar.html");
    makeDirOneLevel(file.parent_path());
    // The browser may be showing the previous page: replace it whole.
    return writeFileAtomic(file, uploadPageText(cfg, uploadUrl));
}

std::string answerVisibleText(std::string_view html) {
    std::string raw;
    raw.reserve(html.size());
    std::size_t i = 0;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '&') {
            auto [bytes, used] = decodeEntity(html, i);
            raw += bytes;
            i += used;
            continue;
        }
        if (c != '<') {
            raw += c;
            ++i;
            continue;
        }
        if (startsWithNoCase(html, i, "<!--")) {
            const std::size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const bool tagStart =
            i + 1 < html.size() && (std::isalpha(static_cast<unsigned char>(html[i + 1])) ||
                                    html[i + 1] == '/' || html[i + 1] == '!' || html[i + 1] == '?');
        if (!tagStart) {
            raw += c;
            ++i;
            continue;
        }
        const std::size_t gt = html.find('>', i);
        const std::size_t after = gt == std::string_view::npos ? html.size() : gt + 1;
        bool skipped = false;
        for (std::string_view hidden : {"script", "style", "head", "title"}) {
            const std::string open = "<" + std::string(hidden);
            if (startsWithNoCase(html, i, open) && i + open.size() < html.size() &&
                !std::isalnum(static_cast<unsigned char>(html[i + open.size()]))) {
                // Without its closing tag only the opening tag goes, as a browser would
                // show the rest.
                const std::size_t end = skipElement(html, after, hidden);
                i = end == std::string_view::npos ? after : end;
                skipped = true;
                break;
            }
        }
        if (skipped) continue;
        if (breaksLine(html, i)) raw += ' ';
        i = after;
    }

    std::string out;
    out.reserve(raw.size());
    bool pendingBlank = false;
    for (char ch : raw) {
        if (isBlank(ch)) {
            pendingBlank = !out.empty();
            continue;
        }
        if (pendingBlank) out += ' ';
        pendingBlank = false;
        out += ch;
    }
    return out;
}

SendVerdict verdictOf(std::string_view text) {
    // ERROR=05 and ERROR=01 are refusals: the code is the whole number after the sign.
    constexpr std::string_view accepted = "ERROR=0";
    for (std::size_t at = text.find(accepted); at != std::string_view::npos;
         at = text.find(accepted, at + 1)) {
        const std::size_t next = at + accepted.size();
        if (next == text.size() || !std::isdigit(static_cast<unsigned char>(text[next])))
            return SendVerdict::Accepted;
    }
    if (text.find("ERROR=") != std::string_view::npos) return SendVerdict::Refused;
    return SendVerdict::NoVerdict;
}

std::string refusalMessage(std::string_view answerText) {
    std::string shown(answerText.substr(0, 300));
    if (shown.size() < answerText.size()) shown += "...";
    return toCp1252("El servicio no ha aceptado el envío. Su respuesta:\n\n") + shown +
           toCp1252("\n\nLas respuestas siguen pendientes de enviar.");
}

bool writeErrorTxt(const Paths& paths, std::string_view text) {
    const fs::path file = paths.product("Htm\\error.txt");
    makeDirOneLevel(file.parent_path());
    std::string bytes(text);
    bytes += CRLF;
    return writeFileBytes(file, bytes);
}

} // namespace vl
