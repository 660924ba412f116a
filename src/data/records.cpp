#include "data/records.h"

#include <cmath>

#include "core/text.h"

namespace vl {

namespace {

// A short source (the tail of a damaged file) reads as blanks, like a record past the end.
std::string fitRecord(std::string_view raw, std::size_t length) {
    std::string out(raw.substr(0, length));
    out.resize(length, ' ');
    return out;
}

} // namespace

InfoItemRecord InfoItemRecord::fromBytes(std::string_view raw) {
    InfoItemRecord r;
    r.bytes = fitRecord(raw, Length);
    return r;
}

InfoItemRecord InfoItemRecord::make(std::string_view code, std::string_view level,
                                    std::string_view textId, std::string_view updated,
                                    std::string_view start, std::string_view end,
                                    std::string_view status, std::string_view print) {
    InfoItemRecord r;
    r.bytes = LSet(code, 6) + LSet(level, 1) + LSet(textId, 6) + LSet(updated, 8) + LSet(start, 8) +
              LSet(end, 8) + LSet(status, 1) + LSet(print, 1) + CRLF;
    return r;
}

ProductRecord ProductRecord::fromBytes(std::string_view raw) {
    ProductRecord r;
    r.bytes = fitRecord(raw, Length);
    return r;
}

ProductRecord ProductRecord::make(std::string_view code, std::string_view description,
                                  std::string_view price) {
    ProductRecord r;
    r.bytes = LSet(code, 6) + LSet(description, 40) + RSet(price, 8) + CRLF;
    return r;
}

long long BaseIndexRecord::slot(int slot) const {
    if (slot < 0 || slot >= Slots) return 0;
    const double v = Val(slotText(slot));
    // Anything that cannot be a record number in basea means "no product".
    if (!(v >= 1.0) || v > 9e15) return 0;
    return static_cast<long long>(std::trunc(v));
}

BaseIndexRecord BaseIndexRecord::fromBytes(std::string_view raw) {
    BaseIndexRecord r;
    r.bytes = fitRecord(raw, Length);
    return r;
}

BaseProductRecord BaseProductRecord::fromBytes(std::string_view raw) {
    BaseProductRecord r;
    r.bytes = fitRecord(raw, Length);
    return r;
}

} // namespace vl
