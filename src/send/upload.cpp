#include "send/upload.h"

#include <string_view>

#include "core/text.h"
#include "net/https.h"
#include "platform/fileio.h"

namespace vl {

namespace {

std::string lowerTrimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// A header's value as the run log shows it: printable ASCII, not too long.
std::string shown(const std::string& value) {
    std::string out;
    for (char c : value.substr(0, 80))
        out += c >= ' ' && c <= '~' ? c : '?';
    return out;
}

} // namespace

std::string whyNotAPage(const HttpsResponse& answer) {
    const std::string type =
        lowerTrimmed(answer.contentType.substr(0, answer.contentType.find(';')));
    if (!type.empty() && type != "text/html" && type != "text/plain")
        return "no es una página de texto (Content-Type: " + shown(answer.contentType) + ")";
    const std::string coding = lowerTrimmed(answer.contentEncoding);
    if (!coding.empty() && coding != "identity")
        return "viene codificada y no se lee (Content-Encoding: " + shown(answer.contentEncoding) +
               ")";
    // libcurl undoes the chunks; any other coding would reach us as it came.
    std::string transfer = lowerTrimmed(answer.transferEncoding);
    for (const std::string_view plain : {"chunked", "identity"}) {
        for (auto at = transfer.find(plain); at != std::string::npos; at = transfer.find(plain))
            transfer.erase(at, plain.size());
    }
    if (transfer.find_first_not_of(" ,\t") != std::string::npos)
        return "viene codificada y no se lee (Transfer-Encoding: " +
               shown(answer.transferEncoding) + ")";
    if (answer.body.find('\0') != std::string::npos) return "tiene bytes nulos: no es texto";
    return {};
}

UploadResult uploadOutbox(const Config& cfg, const std::filesystem::path& outboxFile,
                          const std::string& url, const std::function<void(int)>& progress,
                          const UploadOptions& options) {
    // One snapshot of the outbox: exactly these bytes go out, so exactly these can be removed
    // after a confirmed send.
    const auto content = readFileBytes(outboxFile);
    if (!content) {
        UploadResult result;
        result.error = toCp1252("No se puede leer el fichero de respuestas.");
        return result;
    }
    return uploadOutboxContent(cfg, *content, url, progress, options);
}

UploadResult uploadOutboxContent(const Config& cfg, const std::string& content,
                                 const std::string& url, const std::function<void(int)>& progress,
                                 const UploadOptions& options) {
    UploadResult result;
    HttpsRequest request;
    request.url = url;
    request.timeoutSeconds = options.timeoutSeconds;
    request.extraCaBundle = options.extraCaBundle;
    request.followSameHostRedirects = true;
    request.form = {{"n_farmacia", cfg.n_farmacia, "", ""},
                    {"fichero", "respuesta", "", ""},
                    {"tipo_fichero", "1", "", ""},
                    {"fecha_ultima", "20061105", "", ""},
                    {"codigo_empresa", cfg.codigo_empresa, "", ""},
                    {"clave", cfg.clave, "", ""},
                    {"fichero2", content, "Respuesta.tsv", "text/tab-separated-values"}};
    int lastPercent = -1;
    request.onUploadPercent = [&](int percent) {
        lastPercent = percent;
        if (progress) progress(percent);
    };

    if (progress) progress(0);
    const HttpsResponse answer = httpsRequest(request);
    result.httpStatus = answer.status;
    result.statusText = answer.statusText();
    if (!answer.ok()) {
        result.error = toCp1252(answer.detail);
        return result;
    }
    result.answered = answer.status != 0;
    const PageText page = answerPageText(answer.body);
    result.answerText = page.visible;
    // Only a page the service gave as its answer is judged: a redirect it was not allowed to
    // follow, or an error status, says nothing about the answers, whatever the body holds.
    if (answer.tooManyRedirects) {
        result.error =
            toCp1252("El servicio ha desviado el envío demasiadas veces (la última vez a " +
                     answer.location + "); el envío no se ha hecho.");
        return result;
    }
    if (!answer.location.empty()) {
        result.error = toCp1252("El servicio ha desviado el envío a otra dirección (" +
                                answer.location +
                                "), que no es la suya; no se ha seguido y el envío no se ha hecho.");
        return result;
    }
    if (answer.status >= 300 || answer.status < 200) {
        const std::string& line =
            answer.statusLines.empty() ? std::string() : answer.statusLines.back();
        result.error = toCp1252("El servicio ha respondido con un error (" +
                                (line.empty() ? "HTTP " + std::to_string(answer.status) : line) +
                                "); el envío no se ha completado.");
        return result;
    }
    result.transferOk = true;
    result.notAPage = whyNotAPage(answer);
    result.verdict = result.notAPage.empty() ? verdictOf(page) : SendVerdict::NoVerdict;
    result.sentBytes = content.size();
    if (progress && lastPercent != 100) progress(100);
    return result;
}

} // namespace vl
