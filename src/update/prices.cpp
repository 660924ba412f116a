// Precios.xml into the product lines of datos\\productos.txt, and the price rules.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "core/text.h"
#include "data/records.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "update/baseaprices.h"
#include "update/conversion.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// Skips the blanks before a number and its sign; whether the sign was a minus.
bool leadingSign(std::string_view t, std::size_t& i) {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    return i < t.size() && (t[i] == '-' || t[i] == '+') && t[i++] == '-';
}

// A price text without a comma read as a whole number of hundredths, the point being the Spanish
// thousands separator. Anything else is not a number.
std::optional<long long> hundredthsOf(std::string_view t) {
    std::size_t i = 0;
    const bool neg = leadingSign(t, i);
    long long v = 0;
    int digits = 0;
    bool lastWasDigit = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 17) return std::nullopt;
            v = v * 10 + (c - '0');
            lastWasDigit = true;
        } else if (c == '.' && lastWasDigit) {
            lastWasDigit = false;
        } else {
            break;
        }
    }
    if (digits == 0 || !lastWasDigit) return std::nullopt;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    if (i != t.size()) return std::nullopt;
    return neg ? -v : v;
}

constexpr long long MaxPriceMicros = 999999999999999999LL;

// A received price in millionths of a euro: without a comma in hundredths, with one a decimal
// comma. Not a number: nullopt.
std::optional<long long> priceMicros(std::string_view price) {
    const auto comma = price.find(',');
    if (comma == std::string_view::npos) {
        const auto h = hundredthsOf(price);
        if (!h || *h > MaxPriceMicros / 10000 || *h < -MaxPriceMicros / 10000) return std::nullopt;
        return *h * 10000;
    }
    // A decimal comma: the points before it group thousands, digits after the sixth decimal
    // are below anything a price can tell apart.
    std::size_t i = 0;
    const bool neg = leadingSign(price, i);
    long long whole = 0;
    int digits = 0;
    for (; i < comma; ++i) {
        const char c = price[i];
        if (c >= '0' && c <= '9') {
            whole = whole * 10 + (c - '0');
            if (++digits > 12) return std::nullopt;
        } else if (c != '.' || digits == 0) {
            return std::nullopt;
        }
    }
    long long fraction = 0;
    int decimals = 0;
    for (i = comma + 1; i < price.size() && price[i] >= '0' && price[i] <= '9'; ++i)
        if (decimals < 6) {
            fraction = fraction * 10 + (price[i] - '0');
            ++decimals;
        }
    if (digits == 0 && decimals == 0) return std::nullopt;
    for (; decimals < 6; ++decimals)
        fraction *= 10;
    const long long v = whole * 1000000 + fraction;
    return neg ? -v : v;
}

} // namespace

std::string formatSpanishAmount(long long hundredths) {
    const bool neg = hundredths < 0;
    const unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(hundredths)
                                     : static_cast<unsigned long long>(hundredths);
    const std::string whole = std::to_string(u / 100);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += '.';
        grouped += whole[i];
    }
    const unsigned cents = static_cast<unsigned>(u % 100);
    grouped += ',';
    grouped += static_cast<char>('0' + cents / 10);
    grouped += static_cast<char>('0' + cents % 10);
    return neg ? "(" + grouped + ")" : grouped;
}

std::string normalizePrice(std::string_view price) {
    const auto comma = price.find(',');
    if (comma != std::string_view::npos) {
        std::string t(price);
        t[comma] = '.';
        return RSet(t, 8);
    }
    return RSet(formatSpanishAmount(hundredthsOf(price).value_or(0)), 8);
}

namespace conversion {

namespace {

class PriceSink : public RecordSink {
  public:
    PriceSink(DataFiles* files, bool writePrices) : basea(files, writePrices) {}

    void record(const RecordFields& f) override {
        const std::string& code = f[0];
        // The greater amount in euros; on equal amounts the distributor's price stays.
        const long long nomenclator = priceMicros(f[2]).value_or(0);
        const long long distribuidor = priceMicros(f[3]).value_or(0);
        const std::string price = normalizePrice(nomenclator > distribuidor ? f[2] : f[3]);
        if (code.size() == 6)
            lines.add(withoutLineEnd(ProductRecord::make(code, f[1], price).bytes));
        basea.consider(code, std::max(nomenclator, distribuidor), price);
    }

    LineGroups lines;
    BaseaPrices basea;
};

} // namespace

ConversionResult convertPrices(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options) {
    ConversionResult result;
    PriceSink sink(files, options.descargarPrecios);
    const XmlWalkOutcome walk = collect(paths, TipoFichero::Precios, sink, options, result.records);
    if (!walk.ok) return failed(walk.error);
    sink.lines.sort();
    if (std::string error = sink.basea.apply(); !error.empty()) return failed(error);
    result.pricesWritten = sink.basea.count();
    result.ok = true;
    result.lines = sink.lines.size();
    result.productLines = std::move(sink.lines);
    return result;
}

} // namespace conversion

std::string writeProductMaster(const Paths& paths, DataFiles* files, const LineGroups& lines) {
    using namespace conversion;
    std::error_code ec;
    fs::create_directories(paths.product("datos"), ec);
    OsFileTryLock guard(conversionLockPath(paths));
    if (!guard.locked()) return AnotherConversion;
    if (files) files->productos().close();
    const fs::path productos = paths.product("datos\\productos.txt");
    return writeFileAtomic(productos, lines.joined()) ? std::string() : cannotWrite(productos);
}

} // namespace vl
