#include "infopage/pages.h"

#include <algorithm>
#include <string_view>

#include "core/text.h"
#include "platform/fileio.h"

namespace vl {

namespace {

constexpr std::string_view PageHeader =
    "<html>\r\n"
    "<head>\r\n"
    "<title>Velantia</title>\r\n"
    "</head>\r\n"
    "<body bgcolor='#ffffff' link='#336633' vlink='#666633' text='#000000'  topmargin=0 "
    "leftmargin=10>\r\n"
    "<a name=top></a>\r\n"
    "\r\n";

constexpr std::string_view HeadingOpen = "<p align=left><font face='Arial' color=#000000 size=2>";
constexpr std::string_view HeadingClose = "<br><br></B></font>\r\n";
constexpr std::string_view TitleOpen = "<font face='Arial' color=#4d4d4d size=2><B>";
constexpr std::string_view TextOpen = "<br><font face='Verdana' color=#4d4d4d size=1>";
constexpr std::string_view NoteOpen = "<td><br><font face='Verdana' color=#4d4d4d size=1>";

std::string patientHeadingOpen() {
    return std::string(HeadingOpen) + toCp1252("Información al paciente") + "<br><br><B>";
}

// The one-line notice that stands in for the items.
std::string noteLine(std::string_view utf8) {
    return std::string(NoteOpen) + toCp1252(utf8) + "</font></td>\r\n";
}

std::string_view alertImage(char level) {
    switch (level) {
    case '1':
        return "<img src='..\\htm\\Red.jpg'>\r\n";
    case '2':
        return "<img src='..\\htm\\Yelow.jpg'>\r\n";
    case '3':
        return "<img src='..\\htm\\Green.jpg'>\r\n";
    default:
        return {};
    }
}

bool isBlankOrLineEnd(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Fields as the text files have always been read: blanks and line ends before a field are
// skipped; a quoted field runs to the next quote (line ends included) and anything after it up
// to the separator is dropped; a bare field runs to a comma or the line end.
class FieldReader {
  public:
    explicit FieldReader(std::string_view s) : s_(s) {}

    std::string next() {
        while (p_ < s_.size() && isBlankOrLineEnd(s_[p_]))
            ++p_;
        if (p_ >= s_.size()) return {};
        std::string value;
        if (s_[p_] == '"') {
            const std::size_t close = s_.find('"', p_ + 1);
            if (close == std::string_view::npos) {
                value = s_.substr(p_ + 1);
                p_ = s_.size();
                return value;
            }
            value = s_.substr(p_ + 1, close - p_ - 1);
            p_ = close + 1;
            while (p_ < s_.size() && !isSeparator(s_[p_]))
                ++p_;
        } else {
            std::size_t end = p_;
            while (end < s_.size() && !isSeparator(s_[end]))
                ++end;
            value = s_.substr(p_, end - p_);
            p_ = end;
        }
        skipSeparator();
        return value;
    }

  private:
    static bool isSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }

    // The LF of a CR LF is skipped as a leading line end of the next field.
    void skipSeparator() {
        if (p_ < s_.size()) ++p_;
    }

    std::string_view s_;
    std::size_t p_ = 0;
};

} // namespace

std::pair<std::string, std::string> readItemTexts(const fs::path& file) {
    const auto bytes = readFileBytes(file);
    if (!bytes) return {};
    FieldReader reader(*bytes);
    std::string title = reader.next();
    std::string text = reader.next();
    return {std::move(title), std::move(text)};
}

namespace {

// The conversion names text files with six digits only; any other identifier (a damaged or
// forged datos\Velantia.txt, "../../" say) names no file.
// `textos` is resolved once per page by the caller; empty until the first item needs it.
fs::path textFileOf(const Paths& paths, fs::path& textos, const std::string& id) {
    const bool digits = id.size() == 6 && std::all_of(id.begin(), id.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) return {};
    if (textos.empty()) textos = paths.product("datos\\textos");
    return resolvePath(textos, id + ".txt");
}

// A page of the code and a note in place of its items.
MedicinePages notePages(const std::string& code, std::string_view utf8) {
    MedicinePages pages;
    const std::string note = noteLine(utf8);
    pages.informa = std::string(PageHeader) + std::string(HeadingOpen) + "<B>" + code +
                    std::string(HeadingClose) + note;
    pages.imprime =
        std::string(PageHeader) + patientHeadingOpen() + code + std::string(HeadingClose) + note;
    return pages;
}

MedicinePages buildOnce(DataFiles& files, const std::string& code, const std::string& todayStamp,
                        Watchdog& dog) {
    MedicinePages pages;
    dog.start();
    const ProductLookup product = findProduct(files, code, dog);

    // An unknown code still gets its own page, so the previous medicine's page never stands
    // in for it.
    if (!product.found())
        return notePages(code, "No se ha encontrado el medicamento con este código nacional.");

    std::string& informa = pages.informa;
    std::string& imprime = pages.imprime;
    informa = PageHeader;
    imprime = PageHeader;
    pages.productFound = true;

    const std::string heading = product.heading();
    informa += std::string(HeadingOpen) + "<B>" + heading;
    // The productos.txt heading has always broken the line after the description.
    if (!product.fromBase) {
        informa += CRLF;
        pages.label14 = "PVP: " + product.product.price();
    }
    informa += HeadingClose;
    imprime += patientHeadingOpen() + heading + std::string(HeadingClose);

    // The folder is looked up once; each text then costs one look in it.
    fs::path textos;
    for (const InfoItemRecord& item : findItemRange(files, code, dog)) {
        if (!itemShown(item, todayStamp)) continue;
        ++pages.shown;
        pages.label13Visible = true;
        const auto [title, text] = readItemTexts(textFileOf(files.paths(), textos, item.textId()));
        const bool forPatient = item.printFlag() == '1';
        const std::string body = std::string(TextOpen) + text + "</font>\r\n<br></td>\r\n";

        informa += "<td>\r\n";
        informa += alertImage(item.alertLevel());
        informa += std::string(TitleOpen) + title + "</B>";
        if (forPatient) {
            pages.printable = true;
            informa += "<img src='..\\htm\\printer.jpg'>";
        }
        informa += "</font>\r\n" + body;

        if (forPatient) imprime += "<td>" + std::string(TitleOpen) + title + "</B>" + body;
    }

    if (pages.shown == 0)
        informa += noteLine("No existe información asociada a este medicamento elaborada por los "
                            "grupos de trabajo en Velantia del Kaprania");
    return pages;
}

} // namespace

MedicinePages buildMedicinePages(DataFiles& files, const std::string& code,
                                 const std::string& todayStamp, Watchdog& dog) {
    for (int round = 0;; ++round) {
        if (!files.swapUnderWay()) {
            MedicinePages pages = buildOnce(files, code, todayStamp, dog);
            // A swap begun or ended meanwhile may have put new texts under the old items. A file
            // replaced under the lookup is read again once: a share whose file numbers are not
            // to be trusted must not hold every page up.
            const bool mixed = files.swapUnderWay() || (round == 0 && !files.current());
            files.letGo();
            if (!mixed) return pages;
        }
        if (!files.waitForSwap(round))
            return notePages(code, "Los datos de Velantia se están actualizando desde otro "
                                   "terminal. Vuelva a mostrar este medicamento dentro de unos "
                                   "segundos.");
    }
}

bool writeMedicinePages(const Paths& paths, const std::string& terminalDigit,
                        const MedicinePages& pages) {
    const fs::path folder = paths.pageFolder(terminalDigit);
    // The browser may be reading the old page: replace it whole, never truncate it in place.
    // No flush to disk: the pages are rebuilt at every show, and waiting for the disk twice per
    // medicine cost the pharmacist more than all the rest of the work.
    return writeFileReplacing(resolvePath(folder, "Informa.htm"), pages.informa) &&
           writeFileReplacing(resolvePath(folder, "imprime.htm"), pages.imprime);
}

fs::path completePage(const Paths& paths, const std::string& terminalDigit) {
    return resolvePath(paths.pageFolder(terminalDigit), "informa.htm");
}

fs::path patientPage(const Paths& paths, const std::string& terminalDigit) {
    return resolvePath(paths.pageFolder(terminalDigit), "imprime.htm");
}

fs::path emptyPage(const Paths& paths) {
    return paths.product("htm\\vacia.htm");
}

} // namespace vl
