// The conversion of a received XML file: which file and fields each kind has, the walk that
// collects one record at a time, and the dispatch to the kind's own conversion.
#include "update/convert.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "core/text.h"
#include "platform/oslock.h"
#include "update/conversion.h"

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

namespace conversion {

std::string withoutLineEnd(std::string record) {
    record.resize(record.size() - 2);
    return record;
}

namespace {

bool knownRoot(TipoFichero tipo, std::string_view root) {
    std::string lower(root);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string own = nombreXML(tipo);
    own = own.substr(0, own.find('.'));
    for (char& c : own)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == own || lower == "datos";
}

} // namespace

// Collects the field values of one record at a time and hands each completed record on.
XmlWalkOutcome collect(const Paths& paths, TipoFichero tipo, RecordSink& sink,
                       const ConversionOptions& options, std::size_t& records) {
    const auto& names = camposXML(tipo);
    RecordFields values(names.size());
    bool started = false;
    auto onField = [&](std::size_t i, std::string_view utf8) {
        // The key element opens a new record; the one collected so far is complete.
        if (i == 0 && started) {
            sink.record(values);
            ++records;
            values.clear();
        }
        values.set(i, utf8);
        started = true;
    };
    XmlWalkOutcome out = walkXmlFields(paths.product("recibido\\" + nombreXML(tipo)),
                                       paths.product("recibido"), names, onField, options.progress);
    // A well-formed page that is no data file (a server's error page saved in its place) must
    // not pass for an empty list and wipe the data: a file with none of the kind's fields
    // needs a root element the service uses.
    if (out.ok && out.fieldElements == 0 && !knownRoot(tipo, out.root)) {
        out.ok = false;
        out.error = nombreXML(tipo) + ": no es un fichero de datos de Velantia (su elemento raíz es <" +
                    out.root + ">; quizá una página de error del servidor). Los datos "
                    "anteriores se conservan.";
        return out;
    }
    // The record still open when the document ends is complete too.
    if (out.ok && started) {
        sink.record(values);
        ++records;
    }
    return out;
}

const std::string& RecordFields::operator[](std::size_t i) const {
    if (!done_[i]) {
        assignCp1252(converted_[i], received_[i]);
        done_[i] = 1;
    }
    return converted_[i];
}

void RecordFields::set(std::size_t i, std::string_view utf8) {
    received_[i].assign(utf8);
    done_[i] = 0;
}

void RecordFields::clear() {
    for (auto& r : received_)
        r.clear();
    std::fill(done_.begin(), done_.end(), 0);
}

ConversionResult failed(std::string error) {
    ConversionResult r;
    r.error = std::move(error);
    return r;
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

} // namespace conversion

ConversionResult ConvertirFichero(TipoFichero tipo, const Paths& paths, DataFiles* files,
                                  const ConversionOptions& options) {
    using namespace conversion;
    std::error_code ec;
    fs::create_directories(paths.product("datos"), ec);
    OsFileTryLock guard(conversionLockPath(paths));
    if (!guard.locked()) {
        ConversionResult r = failed(AnotherConversion);
        r.busy = true;
        return r;
    }
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

} // namespace vl
