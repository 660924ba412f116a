// The update run: fetch the master, survey and price packages from the service, unpack each
// and convert what came out. Runs off the window's thread; the window answers through the
// callbacks (they may block for a question) and shows what they report.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/config.h"
#include "core/paths.h"
#include "data/lookup.h"

namespace vl {

// The address of one download: the service URL with the query keys in their fixed order; the
// configured values percent-encoded where they would change the address.
std::string downloadUrl(const std::string& serviceUrl, const Config& cfg,
                        const std::string& fichero);

// Texts of the transfer states 0..12.
const std::string& estadoInet(int state); // UTF-8

struct DownloadOutcome {
    enum class Kind { Ok, Timeout, ConnectFailed, OtherError };
    Kind kind = Kind::OtherError;
    std::string body;      // the whole answer, bytes
    int errorNumber = 0;   // the transfer library's code when not Ok
    std::string detail;    // Spanish description when not Ok (UTF-8)
    std::string statusText; // the answers' HTTP status lines, empty when none arrived
};

struct HttpsSettings {
    long timeoutSeconds = 60; // connecting, or nothing arriving; never the whole transfer
    // Extra trusted certificates on top of the system's; nullopt: VELANTIA_CA_BUNDLE.
    std::optional<std::filesystem::path> extraCaBundle;
};

// One HTTPS GET; `onState` gets the transfer states as they happen (1, 3, 5, 7, 8, 12, or 11
// on an error).
DownloadOutcome download(const std::string& url, const std::function<void(int)>& onState,
                         const HttpsSettings& https = {});

struct UpdateCallbacks {
    std::function<void(int state)> transferState;      // Label14 (0) and (1)
    std::function<void(const std::string&)> phase;     // Label14 (2), UTF-8
    std::function<void(const std::string&)> label13;   // file name / "Procesando datos." / end
    std::function<void(bool)> activity;                // activity picture running or not
    std::function<void(const std::string&)> converting; // Label14 (0) the file, (1) (2) empty
    std::function<void(int)> conversionProgress;       // pb3: 0..100, -1 hides it
    std::function<bool(const std::string&)> askRetry;  // Retry (true) or Cancel; UTF-8 text
    std::function<void(const std::string&)> message;   // an OK message box, UTF-8
};

struct UpdateOptions {
    std::string serviceUrl;   // empty: the configured service
    HttpsSettings https;
};

enum class UpdateEnd { Completed, Failed };

// The three steps in order. `cancelled` is set by the window (Cerrar, or closing it): the
// request under way finishes, later requests are skipped, and skipped steps convert the XML
// already in the received folder. A failed request or unpack ends the run with the step's
// failure message. `files` are closed and reopened as the data files are replaced.
UpdateEnd runUpdate(const Paths& paths, Config& cfg, DataFiles& files,
                    const std::atomic<bool>& cancelled, const UpdateCallbacks& cb,
                    const UpdateOptions& options = {});

} // namespace vl
