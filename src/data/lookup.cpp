#include "data/lookup.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/runlog.h"
#include "core/text.h"
#include "platform/process.h"

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
    if (!onExpire_) onExpire_ = [] { hardExit(3); };
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
    velantia();
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
    productos_.close();
    if (!baseFilesOpen_) {
        basea_.close();
        basey_.close();
        productos();
    }
    // Made when missing, held only while a medicine is looked up.
    letGo();
}

RecordFile& DataFiles::velantia() {
    if (!velantia_.isOpen())
        velantia_.open(paths_.product("datos\\Velantia.txt"), InfoItemRecord::Length,
                       RecordFile::Create::IfMissing);
    return velantia_;
}

void DataFiles::letGo() {
    velantia_.close();
    productos_.close();
}

bool DataFiles::swapUnderWay() const {
    std::error_code ec;
    return std::filesystem::exists(paths_.product("datos") / SwapMarkerName, ec);
}

bool DataFiles::current() const {
    return (!velantia_.isOpen() || velantia_.isCurrent()) &&
           (!productos_.isOpen() || productos_.isCurrent());
}

bool DataFiles::waitForSwap(int round) const {
    if (swapWait_) return swapWait_(round);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return round < 250;
}

RecordFile& DataFiles::productos() {
    if (!productos_.isOpen())
        productos_.open(paths_.product("datos\\productos.txt"), ProductRecord::Length,
                        RecordFile::Create::IfMissing);
    return productos_;
}

void DataFiles::noteStaleIndex(const std::string& code, long long record,
                               const std::string& found) {
    if (std::exchange(staleIndexLogged_, true)) return;
    runlog::log("basey desactualizado: el código " + code + " lleva al registro " +
                std::to_string(record) + " de basea, que es del código " + found +
                "; se busca en productos.txt (solo se anota la primera vez)");
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

namespace {

ProductLookup searchProductos(DataFiles& files, const std::string& code, Watchdog& dog) {
    ProductLookup result;
    const long long n = binarySearchCode(files.productos(), code, dog);
    if (n > 0) {
        result.recordNumber = n;
        result.product = ProductRecord::fromBytes(files.productos().read(n));
    }
    return result;
}

} // namespace

ProductLookup findProduct(DataFiles& files, const std::string& code, Watchdog& dog) {
    ProductLookup result;
    if (!files.BaseFilesOpen()) return searchProductos(files, code, dog);

    // basey is addressed directly by the first five digits; the sixth picks the slot.
    const long long indexRecord = recordNumberOf(part(code, 0, 5));
    if (indexRecord <= 0) return result;
    const int slot = static_cast<int>(Val(part(code, 5, 1)));
    const auto index = BaseIndexRecord::fromBytes(files.basey().read(indexRecord));
    const long long n = index.slot(slot);
    // A slot beyond the end of basea is a stale index, not a blank product.
    if (n <= 0 || n > files.basea().count()) return result;
    auto base = BaseProductRecord::fromBytes(files.basea().read(n));
    // A stale index must not put another product's name above this medicine's items.
    if (base.code() != code) {
        files.noteStaleIndex(code, n, base.code());
        return searchProductos(files, code, dog);
    }
    result.recordNumber = n;
    result.fromBase = true;
    result.baseProduct = std::move(base);
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
    const long long found = binarySearchCode(file, code, dog);
    if (found <= 0) return items;

    // The search lands on any record of the run. The records around it come in one read (on a
    // slow share every read costs a round trip); a longer run takes another block each time.
    constexpr long long Block = 32;
    const long long len = static_cast<long long>(InfoItemRecord::Length);
    const long long last = std::max(file.count(), found);
    long long lo = std::max(1LL, found - Block + 1), hi = std::min(last, found + Block);
    dog.check();
    std::string block = file.readRecords(lo, hi - lo + 1);
    auto codeAt = [&](long long n) {
        return block.compare(static_cast<std::size_t>((n - lo) * len), CodeWidth, code) == 0;
    };
    if (!codeAt(found)) return items; // replaced meanwhile
    long long first = found, end = found;
    for (;;) {
        while (first > lo && codeAt(first - 1))
            --first;
        while (end < hi && codeAt(end + 1))
            ++end;
        const bool before = first == lo && lo > 1, after = end == hi && hi < last;
        if (!before && !after) break;
        dog.check();
        if (before) {
            const long long from = std::max(1LL, lo - Block);
            block = file.readRecords(from, lo - from) + block;
            lo = from;
        } else {
            const long long to = std::min(last, hi + Block);
            block += file.readRecords(hi + 1, to - hi);
            hi = to;
        }
    }
    for (long long n = first; n <= end; ++n)
        items.push_back(InfoItemRecord::fromBytes(
            std::string_view(block).substr(static_cast<std::size_t>((n - lo) * len), len)));
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
