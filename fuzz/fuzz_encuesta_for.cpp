// config\encuesta.for and quiroles\tipoconect: the first line as a 16-bit value. Both files are
// read the same way, so wherever the switch has a value the connection type agrees with it.
#include "common.h"

#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    const fs::path file = Scratch::root() / "config" / "encuesta.for";
    writeBytes(file, asText(data, size));
    const auto sw = vl::readSurveySwitch(file);
    if (sw) check(*sw >= -32768 && *sw <= 32767, "switch outside 16 bits");

    const fs::path tipo = Scratch::root() / "tipoconect";
    writeBytes(tipo, asText(data, size));
    const auto t = vl::readTipoConexion(tipo);
    if (sw) check(t && *t == *sw, "tipoconect and encuesta.for disagree");
    return 0;
}
