#include "update/xmlwalk.h"

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/fileio.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// The entity loader is process-wide in libxml2; the folder a walk may read from is per thread.
struct LoaderGuard {
    fs::path allowed;
    std::string error;
};
thread_local LoaderGuard* t_guard = nullptr;
xmlExternalEntityLoader g_previousLoader = nullptr;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// A local file named by an entity's URL; nullopt for any other scheme (no network, ever).
std::optional<fs::path> localPath(std::string_view url) {
    // "file:///x", "file://localhost/x", and "file:/C:/x" as libxml2 writes a Windows path.
    if (startsWith(url, "file:/")) {
        std::string rest(url.substr(5));
        if (startsWith(rest, "//localhost/")) rest.erase(0, 11);
        else if (startsWith(rest, "//")) rest.erase(0, 2);
        if (char* un = xmlURIUnescapeString(rest.c_str(), 0, nullptr)) {
            rest = un;
            xmlFree(un);
        }
        return pathOfFileUrl(rest);
    }
    // "http:", "ftp:" and the like; a single letter before the colon is a Windows drive.
    const auto colon = url.find(':');
    if (colon != std::string_view::npos && colon > 1) {
        bool scheme = true;
        for (char c : url.substr(0, colon))
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
                scheme = false;
        if (scheme) return std::nullopt;
    }
    return fs::path(std::string(url));
}

bool isInside(const fs::path& p, const fs::path& folder) {
    std::error_code ec;
    const fs::path cp = fs::weakly_canonical(p, ec);
    if (ec) return false;
    const fs::path cf = fs::weakly_canonical(folder, ec);
    if (ec) return false;
    const fs::path rel = cp.lexically_relative(cf);
    return !rel.empty() && rel != "." && *rel.begin() != "..";
}

xmlParserInputPtr guardedLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    LoaderGuard* g = t_guard;
    if (!g) return g_previousLoader ? g_previousLoader(url, id, ctxt) : nullptr;
    if (!url) return nullptr;
    std::optional<fs::path> p = localPath(url);
    if (p && p->is_relative()) p = g->allowed / *p;
    if (!p || !isInside(*p, g->allowed)) {
        if (g->error.empty()) g->error = std::string("Referencia externa no permitida: ") + url;
        return nullptr;
    }
    std::error_code ec;
    if (!fs::is_regular_file(*p, ec)) {
        if (g->error.empty()) g->error = std::string("No se encuentra el fichero: ") + url;
        return nullptr;
    }
    // Straight to the file: the default loader would consult the system catalogs first.
    return xmlNewInputFromFile(ctxt, utf8Path(*p).c_str());
}

// Windows-1252 to UTF-8 for a libxml2 built without iconv (the Windows build); the five bytes
// the code page leaves undefined are an error, as with iconv.
int cp1252ToUtf8(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
    static const char16_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    int i = 0, o = 0;
    for (; i < *inlen; ++i) {
        const unsigned c = in[i];
        const unsigned u = c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c;
        if (u == 0 && c != 0) {
            *inlen = i;
            *outlen = o;
            return -2;
        }
        const int need = u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        if (o + need > *outlen) break;
        if (need == 1) {
            out[o++] = static_cast<unsigned char>(u);
        } else if (need == 2) {
            out[o++] = static_cast<unsigned char>(0xC0 | (u >> 6));
            out[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            out[o++] = static_cast<unsigned char>(0xE0 | (u >> 12));
            out[o++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
    *inlen = i;
    *outlen = o;
    return o;
}

void installLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        // The received files may declare windows-1252; without iconv libxml2 lacks it.
        if (xmlCharEncodingHandlerPtr h = xmlFindCharEncodingHandler("windows-1252"))
            xmlCharEncCloseFunc(h);
        else if (xmlNewCharEncodingHandler("windows-1252", cp1252ToUtf8, nullptr))
            for (const char* alias : {"CP1252", "X-CP1252", "CP-1252", "WINDOWS1252", "MS-ANSI"})
                xmlAddEncodingAlias("WINDOWS-1252", alias);
        g_previousLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(guardedLoader);
    });
}

struct ErrorState {
    std::string error;
    int code = 0, line = 0; // of the error kept
    bool invalid = false;   // ... a breach of the DTD: the document itself may be whole
    std::string noDtd;      // "no DTD found", which only matters when a DOCTYPE was declared
};

// The pharmacist reads this: the usual faults of a hostile or damaged file get a Spanish text,
// any other keeps the parser's own words after a Spanish lead.
std::string describe(const xmlError* e) {
    std::string msg;
    switch (e->code) {
    case XML_ERR_ENTITY_LOOP:
        msg = "El documento XML define entidades que se multiplican sin medida; no se procesa";
        break;
    case XML_ERR_INVALID_CHAR:
    case XML_ERR_INVALID_CHARREF:
    case XML_ERR_INVALID_DEC_CHARREF:
    case XML_ERR_INVALID_HEX_CHARREF:
    case XML_ERR_INVALID_ENCODING:
    case XML_I18N_CONV_FAILED:
        msg = "El documento XML contiene caracteres no válidos";
        break;
    case XML_ERR_UNSUPPORTED_ENCODING:
    case XML_I18N_NO_HANDLER:
        msg = std::string("El documento XML declara una codificación de caracteres que no se "
                          "admite") +
              (e->str1 ? std::string(" («") + e->str1 + "»)" : std::string());
        break;
    default:
        msg = e->message ? e->message : "";
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' '))
            msg.pop_back();
        msg = "Error en el documento XML: " + msg;
        break;
    }
    if (e->line > 0) msg += " (línea " + std::to_string(e->line) + ")";
    return msg;
}

// libxml2 also prints some faults (encoding conversion, I/O) straight to stderr; the structured
// handler and the reader's result already carry them.
void quietGenericError(void*, const char*, ...) {}

void onXmlError(void* arg, xmlErrorPtr e) {
    if (!e || e->level < XML_ERR_ERROR) return;
    auto* s = static_cast<ErrorState*>(arg);
    if (e->code == XML_ERR_NO_DTD || e->code == XML_DTD_NO_DTD) {
        if (s->noDtd.empty()) s->noDtd = describe(e);
        return;
    }
    if (s->error.empty()) {
        s->error = describe(e);
        s->code = e->code;
        s->line = e->line;
        s->invalid = e->domain == XML_FROM_VALID || e->domain == XML_FROM_DTD;
    }
}

bool onlyBlanks(std::string_view bytes) {
    return bytes.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// A parse that stopped because the file ends too early says so: libxml2 reports such a file as
// having "extra content at the end", which sends whoever reads it the wrong way. Only small
// ends are read: a file that stopped far from its end is damaged, not cut. The reader has
// usually read a small file to its end when it checks the last record against the DTD, so a
// breach of the DTD is never taken for a cut.
std::string cutShort(const fs::path& file, std::uintmax_t size, long consumed,
                     const ErrorState& errors) {
    constexpr std::uintmax_t Looked = 4096;
    const std::string name = file.filename().string();
    if (size == 0) return name + ": el fichero está vacío";
    if (size <= Looked) {
        const std::string all = readFileBytes(file).value_or("x");
        std::string_view rest(all);
        if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
        const std::size_t blank = rest.find_first_not_of(" \t\r\n");
        if (blank != std::string_view::npos) rest.remove_prefix(blank);
        // Nothing but the XML declaration, or not even that.
        if (rest.starts_with("<?xml")) {
            const std::size_t end = rest.find("?>");
            if (end != std::string_view::npos) rest.remove_prefix(end + 2);
        }
        if (onlyBlanks(rest)) return name + ": el fichero está vacío";
    }
    if (consumed < 0 || errors.code == XML_ERR_TAG_NAME_MISMATCH || errors.invalid) return {};
    const auto at = static_cast<std::uintmax_t>(consumed);
    if (at > size || size - at > Looked) return {};
    std::string tail(static_cast<std::size_t>(size - at), '\0');
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(openFile(file, "rb"), std::fclose);
    if (!f || std::fseek(f.get(), consumed, SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), f.get()) != tail.size() || !onlyBlanks(tail))
        return {};
    return name + ": el fichero está incompleto (se corta en la línea " +
           std::to_string(errors.line) + ")";
}

// NUL bytes in a file that did not parse: a file never written or zeroed holds nothing else
// (but blanks); one with a NUL among its text has it at line `line` first.
struct NulScan {
    bool any = false, onlyBlanks = true;
    int line = 1;
};

NulScan scanForNul(const fs::path& file) {
    NulScan scan;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(openFile(file, "rb"), std::fclose);
    if (!f) return {false, false, 1};
    std::string buf(64 * 1024, '\0');
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0;) {
        for (const char c : std::string_view(buf.data(), n)) {
            scan.any = scan.any || c == '\0';
            scan.line += !scan.any && c == '\n';
            scan.onlyBlanks =
                scan.onlyBlanks && (c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n');
        }
        if (scan.any && !scan.onlyBlanks) break;
    }
    return scan;
}

struct ReaderCloser {
    void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};

// What both ways of reading share: the open elements, the field names, the progress.
struct FieldWalk {
    const std::vector<std::string>& names;
    const std::function<void(std::size_t, std::string_view)>& onField;
    const std::function<void(int)>& progress;
    std::uintmax_t fileSize;
    XmlWalkOutcome& out;
    // Field index of each open element, -1 for elements that are not fields.
    std::vector<int> open;
    int lastPercent = -1;
    unsigned long nodes = 0;

    int indexOf(std::string_view name) const {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<int>(i);
        return -1;
    }
    void opened(std::string_view name, int index) {
        if (open.empty() && out.root.empty()) out.root = name;
        out.fieldElements += index >= 0;
        open.push_back(index);
    }
    template <class Consumed> void tick(Consumed consumedNow) {
        if (!progress || fileSize == 0 || (++nodes & 1023) != 0) return;
        const long consumed = consumedNow();
        const int pct = consumed <= 0 ? 0
                        : static_cast<std::uintmax_t>(consumed) >= fileSize
                            ? 100
                            : static_cast<int>(consumed * 100 / static_cast<long>(fileSize));
        if (pct != lastPercent) progress(lastPercent = pct);
    }
};

// The same walk as the reader's, from the parser's events: several times faster, as no node is
// built. It gives each field the texts the reader would: a run of characters or of CDATA is one
// node, a blank text none. A document that declares a DOCTYPE is left to the reader (it stops
// here before any field), which validates it and loads its DTD.
struct SaxWalk {
    FieldWalk& w;
    ErrorState errors;
    xmlParserCtxtPtr ctxt = nullptr;
    bool doctype = false, tooLong = false;
    std::vector<const xmlChar*> interned; // the field names in the parser's dictionary
    enum class Run { None, Text, Cdata } run = Run::None;
    std::string text;

    void flush() {
        const int index = w.open.empty() ? -1 : w.open.back();
        if (index >= 0 && (run == Run::Cdata || (run == Run::Text && !onlyBlanks(text))))
            w.onField(static_cast<std::size_t>(index), text);
        run = Run::None;
        text.clear();
    }
    void add(Run kind, const xmlChar* ch, int len) {
        if (run != kind) flush();
        run = kind;
        // The reader's tree refuses a text node this long.
        if (text.size() + static_cast<std::size_t>(len) > XML_MAX_TEXT_LENGTH &&
            !(ctxt->options & XML_PARSE_HUGE)) {
            if (errors.error.empty()) {
                errors.error = "Error en el documento XML: xmlSAX2Characters: huge text node "
                               "(línea " +
                               std::to_string(xmlSAX2GetLineNumber(ctxt)) + ")";
                errors.line = xmlSAX2GetLineNumber(ctxt);
            }
            tooLong = true;
            xmlStopParser(ctxt);
            return;
        }
        text.append(reinterpret_cast<const char*>(ch), static_cast<std::size_t>(len));
    }

    static SaxWalk& of(void* ctx) { return *static_cast<SaxWalk*>(ctx); }
    static void start(void* ctx, const xmlChar* local, const xmlChar* prefix, const xmlChar*, int,
                      const xmlChar**, int, int, const xmlChar**) {
        SaxWalk& s = of(ctx);
        s.flush();
        int index = -1;
        for (std::size_t i = 0; !prefix && i < s.interned.size(); ++i)
            if (s.interned[i] == local) {
                index = static_cast<int>(i);
                break;
            }
        const auto* l = reinterpret_cast<const char*>(local);
        if (prefix && s.w.open.empty() && s.w.out.root.empty())
            s.w.opened(reinterpret_cast<const char*>(prefix) + std::string(":") + l, index);
        else
            s.w.opened(l, index);
        s.w.tick([&s] { return xmlByteConsumed(s.ctxt); });
    }
    static void end(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
        SaxWalk& s = of(ctx);
        s.flush();
        if (!s.w.open.empty()) s.w.open.pop_back();
        s.w.tick([&s] { return xmlByteConsumed(s.ctxt); });
    }
    static void characters(void* ctx, const xmlChar* ch, int len) {
        of(ctx).add(Run::Text, ch, len);
    }
    static void cdata(void* ctx, const xmlChar* ch, int len) { of(ctx).add(Run::Cdata, ch, len); }
    // Another node between two texts parts them, as in the reader's tree.
    static void comment(void* ctx, const xmlChar*) { of(ctx).flush(); }
    static void instruction(void* ctx, const xmlChar*, const xmlChar*) { of(ctx).flush(); }
    static void declaresDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
        SaxWalk& s = of(ctx);
        s.doctype = true;
        xmlStopParser(s.ctxt);
    }
    // Not stopped here: the parser's own halt leaves the position that tells a cut file.
    static void error(void* ctx, xmlErrorPtr e) { onXmlError(&of(ctx).errors, e); }
};

struct ParserCloser {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
struct InputCloser {
    void operator()(xmlParserInputBuffer* b) const { xmlFreeParserInputBuffer(b); }
};

// Reads the file as the reader does (same input, same options, pushed the same way). `failed`
// as the reader's result; nothing is walked when the document declares a DOCTYPE.
struct SaxResult {
    bool doctype = false, failed = false;
    long consumed = -1;
    ErrorState errors;
};

SaxResult saxWalk(const fs::path& absFile, int options, FieldWalk& w, const LoaderGuard& guard) {
    SaxResult r;
    std::unique_ptr<xmlParserInputBuffer, InputCloser> input(
        xmlParserInputBufferCreateFilename(utf8Path(absFile).c_str(), XML_CHAR_ENCODING_NONE));
    if (!input) {
        r.failed = true;
        return r;
    }
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = SaxWalk::start;
    handler.endElementNs = SaxWalk::end;
    handler.characters = SaxWalk::characters;
    handler.ignorableWhitespace = SaxWalk::characters;
    handler.cdataBlock = SaxWalk::cdata;
    handler.comment = SaxWalk::comment;
    handler.processingInstruction = SaxWalk::instruction;
    handler.internalSubset = SaxWalk::declaresDoctype;
    handler.serror = SaxWalk::error;
    SaxWalk s{w, {}, nullptr, false, false, {}, SaxWalk::Run::None, {}};

    xmlBufPtr buf = input->buffer;
    if (xmlBufUse(buf) < 4) xmlParserInputBufferRead(input.get(), 4);
    const bool head = xmlBufUse(buf) >= 4;
    std::unique_ptr<xmlParserCtxt, ParserCloser> ctxt(xmlCreatePushParserCtxt(
        &handler, &s, head ? reinterpret_cast<const char*>(xmlBufContent(buf)) : nullptr,
        head ? 4 : 0, utf8Path(absFile).c_str()));
    if (!ctxt) {
        r.failed = true;
        return r;
    }
    s.ctxt = ctxt.get();
    xmlCtxtUseOptions(ctxt.get(), options);
    for (const std::string& name : w.names)
        s.interned.push_back(xmlDictLookup(ctxt->dict, BAD_CAST name.c_str(), -1));

    std::size_t cur = head ? 4 : 0;
    int ret = 0;
    bool more = true;
    while (ret == 0 && !s.doctype && s.errors.error.empty() && guard.error.empty() &&
           ctxt->instate != XML_PARSER_EOF) {
        if (more && xmlBufUse(buf) < cur + 65536) {
            const int got = xmlParserInputBufferRead(input.get(), 65536);
            if (got < 0) {
                ret = -1;
                break;
            }
            more = got > 0;
        }
        const std::size_t avail = xmlBufUse(buf) - cur;
        const std::size_t n = more ? std::min<std::size_t>(avail, 65536) : avail;
        ret = xmlParseChunk(ctxt.get(), reinterpret_cast<const char*>(xmlBufContent(buf)) + cur,
                            static_cast<int>(n), more ? 0 : 1);
        cur += n;
        if (!more) break;
        if (cur > 1 << 20) {
            xmlBufShrink(buf, cur);
            cur = 0;
        }
    }
    s.flush();
    r.doctype = s.doctype;
    r.consumed = xmlByteConsumed(ctxt.get());
    r.failed = !s.doctype && (ret != 0 || !ctxt->wellFormed || s.tooLong);
    r.errors = std::move(s.errors);
    return r;
}

} // namespace

XmlWalkOutcome walkXmlFields(const fs::path& file, const fs::path& allowedFolder,
                             const std::vector<std::string>& names,
                             const std::function<void(std::size_t, std::string_view)>& onField,
                             const std::function<void(int)>& progress, XmlReading reading) {
    XmlWalkOutcome out;
    installLoader();

    std::error_code ec;
    const fs::path absFile = fs::absolute(file, ec);
    if (ec || !fs::is_regular_file(absFile, ec)) {
        out.error = "No se encuentra el fichero: " + file.string();
        return out;
    }
    const auto fileSize = fs::file_size(absFile, ec);

    LoaderGuard guard{fs::absolute(allowedFolder, ec), {}};
    t_guard = &guard;
    // Both are per thread in libxml2.
    xmlGenericErrorFunc previousGeneric = xmlGenericError;
    void* previousContext = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(nullptr, quietGenericError);
    struct Reset {
        xmlGenericErrorFunc func;
        void* context;
        ~Reset() {
            t_guard = nullptr;
            xmlSetGenericErrorFunc(context, func);
        }
    } reset{previousGeneric, previousContext};

    // Validation is asked for always; a document without a DTD only raises "no DTD found",
    // which is passed over below unless a DOCTYPE was declared.
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDVALID;
    FieldWalk walk{names, onField, progress, fileSize, out, {}};
    ErrorState errors;
    bool doctype = false, failed = false;
    long consumed = -1;
    if (reading == XmlReading::Fastest) {
        SaxResult sax = saxWalk(absFile, options, walk, guard);
        doctype = sax.doctype;
        failed = sax.failed;
        consumed = sax.consumed;
        errors = std::move(sax.errors);
        walk.open.clear();
        // Nothing was walked before the DOCTYPE; the reader starts afresh.
        if (doctype) errors = {};
    }
    if (reading == XmlReading::Reader || doctype) {
        std::unique_ptr<xmlTextReader, ReaderCloser> reader(
            xmlReaderForFile(utf8Path(absFile).c_str(), nullptr, options));
        if (!reader) {
            out.error =
                guard.error.empty() ? "No se puede leer el fichero: " + file.string() : guard.error;
            return out;
        }
        xmlTextReaderSetStructuredErrorHandler(reader.get(), onXmlError, &errors);
        int ret;
        while ((ret = xmlTextReaderRead(reader.get())) == 1) {
            if (!errors.error.empty() || !guard.error.empty()) break;
            switch (xmlTextReaderNodeType(reader.get())) {
            case XML_READER_TYPE_ELEMENT: {
                const auto* name =
                    reinterpret_cast<const char*>(xmlTextReaderConstName(reader.get()));
                const int index = name ? walk.indexOf(name) : -1;
                if (name) walk.opened(name, index);
                else walk.open.push_back(index);
                if (xmlTextReaderIsEmptyElement(reader.get())) walk.open.pop_back();
                break;
            }
            case XML_READER_TYPE_END_ELEMENT:
                if (!walk.open.empty()) walk.open.pop_back();
                break;
            case XML_READER_TYPE_TEXT:
            case XML_READER_TYPE_CDATA:
                if (!walk.open.empty() && walk.open.back() >= 0) {
                    const auto* v =
                        reinterpret_cast<const char*>(xmlTextReaderConstValue(reader.get()));
                    onField(static_cast<std::size_t>(walk.open.back()),
                            v ? std::string_view(v) : "");
                }
                break;
            case XML_READER_TYPE_DOCUMENT_TYPE:
                doctype = true;
                break;
            default:
                break;
            }
            walk.tick([&reader] { return xmlTextReaderByteConsumed(reader.get()); });
        }
        failed = ret != 0;
        consumed = xmlTextReaderByteConsumed(reader.get());
    }

    failed = guard.error.empty() && (failed || !errors.error.empty());
    const std::string cut =
        failed ? cutShort(absFile, fileSize, consumed, errors) : std::string();
    // libxml2 names a NUL by what it broke ("Document is empty", "Extra content at the end"),
    // unless an earlier fault stopped it first.
    const NulScan nul = failed ? scanForNul(absFile) : NulScan{};
    if (!guard.error.empty())
        out.error = guard.error;
    else if (nul.any && nul.onlyBlanks)
        out.error = file.filename().string() + ": el fichero está vacío";
    else if (nul.any && (errors.line <= 0 || errors.line >= nul.line))
        out.error = "El documento XML contiene caracteres no válidos (bytes NUL desde la línea " +
                    std::to_string(nul.line) + ")";
    else if (!cut.empty())
        out.error = cut;
    else if (!errors.error.empty())
        out.error = errors.error;
    else if (doctype && !errors.noDtd.empty())
        out.error = errors.noDtd;
    else if (failed)
        out.error = "Error al leer el documento XML (codificación no válida o fichero dañado)";
    if (!out.error.empty()) return out;
    if (progress && walk.lastPercent != 100) progress(100);
    out.ok = true;
    return out;
}

} // namespace vl
