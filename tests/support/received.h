// Received XML documents and the folders the conversion reads and writes, for the update tests.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "update/convert.h"

namespace vltest {

inline const std::string Today = "20240615";
inline const std::string Recibido = "quiroles/Velantia/recibido/";
inline const std::string Datos = "quiroles/Velantia/datos/";

using Fields = std::vector<std::pair<std::string, std::string>>;

// One record element with its fields in the order given (values are UTF-8, written verbatim).
inline std::string record(const char* tag, const Fields& fields) {
    std::string x = std::string("  <") + tag + ">";
    for (const auto& [name, value] : fields)
        x += "<" + name + ">" + value + "</" + name + ">";
    return x + "</" + tag + ">\n";
}

inline std::string document(const std::string& body, const std::string& doctype = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype + "<datos>\n" + body +
           "</datos>\n";
}

// A master item in force on Today; `over` replaces fields (an empty value still writes the
// element).
inline std::string item(const std::string& id, const std::string& code, const Fields& over = {}) {
    const char* names[] = {
        "identificador", "codigo",      "tipo_alarma",         "titulo",   "texto",
        "fecha_inicio",  "fecha_final", "fecha_actualizacion", "imprimir", "informacion_anexa",
        "estado"};
    const std::string values[] = {
        id,  code,          "1", "Titulo " + id, "Texto " + id, "20240101", "20241231", "20240102",
        "1", "Anexo " + id, "A"};
    Fields f;
    for (std::size_t i = 0; i < std::size(names); ++i)
        f.emplace_back(names[i], values[i]);
    for (auto& [name, value] : f)
        for (const auto& [o, v] : over)
            if (o == name) value = v;
    return record("item", f);
}

inline std::string price(const std::string& code, const std::string& desc, const std::string& nom,
                         const std::string& dist) {
    return record("producto", {{"codigo_nacional", code},
                               {"descripcion", desc},
                               {"pvp_nomenclator", nom},
                               {"pvp_distribuidor", dist},
                               {"fecha_actualizacion", "20240101"}});
}

// A survey row: group id and text, question id and text, answer id and text, default mark.
inline std::string row(const std::vector<std::string>& v) {
    const char* names[] = {"grupo_pregunta_id", "grupo",     "pregunta_id", "pregunta",
                           "respuesta_id",      "respuesta", "por_defecto"};
    Fields f;
    for (std::size_t i = 0; i < v.size(); ++i)
        f.emplace_back(names[i], v[i]);
    return record("fila", f);
}

inline vl::ConversionResult convertIn(const std::filesystem::path& root, vl::TipoFichero tipo,
                                      vl::DataFiles* files = nullptr, bool prices = false,
                                      std::function<void(int)> progress = {}) {
    vl::ConversionOptions o;
    o.today = Today;
    o.descargarPrecios = prices;
    o.progress = std::move(progress);
    return vl::ConvertirFichero(tipo, vl::Paths(root), files, o);
}

// Master, survey and prices into `root`'s data files, as an update does.
inline std::string convertAll(const std::filesystem::path& root,
                              const std::function<void(int)>& progress = {}) {
    std::string errors;
    for (auto t : {vl::TipoFichero::Maestro, vl::TipoFichero::Encuesta, vl::TipoFichero::Precios}) {
        const auto r =
            convertIn(root, t, nullptr, false, t == vl::TipoFichero::Maestro ? progress : nullptr);
        errors += !r.ok ? r.error
                  : t == vl::TipoFichero::Precios
                      ? vl::writeProductMaster(vl::Paths(root), nullptr, r.productLines)
                      : "";
    }
    vl::waitForDataCleanup();
    return errors.empty() ? "ok" : errors;
}

} // namespace vltest
