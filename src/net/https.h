// HTTPS exchanges with the association's service: the endpoint, and one request (a GET, or a
// multipart form POST) with the certificate checked against the system's trusted certificates
// plus our extra ones, the proxy rule, a timeout, and the Spanish description of a failure.
// libcurl stays behind this header.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// VELANTIA_SERVICE_URL when set, else https://<service host>:55000/conexion_empresas.asp.
std::string serviceUrl();

struct HttpsFormPart {
    std::string name;
    std::string value;       // bytes as they go out
    std::string fileName;    // non-empty: a file field of that name
    std::string contentType; // for a file field
};

struct HttpsRequest {
    std::string url;
    std::vector<HttpsFormPart> form; // empty: a GET; else a multipart POST of these parts
    long timeoutSeconds = 60; // connecting, or nothing arriving for so long; never the whole transfer
    // Extra trusted certificates (PEM) on top of the system's; nullopt: VELANTIA_CA_BUNDLE,
    // an empty path: none.
    std::optional<std::filesystem::path> extraCaBundle;
    std::uint64_t maxBodyBytes = UINT64_MAX; // a longer answer ends the transfer as TooBig
    // Transfer states as they happen: 3 connecting, 5 the request is going out, 7 the answer is
    // coming in.
    std::function<void(int)> onState;
    // The upload's percentage (0..100) each time it grows.
    std::function<void(int)> onUploadPercent;
    // A redirect (301, 302, 303, 307, 308) to the same scheme, host and port is repeated there,
    // the same request again, a few times at most and never twice at one address; one
    // elsewhere is not followed (`location`).
    bool followSameHostRedirects = false;
};

struct HttpsResponse {
    enum class Failure { None, Timeout, ConnectFailed, TooBig, Other };
    Failure failure = Failure::Other;
    int errorNumber = 0;                  // the transfer library's code when it failed
    std::string detail;                   // Spanish description of the failure (UTF-8)
    long status = 0;                      // HTTP status of the last answer, 0 when none arrived
    std::string body;                     // the answer's bytes
    std::vector<std::string> statusLines; // "HTTP/1.1 200 OK" of each answer, in order
    // The last answer's Content-Type, Content-Encoding and Transfer-Encoding as sent (several
    // of one name joined by ", "); empty when it had none. A content coding is not undone:
    // none is asked for.
    std::string contentType, contentEncoding, transferEncoding;
    std::string location;          // a redirect that was not followed: where it pointed
    bool tooManyRedirects = false; // ... because the chain went on too long or came back
    bool ok() const { return failure == Failure::None; }
    // The status lines as the run log shows them; empty when no answer arrived.
    std::string statusText() const;
};

// 301, 302, 303, 307 or 308.
bool isRedirectStatus(long status);

HttpsResponse httpsRequest(const HttpsRequest& request);

} // namespace vl
