// Finding a medicine by national code: the product in the pharmacy-management program's files
// (direct addressing) or in productos.txt (binary search), and the run of its information items
// in Velantia.txt (binary search, then a step back to the first record of the code).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/paths.h"
#include "data/recordfile.h"
#include "data/records.h"

namespace vl {

// Ends the program when a lookup takes longer than a second: a search that slow means a damaged
// data file, and the pharmacist must not be left with a frozen window.
class Watchdog {
public:
    using Clock = std::chrono::steady_clock;
    // `onExpire` defaults to ending the process at once.
    explicit Watchdog(std::function<void()> onExpire = {},
                      std::function<Clock::time_point()> now = {});
    void start();
    // Called before every probe and every forward read.
    void check();

private:
    std::function<void()> onExpire_;
    std::function<Clock::time_point()> now_;
    Clock::time_point started_;
};

// The four files of the lookup and which product source is in use for the run.
class DataFiles {
public:
    explicit DataFiles(Paths paths) : paths_(std::move(paths)) {}

    // Makes Velantia.txt when missing, opens basea and basey; falls back to productos.txt
    // (made when missing) whenever the pharmacy-management files cannot be opened.
    void OpenDataFiles();
    void closeAll();
    // The update closes the item file while it rewrites it.
    void closeVelantia() { velantia_.close(); }

    bool BaseFilesOpen() const { return baseFilesOpen_; }
    // Our own two files are opened when first needed after letGo(); productos.txt, with the
    // pharmacy-management files, serves only the codes their index gets wrong.
    RecordFile& velantia();
    RecordFile& productos();
    RecordFile& basea() { return basea_; }
    RecordFile& basey() { return basey_; }
    const Paths& paths() const { return paths_; }

    // Between medicines our own files are not held: Windows refuses another terminal's update
    // the rename over a file held open, and a handle kept would go on reading the old file.
    void letGo();
    // Another terminal's update is swapping Velantia.txt and the texts (its marker stands).
    bool swapUnderWay() const;
    // Our open files are still the ones their names stand for.
    bool current() const;
    // Asked while a swap is under way, `round` counting from 0: false gives up waiting. The
    // default waits 20 ms a round for 5 s.
    void setSwapWait(std::function<bool(int round)> wait) { swapWait_ = std::move(wait); }
    bool waitForSwap(int round) const;

    // A basey slot that points at another code's basea record: logged once per run.
    void noteStaleIndex(const std::string& code, long long record, const std::string& found);

private:
    Paths paths_;
    bool baseFilesOpen_ = false;
    bool staleIndexLogged_ = false;
    RecordFile velantia_, productos_, basea_, basey_;
    std::function<bool(int)> swapWait_;
};

// What another terminal's update leaves in datos while it swaps the master's files.
inline constexpr const char* SwapMarkerName = "cambio.~listo";

struct ProductLookup {
    long long recordNumber = 0; // 0: not found
    bool fromBase = false;      // found in basea (name 30) rather than productos.txt (40 + price)
    ProductRecord product;
    BaseProductRecord baseProduct;

    bool found() const { return recordNumber > 0; }
    // Code, blank and the description (40) or name (30), padding kept.
    std::string heading() const;
};

ProductLookup findProduct(DataFiles& files, const std::string& code, Watchdog& dog);

// Binary search over records 1..count for a record whose first 6 bytes equal `code`
// (byte-wise comparison); 0 when none.
long long binarySearchCode(const RecordFile& file, const std::string& code, Watchdog& dog);

// Every item record of the code in file order (not yet filtered by date or status).
std::vector<InfoItemRecord> findItemRange(DataFiles& files, const std::string& code,
                                          Watchdog& dog);

// Whether an item is in force on `today` ("20yymmdd") and not withdrawn.
bool itemShown(const InfoItemRecord& item, const std::string& today);

} // namespace vl
