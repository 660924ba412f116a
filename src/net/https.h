// What every exchange with the association's service shares: the endpoint, libcurl's one-time
// set-up, certificate checking with our extra trusted certificates, the proxy rule and the
// Spanish description of a failed transfer.
#pragma once

#include <curl/curl.h>

#include <filesystem>
#include <optional>
#include <string>

namespace vl {

// VELANTIA_SERVICE_URL when set, else https://<service host>:55000/conexion_empresas.asp.
std::string serviceUrl();

// curl_global_init once per process, before the first handle.
void initCurlOnce();

// Strings libcurl reads during the transfer: keep the object alive until it ends.
struct HttpsSetup {
    std::string caBundle; // system certificates plus the extra ones; empty: the system's only
    std::string noProxy;
};

// Reads the extra certificates (nullopt: VELANTIA_CA_BUNDLE; an empty path: none). False, with
// `error` set (UTF-8), when the extra file cannot be read.
bool prepareHttps(HttpsSetup& setup, const std::optional<std::filesystem::path>& extraCaBundle,
                  std::string& error);

// Certificate checks on, the trusted bundle, the proxy rule, no signals; the transfer times out
// when connecting takes `timeoutSeconds`, or when nothing moves for that long.
void applyHttps(CURL* h, const HttpsSetup& setup, long timeoutSeconds);

// Spanish text (UTF-8) for a failed transfer; `detail` is libcurl's error buffer, may be empty.
std::string describeCurlFailure(CURLcode rc, const char* detail);

} // namespace vl
