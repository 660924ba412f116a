#include "net/https.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/fileio.h"
#include "platform/truststore.h"

#ifndef VELANTIA_SERVICE_HOST
#error "VELANTIA_SERVICE_HOST must be defined by the build"
#endif

namespace vl {

namespace {

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
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

// The system's trusted certificates as PEM: on Windows the store "ROOT" that Schannel checks
// against when given no bundle, elsewhere the bundle libcurl was built with.
std::string systemCaPem() {
    if (auto store = osTrustStorePem()) return std::move(*store);
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && info->cainfo) {
        if (auto sys = readFileBytes(info->cainfo)) return std::move(*sys);
    }
    return {};
}

// The system's trusted certificates plus the extra PEM, as one bundle: a plain CAINFO would
// replace the system's list instead of adding to it (with Schannel too).
std::optional<std::string> combinedCaBundle(const std::filesystem::path& extra) {
    auto extraPem = readFileBytes(extra);
    if (!extraPem) return std::nullopt;
    std::string bundle = systemCaPem();
    bundle += "\n";
    bundle += *extraPem;
    return bundle;
}

// Strings libcurl reads during the transfer: keep the object alive until it ends.
struct HttpsSetup {
    std::string caBundle; // system certificates plus the extra ones; empty: the system's only
    std::string noProxy;
};

// curl_global_init once per process, before the first handle.
void initCurlOnce() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)rc;
}

// Reads the extra certificates (nullopt: VELANTIA_CA_BUNDLE; an empty path: none). False, with
// `error` set (UTF-8), when the extra file cannot be read.
bool prepareHttps(HttpsSetup& setup, const std::optional<std::filesystem::path>& extraCaBundle,
                  std::string& error) {
    const std::filesystem::path extraCa =
        extraCaBundle ? *extraCaBundle : std::filesystem::path(envValue("VELANTIA_CA_BUNDLE"));
    setup.caBundle.clear();
    // Schannel's own check of the server is not done everywhere (Wine skips it): a store's
    // roots always go as the bundle, so libcurl verifies the chain and the name itself.
    if (extraCa.empty()) {
        if (auto store = osTrustStorePem()) setup.caBundle = std::move(*store);
    }
    if (!extraCa.empty()) {
        auto bundle = combinedCaBundle(extraCa);
        if (!bundle) {
            error = "El certificado del servidor no es válido o no es de confianza. (no se puede "
                    "leer " +
                    extraCa.string() + ")";
            return false;
        }
        setup.caBundle = std::move(*bundle);
    }

    // Loopback never goes through a proxy; other addresses follow the environment.
    setup.noProxy = "localhost,.localhost,127.0.0.1,::1";
    for (const char* var : {"NO_PROXY", "no_proxy"}) {
        if (std::string v = envValue(var); !v.empty()) {
            setup.noProxy += "," + v;
            break;
        }
    }
    return true;
}

// Certificate checks on, the trusted bundle, the proxy rule, the overall timeout, no signals.
void applyHttps(CURL* h, const HttpsSetup& setup, long timeoutSeconds) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!setup.caBundle.empty()) {
        // CURLOPT_CAINFO_BLOB copies the blob, so a local struct is enough.
        curl_blob blob{const_cast<char*>(setup.caBundle.data()), setup.caBundle.size(),
                       CURL_BLOB_COPY};
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    }
    // Only silence ends a transfer: a package still arriving on a slow line is never cut, one
    // that stops arriving for `timeoutSeconds` is.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, setup.noProxy.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Velantia");
}

// Spanish text (UTF-8) for a failed transfer; `detail` is libcurl's error buffer, may be empty.
std::string describeCurlFailure(CURLcode rc, const char* detail) {
    const std::string why = (detail && *detail) ? detail : curl_easy_strerror(rc);
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        return "No hay respuesta del servidor (tiempo de espera agotado).";
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "No se puede conectar con el servidor.";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return "La conexión con el servidor se cortó antes de terminar la transferencia.";
    default:
        break;
    }
    if (isCertificateError(rc))
        return "El certificado del servidor no es válido o no es de confianza. (" + why + ")";
    return "Error de comunicación: " + why;
}

struct Transfer {
    const HttpsRequest* request = nullptr;
    std::string body;
    std::vector<std::string> statusLines;
    std::string contentType, contentEncoding, transferEncoding; // of the answer being read
    bool connecting = false;
    bool receiving = false;
    bool tooBig = false;
    int lastPercent = -1;

    void state(int s) const {
        if (request->onState) request->onState(s);
    }
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->receiving) {
        t->receiving = true;
        t->state(7);
    }
    if (t->body.size() + n > t->request->maxBodyBytes) {
        t->tooBig = true;
        return 0; // libcurl ends the transfer with a write error
    }
    t->body.append(data, n);
    return n;
}

// Each answer's header block begins with its status line.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.starts_with("HTTP/")) {
        t->statusLines.push_back(std::move(line));
        t->contentType.clear(), t->contentEncoding.clear(), t->transferEncoding.clear();
        return n;
    }
    const std::size_t colon = line.find(':');
    std::string name = line.substr(0, colon == std::string::npos ? 0 : colon);
    for (char& c : name)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::string* field = name == "content-type"        ? &t->contentType
                         : name == "content-encoding"  ? &t->contentEncoding
                         : name == "transfer-encoding" ? &t->transferEncoding
                                                       : nullptr;
    if (field) {
        std::size_t from = colon + 1, to = line.size();
        while (from < to && (line[from] == ' ' || line[from] == '\t'))
            ++from;
        while (to > from && (line[to - 1] == ' ' || line[to - 1] == '\t'))
            --to;
        *field += (field->empty() ? "" : ", ") + line.substr(from, to - from);
    }
    return n;
}

// Called once the socket exists and before it connects; with two address families there may be
// two sockets, but one "connecting" is enough.
int onSocket(void* user, curl_socket_t, curlsocktype purpose) {
    auto* t = static_cast<Transfer*>(user);
    if (purpose == CURLSOCKTYPE_IPCXN && !t->connecting) {
        t->connecting = true;
        t->state(3);
    }
    return CURL_SOCKOPT_OK;
}

// Connected (TLS included), the request is about to go out.
int onRequest(void* user, char*, char*, int, int) {
    static_cast<Transfer*>(user)->state(5);
    return CURL_PREREQFUNC_OK;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    if (ultotal <= 0 || !t->request->onUploadPercent) return 0;
    const int percent = static_cast<int>(ulnow * 100 / ultotal);
    // A repeated request after a redirect starts again at 0: the bar never goes back.
    if (percent > t->lastPercent && percent >= 0 && percent <= 100) {
        t->lastPercent = percent;
        t->request->onUploadPercent(percent);
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

HttpsResponse failed(CURLcode rc, std::string detail) {
    HttpsResponse out;
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        out.failure = HttpsResponse::Failure::Timeout;
        break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
        out.failure = HttpsResponse::Failure::ConnectFailed;
        break;
    default:
        out.failure = HttpsResponse::Failure::Other;
        break;
    }
    out.errorNumber = static_cast<int>(rc);
    out.detail = std::move(detail);
    return out;
}

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// Scheme, host (lower case) and port, the port filled in from the scheme when not written.
std::optional<std::string> originOf(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    std::string origin;
    for (const CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* v = nullptr;
        if (curl_url_get(u.get(), part, &v, CURLU_DEFAULT_PORT) != CURLUE_OK || !v) return std::nullopt;
        for (const char* c = v; *c; ++c)
            origin += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
        origin += '|';
        curl_free(v);
    }
    return origin;
}

// The address as libcurl writes it, so two spellings of one address compare equal.
std::string normalisedUrl(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    char* v = nullptr;
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(u.get(), CURLUPART_URL, &v, 0) != CURLUE_OK || !v)
        return url;
    std::string out(v);
    curl_free(v);
    return out;
}

// Most redirects followed for one request.
constexpr int MaxRedirects = 5;

} // namespace

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string HttpsResponse::statusText() const {
    std::string text;
    for (const std::string& line : statusLines)
        text += (text.empty() ? "" : ", luego ") + line;
    return text;
}

std::string serviceUrl() {
    if (std::string url = envValue("VELANTIA_SERVICE_URL"); !url.empty()) return url;
    return std::string("https://") + VELANTIA_SERVICE_HOST + ":55000/conexion_empresas.asp";
}

HttpsResponse httpsRequest(const HttpsRequest& request) {
    initCurlOnce();
    HttpsSetup setup;
    if (std::string why; !prepareHttps(setup, request.extraCaBundle, why))
        return failed(CURLE_SSL_CACERT_BADFILE, why);
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl)
        return failed(CURLE_FAILED_INIT, "Error de comunicación: no se pudo preparar la conexión.");
    CURL* h = curl.get();

    std::unique_ptr<curl_mime, MimeDeleter> mime;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    if (request.form.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        mime.reset(curl_mime_init(h));
        for (const HttpsFormPart& p : request.form) {
            curl_mimepart* part = curl_mime_addpart(mime.get());
            curl_mime_name(part, p.name.c_str());
            curl_mime_data(part, p.value.data(), p.value.size());
            if (!p.fileName.empty()) curl_mime_filename(part, p.fileName.c_str());
            if (!p.contentType.empty()) curl_mime_type(part, p.contentType.c_str());
        }
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
        // No "Expect: 100-continue" round trip: the service answers only once the body is in.
        headers.reset(curl_slist_append(nullptr, "Expect:"));
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    }

    Transfer transfer;
    transfer.request = &request;
    char errbuf[CURL_ERROR_SIZE] = {};
    applyHttps(h, setup, request.timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, onSocket);
    curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, onRequest);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);

    std::string url = request.url, location;
    std::vector<std::string> visited{normalisedUrl(url)};
    bool tooMany = false;
    CURLcode rc = CURLE_OK;
    long status = 0;
    for (int redirects = 0;; ++redirects) {
        transfer.body.clear();
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        rc = curl_easy_perform(h);
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        char* target = nullptr;
        if (rc != CURLE_OK || !request.followSameHostRedirects || !isRedirectStatus(status) ||
            curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &target) != CURLE_OK || !target)
            break;
        // Only the service itself may take the answers: another host, port or scheme is not
        // followed, and neither is an endless chain: each round sends the whole request again.
        const auto from = originOf(url);
        const std::string next = normalisedUrl(target);
        tooMany = from && originOf(target) == from &&
                  (redirects == MaxRedirects ||
                   std::find(visited.begin(), visited.end(), next) != visited.end());
        if (tooMany || !from || originOf(target) != from) {
            location = target;
            break;
        }
        url = target;
        visited.push_back(next);
    }
    HttpsResponse out;
    if (rc != CURLE_OK) {
        out = transfer.tooBig ? failed(rc, "La respuesta del servidor es demasiado grande.")
                              : failed(rc, describeCurlFailure(rc, errbuf));
        if (transfer.tooBig) out.failure = HttpsResponse::Failure::TooBig;
    } else {
        out.failure = HttpsResponse::Failure::None;
        out.body = std::move(transfer.body);
        out.contentType = std::move(transfer.contentType);
        out.contentEncoding = std::move(transfer.contentEncoding);
        out.transferEncoding = std::move(transfer.transferEncoding);
        out.location = std::move(location);
        out.tooManyRedirects = tooMany;
    }
    out.status = status;
    out.statusLines = std::move(transfer.statusLines);
    return out;
}

} // namespace vl
