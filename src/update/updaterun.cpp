#include "update/updaterun.h"

#include <optional>
#include <system_error>
#include <vector>

#include "core/dates.h"
#include "core/runlog.h"
#include "core/text.h"
#include "net/https.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "update/conversion.h"
#include "update/convert.h"
#include "update/unzip.h"

namespace vl {

namespace {

struct Step {
    const char* nombreFichero; // shown while it is fetched
    const char* fichero;       // the query's file kind
    TipoFichero tipo;
    const char* failure;
};

constexpr Step Maestro{"Maestro.xml", "farmacia", TipoFichero::Maestro,
                       "No ha podido descargar el archivo Maestro"};
constexpr Step Encuesta{"Encuesta.xml", "encuesta", TipoFichero::Encuesta,
                        "No ha podido descargar el archivo Encuesta"};
constexpr Step Precios{"Precios.xml", "precio", TipoFichero::Precios,
                       "No ha podido descargar el archivo Precios"};

constexpr const char* NoRoom =
    "No se puede guardar lo recibido en la carpeta Recibido: el disco está lleno o no se puede "
    "escribir en él. Los datos anteriores se conservan.";

// The request as the run log shows it: the password, the last key, masked.
std::string withoutClave(std::string url) {
    if (const auto at = url.rfind("&clave="); at != std::string::npos)
        url.replace(at + 7, url.npos, "***");
    return url;
}

enum class Fetch {
    Unpacked, // a fresh package arrived and was unpacked
    Skipped,  // cancelled: the XML already in the received folder is converted
    Failed,   // the run ends with the step's failure message
};

class Run {
  public:
    Run(const Paths& paths, Config& cfg, DataFiles& files, const std::atomic<bool>& cancelled,
        const UpdateCallbacks& cb, const UpdateOptions& options)
        : paths_(paths), cfg_(cfg), files_(files), windowCancelled_(cancelled), cb_(cb),
          options_(options), base_(options.serviceUrl.empty() ? serviceUrl() : options.serviceUrl),
          today_(TodayStamp()) {}

    UpdateEnd run() {
        // Another program converting now: nothing is fetched that could not be converted.
        std::error_code ec;
        std::filesystem::create_directories(paths_.product("Recibido"), ec);
        if (!OsFileTryLock(conversion::conversionLockPath(paths_)).locked()) {
            message(conversion::AnotherConversion);
            return busy();
        }
        if (fetch(Maestro) == Fetch::Failed) return fail(Maestro);
        // The lookup must not hold the item file while it is replaced.
        files_.closeVelantia();
        if (convert(Maestro).busy) return busy();
        // Stamped after every master conversion, also one stopped by a parse error.
        writeFileAtomic(paths_.product("recibido\\actualizado.rec"), shortDateTime() + CRLF);

        if (fetch(Encuesta) == Fetch::Failed) return fail(Encuesta);
        if (convert(Encuesta).busy) return busy();

        const bool wanted = Val(cfg_.descargar_precios) == 1;
        if (wanted || !files_.BaseFilesOpen()) {
            // Without the pharmacy program's files there is no basea to write prices into.
            if (!files_.BaseFilesOpen()) cfg_.descargar_precios = "0";
            if (fetch(Precios) == Fetch::Failed) return fail(Precios);
            files_.OpenDataFiles();
            const ConversionResult r = convert(Precios);
            if (r.busy) return busy();
            if (r.ok) {
                if (const std::string e = writeProductMaster(paths_, &files_, r.productLines);
                    !e.empty()) {
                    note(Precios, e);
                    message(e);
                    if (firstError_.empty()) firstError_ = e;
                }
            }
        }

        // The window says "completada" as ever; the run log says how it really went.
        if (!firstError_.empty())
            ended("Actualización completada con errores: " + firstError_, 1);
        else if (timedOut_)
            ended("Actualización cancelada: no hay respuesta del servidor", 1);
        else if (cancelled()) // also a cancel while the last step's answer was arriving
            ended("Actualización cancelada", 0);
        else
            ended("", 0);
        label13("Actualización completada");
        progress(-1);
        return UpdateEnd::Completed;
    }

  private:
    bool cancelled() {
        if (windowCancelled_.load()) cancelado_ = true;
        return cancelado_;
    }

    Fetch fetch(const Step& step) {
        unpackError_.clear();
        unpacked_.reset();
        standIn_ = false;
        if (cancelled()) return skipped(step);
        if (cb_.phase) cb_.phase("Buscando información");
        label13(step.nombreFichero);
        activity(true);

        const std::string url = downloadUrl(base_, cfg_, step.fichero);
        DownloadOutcome got;
        for (;;) {
            if (cancelled()) {
                activity(false);
                return skipped(step);
            }
            note(step, "petición " + withoutClave(url));
            got = download(url, cb_.transferState, options_.https);
            // Whatever the answer, its status tells the IT person what the service said.
            if (!got.statusText.empty()) note(step, "respuesta " + got.statusText);
            if (got.kind == DownloadOutcome::Kind::Ok) break;
            // A request that ends badly after a cancel passes quietly, like a skipped one.
            if (cancelled()) {
                activity(false);
                return skipped(step);
            }
            if (got.kind == DownloadOutcome::Kind::Timeout) {
                note(step, "no hay respuesta del servidor");
                if (cb_.askRetry && cb_.askRetry("NO HAY RESPUESTA DEL SERVIDOR")) continue;
                cancelado_ = timedOut_ = true;
                activity(false);
                // The package of an earlier run stands in; without one the step has nothing.
                note(step, "cancelada: se descomprime el paquete anterior");
                std::error_code ec;
                if (!std::filesystem::exists(paths_.product("recibido\\software.zip"), ec))
                    return Fetch::Failed;
                standIn_ = true;
                return unpack(step);
            }
            activity(false);
            // The number as ever, then what it means (a refused certificate, for one).
            const std::string error = got.kind == DownloadOutcome::Kind::ConnectFailed
                                          ? "No se puede conectar con el servidor"
                                          : "error " + std::to_string(got.errorNumber) +
                                                (got.detail.empty() ? "" : ": " + got.detail);
            note(step, "ERROR: " + error);
            message(error);
            return Fetch::Failed;
        }
        activity(false);
        note(step, "recibidos " + std::to_string(got.body.size()) + " bytes");

        // Only what this request brought is unpacked: a package that cannot be stored is a
        // failed step, never a reason to fall back on the previous one.
        std::error_code ec;
        std::filesystem::create_directories(paths_.product("Recibido"), ec);
        if (!writeFileAtomic(paths_.product("Recibido\\Software.zip"), got.body)) {
            note(step, std::string("ERROR: ") + NoRoom);
            message(NoRoom);
            return Fetch::Failed;
        }
        return unpack(step);
    }

    Fetch unpack(const Step& step) {
        // A conversion that fails must not make the old data look new (settings window).
        std::error_code ec;
        before_ = std::filesystem::last_write_time(xmlPath(step), ec);
        if (ec) before_.reset();
        unpacked_.emplace();
        const int unzipped = Unzip(paths_.product("recibido\\software.zip"),
                                   paths_.product("Recibido"), UnzipLimit, &unpackError_,
                                   &*unpacked_);
        if (unzipped != 0) note(step, "no se ha podido descomprimir: " + unpackError_);
        // A full disk is no fault of the download: say so before the step's message.
        if (unzipped == UnzipWriteError) message(NoRoom);
        // An answer that is no archive at all is a failed download; a package that came whole
        // but cannot be unpacked says why under the step's message.
        if (unzipped == UnzipWriteError || unzipped == UnzipNotAnArchive) unpackError_.clear();
        if (unzipped != 0) return Fetch::Failed;
        return Fetch::Unpacked;
    }

    std::filesystem::path xmlPath(const Step& step) const {
        return paths_.product("Recibido\\" + nombreXML(step.tipo));
    }

    // A package without the step's file: a file of that name left by an earlier run would be
    // converted again in its place.
    std::optional<std::string> missingFile(const Step& step) const {
        if (!unpacked_) return std::nullopt;
        std::string found;
        for (const std::string& name : *unpacked_) {
            if (lowerCp1252(name) == lowerCp1252(nombreXML(step.tipo))) return std::nullopt;
            found += (found.empty() ? "" : ", ") + name;
        }
        return std::string(standIn_ ? "El paquete anterior" : "El paquete recibido") +
               " no contiene " + step.nombreFichero + " (contiene: " + found +
               "); los datos anteriores se conservan.";
    }

    ConversionResult convert(const Step& step) {
        if (cb_.converting) cb_.converting(nombreXML(step.tipo));
        label13("Procesando datos.");
        ConversionOptions o;
        o.today = today_;
        o.descargarPrecios = Val(cfg_.descargar_precios) == 1;
        o.progress = cb_.conversionProgress;
        const std::optional<std::string> missing = missingFile(step);
        ConversionResult r;
        if (missing)
            r.error = *missing;
        else
            r = ConvertirFichero(step.tipo, paths_, &files_, o);
        progress(-1);
        if (!r.ok && !missing && before_ && unpacked_) {
            std::error_code ec;
            std::filesystem::last_write_time(xmlPath(step), *before_, ec);
        }
        // The package that stood in for a cancelled request (another step's, as a rule) passes
        // quietly: the pharmacist chose to go without this step.
        const bool quiet = missing && standIn_;
        if (!r.ok && !r.busy && !quiet && firstError_.empty()) firstError_ = r.error;
        note(step, r.ok ? "convertido: registros leídos: " + std::to_string(r.records) +
                              ", líneas escritas: " + std::to_string(r.lines) +
                              (step.tipo == TipoFichero::Maestro
                                   ? ", textos: " + std::to_string(r.textFiles)
                                   : std::string()) +
                              (step.tipo == TipoFichero::Precios
                                   ? ", precios en basea: " + std::to_string(r.pricesWritten)
                                   : std::string())
                        : "ERROR al convertir: " + r.error);
        // The run goes on with the next step; the files of this one stay as they were.
        if (!r.ok && !quiet) message(r.error);
        return r;
    }

    UpdateEnd fail(const Step& step) {
        // The step's failure text stands as it is; the reason goes on a line of its own, and in
        // the one-line log after a full stop.
        const std::string failure(step.failure), reason =
            unpackError_.empty() ? std::string()
                                 : "El paquete recibido no se ha podido descomprimir: " + unpackError_;
        ended("Actualización terminada con error: " + failure + (reason.empty() ? "" : ". " + reason),
              1);
        message(reason.empty() ? failure : failure + "\n" + reason);
        return UpdateEnd::Failed;
    }

    // Another program converts: this run stops, its message already shown.
    UpdateEnd busy() {
        ended(std::string("Actualización terminada con error: ") + conversion::AnotherConversion,
              1);
        return UpdateEnd::Failed;
    }

    // The run's last log line, and what the run log's end line will say of it.
    void ended(const std::string& how, int exitCode) const {
        runlog::log(how.empty() ? "Actualización completada" : how);
        runlog::noteOutcome(how, exitCode);
    }

    Fetch skipped(const Step& step) const {
        note(step, "cancelada: se convierte lo que ya había en Recibido");
        return Fetch::Skipped;
    }

    void note(const Step& step, const std::string& what) const {
        runlog::log("Actualización " + std::string(step.nombreFichero) + ": " + what);
    }

    void label13(const std::string& t) const {
        if (cb_.label13) cb_.label13(t);
    }
    void activity(bool on) const {
        if (cb_.activity) cb_.activity(on);
    }
    void progress(int v) const {
        if (cb_.conversionProgress) cb_.conversionProgress(v);
    }
    void message(const std::string& t) const {
        if (cb_.message) cb_.message(t);
    }

    const Paths& paths_;
    Config& cfg_;
    DataFiles& files_;
    const std::atomic<bool>& windowCancelled_;
    const UpdateCallbacks& cb_;
    const UpdateOptions& options_;
    const std::string base_;
    const std::string today_;
    bool cancelado_ = false;  // the user cancelled or refused a retry: no further request
    bool timedOut_ = false;   // ... after the service did not answer
    bool standIn_ = false;    // this step unpacked the package of an earlier request
    std::string unpackError_; // why the last package could not be unpacked
    std::optional<std::vector<std::string>> unpacked_; // files of this step's package
    std::optional<std::filesystem::file_time_type> before_; // the step's file's date before
    std::string firstError_;  // the first conversion failure shown
};

} // namespace

UpdateEnd runUpdate(const Paths& paths, Config& cfg, DataFiles& files,
                    const std::atomic<bool>& cancelled, const UpdateCallbacks& cb,
                    const UpdateOptions& options) {
    return Run(paths, cfg, files, cancelled, cb, options).run();
}

} // namespace vl
