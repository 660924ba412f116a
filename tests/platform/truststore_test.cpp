#include "platform/truststore.h"

#include <gtest/gtest.h>

namespace {

// Windows: the store's roots, each one a whole PEM block (Wine fills the store from the host's).
// Elsewhere there is no store apart from libcurl's bundle.
TEST(TrustStore, WindowsGivesTheRootStoreAsPemOthersNothing) {
    const auto pem = vl::osTrustStorePem();
#ifdef _WIN32
    ASSERT_TRUE(pem.has_value());
    ASSERT_FALSE(pem->empty());
    size_t begins = 0, ends = 0;
    for (size_t at = 0; (at = pem->find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at)
        ++begins;
    for (size_t at = 0; (at = pem->find("-----END CERTIFICATE-----", at)) != std::string::npos; ++at)
        ++ends;
    EXPECT_GT(begins, 0u);
    EXPECT_EQ(begins, ends);
    EXPECT_EQ(pem->rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
#else
    EXPECT_FALSE(pem.has_value());
#endif
}

} // namespace
