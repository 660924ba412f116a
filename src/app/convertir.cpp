// velantia-convertir: converts the XML files of a drive root's received folder into the local
// data files, exactly as an update does. Lays the demo root and helps to check received files
// by hand, without the windows.
//
//   velantia-convertir ROOT        (VELANTIA_TODAY=yyyymmdd pins the day items are judged on)
//   velantia-convertir --version
#include <cstdio>
#include <string>
#include <vector>

#include "core/dates.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/version.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "update/convert.h"

namespace {

int usage() {
    std::fprintf(stderr, "uso: velantia-convertir RAIZ\n"
                         "     velantia-convertir --version\n"
                         "Convierte RAIZ/quiroles/Velantia/recibido/{Maestro,Encuesta,Precios}.xml\n"
                         "en los ficheros de RAIZ/quiroles/Velantia/datos/.\n");
    return 2;
}

bool report(const char* name, const vl::ConversionResult& r, const std::string& detail) {
    if (!r.ok) {
        std::fprintf(stderr, "%s: error: %s\n", name, r.error.c_str());
        vl::runlog::log(std::string(name) + ": error: " + r.error);
        return false;
    }
    std::printf("%s: %zu registros leídos, %s\n", name, r.records, detail.c_str());
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    if (vl::printVersionIfAsked(argc, argv, "velantia-convertir")) return 0;
    // Read wide on Windows: the ANSI argv drops letters such as € from a folder's name.
    const std::vector<std::string> args = vl::commandLineArguments(argc, argv);
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') return usage();
    const std::string today = vl::TodayStamp();
    const vl::Paths paths{vl::fs::path(std::u8string(args[0].begin(), args[0].end()))};
    vl::ConversionOptions options;
    options.today = today;
    bool ok = true;
    // What an update would log (records skipped, say) goes to the same run log.
    vl::runlog::start(paths, "", "velantia-convertir " + args[0]);

    // The same order as an update: master, survey, prices.
    const auto master = vl::ConvertirFichero(vl::TipoFichero::Maestro, paths, nullptr, options);
    ok &= report("Maestro.xml", master,
                 std::to_string(master.lines) + " fichas vigentes el " + today + ", " +
                     std::to_string(master.textFiles) + " textos escritos");

    const auto survey = vl::ConvertirFichero(vl::TipoFichero::Encuesta, paths, nullptr, options);
    ok &= report("Encuesta.xml", survey, std::to_string(survey.lines) + " filas de encuesta");

    const auto prices = vl::ConvertirFichero(vl::TipoFichero::Precios, paths, nullptr, options);
    if (prices.ok) {
        if (const std::string e = vl::writeProductMaster(paths, nullptr, prices.productLines);
            !e.empty()) {
            std::fprintf(stderr, "Precios.xml: error: %s\n", e.c_str());
            vl::runlog::log("Precios.xml: error: " + e);
            return vl::runlog::end(1);
        }
    }
    ok &= report("Precios.xml", prices, std::to_string(prices.lines) + " productos");

    if (!vl::runlog::currentPath().empty())
        std::printf("Registro: %s\n", vl::utf8Path(vl::runlog::currentPath()).c_str());
    return vl::runlog::end(ok ? 0 : 1);
}
