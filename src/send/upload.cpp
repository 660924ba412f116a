#include "send/upload.h"

#include <curl/curl.h>

#include <memory>

#include "core/text.h"
#include "net/https.h"
#include "platform/fileio.h"

namespace vl {

namespace {

struct Transfer {
    std::string body;
    const std::function<void(int)>* progress = nullptr;
    int lastPercent = -1;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    static_cast<Transfer*>(user)->body.append(data, size * count);
    return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    if (ultotal <= 0 || !t->progress || !*t->progress) return 0;
    const int percent = static_cast<int>(ulnow * 100 / ultotal);
    if (percent != t->lastPercent && percent >= 0 && percent <= 100) {
        t->lastPercent = percent;
        (*t->progress)(percent);
    }
    return 0;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MimeDeleter {
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void addField(curl_mime* mime, const char* name, const std::string& value) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, name);
    curl_mime_data(part, value.data(), value.size());
}

} // namespace

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
    initCurlOnce();
    UploadResult result;

    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) {
        result.error = toCp1252("Error de comunicación: no se pudo preparar la conexión.");
        return result;
    }
    CURL* h = curl.get();

    std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(h));
    addField(mime.get(), "n_farmacia", cfg.n_farmacia);
    addField(mime.get(), "fichero", "respuesta");
    addField(mime.get(), "tipo_fichero", "1");
    addField(mime.get(), "fecha_ultima", "20061105");
    addField(mime.get(), "codigo_empresa", cfg.codigo_empresa);
    addField(mime.get(), "clave", cfg.clave);
    curl_mimepart* file = curl_mime_addpart(mime.get());
    curl_mime_name(file, "fichero2");
    curl_mime_data(file, content.data(), content.size());
    curl_mime_filename(file, "Respuesta.tsv");
    curl_mime_type(file, "text/tab-separated-values");

    // No "Expect: 100-continue" round trip: the service answers only once the body is in.
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Expect:"));

    HttpsSetup https;
    if (std::string why; !prepareHttps(https, options.extraCaBundle, why)) {
        result.error = toCp1252(why);
        return result;
    }

    Transfer transfer;
    transfer.progress = &progress;
    char errbuf[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    applyHttps(h, https, options.timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);

    if (progress) progress(0);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    if (rc != CURLE_OK) {
        result.error = toCp1252(describeCurlFailure(rc, errbuf));
        return result;
    }
    // Whatever the status, the page's text decides, as it does for a send by hand.
    result.transferOk = true;
    result.sentBytes = content.size();
    result.answerText = answerVisibleText(transfer.body);
    if (progress && transfer.lastPercent != 100) progress(100);
    return result;
}

} // namespace vl
