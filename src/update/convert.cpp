#include "update/convert.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "core/fileio.h"
#include "core/text.h"
#include "data/records.h"
#include "update/xmlwalk.h"

namespace vl {

namespace fs = std::filesystem;

std::string nombreXML(TipoFichero tipo) {
    switch (tipo) {
    case TipoFichero::Encuesta:
        return "encuesta.xml";
    case TipoFichero::Precios:
        return "precios.xml";
    case TipoFichero::Maestro:
        return "Maestro.xml";
    }
    return {};
}

const std::vector<std::string>& camposXML(TipoFichero tipo) {
    static const std::vector<std::string> encuesta{
        "grupo_pregunta_id", "grupo",     "pregunta_id", "pregunta",
        "respuesta_id",      "respuesta", "por_defecto"};
    static const std::vector<std::string> precios{"codigo_nacional", "descripcion",
                                                  "pvp_nomenclator", "pvp_distribuidor",
                                                  "fecha_actualizacion"};
    static const std::vector<std::string> maestro{
        "identificador", "codigo",      "tipo_alarma",         "titulo",   "texto",
        "fecha_inicio",  "fecha_final", "fecha_actualizacion", "imprimir", "informacion_anexa",
        "estado"};
    switch (tipo) {
    case TipoFichero::Encuesta:
        return encuesta;
    case TipoFichero::Precios:
        return precios;
    case TipoFichero::Maestro:
        break;
    }
    return maestro;
}

// ---------------------------------------------------------------------------------------------

int lineGroup(std::string_view line) {
    if (line.empty() || line[0] < '0' || line[0] > '9') return 0;
    return line[0] - '0';
}

bool LineGroups::add(std::string line) {
    auto& g = groups_[static_cast<std::size_t>(lineGroup(line))];
    if (g.size() >= Capacity) {
        ++dropped_;
        return false;
    }
    g.push_back(std::move(line));
    return true;
}

void LineGroups::sort() {
    // std::string orders bytes as unsigned char, the same order the lookup searches in.
    for (auto& g : groups_)
        std::sort(g.begin(), g.end());
}

std::size_t LineGroups::size() const {
    std::size_t n = 0;
    for (const auto& g : groups_)
        n += g.size();
    return n;
}

std::string LineGroups::joined() const {
    std::string out;
    std::size_t bytes = 0;
    for (const auto& g : groups_)
        for (const auto& l : g)
            bytes += l.size() + 2;
    out.reserve(bytes);
    for (const auto& g : groups_)
        for (const auto& l : g) {
            out += l;
            out += CRLF;
        }
    return out;
}

void LineGroups::clear() {
    for (auto& g : groups_)
        g.clear();
    dropped_ = 0;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Decimal text of a number as the old runtime printed it: integers without a fraction.
std::string decimalText(double v) {
    if (std::trunc(v) == v && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// A price text without a comma read as a whole number of hundredths, the point being the Spanish
// thousands separator. Anything else is not a number.
std::optional<long long> hundredthsOf(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    long long v = 0;
    int digits = 0;
    bool lastWasDigit = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 17) return std::nullopt;
            v = v * 10 + (c - '0');
            lastWasDigit = true;
        } else if (c == '.' && lastWasDigit) {
            lastWasDigit = false;
        } else {
            break;
        }
    }
    if (digits == 0 || !lastWasDigit) return std::nullopt;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    if (i != t.size()) return std::nullopt;
    return neg ? -v : v;
}

} // namespace

std::string textIdentifier(std::string_view identificador) {
    const std::string sum = decimalText(Val(RSet(identificador, 6)) + 1000000.0);
    return sum.size() > 6 ? sum.substr(sum.size() - 6) : sum;
}

std::string formatSpanishAmount(long long hundredths) {
    const bool neg = hundredths < 0;
    const unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(hundredths)
                                     : static_cast<unsigned long long>(hundredths);
    const std::string whole = std::to_string(u / 100);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += '.';
        grouped += whole[i];
    }
    const unsigned cents = static_cast<unsigned>(u % 100);
    grouped += ',';
    grouped += static_cast<char>('0' + cents / 10);
    grouped += static_cast<char>('0' + cents % 10);
    return neg ? "(" + grouped + ")" : grouped;
}

std::string normalizePrice(std::string_view price) {
    const auto comma = price.find(',');
    if (comma != std::string_view::npos) {
        std::string t(price);
        t[comma] = '.';
        return RSet(t, 8);
    }
    return RSet(formatSpanishAmount(hundredthsOf(price).value_or(0)), 8);
}

bool itemInForce(std::string_view estado, std::string_view fechaInicio, std::string_view fechaFinal,
                 std::string_view today) {
    if (estado != "A") return false;
    if (today < fechaInicio) return false;
    return !(today > fechaFinal) || Val(fechaFinal) == 0;
}

std::string surveyFileBytes(const std::vector<SurveyXmlRow>& rows) {
    // The previous codes start blank, so a first row whose code is 0 writes no line for it.
    std::string group(3, ' '), question(3, ' '), answer(3, ' ');
    std::string out;
    for (const auto& r : rows) {
        if (Val(r.grupoId) != Val(group)) {
            group = LSet(r.grupoId, 3);
            out += "E" + group + " " + r.grupo + CRLF;
        }
        if (Val(r.preguntaId) != Val(question)) {
            question = LSet(r.preguntaId, 3);
            out += "P" + question + " " + r.pregunta + CRLF;
        }
        if (Val(r.respuestaId) != Val(answer)) {
            answer = LSet(r.respuestaId, 3);
            out +=
                "R" + answer + (r.porDefecto.empty() ? ' ' : r.porDefecto[0]) + r.respuesta + CRLF;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

namespace {

std::string withoutLineEnd(std::string record) {
    record.resize(record.size() - 2);
    return record;
}

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    virtual void record(const std::vector<std::string>& f) = 0;
};

class MasterSink : public RecordSink {
  public:
    MasterSink(std::string today, fs::path folder)
        : today_(std::move(today)), folder_(std::move(folder)) {}

    void record(const std::vector<std::string>& f) override {
        if (!itemInForce(f[10], f[5], f[6], today_)) return;
        const std::string id = textIdentifier(f[0]);
        lines.add(withoutLineEnd(
            InfoItemRecord::make(f[1], f[2], id, f[7], f[5], f[6], f[10], f[8]).bytes));
        // Several medicines share one text: consecutive records with the same identifier
        // write it once.
        if (id == lastId_) return;
        lastId_ = id;
        const std::string text =
            "\"" + f[3] + "\"" + CRLF + "\"" + f[4] + "\"" + CRLF + "\"" + f[9] + "\"" + CRLF;
        if (writeFileBytes(folder_ / (id + ".txt"), text))
            ++textFiles;
        else if (error.empty())
            error = "No se puede escribir el texto " + id + ".txt";
    }

    LineGroups lines;
    std::size_t textFiles = 0;
    std::string error;

  private:
    std::string today_;
    fs::path folder_;
    std::string lastId_;
};

class PriceSink : public RecordSink {
  public:
    PriceSink(DataFiles* files, bool writePrices)
        : files_(files), writePrices_(writePrices && files && files->BaseFilesOpen()) {}

    void record(const std::vector<std::string>& f) override {
        const std::string& code = f[0];
        // By numeric value "12,50" counts as 12; on equal values the distributor's price stays.
        const std::string price =
            Val(f[2]) > Val(f[3]) ? normalizePrice(f[2]) : normalizePrice(f[3]);
        if (code.size() == 6)
            lines.add(withoutLineEnd(ProductRecord::make(code, f[1], price).bytes));

        if (!writePrices_ || !(Val(price) > 0) || !(Val(code) > 100000)) return;
        const double indexRecord = std::trunc(Val(std::string_view(code).substr(0, 5)));
        if (indexRecord < 1 || indexRecord > 9e15) return;
        const int slot = static_cast<int>(Val(std::string_view(code).substr(code.size() - 1)));
        const auto index =
            BaseIndexRecord::fromBytes(files_->basey().read(static_cast<long long>(indexRecord)));
        const long long n = index.slot(slot);
        if (n <= 0) return;
        const auto product = BaseProductRecord::fromBytes(files_->basea().read(n));
        // Held back until the whole file has parsed: a broken file changes no price.
        if (product.code() == code) pending.emplace_back(n, price);
    }

    // Only the 8 price bytes of each record are written; the rest belongs to the pharmacy
    // program.
    std::size_t applyPrices() {
        if (pending.empty()) return 0;
        std::FILE* f = std::fopen(files_->basea().path().string().c_str(), "r+b");
        if (!f) return 0;
        std::size_t written = 0;
        for (const auto& [n, price] : pending) {
            const long offset =
                static_cast<long>((n - 1) * static_cast<long long>(BaseProductRecord::Length) +
                                  BaseProductRecord::PriceOffset);
            if (std::fseek(f, offset, SEEK_SET) != 0) continue;
            if (std::fwrite(price.data(), 1, BaseProductRecord::PriceWidth, f) ==
                BaseProductRecord::PriceWidth)
                ++written;
        }
        std::fflush(f);
        std::fclose(f);
        return written;
    }

    LineGroups lines;
    std::vector<std::pair<long long, std::string>> pending;

  private:
    DataFiles* files_;
    bool writePrices_;
};

class SurveySink : public RecordSink {
  public:
    void record(const std::vector<std::string>& f) override {
        rows.push_back(SurveyXmlRow{f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    std::vector<SurveyXmlRow> rows;
};

// Collects the field values of one record at a time and hands each completed record on.
XmlWalkOutcome collect(const fs::path& xmlFile, const fs::path& received, TipoFichero tipo,
                       RecordSink& sink, const ConversionOptions& options, std::size_t& records) {
    const auto& names = camposXML(tipo);
    std::vector<std::string> values(names.size());
    bool started = false;
    auto onField = [&](std::size_t i, std::string_view utf8) {
        // The key element opens a new record; the one collected so far is complete.
        if (i == 0 && started) {
            sink.record(values);
            ++records;
            for (auto& v : values)
                v.clear();
        }
        values[i] = toCp1252(utf8);
        started = true;
    };
    XmlWalkOutcome out = walkXmlFields(xmlFile, received, names, onField, options.progress);
    // The record still open when the document ends is complete too.
    if (out.ok && started) {
        sink.record(values);
        ++records;
    }
    return out;
}

ConversionResult failed(std::string error) {
    ConversionResult r;
    r.error = std::move(error);
    return r;
}

ConversionResult convertMaster(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options) {
    std::error_code ec;
    const fs::path datos = paths.product("datos");
    fs::create_directories(datos, ec);
    const fs::path textos = paths.product("datos\\textos");
    const fs::path fresh = datos / "textos.~nuevo";
    const fs::path old = datos / "textos.~viejo";
    // A run that died between the two renames left the texts aside: put them back first.
    if (!fs::exists(textos, ec) && fs::is_directory(old, ec)) renameWithRetry(old, textos);
    fs::remove_all(fresh, ec);
    fs::remove_all(old, ec);
    if (!fs::create_directory(fresh, ec))
        return failed("No se puede crear la carpeta " + fresh.string());

    ConversionResult result;
    MasterSink sink(options.today, fresh);
    const XmlWalkOutcome walk =
        collect(paths.product("recibido\\" + nombreXML(TipoFichero::Maestro)),
                paths.product("recibido"), TipoFichero::Maestro, sink, options, result.records);
    if (!walk.ok || !sink.error.empty()) {
        fs::remove_all(fresh, ec);
        return failed(walk.ok ? sink.error : walk.error);
    }
    sink.lines.sort();
    const std::string content = sink.lines.joined();

    // The new texts go in first, then Velantia.txt; either failing puts the old ones back.
    if (files) files->closeVelantia();
    const bool hadTexts = fs::exists(textos, ec);
    if (hadTexts && !renameWithRetry(textos, old)) {
        fs::remove_all(fresh, ec);
        return failed("No se puede sustituir la carpeta " + textos.string());
    }
    if (!renameWithRetry(fresh, textos)) {
        if (hadTexts) renameWithRetry(old, textos);
        fs::remove_all(fresh, ec);
        return failed("No se puede sustituir la carpeta " + textos.string());
    }
    const fs::path velantia = paths.product("datos\\Velantia.txt");
    if (!writeFileAtomic(velantia, content)) {
        fs::remove_all(textos, ec);
        if (hadTexts) renameWithRetry(old, textos);
        return failed("No se puede escribir " + velantia.string());
    }
    fs::remove_all(old, ec);

    result.ok = true;
    result.lines = sink.lines.size();
    result.dropped = sink.lines.dropped();
    result.textFiles = sink.textFiles;
    return result;
}

ConversionResult convertPrices(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options) {
    ConversionResult result;
    PriceSink sink(files, options.descargarPrecios);
    const XmlWalkOutcome walk =
        collect(paths.product("recibido\\" + nombreXML(TipoFichero::Precios)),
                paths.product("recibido"), TipoFichero::Precios, sink, options, result.records);
    if (!walk.ok) return failed(walk.error);
    sink.lines.sort();
    result.pricesWritten = sink.applyPrices();
    result.ok = true;
    result.lines = sink.lines.size();
    result.dropped = sink.lines.dropped();
    result.productLines = std::move(sink.lines);
    return result;
}

ConversionResult convertSurvey(const Paths& paths, const ConversionOptions& options) {
    ConversionResult result;
    SurveySink sink;
    const XmlWalkOutcome walk =
        collect(paths.product("recibido\\" + nombreXML(TipoFichero::Encuesta)),
                paths.product("recibido"), TipoFichero::Encuesta, sink, options, result.records);
    if (!walk.ok) return failed(walk.error);
    // Without a single row the file was never rewritten: it keeps its old content.
    if (!sink.rows.empty()) {
        std::error_code ec;
        fs::create_directories(paths.product("datos"), ec);
        const fs::path encuesta = paths.product("datos\\Encuesta.txt");
        if (!writeFileAtomic(encuesta, surveyFileBytes(sink.rows)))
            return failed("No se puede escribir " + encuesta.string());
    }
    result.ok = true;
    result.lines = sink.rows.size();
    return result;
}

} // namespace

ConversionResult ConvertirFichero(TipoFichero tipo, const Paths& paths, DataFiles* files,
                                  const ConversionOptions& options) {
    switch (tipo) {
    case TipoFichero::Encuesta:
        return convertSurvey(paths, options);
    case TipoFichero::Precios:
        return convertPrices(paths, files, options);
    case TipoFichero::Maestro:
        break;
    }
    return convertMaster(paths, files, options);
}

bool writeProductMaster(const Paths& paths, DataFiles* files, const LineGroups& lines) {
    std::error_code ec;
    fs::create_directories(paths.product("datos"), ec);
    if (files) files->productos().close();
    return writeFileAtomic(paths.product("datos\\productos.txt"), lines.joined());
}

} // namespace vl
