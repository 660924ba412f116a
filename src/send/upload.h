// The upload of the outbox: a direct multipart POST of the same fields the upload page carries,
// over HTTPS with the certificate checked.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/config.h"
#include "net/https.h" // serviceUrl()
#include "send/sendpage.h"

namespace vl {

inline constexpr long DefaultUploadTimeoutSeconds = 60;

struct UploadOptions {
    long timeoutSeconds = DefaultUploadTimeoutSeconds; // connecting, or nothing moving
    // Extra trusted certificates (PEM) on top of the system's; nullopt: VELANTIA_CA_BUNDLE,
    // an empty path: none.
    std::optional<std::filesystem::path> extraCaBundle;
};

struct UploadResult {
    bool transferOk = false; // the service's answer page arrived (a 2xx status)
    bool answered = false;   // a page came back, whatever its status
    std::string answerText;  // visible text of that page, Windows-1252
    SendVerdict verdict = SendVerdict::NoVerdict; // on that page, when transferOk
    std::string notAPage; // why the answer gives no verdict whatever it says (UTF-8); or empty
    std::string error;    // Spanish description of a failed transfer, Windows-1252
    long httpStatus = 0;
    std::string statusText;    // the answers' status lines, for the run log (ASCII)
    std::size_t sentBytes = 0; // length of the outbox content that went out
};

// Why an answer of the service is not a page whose text can be judged (UTF-8), empty when it
// is one: only a text/html or text/plain body (or one sent without a type), without a content
// or transfer coding other than chunked, and without NUL bytes, gives a verdict.
std::string whyNotAPage(const HttpsResponse& answer);

// Posts n_farmacia, fichero=respuesta, tipo_fichero=1, fecha_ultima=20061105, codigo_empresa,
// clave and the file field fichero2 (the outbox's bytes, named Respuesta.tsv) to `url`.
// `progress` gets the upload's percentage (0..100) as it changes.
UploadResult uploadOutbox(const Config& cfg, const std::filesystem::path& outboxFile,
                          const std::string& url,
                          const std::function<void(int percent)>& progress = {},
                          const UploadOptions& options = {});
// The same with the outbox's bytes already read.
UploadResult uploadOutboxContent(const Config& cfg, const std::string& content,
                                 const std::string& url,
                                 const std::function<void(int percent)>& progress = {},
                                 const UploadOptions& options = {});

} // namespace vl
