#include "platform/truststore.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

namespace vl {

std::optional<std::string> osTrustStorePem() {
#ifdef _WIN32
    std::string pem;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) return pem;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
        DWORD n = 0;
        if (!CryptBinaryToStringA(c->pbCertEncoded, c->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                                  nullptr, &n))
            continue;
        std::string one(n, '\0');
        if (CryptBinaryToStringA(c->pbCertEncoded, c->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                                 one.data(), &n))
            pem.append(one.data(), n);
    }
    CertCloseStore(store, 0);
    return pem;
#else
    return std::nullopt;
#endif
}

} // namespace vl
