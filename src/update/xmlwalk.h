// The element-name walk over a received XML file: every text or CDATA node whose parent element
// carries one of the field names is handed on, in document order. Nesting, attributes and other
// elements play no part.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

struct XmlWalkOutcome {
    bool ok = false;
    std::string error; // the parser's reason text (UTF-8) when !ok
    std::string root;  // the document element's name
    std::size_t fieldElements = 0; // elements named as one of the fields, empty ones too
};

// Reader: libxml2's xmlTextReader throughout, which builds and frees a node for each one read.
// Fastest: the parser's events, the reader only for a document that declares a DOCTYPE; the
// same fields and the same errors.
enum class XmlReading { Fastest, Reader };

// Streams `file` without network access. External entities and DTDs are loaded only from inside
// `allowedFolder`; a declared DTD is validated, a document without one is accepted.
// `onField(i, utf8)` receives the text of a node whose parent element is names[i].
// `progress` (may be empty) gets 0..100 by bytes read, when the value changes.
XmlWalkOutcome walkXmlFields(const std::filesystem::path& file,
                             const std::filesystem::path& allowedFolder,
                             const std::vector<std::string>& names,
                             const std::function<void(std::size_t, std::string_view)>& onField,
                             const std::function<void(int)>& progress,
                             XmlReading reading = XmlReading::Fastest);

} // namespace vl
