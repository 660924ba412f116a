#include "update/convert.h"

using namespace vl;

// Master, survey and prices, in the order of an update.
int convertAll(const Paths& paths, const std::string& today, void (*ready)()) {
    ConversionOptions o;
    o.today = today;
    ready();
    bool ok = ConvertirFichero(TipoFichero::Maestro, paths, nullptr, o).ok;
    ok = ConvertirFichero(TipoFichero::Encuesta, paths, nullptr, o).ok && ok;
    const ConversionResult prices = ConvertirFichero(TipoFichero::Precios, paths, nullptr, o);
    ok = prices.ok && writeProductMaster(paths, nullptr, prices.productLines) && ok;
    return ok ? 0 : 6;
}
