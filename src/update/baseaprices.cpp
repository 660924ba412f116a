#include "update/baseaprices.h"

#include <cmath>
#include <cstdio>

#include "core/text.h"
#include "data/records.h"
#include "platform/fileio.h"

namespace vl::conversion {

void BaseaPrices::consider(const std::string& code, long long amount, const std::string& price) {
    // 0,50 sent as 50 is a price too, although its text reads 0 by numeric value.
    if (!wanted_ || amount <= 0 || !(Val(code) > 100000)) return;
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
    if (product.code() == code) pending_.push_back({n, price, product.price()});
}

std::string BaseaPrices::apply() {
    if (pending_.empty()) return {};
    if (write(&Pending::price)) return {};
    write(&Pending::old);
    return "No se pueden escribir los precios en " + files_->basea().path().string() +
           ": el fichero no se puede abrir para escribir, está bloqueado o el disco está "
           "lleno. Los precios anteriores se conservan.";
}

bool BaseaPrices::write(std::string Pending::*which) {
    std::FILE* f = openFile(files_->basea().path(), "r+b");
    if (!f) return false;
    bool ok = true;
    for (const Pending& p : pending_) {
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

} // namespace vl::conversion
