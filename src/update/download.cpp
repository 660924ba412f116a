// The HTTPS GET of one package and the address it is fetched from.
#include <array>
#include <cstdint>

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
    const auto state = [&](int s) {
        if (onState) onState(s);
    };
    HttpsRequest request;
    request.url = url;
    request.timeoutSeconds = https.timeoutSeconds;
    request.extraCaBundle = https.extraCaBundle;
    request.maxBodyBytes = MaxBodyBytes;
    request.onState = state;

    state(1);
    HttpsResponse answer = httpsRequest(request);
    DownloadOutcome out;
    out.statusText = answer.statusText();
    if (!answer.ok()) {
        state(11);
        out.kind = answer.failure == HttpsResponse::Failure::Timeout
                       ? DownloadOutcome::Kind::Timeout
                   : answer.failure == HttpsResponse::Failure::ConnectFailed
                       ? DownloadOutcome::Kind::ConnectFailed
                       : DownloadOutcome::Kind::OtherError;
        out.errorNumber = answer.errorNumber;
        out.detail = std::move(answer.detail);
        return out;
    }
    state(8);
    state(12);
    out.kind = DownloadOutcome::Kind::Ok;
    out.body = std::move(answer.body);
    return out;
}

} // namespace vl
