#include "send/sendpage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <initializer_list>
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

// Where the closing tag `</name` starts, at or after `from`; npos when there is none.
std::size_t closingTag(std::string_view html, std::size_t from, std::string_view name) {
    const std::string close = "</" + std::string(name);
    for (std::size_t i = from; i < html.size(); ++i)
        if (html[i] == '<' && startsWithNoCase(html, i, close)) return i;
    return std::string_view::npos;
}

bool oneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    for (auto n : names)
        if (n == name) return true;
    return false;
}

// Tags that start a new line in a browser, so words on either side stay apart.
bool breaksLine(std::string_view name) {
    return oneOf(name, {"br",    "p",     "div",   "tr",   "td",  "th",         "li", "ul", "ol",
                        "table", "tbody", "thead", "hr",   "h1",  "h2",         "h3", "h4", "h5",
                        "h6",    "body",  "html",  "form", "pre", "blockquote", "dd", "dt"});
}

// Elements without content: hidden or not, nothing inside them is hidden.
bool isVoid(std::string_view name) {
    return oneOf(name, {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
                        "param", "source", "track", "wbr"});
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

// Decodes the entity starting at html[i] == '&'; returns the bytes and how many were read, and
// its code point in `cp` when asked.
std::pair<std::string, std::size_t> decodeEntity(std::string_view html, std::size_t i,
                                                 char32_t* cp = nullptr) {
    const std::size_t semi = html.substr(0, i + 11).find(';', i);
    if (semi == std::string_view::npos) return {"&", 1};
    const std::string_view name = html.substr(i + 1, semi - i - 1);
    const std::size_t used = semi - i + 1;
    if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        std::uint32_t code = 0;
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
            if (d < 0 || code > 0x10FFFF) return {"&", 1};
            code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
            any = true;
        }
        if (!any || code == 0 || code > 0x10FFFF) return {"&", 1};
        if (cp) *cp = code;
        return {toCp1252(utf8Of(code)), used};
    }
    for (const auto& [n, named] : NamedEntities)
        if (n == name) {
            if (cp) *cp = named;
            return {toCp1252(utf8Of(named)), used};
        }
    return {"&", 1};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '\xA0';
}

std::string decodeEntities(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        auto [bytes, used] = decodeEntity(text, i);
        out += bytes;
        i += used;
    }
    return out;
}

// Style text that hides what it applies to, however spaced, commented or capitalised. A
// declaration a later one overrides still counts: hiding too much only withholds a verdict.
bool hidesByStyle(std::string_view css) {
    std::string flat;
    for (std::size_t i = 0; i < css.size(); ++i) {
        if (css.substr(i, 2) == "/*") {
            const std::size_t end = css.find("*/", i + 2);
            if (end == std::string_view::npos) break;
            i = end + 1;
        } else if (!isBlank(css[i])) {
            flat += lowerAscii(css[i]);
        }
    }
    // An escape (\6e one) or a style that may show nothing (no opacity, colour or size, moved
    // or clipped away) hides as well.
    for (std::string_view hides :
         {"display:none", "visibility:hidden", "visibility:collapse", "\\", "opacity:0",
          "font-size:0", "content-visibility:hidden", "transparent", "rgb", "hsl", "hwb(", "lab(",
          "lch(", "color(", "clip",
          "text-indent:-", "position:absolute", "position:fixed", "height:0", "width:0",
          "transform:", "filter:"})
        if (flat.find(hides) != std::string::npos) return true;
    // A colour with its alpha written in hex (#rgba, #rrggbbaa) may be transparent too.
    for (std::size_t at = flat.find('#'); at != std::string::npos; at = flat.find('#', at + 1)) {
        std::size_t n = 0;
        while (at + 1 + n < flat.size() && std::isxdigit(static_cast<unsigned char>(flat[at + 1 + n])))
            ++n;
        if (n == 4 || n == 8) return true;
    }
    return false;
}

// A mark that shows nothing (a soft hyphen, a zero-width space or joiner, a byte-order mark):
// how many bytes of it start at text[i] in UTF-8 or Windows-1252, 0 when none.
std::size_t invisibleAt(std::string_view text, std::size_t i) {
    const auto b = [&](std::size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    if (b(0) == 0xAD) return 1;
    if (b(0) == 0xC2 && b(1) == 0xAD) return 2;
    if (b(0) == 0xE2 && b(1) == 0x80 && b(2) >= 0x8B && b(2) <= 0x8F) return 3;
    if (b(0) == 0xE2 && b(1) == 0x81 && b(2) >= 0xA0 && b(2) <= 0xA4) return 3;
    if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) return 3;
    return 0;
}

bool invisibleCodePoint(char32_t cp) {
    return cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2060 && cp <= 0x2064) ||
           cp == 0xFEFF || cp == 0x34F;
}

// Everything the page holds as one text, tags, CDATA marks and marks that show nothing taken
// out, so that no spelling can hide a code from the check. An entity no reader here knows may
// stand for anything ('=' too): `unknownEntity` says there was one.
std::string squeezedText(std::string_view html, bool& unknownEntity) {
    std::string out;
    for (std::size_t i = 0; i < html.size();) {
        if (html.substr(i, 9) == "<![CDATA[") {
            i += 9;
        } else if (html.substr(i, 3) == "]]>") {
            i += 3;
        } else if (html[i] == '<' && i + 1 < html.size() &&
                   (std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/' ||
                    html[i + 1] == '!' || html[i + 1] == '?')) {
            const std::size_t gt = html.find('>', i);
            out += ' ';
            i = gt == std::string_view::npos ? html.size() : gt + 1;
        } else if (const std::size_t n = invisibleAt(html, i)) {
            i += n;
        } else if (html[i] == '&') {
            const std::size_t semi = html.substr(0, i + 34).find(';', i);
            char32_t cp = 0;
            auto [bytes, used] = decodeEntity(html, i, &cp);
            if (used > 1) {
                // One that shows nothing is dropped like the mark itself.
                if (!invisibleCodePoint(cp)) out += bytes;
                i += used;
            } else if (semi != std::string_view::npos && semi > i + 1) {
                unknownEntity = true;
                i = semi + 1;
            } else {
                out += html[i++];
            }
        } else {
            out += html[i++];
        }
    }
    return out;
}

struct Tag {
    std::string name; // lower case
    bool closing = false;
    bool hidden = false; // the hidden attribute, or a style that hides it
    std::size_t end = 0; // just past the '>'
};

// The tag at html[at] == '<', its attributes read as a browser does, a '>' inside quotes
// included; one the page never closes runs to its end.
Tag readTag(std::string_view html, std::size_t at) {
    Tag t;
    std::size_t k = at + 1;
    t.closing = k < html.size() && html[k] == '/';
    if (t.closing) ++k;
    while (k < html.size() &&
           (std::isalnum(static_cast<unsigned char>(html[k])) || html[k] == '-' || html[k] == ':'))
        t.name += lowerAscii(html[k++]);
    const auto stop = [&](char c) { return isBlank(c) || c == '/' || c == '>' || c == '='; };
    while (k < html.size() && html[k] != '>') {
        if (isBlank(html[k]) || html[k] == '/') {
            ++k;
            continue;
        }
        std::string attr;
        do
            attr += lowerAscii(html[k++]);
        while (k < html.size() && !stop(html[k]));
        while (k < html.size() && isBlank(html[k]))
            ++k;
        std::string_view value;
        if (k < html.size() && html[k] == '=') {
            ++k;
            while (k < html.size() && isBlank(html[k]))
                ++k;
            const std::size_t from = k;
            if (k < html.size() && (html[k] == '"' || html[k] == '\'')) {
                const std::size_t close = html.find(html[k], k + 1);
                k = close == std::string_view::npos ? html.size() : close + 1;
                value = html.substr(from + 1, k - from - 2);
            } else {
                while (k < html.size() && !isBlank(html[k]) && html[k] != '>')
                    ++k;
                value = html.substr(from, k - from);
            }
        }
        if (attr == "hidden" || (attr == "style" && hidesByStyle(decodeEntities(value))))
            t.hidden = true;
    }
    t.end = k < html.size() ? k + 1 : html.size();
    return t;
}

// The codes an answer's text carries. Only "ERROR=0" written so, as a word, accepts; "ERROR="
// with anything else refuses; another spelling (error=0, ERROR =0, NOERROR=0) is doubtful.
struct Codes {
    bool accept = false, refuse = false, doubtful = false;
};

Codes codesIn(std::string_view text) {
    Codes c;
    const auto alnum = [&](std::size_t i) {
        return i < text.size() && std::isalnum(static_cast<unsigned char>(text[i]));
    };
    for (std::size_t at = 0; at + 5 < text.size(); ++at) {
        if (!startsWithNoCase(text, at, "error")) continue;
        std::size_t k = at + 5;
        while (k < text.size() && isBlank(text[k]))
            ++k;
        if (k == text.size() || text[k] != '=') continue;
        if (text.substr(at, 6) != "ERROR=" || (at > 0 && alnum(at - 1))) {
            c.doubtful = true;
        } else if (text.substr(at + 6, 1) == "0" && !alnum(at + 7)) {
            c.accept = true;
        } else {
            c.refuse = true;
        }
    }
    return c;
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

PageText answerPageText(std::string_view html) {
    PageText page;
    std::string raw;
    raw.reserve(html.size());
    std::string hiddenName; // inside an element hidden from view: its name, and how deep
    int hiddenDepth = 0;
    bool headUnclosed = false;
    std::size_t i = 0;
    while (i < html.size()) {
        std::string& out = hiddenDepth > 0 ? page.hidden : raw;
        const char c = html[i];
        if (c == '&') {
            auto [bytes, used] = decodeEntity(html, i);
            out += bytes;
            i += used;
            continue;
        }
        if (c != '<') {
            out += c;
            ++i;
            continue;
        }
        if (startsWithNoCase(html, i, "<!--")) {
            const std::size_t end = html.find("-->", i + 4);
            const std::size_t stop = end == std::string_view::npos ? html.size() : end;
            page.hidden.append(html.substr(i + 4, stop - std::min(stop, i + 4))) += ' ';
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const char next = i + 1 < html.size() ? html[i + 1] : '\0';
        if (next == '!' || next == '?') { // a doctype or the like
            const std::size_t gt = html.find('>', i);
            i = gt == std::string_view::npos ? html.size() : gt + 1;
            continue;
        }
        if (!std::isalpha(static_cast<unsigned char>(next)) && next != '/') {
            out += c;
            ++i;
            continue;
        }
        const Tag tag = readTag(html, i);
        i = tag.end;
        if (breaksLine(tag.name)) out += ' ';
        // What these show depends on what this reading cannot tell (an open dialog, a frame, a
        // drawing, a style sheet from elsewhere): their page gives no verdict.
        if (!tag.closing && oneOf(tag.name, {"dialog", "datalist", "iframe", "frame", "frameset",
                                             "canvas", "object", "embed", "svg", "math", "link",
                                             "noembed", "noframes", "select", "base", "video",
                                             "audio", "picture", "marquee"}))
            page.doubtful = true;
        if (tag.closing) {
            if (hiddenDepth > 0 && tag.name == hiddenName) --hiddenDepth;
            continue;
        }
        // Their text is never shown, to the page's end when they are not closed; a head
        // without its closing tag ends where the page goes on, as a browser has it.
        if (oneOf(tag.name, {"script", "style", "title", "head"})) {
            const bool head = tag.name == "head";
            if (head && headUnclosed) continue; // a page of many is read once
            const std::size_t end = closingTag(html, i, tag.name);
            if (end == std::string_view::npos && head) {
                headUnclosed = true;
                continue;
            }
            const std::string_view inside = html.substr(i, std::min(end, html.size()) - i);
            if (head) {
                const PageText inHead = answerPageText(inside);
                page.hidden += inHead.visible + ' ' + inHead.hidden + ' ';
                page.styleSheetHides |= inHead.styleSheetHides;
            } else {
                page.hidden.append(inside) += ' ';
                page.styleSheetHides |= tag.name == "style" && hidesByStyle(inside);
            }
            i = end == std::string_view::npos ? html.size() : readTag(html, end).end;
            continue;
        }
        if (isVoid(tag.name)) continue;
        if (hiddenDepth > 0) {
            hiddenDepth += tag.name == hiddenName;
        } else if (tag.hidden || oneOf(tag.name, {"template", "noscript"})) {
            hiddenName = tag.name;
            hiddenDepth = 1;
        }
    }

    // A code that only a spelling trick kept out of both texts still withholds the verdict.
    bool unknownEntity = false;
    const Codes all = codesIn(squeezedText(html, unknownEntity));
    page.doubtful |= all.refuse || all.doubtful || unknownEntity;

    page.visible.reserve(raw.size());
    bool pendingBlank = false;
    for (char ch : raw) {
        if (isBlank(ch)) {
            pendingBlank = !page.visible.empty();
            continue;
        }
        if (pendingBlank) page.visible += ' ';
        pendingBlank = false;
        page.visible += ch;
    }
    return page;
}

std::string answerVisibleText(std::string_view html) {
    return answerPageText(html).visible;
}

SendVerdict verdictOf(const PageText& page) {
    const Codes shown = codesIn(page.visible), kept = codesIn(page.hidden);
    if (shown.accept && !shown.refuse && !shown.doubtful && !kept.refuse && !kept.doubtful &&
        !page.styleSheetHides && !page.doubtful)
        return SendVerdict::Accepted;
    if (shown.refuse && !shown.accept) return SendVerdict::Refused;
    return SendVerdict::NoVerdict;
}

SendVerdict verdictOf(std::string_view visibleText) {
    return verdictOf(PageText{std::string(visibleText), {}, false});
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
