#include "update/convert.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
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

void LineGroups::add(std::string line) {
    groups_[static_cast<std::size_t>(lineGroup(line))].push_back(std::move(line));
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

constexpr long long MaxPriceMicros = 999999999999999999LL;

// A received price in millionths of a euro: without a comma in hundredths, with one a decimal
// comma. Not a number: nullopt.
std::optional<long long> priceMicros(std::string_view price) {
    const auto comma = price.find(',');
    if (comma == std::string_view::npos) {
        const auto h = hundredthsOf(price);
        if (!h || *h > MaxPriceMicros / 10000 || *h < -MaxPriceMicros / 10000) return std::nullopt;
        return *h * 10000;
    }
    // A decimal comma: the points before it group thousands, digits after the sixth decimal
    // are below anything a price can tell apart.
    std::size_t i = 0;
    while (i < price.size() && (price[i] == ' ' || price[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < price.size() && (price[i] == '-' || price[i] == '+')) neg = price[i++] == '-';
    long long whole = 0;
    int digits = 0;
    for (; i < comma; ++i) {
        const char c = price[i];
        if (c >= '0' && c <= '9') {
            whole = whole * 10 + (c - '0');
            if (++digits > 12) return std::nullopt;
        } else if (c != '.' || digits == 0) {
            return std::nullopt;
        }
    }
    long long fraction = 0;
    int decimals = 0;
    for (i = comma + 1; i < price.size() && price[i] >= '0' && price[i] <= '9'; ++i)
        if (decimals < 6) {
            fraction = fraction * 10 + (price[i] - '0');
            ++decimals;
        }
    if (digits == 0 && decimals == 0) return std::nullopt;
    for (; decimals < 6; ++decimals)
        fraction *= 10;
    const long long v = whole * 1000000 + fraction;
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

namespace {

// The survey file is read line by line: a line end inside a received value would start a line
// of its own (a forged question or answer).
std::string oneLine(std::string v) {
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    return v;
}

ReceivedSurveyRow onLines(const ReceivedSurveyRow& r) {
    return {oneLine(r.grupoId),   oneLine(r.grupo),       oneLine(r.preguntaId),
            oneLine(r.pregunta),  oneLine(r.respuestaId), oneLine(r.respuesta),
            oneLine(r.porDefecto)};
}

} // namespace

std::string surveyFileBytes(const std::vector<ReceivedSurveyRow>& rows) {
    // The previous codes start blank, so a first row whose code is 0 writes no line for it.
    std::string group(3, ' '), question(3, ' '), answer(3, ' ');
    std::string out;
    for (const auto& received : rows) {
        const ReceivedSurveyRow r = onLines(received);
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

// Creating thousands of small files costs more than parsing them: a thread of its own writes
// them while the walk goes on. The queue is bounded, so memory stays flat on any file.
class TextWriter {
  public:
    TextWriter() : thread_([this] { run(); }) {}
    ~TextWriter() { finish(); }

    void write(fs::path file, std::string bytes) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return queue_.size() < MaxQueued; });
        queue_.emplace_back(std::move(file), std::move(bytes));
        ready_.notify_one();
    }

    // Waits for every queued file; the name of the first one that could not be written.
    std::optional<fs::path> finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            ready_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
        return failed_;
    }

    std::size_t written() const { return written_; }

  private:
    static constexpr std::size_t MaxQueued = 1024;

    void run() {
        for (;;) {
            std::pair<fs::path, std::string> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
            }
            if (failed_) continue; // the conversion is lost anyway; just drain
            if (writeFileBytes(job.first, job.second))
                ++written_;
            else
                failed_ = job.first;
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::pair<fs::path, std::string>> queue_;
    bool done_ = false;
    std::optional<fs::path> failed_; // only the writer thread touches it before the join
    std::size_t written_ = 0;
    std::thread thread_;
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
        std::string text =
            "\"" + f[3] + "\"" + CRLF + "\"" + f[4] + "\"" + CRLF + "\"" + f[9] + "\"" + CRLF;
        const std::size_t hash = std::hash<std::string>{}(text);
        const auto [seen, first] = onDisk_.try_emplace(id, hash);
        if (first) {
            writer_.write(folder_ / (id + ".txt"), std::move(text));
            return;
        }
        // The identifier comes back after others (a master sorted by code): the file ends with
        // the text of its last run, written once at the end instead of at every return.
        if (seen->second == hash)
            later_.erase(id);
        else
            later_[id] = std::move(text);
    }

    // Every text on disk, or the Spanish reason why not.
    std::string finishTexts() {
        for (auto& [id, text] : later_)
            writer_.write(folder_ / (id + ".txt"), std::move(text));
        later_.clear();
        const std::optional<fs::path> failed = writer_.finish();
        textFiles = onDisk_.size();
        if (!failed) return {};
        return "No se puede escribir el texto " + failed->filename().string() +
               ": el disco está lleno o no se puede escribir en él. Los datos anteriores se "
               "conservan.";
    }

    LineGroups lines;
    std::size_t textFiles = 0;

  private:
    std::string today_;
    fs::path folder_;
    std::string lastId_;
    std::unordered_map<std::string, std::size_t> onDisk_; // identifier: hash of its first text
    std::map<std::string, std::string> later_;            // identifier: text replacing it
    TextWriter writer_;
};

class PriceSink : public RecordSink {
  public:
    PriceSink(DataFiles* files, bool writePrices)
        : files_(files), writePrices_(writePrices && files && files->BaseFilesOpen()) {}

    void record(const std::vector<std::string>& f) override {
        const std::string& code = f[0];
        // The greater amount in euros; on equal amounts the distributor's price stays.
        const long long nomenclator = priceMicros(f[2]).value_or(0);
        const long long distribuidor = priceMicros(f[3]).value_or(0);
        const long long amount = std::max(nomenclator, distribuidor);
        const std::string price = normalizePrice(nomenclator > distribuidor ? f[2] : f[3]);
        if (code.size() == 6)
            lines.add(withoutLineEnd(ProductRecord::make(code, f[1], price).bytes));

        // 0,50 sent as 50 is a price too, although its text reads 0 by numeric value.
        if (!writePrices_ || amount <= 0 || !(Val(code) > 100000)) return;
        const double indexRecord = std::trunc(Val(std::string_view(code).substr(0, 5)));
        if (indexRecord < 1 || indexRecord > 9e15) return;
        const int slot = static_cast<int>(Val(std::string_view(code).substr(code.size() - 1)));
        const auto index =
            BaseIndexRecord::fromBytes(files_->basey().read(static_cast<long long>(indexRecord)));
        const long long n = index.slot(slot);
        // Only a complete record: a price written into a torn last one would grow basea.
        if (n <= 0 || n > files_->basea().count()) return;
        const auto product = BaseProductRecord::fromBytes(files_->basea().read(n));
        // Held back until the whole file has parsed: a broken file changes no price.
        if (product.code() == code) pending.push_back({n, price, product.price()});
    }

    // Only the 8 price bytes of each record are written; the rest belongs to the pharmacy
    // program. On a failure the old prices are put back: basea never keeps half an update.
    // Empty, or the Spanish reason naming the file.
    std::string applyPrices() {
        if (pending.empty()) return {};
        if (writePrices(&Pending::price)) return {};
        writePrices(&Pending::old);
        return "No se pueden escribir los precios en " + files_->basea().path().string() +
               ": el fichero no se puede abrir para escribir, está bloqueado o el disco está "
               "lleno. Los precios anteriores se conservan.";
    }

    struct Pending {
        long long n;
        std::string price, old;
    };
    LineGroups lines;
    std::vector<Pending> pending;

  private:
    bool writePrices(std::string Pending::*which) {
        std::FILE* f = openFile(files_->basea().path(), "r+b");
        if (!f) return false;
        bool ok = true;
        for (const Pending& p : pending) {
            const long offset =
                static_cast<long>((p.n - 1) * static_cast<long long>(BaseProductRecord::Length) +
                                  BaseProductRecord::PriceOffset);
            ok = ok && std::fseek(f, offset, SEEK_SET) == 0 &&
                 std::fwrite((p.*which).data(), 1, BaseProductRecord::PriceWidth, f) ==
                     BaseProductRecord::PriceWidth;
        }
        ok = std::fflush(f) == 0 && ok;
        return std::fclose(f) == 0 && ok;
    }

  private:
    DataFiles* files_;
    bool writePrices_;
};

class SurveySink : public RecordSink {
  public:
    void record(const std::vector<std::string>& f) override {
        rows.push_back(ReceivedSurveyRow{f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    std::vector<ReceivedSurveyRow> rows;
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

// The master's files are replaced as one: the new texts and Velantia.txt are written aside in
// full and flushed, a marker then says they are complete, and only after it do the renames
// start. Whoever finds the marker finishes the renames; without it, whatever lies aside is
// thrown away. The lookup therefore sees the old files or the new ones, never a mix.
struct MasterFiles {
    explicit MasterFiles(const Paths& paths)
        : datos(paths.product("datos")), textos(paths.product("datos\\textos")),
          velantia(paths.product("datos\\Velantia.txt")), fresh(datos / "textos.~nuevo"),
          old(datos / "textos.~viejo"), freshVelantia(datos / "Velantia.txt.~nuevo"),
          marker(datos / "cambio.~listo") {}
    fs::path datos, textos, velantia, fresh, old, freshVelantia, marker;
};

constexpr const char* AnotherConversion =
    "Los datos se están actualizando desde otro programa. Inténtelo de nuevo cuando termine.";

// Beside Ocupado.lck: held for the whole of a conversion, tried by the recovery.
fs::path conversionLockPath(const Paths& paths) {
    return paths.product("Actualiza.lck");
}

// The old texts are deleted beside the rest of the update: thousands of deletions would
// otherwise hold it up. One folder at a time per process.
class Discarder {
  public:
    ~Discarder() { wait(); }

    void start(fs::path folder) {
        wait();
        std::lock_guard lock(mutex_);
        current_ = folder;
        thread_ = std::thread([f = std::move(folder)] {
            std::error_code ec;
            fs::remove_all(f, ec);
        });
    }

    void wait() {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) thread_.join();
        current_.clear();
    }

    bool busyWith(const fs::path& folder) {
        std::lock_guard lock(mutex_);
        return !current_.empty() && current_ == folder;
    }

  private:
    std::mutex mutex_;
    std::thread thread_;
    fs::path current_;
};

Discarder& discarder() {
    static Discarder d;
    return d;
}

bool rollForward(const MasterFiles& m, bool removeOld = true) {
    std::error_code ec;
    if (fs::is_directory(m.fresh, ec)) {
        if (fs::exists(m.textos, ec)) {
            fs::remove_all(m.old, ec);
            if (!renameWithRetry(m.textos, m.old)) return false;
            faultPoint("swap:texts-aside");
        }
        if (!renameWithRetry(m.fresh, m.textos)) return false;
        faultPoint("swap:texts-in");
    } else if (!fs::exists(m.textos, ec) && fs::is_directory(m.old, ec)) {
        // Only possible when someone removed the new texts: the old ones beat none.
        renameWithRetry(m.old, m.textos);
    }
    if (fs::exists(m.freshVelantia, ec)) {
        if (!renameWithRetry(m.freshVelantia, m.velantia)) return false;
        faultPoint("swap:velantia-in");
    }
    if (!fs::remove(m.marker, ec) && fs::exists(m.marker, ec)) return false;
    faultPoint("swap:unmarked");
    if (removeOld) fs::remove_all(m.old, ec);
    return true;
}

// After a swap: the old texts go under a name of their own, so that no later swap can hand its
// own set-aside folder to the deletion still running.
void discardOldTexts(const MasterFiles& m) {
    std::error_code ec;
    if (!fs::exists(m.old, ec)) return;
    const fs::path doomed =
        m.datos / ("textos.~borrar" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    if (renameWithRetry(m.old, doomed)) {
        faultPoint("swap:discarding");
        discarder().start(doomed);
    } else
        fs::remove_all(m.old, ec);
}

void rollBack(const MasterFiles& m) {
    std::error_code ec;
    // A run of an older version could die between its two renames.
    if (!fs::exists(m.textos, ec) && fs::is_directory(m.old, ec)) renameWithRetry(m.old, m.textos);
    fs::remove_all(m.fresh, ec);
    fs::remove(m.freshVelantia, ec);
    if (fs::exists(m.textos, ec)) fs::remove_all(m.old, ec);
}

// Copies that writeFileAtomic had not yet renamed when its run died.
void removeStaleCopies(const MasterFiles& m) {
    std::error_code ec;
    fs::directory_iterator it(m.datos, ec);
    if (ec) return;
    for (const auto& entry : it) {
        const std::string name = lowerCp1252(entry.path().filename().string());
        if (name.starts_with("textos.~borrar") && !discarder().busyWith(entry.path())) {
            fs::remove_all(entry.path(), ec);
            continue;
        }
        for (const char* file :
             {"velantia.txt.~", "encuesta.txt.~", "productos.txt.~", "cambio.~listo.~"})
            if (name.starts_with(file)) fs::remove_all(entry.path(), ec);
    }
}

// With the conversion lock held.
bool recoverLocked(const MasterFiles& m) {
    std::error_code ec;
    bool ok = true;
    const bool marked = fs::exists(m.marker, ec);
    const bool staged = fs::exists(m.fresh, ec) || fs::exists(m.freshVelantia, ec);
    // Only a replacement that was under way is worth a line in the run log.
    const bool interrupted = marked || staged || fs::exists(m.old, ec);
    if (marked)
        ok = rollForward(m);
    else
        rollBack(m);
    if (ok) removeStaleCopies(m);
    if (interrupted)
        runlog::log(std::string("Recuperación tras una actualización interrumpida: ") +
                    (marked   ? "se completa la sustitución de Velantia.txt y textos"
                     : staged ? "se deshace la sustitución a medias, quedan los datos anteriores"
                              : "se retiran los textos anteriores que quedaron apartados") +
                    (ok ? "" : " (ERROR: no se ha podido renombrar, se reintentará)"));
    return ok;
}

// Puts the old texts back while the old Velantia.txt is still in place, then drops the marker
// and what was staged: the item file and the texts always belong to one conversion.
void undoSwap(const MasterFiles& m) {
    std::error_code ec;
    // Once the new Velantia.txt is in, the new set is the whole one: the recovery completes it.
    if (!fs::exists(m.freshVelantia, ec)) return;
    if (fs::is_directory(m.old, ec)) {
        if (fs::exists(m.textos, ec) && !fs::exists(m.fresh, ec) &&
            !renameWithRetry(m.textos, m.fresh))
            return;
        if (!fs::exists(m.textos, ec) && !renameWithRetry(m.old, m.textos)) return;
    }
    if (!fs::remove(m.marker, ec) && fs::exists(m.marker, ec)) return;
    rollBack(m);
}

// What a swap that stopped could not rename, in the order the swap renames them.
fs::path stuckOn(const MasterFiles& m) {
    std::error_code ec;
    if (fs::is_directory(m.fresh, ec)) return m.textos;
    if (fs::exists(m.freshVelantia, ec)) return m.velantia;
    return m.marker;
}

std::string cannotReplace(const fs::path& file) {
    return "No se puede sustituir " + file.string() +
           ": otro programa lo tiene abierto o no se puede escribir en él. Los datos anteriores "
           "se conservan.";
}

std::string cannotWrite(const fs::path& file) {
    return "No se puede escribir " + file.string() +
           ": el disco está lleno o no se puede escribir en él. Los datos anteriores se "
           "conservan.";
}

ConversionResult convertMaster(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options) {
    std::error_code ec;
    const MasterFiles m(paths);
    discarder().wait();
    if (!recoverLocked(m)) return failed(cannotReplace(stuckOn(m)));
    if (!fs::create_directory(m.fresh, ec))
        return failed("No se puede crear la carpeta " + m.fresh.string());

    ConversionResult result;
    MasterSink sink(options.today, m.fresh);
    const XmlWalkOutcome walk =
        collect(paths.product("recibido\\" + nombreXML(TipoFichero::Maestro)),
                paths.product("recibido"), TipoFichero::Maestro, sink, options, result.records);
    const std::string textError = sink.finishTexts();
    if (!walk.ok || !textError.empty()) {
        rollBack(m);
        return failed(walk.ok ? textError : walk.error);
    }
    sink.lines.sort();
    // Written and flushed before the marker may say it is complete.
    if (!writeFileBytes(m.freshVelantia, sink.lines.joined(), true) ||
        !flushFolderToDisk(m.fresh)) {
        rollBack(m);
        return failed(cannotWrite(m.velantia));
    }
    faultPoint("swap:staged");
    if (!writeFileAtomic(m.marker, "") || !flushFolderToDisk(m.datos)) {
        fs::remove(m.marker, ec);
        rollBack(m);
        return failed(cannotWrite(m.marker));
    }
    faultPoint("swap:marked");

    // The lookup must not hold the item file while it is replaced.
    if (files) files->closeVelantia();
    // A rename that fails is undone while the marker stands, so that a kill meanwhile is still
    // finished by the recovery; only one that cannot be undone leaves it to the next run.
    if (!rollForward(m, false)) {
        const fs::path stuck = stuckOn(m);
        undoSwap(m);
        return failed(cannotReplace(stuck));
    }
    discardOldTexts(m);

    result.ok = true;
    result.lines = sink.lines.size();
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
    if (std::string error = sink.applyPrices(); !error.empty()) return failed(error);
    result.pricesWritten = sink.pending.size();
    result.ok = true;
    result.lines = sink.lines.size();
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
            return failed(cannotWrite(encuesta));
    }
    result.ok = true;
    result.lines = sink.rows.size();
    return result;
}

} // namespace

void waitForDataCleanup() {
    discarder().wait();
}

bool recoverDataFiles(const Paths& paths) {
    std::error_code ec;
    if (!fs::is_directory(paths.product("datos"), ec)) return true;
    // Every start asks: when nothing lies aside, the share is not bothered with a lock.
    const MasterFiles m(paths);
    bool leftovers = fs::exists(m.marker, ec) || fs::exists(m.fresh, ec) || fs::exists(m.old, ec) ||
                     fs::exists(m.freshVelantia, ec) || !fs::exists(m.textos, ec);
    for (fs::directory_iterator it(m.datos, ec), end; !leftovers && !ec && it != end;
         it.increment(ec))
        leftovers = it->path().filename().string().find(".~") != std::string::npos;
    if (!leftovers) return true;
    OsFileTryLock guard(conversionLockPath(paths));
    // Someone is converting right now: what lies aside is theirs.
    if (!guard.locked()) return false;
    return recoverLocked(m);
}

ConversionResult ConvertirFichero(TipoFichero tipo, const Paths& paths, DataFiles* files,
                                  const ConversionOptions& options) {
    std::error_code ec;
    fs::create_directories(paths.product("datos"), ec);
    OsFileTryLock guard(conversionLockPath(paths));
    if (!guard.locked()) return failed(AnotherConversion);
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

std::string writeProductMaster(const Paths& paths, DataFiles* files, const LineGroups& lines) {
    std::error_code ec;
    fs::create_directories(paths.product("datos"), ec);
    OsFileTryLock guard(conversionLockPath(paths));
    if (!guard.locked()) return AnotherConversion;
    if (files) files->productos().close();
    const fs::path productos = paths.product("datos\\productos.txt");
    return writeFileAtomic(productos, lines.joined()) ? std::string() : cannotWrite(productos);
}

} // namespace vl
