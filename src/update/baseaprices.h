// The new retail prices written back into the pharmacy program's basea, when the pharmacy asks
// for price updates.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "data/lookup.h"

namespace vl::conversion {

class BaseaPrices {
  public:
    // Nothing is written unless `wanted` and basey/basea are open.
    BaseaPrices(DataFiles* files, bool wanted)
        : files_(files), wanted_(wanted && files && files->BaseFilesOpen()) {}

    // Notes `price` for the basea record that basey gives `code`, when that record is of this
    // code; `amount` is the price in millionths. Held back until apply().
    void consider(const std::string& code, long long amount, const std::string& price);

    // Only the 8 price bytes of each record are written; the rest belongs to the pharmacy
    // program. On a failure the old prices are put back: basea never keeps half an update.
    // Empty, or the Spanish reason naming the file.
    std::string apply();

    std::size_t count() const { return pending_.size(); }

  private:
    struct Pending {
        long long n;
        std::string price, old;
    };
    bool write(std::string Pending::*which);

    DataFiles* files_;
    bool wanted_;
    std::vector<Pending> pending_;
};

} // namespace vl::conversion
