// Maestro.xml into the item lines of datos\Velantia.txt and one text file per identifier.

#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/runlog.h"
#include "core/text.h"
#include "data/records.h"
#include "platform/fileio.h"
#include "update/conversion.h"
#include "update/dataswap.h"

namespace vl {

namespace fs = std::filesystem;

namespace {

// Decimal text of a number as the old runtime printed it: integers without a fraction.
std::string decimalText(double v) {
    if (std::trunc(v) == v && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

} // namespace

std::string textIdentifier(std::string_view identificador) {
    const std::string sum = decimalText(Val(RSet(identificador, 6)) + 1000000.0);
    return sum.size() > 6 ? sum.substr(sum.size() - 6) : sum;
}

bool itemInForce(std::string_view estado, std::string_view fechaInicio, std::string_view fechaFinal,
                 std::string_view today) {
    if (estado != "A") return false;
    if (today < fechaInicio) return false;
    return !(today > fechaFinal) || Val(fechaFinal) == 0;
}

namespace conversion {

namespace {

// Creating thousands of small files costs more than parsing them: a thread of its own writes
// them while the walk goes on. The queue is bounded, so memory stays flat on any file.
// A text the same as in the texts in use becomes a second name of that file: thousands of new
// files, and the deletion of as many old ones after the swap, cost the file system far more
// than reading them. Nothing ever writes a text file in place, so a shared file stays as it is.
class TextWriter {
  public:
    TextWriter(fs::path folder, const fs::path& current)
        : folder_(std::move(folder)), linker_(current, folder_), thread_([this] { run(); }) {}
    ~TextWriter() { finish(); }

    // `again`: the name was written before in this conversion (its file may be shared).
    void write(std::string name, std::string bytes, bool again = false) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return queue_.size() < MaxQueued; });
        queue_.push_back({std::move(name), std::move(bytes), again});
        ready_.notify_one();
    }

    // Waits for every queued file; the name of the first one that could not be written.
    std::optional<fs::path> finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            ready_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
        return failed_;
    }

    std::size_t written() const { return written_; }

  private:
    static constexpr std::size_t MaxQueued = 1024;

    struct Job {
        std::string name, bytes;
        bool again;
    };

    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
            }
            if (failed_) continue; // the conversion is lost anyway; just drain
            const fs::path file = folder_ / job.name;
            std::error_code ec;
            if (job.again) fs::remove(file, ec);
            if ((!job.again && linker_.linkIfSame(job.name, job.bytes)) ||
                writeFileBytes(file, job.bytes))
                ++written_;
            else
                failed_ = file;
        }
    }

    fs::path folder_;
    FolderLinker linker_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Job> queue_;
    bool done_ = false;
    std::optional<fs::path> failed_; // only the writer thread touches it before the join
    std::size_t written_ = 0;
    std::thread thread_;
};

class MasterSink : public RecordSink {
  public:
    MasterSink(std::string today, const fs::path& folder, const fs::path& current)
        : today_(std::move(today)), writer_(folder, current) {}

    void record(const RecordFields& f) override {
        if (!itemInForce(f[10], f[5], f[6], today_)) return;
        // Cut to the line's 6 characters, a longer code would be another medicine's; blanks
        // after them are no part of it.
        if (f[1].find_first_not_of(" \t\r\n", 6) != std::string::npos) {
            if (++skipped <= NamedSkips)
                skippedCodes += (skipped > 1 ? ", " : "") + f[1].substr(0, 20);
            return;
        }
        const std::string id = textIdentifier(f[0]);
        lines.add(withoutLineEnd(
            InfoItemRecord::make(f[1], f[2], id, f[7], f[5], f[6], f[10], f[8]).bytes));
        // Several medicines share one text: consecutive records with the same identifier
        // write it once.
        if (id == lastId_) return;
        lastId_ = id;
        std::string text =
            "\"" + f[3] + "\"" + CRLF + "\"" + f[4] + "\"" + CRLF + "\"" + f[9] + "\"" + CRLF;
        const std::size_t hash = std::hash<std::string>{}(text);
        const auto [seen, first] = onDisk_.try_emplace(id, hash);
        if (first) {
            writer_.write(id + ".txt", std::move(text));
            return;
        }
        // The identifier comes back after others (a master sorted by code): the file ends with
        // the text of its last run, written once at the end instead of at every return.
        if (seen->second == hash)
            later_.erase(id);
        else
            later_[id] = std::move(text);
    }

    // Every text on disk, or the Spanish reason why not.
    std::string finishTexts() {
        for (auto& [id, text] : later_)
            writer_.write(id + ".txt", std::move(text), true);
        later_.clear();
        const std::optional<fs::path> failed = writer_.finish();
        textFiles = onDisk_.size();
        if (!failed) return {};
        return "No se puede escribir el texto " + failed->filename().string() +
               ": el disco está lleno o no se puede escribir en él. Los datos anteriores se "
               "conservan.";
    }

    LineGroups lines;
    std::size_t textFiles = 0;
    static constexpr std::size_t NamedSkips = 10;
    std::size_t skipped = 0;  // records in force left out for their code
    std::string skippedCodes; // the first NamedSkips of those codes (Windows-1252)

  private:
    std::string today_;
    std::string lastId_;
    std::unordered_map<std::string, std::size_t> onDisk_; // identifier: hash of its first text
    std::map<std::string, std::string> later_;            // identifier: text replacing it
    TextWriter writer_;
};

} // namespace

ConversionResult convertMaster(const Paths& paths, DataFiles* files,
                               const ConversionOptions& options) {
    MasterSwap swap(paths);
    if (std::string error = swap.prepare(); !error.empty()) return failed(error);

    ConversionResult result;
    MasterSink sink(options.today, swap.newTexts(), swap.currentTexts());
    const XmlWalkOutcome walk = collect(paths, TipoFichero::Maestro, sink, options, result.records);
    const std::string textError = sink.finishTexts();
    if (!walk.ok || !textError.empty()) {
        swap.abandon();
        return failed(walk.ok ? textError : walk.error);
    }
    sink.lines.sort();
    if (std::string error = swap.stage(sink.lines.joined()); !error.empty()) return failed(error);
    if (std::string error = swap.commit(files); !error.empty()) return failed(error);

    result.ok = true;
    result.lines = sink.lines.size();
    result.textFiles = sink.textFiles;
    if (sink.skipped > 0)
        runlog::log("Maestro.xml: " +
                    std::string(sink.skipped == 1 ? "omitido 1 registro vigente"
                                                  : "omitidos " + std::to_string(sink.skipped) +
                                                        " registros vigentes") +
                    " con un código nacional de más de 6 caracteres: " +
                    fromCp1252(sink.skippedCodes) + (sink.skipped > sink.NamedSkips ? "…" : ""));
    return result;
}

} // namespace conversion

} // namespace vl
