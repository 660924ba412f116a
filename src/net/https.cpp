#include "net/https.h"

#include <cstdlib>

#include "platform/fileio.h"

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

} // namespace

std::string serviceUrl() {
    if (std::string url = envValue("VELANTIA_SERVICE_URL"); !url.empty()) return url;
    return std::string("https://") + VELANTIA_SERVICE_HOST + ":55000/conexion_empresas.asp";
}

void initCurlOnce() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)rc;
}

bool prepareHttps(HttpsSetup& setup, const std::optional<std::filesystem::path>& extraCaBundle,
                  std::string& error) {
    const std::filesystem::path extraCa =
        extraCaBundle ? *extraCaBundle : std::filesystem::path(envValue("VELANTIA_CA_BUNDLE"));
    setup.caBundle.clear();
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

} // namespace vl
