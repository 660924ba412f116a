#include "outbox/upload.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "core/fileio.h"
#include "core/text.h"

#ifndef VELANTIA_SERVICE_HOST
#error "VELANTIA_SERVICE_HOST must be defined by the build"
#endif

namespace vl {

namespace {

void initCurlOnce() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)rc;
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

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

bool isCertificateError(CURLcode rc) {
    switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return true;
    default:
        return false;
    }
}

std::string describeFailure(CURLcode rc, const char* detail) {
    const std::string why = (detail && *detail) ? detail : curl_easy_strerror(rc);
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        return toCp1252("No hay respuesta del servidor (tiempo de espera agotado).");
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return toCp1252("No se puede conectar con el servidor.");
    default:
        break;
    }
    if (isCertificateError(rc))
        return toCp1252("El certificado del servidor no es válido o no es de confianza. (" + why +
                        ")");
    return toCp1252("Error de comunicación: " + why);
}

// The system's trusted certificates plus the extra PEM, as one bundle: a plain CAINFO would
// replace the system's list instead of adding to it.
std::optional<std::string> combinedCaBundle(const std::filesystem::path& extra) {
    auto extraPem = readFileBytes(extra);
    if (!extraPem) return std::nullopt;
    std::string bundle;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && info->cainfo) {
        if (auto sys = readFileBytes(info->cainfo)) bundle = std::move(*sys);
    }
    bundle += "\n";
    bundle += *extraPem;
    return bundle;
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

std::string serviceUrl() {
    if (std::string url = envValue("VELANTIA_SERVICE_URL"); !url.empty()) return url;
    return std::string("https://") + VELANTIA_SERVICE_HOST + ":55000/conexion_empresas.asp";
}

UploadResult uploadOutbox(const Config& cfg, const std::filesystem::path& outboxFile,
                          const std::string& url, const std::function<void(int)>& progress,
                          const UploadOptions& options) {
    initCurlOnce();
    UploadResult result;

    // One snapshot of the outbox: exactly these bytes go out, so exactly these can be removed
    // after a confirmed send.
    const auto content = readFileBytes(outboxFile);
    if (!content) {
        result.error = toCp1252("No se puede leer el fichero de respuestas.");
        return result;
    }

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
    curl_mime_data(file, content->data(), content->size());
    curl_mime_filename(file, "Respuesta.tsv");
    curl_mime_type(file, "text/tab-separated-values");

    // No "Expect: 100-continue" round trip: the service answers only once the body is in.
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Expect:"));

    std::string caBundle;
    const std::filesystem::path extraCa = options.extraCaBundle
                                              ? *options.extraCaBundle
                                              : std::filesystem::path(envValue("VELANTIA_CA_BUNDLE"));
    if (!extraCa.empty()) {
        auto bundle = combinedCaBundle(extraCa);
        if (!bundle) {
            result.error = toCp1252("El certificado del servidor no es válido o no es de "
                                    "confianza. (no se puede leer " +
                                    extraCa.string() + ")");
            return result;
        }
        caBundle = std::move(*bundle);
    }

    // Loopback never goes through a proxy; other addresses follow the environment.
    std::string noProxy = "localhost,.localhost,127.0.0.1,::1";
    for (const char* var : {"NO_PROXY", "no_proxy"}) {
        if (std::string v = envValue(var); !v.empty()) {
            noProxy += "," + v;
            break;
        }
    }

    Transfer transfer;
    transfer.progress = &progress;
    char errbuf[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caBundle.empty()) {
        curl_blob blob{caBundle.data(), caBundle.size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(h, CURLOPT_TIMEOUT, options.timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, noProxy.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Velantia");

    if (progress) progress(0);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    if (rc != CURLE_OK) {
        result.error = describeFailure(rc, errbuf);
        return result;
    }
    // Whatever the status, the page's text decides, as it does for a send by hand.
    result.transferOk = true;
    result.sentBytes = content->size();
    result.answerText = answerVisibleText(transfer.body);
    if (progress && transfer.lastPercent != 100) progress(100);
    return result;
}

} // namespace vl
