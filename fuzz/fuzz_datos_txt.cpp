// config\datos.txt: read, height limits applied, then formatted as the settings window writes
// it and read again: every field survives (minus the characters the format cannot hold).
#include "common.h"

#include "core/config.h"

namespace {

std::string storable(const std::string& v) {
    std::string out;
    for (char c : v)
        if (c != '"' && c != '\r' && c != '\n') out += c;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    const fs::path file = Scratch::root() / "config" / "datos.txt";
    writeBytes(file, asText(data, size));

    vl::Config cfg;
    vl::loadDatosTxt(file, cfg);
    vl::Config limited = cfg;
    vl::applyHeightLimits(limited, 768);
    check(limited.alto_ventana >= vl::MinWindowHeight && limited.alto_ventana <= 768.0f,
          "height outside its limits", std::to_string(limited.alto_ventana));

    char height[32];
    std::snprintf(height, sizeof height, "%.9g", static_cast<double>(limited.alto_ventana));
    vl::DatosTxtLines lines{cfg.n_farmacia, height,
                            cfg.descargar_precios == "1" ? 1 : 0, cfg.frecuencia,
                            cfg.codigo_empresa, cfg.clave};
    // Written as the settings window formats it (saving also syncs, too slow to do per input).
    writeBytes(file, vl::formatDatosTxt(lines));
    vl::Config again;
    vl::loadDatosTxt(file, again);
    check(again.n_farmacia == storable(cfg.n_farmacia), "n_farmacia round trip");
    check(again.frecuencia == storable(cfg.frecuencia), "frecuencia round trip");
    check(again.codigo_empresa == storable(cfg.codigo_empresa), "codigo_empresa round trip");
    check(again.clave == storable(cfg.clave), "clave round trip");
    check(again.alto_ventana == limited.alto_ventana, "height round trip");
    return 0;
}
