// config\datos.txt: read, height limits applied, then formatted as the settings window writes
// it and read again: every field survives (minus the characters the format cannot hold). The
// same bytes as config\encuesta.for and quiroles\tipoconect, read the same way: a 16-bit value.
#include "common.h"

#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    const fs::path file = scratch() / "config" / "datos.txt";
    writeBytes(file, asText(data, size));

    vl::Config cfg;
    vl::loadDatosTxt(file, cfg);
    check(readBytes(file) == asText(data, size), "reading changed the file");
    const auto tipo = vl::readTipoConexion(file);
    if (const auto sw = vl::readSurveySwitch(file))
        check(*sw >= -32768 && *sw <= 32767 && tipo == *sw, "switch and tipoconect",
              std::to_string(*sw));
    // Only the first line of a field ever makes its value: no line end in one (lone CR too).
    for (const std::string* v : {&cfg.n_farmacia, &cfg.descargar_precios, &cfg.frecuencia,
                                 &cfg.codigo_empresa, &cfg.clave})
        check(v->find_first_of("\r\n") == std::string::npos, "line end in a value", *v);
    vl::Config limited = cfg;
    vl::applyHeightLimits(limited, 768);
    check(limited.alto_ventana >= vl::MinWindowHeight && limited.alto_ventana <= 768.0f,
          "height outside its limits", std::to_string(limited.alto_ventana));

    char height[32];
    std::snprintf(height, sizeof height, "%.9g", static_cast<double>(limited.alto_ventana));
    vl::DatosTxtLines lines{
        cfg.n_farmacia,     height,   cfg.descargar_precios == "1" ? 1 : 0, cfg.frecuencia,
        cfg.codigo_empresa, cfg.clave};
    // Written as the settings window formats it (saving also syncs, too slow to do per input).
    writeBytes(file, vl::formatDatosTxt(lines));
    vl::Config again;
    vl::loadDatosTxt(file, again);
    // The format cannot hold a double quote: it is dropped.
    for (auto field : {&vl::Config::n_farmacia, &vl::Config::frecuencia,
                       &vl::Config::codigo_empresa, &vl::Config::clave}) {
        std::string want = cfg.*field;
        std::erase(want, '"');
        check(again.*field == want, "round trip", want);
    }
    check(again.alto_ventana == limited.alto_ventana, "height round trip");
    return 0;
}
