// Received XML documents and the folders the conversion reads and writes, for the update tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vltest {

inline const std::string Today = "20240615";
inline const std::string Recibido = "quiroles/Velantia/recibido/";
inline const std::string Datos = "quiroles/Velantia/datos/";

using Fields = std::vector<std::pair<std::string, std::string>>;

// One record element with its fields in the order given (values are UTF-8, written verbatim).
inline std::string record(const char* tag, const Fields& fields) {
    std::string x = std::string("  <") + tag + ">";
    for (const auto& [name, value] : fields)
        x += "<" + name + ">" + value + "</" + name + ">";
    return x + "</" + tag + ">\n";
}

inline std::string document(const std::string& body, const std::string& doctype = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype + "<datos>\n" + body +
           "</datos>\n";
}

} // namespace vltest
