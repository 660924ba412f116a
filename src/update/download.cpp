// The HTTPS GET of one package and the address it is fetched from.
#include <curl/curl.h>

#include <array>
#include <cstdint>
#include <memory>

#include "net/https.h"
#include "update/updaterun.h"

namespace vl {

namespace {

// Most bytes one answer may bring; a bigger one is taken for a broken or hostile answer.
constexpr std::uint64_t MaxBodyBytes = std::uint64_t{1} << 30;

bool keptInQuery(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    // Legal in a query and without meaning inside one value: '&', '#', '+' and '%' do have one.
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
    case '?':
        return true;
    default:
        return false;
    }
}

// The values are Windows-1252 bytes and the service reads them as such, so the bytes themselves
// are encoded, not a UTF-8 form of them.
std::string queryValue(const std::string& value) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptInQuery(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

struct Transfer {
    const std::function<void(int)>* onState = nullptr;
    std::string body;
    bool connecting = false;
    bool receiving = false;
    bool tooBig = false;

    void state(int s) const {
        if (onState && *onState) (*onState)(s);
    }
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->receiving) {
        t->receiving = true;
        t->state(7);
    }
    if (t->body.size() + n > MaxBodyBytes) {
        t->tooBig = true;
        return 0; // libcurl ends the transfer with a write error
    }
    t->body.append(data, n);
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

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

DownloadOutcome failure(CURLcode rc, std::string detail) {
    DownloadOutcome out;
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        out.kind = DownloadOutcome::Kind::Timeout;
        break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
        out.kind = DownloadOutcome::Kind::ConnectFailed;
        break;
    default:
        out.kind = DownloadOutcome::Kind::OtherError;
        break;
    }
    out.errorNumber = static_cast<int>(rc);
    out.detail = std::move(detail);
    return out;
}

} // namespace

std::string downloadUrl(const std::string& base, const Config& cfg, const std::string& fichero) {
    return base + "?n_farmacia=" + queryValue(cfg.n_farmacia) + "&fichero=" + fichero +
           "&tipo_fichero=2&fecha_ultima=20061106&codigo_empresa=" +
           queryValue(cfg.codigo_empresa) + "&clave=" + queryValue(cfg.clave);
}

const std::string& estadoInet(int state) {
    static const std::array<std::string, 13> texts{
        "No hay estado del que informar",
        "Buscando la dirección IP del servidor.",
        "Dirección IP encontrada.",
        "Conectando con el servidor.",
        "Conectado con éxito.",
        "Enviando una solicitud al servidor.",
        "Eviada la solicitud con éxito.",
        "Recibiendo una respuesta del servidor.",
        "Recibió con éxito una respuesta del servidor.",
        "Desconectando del equipo host.",
        "Desconectó con éxito del equipo host.",
        "Se produjo un error en la comunicación con el servidor.",
        "La solicitud se completó y se recibieron todos los datos.",
    };
    static const std::string none;
    if (state < 0 || state >= static_cast<int>(texts.size())) return none;
    return texts[static_cast<std::size_t>(state)];
}

DownloadOutcome download(const std::string& url, const std::function<void(int)>& onState,
                         const HttpsSettings& https) {
    initCurlOnce();
    Transfer transfer;
    transfer.onState = &onState;

    HttpsSetup setup;
    if (std::string why; !prepareHttps(setup, https.extraCaBundle, why)) {
        transfer.state(11);
        return failure(CURLE_SSL_CACERT_BADFILE, why);
    }
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) {
        transfer.state(11);
        return failure(CURLE_FAILED_INIT,
                       "Error de comunicación: no se pudo preparar la conexión.");
    }
    CURL* h = curl.get();
    char errbuf[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    applyHttps(h, setup, https.timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, onSocket);
    curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, onRequest);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);

    transfer.state(1);
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        transfer.state(11);
        if (transfer.tooBig) return failure(rc, "La respuesta del servidor es demasiado grande.");
        return failure(rc, describeCurlFailure(rc, errbuf));
    }
    transfer.state(8);
    transfer.state(12);
    DownloadOutcome out;
    out.kind = DownloadOutcome::Kind::Ok;
    out.body = std::move(transfer.body);
    return out;
}

} // namespace vl
