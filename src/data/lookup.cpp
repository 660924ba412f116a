#include "data/lookup.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "core/text.h"

namespace vl {

namespace {

constexpr std::size_t CodeWidth = 6;

// Record numbers come from text: truncated, anything absurd is "none".
long long recordNumberOf(std::string_view text) {
    const double v = Val(text);
    if (!(v >= 1.0) || v > 9e15) return 0;
    return static_cast<long long>(std::trunc(v));
}

std::string_view part(const std::string& s, std::size_t pos, std::size_t n) {
    if (pos >= s.size()) return {};
    return std::string_view(s).substr(pos, n);
}

} // namespace

Watchdog::Watchdog(std::function<void()> onExpire, std::function<Clock::time_point()> now)
    : onExpire_(std::move(onExpire)), now_(std::move(now)) {
    // No message and no orderly finish: a frozen lookup must not hold the pharmacist up.
    if (!onExpire_) onExpire_ = [] { std::_Exit(3); };
    if (!now_) now_ = [] { return Clock::now(); };
    started_ = now_();
}

void Watchdog::start() {
    started_ = now_();
}

void Watchdog::check() {
    if (now_() - started_ > std::chrono::seconds(1)) onExpire_();
}

void DataFiles::OpenDataFiles() {
    velantia_.close();
    velantia_.open(paths_.product("datos\\Velantia.txt"), InfoItemRecord::Length,
                   RecordFile::Create::IfMissing);

    // The pharmacy-management program's files are only read here: never create them in its
    // folder, a missing pair means we fall back to our own product master.
    basea_.close();
    basey_.close();
    const bool a =
        basea_.open(paths_.orbal("basea"), BaseProductRecord::Length, RecordFile::Create::Never);
    const bool y =
        a && basey_.open(paths_.orbal("basey"), BaseIndexRecord::Length, RecordFile::Create::Never);
    // Decided anew at every reopen, as at start-up: a pair that is briefly missing or locked
    // during the pharmacy program's own update must not leave the lookup without products.
    baseFilesOpen_ = a && y;
    if (!baseFilesOpen_) {
        basea_.close();
        basey_.close();
        productos_.close();
        productos_.open(paths_.product("datos\\productos.txt"), ProductRecord::Length,
                        RecordFile::Create::IfMissing);
    }
}

void DataFiles::closeAll() {
    velantia_.close();
    productos_.close();
    basea_.close();
    basey_.close();
}

std::string ProductLookup::heading() const {
    if (fromBase) return baseProduct.code() + " " + baseProduct.name();
    return product.code() + " " + product.description();
}

ProductLookup findProduct(DataFiles& files, const std::string& code, Watchdog& dog) {
    ProductLookup result;
    if (!files.BaseFilesOpen()) {
        const long long n = binarySearchCode(files.productos(), code, dog);
        if (n > 0) {
            result.recordNumber = n;
            result.product = ProductRecord::fromBytes(files.productos().read(n));
        }
        return result;
    }

    // basey is addressed directly by the first five digits; the sixth picks the slot.
    const long long indexRecord = recordNumberOf(part(code, 0, 5));
    if (indexRecord <= 0) return result;
    const int slot = static_cast<int>(Val(part(code, 5, 1)));
    const auto index = BaseIndexRecord::fromBytes(files.basey().read(indexRecord));
    const long long n = index.slot(slot);
    // A slot beyond the end of basea is a stale index, not a blank product.
    if (n <= 0 || n > files.basea().count()) return result;
    result.recordNumber = n;
    result.fromBase = true;
    result.baseProduct = BaseProductRecord::fromBytes(files.basea().read(n));
    return result;
}

long long binarySearchCode(const RecordFile& file, const std::string& code, Watchdog& dog) {
    long long lo = 1;
    long long hi = file.count();
    while (lo <= hi) {
        dog.check();
        const long long mid = lo + (hi - lo) / 2;
        const std::string rec = file.read(mid);
        // std::string compares bytes as unsigned char, so "9" < "A" < "a" < "\xD1".
        const int c = std::string_view(rec).substr(0, CodeWidth).compare(code);
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return 0;
}

std::vector<InfoItemRecord> findItemRange(DataFiles& files, const std::string& code,
                                          Watchdog& dog) {
    std::vector<InfoItemRecord> items;
    RecordFile& file = files.velantia();
    long long n = binarySearchCode(file, code, dog);
    if (n <= 0) return items;

    // The search lands on any record of the run; its first record is where the items begin.
    while (n > 1 && file.read(n - 1).compare(0, CodeWidth, code) == 0)
        --n;

    const long long last = file.count();
    for (;; ++n) {
        dog.check();
        if (n > last) break;
        auto rec = InfoItemRecord::fromBytes(file.read(n));
        if (rec.code() != code) break;
        items.push_back(std::move(rec));
    }
    return items;
}

bool itemShown(const InfoItemRecord& item, const std::string& today) {
    const std::string end = item.endDate();
    // An end date of zeros or blanks means the item never expires.
    if (Val(end) > 0 && today > end) return false;
    // A blank start sorts before every date, so it is always in force.
    if (today < item.startDate()) return false;
    return item.status() != 'B';
}

} // namespace vl
