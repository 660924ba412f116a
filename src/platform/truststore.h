#pragma once

#include <optional>
#include <string>

namespace vl {

// The operating system's own trusted root certificates as PEM, where it keeps them in a store
// that libcurl's bundle does not cover (Windows: the store "ROOT"). nullopt where there is no
// such store and the bundle libcurl was built with is the system's list.
std::optional<std::string> osTrustStorePem();

} // namespace vl
