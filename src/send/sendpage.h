// The pieces of a send that need no network: the upload page kept for a send by hand, the
// visible text of the service's answer, the verdict on it, and error.txt.
#pragma once

#include <string>
#include <string_view>

#include "core/config.h"
#include "core/paths.h"

namespace vl {

// Escapes & < > ' " so a configured value cannot break the page's markup.
std::string htmlEscape(std::string_view text);

// The 17 lines of Htm\enviar.html (CR LF each, Windows-1252) posting to `uploadUrl`.
std::string uploadPageText(const Config& cfg, const std::string& uploadUrl);

// Writes Htm\enviar.html under the product folder, replacing any previous one.
bool writeUploadPage(const Paths& paths, const Config& cfg, const std::string& uploadUrl);

// The text a reader sees in an HTML page: tags, comments, head, scripts and styles dropped,
// the usual entities decoded, runs of white space made one blank, trimmed. Bytes stay
// Windows-1252.
std::string answerVisibleText(std::string_view html);

enum class SendVerdict { Accepted, Refused, NoVerdict };

// "ERROR=0" not followed by another digit, anywhere: accepted; otherwise "ERROR=" anywhere:
// refused; otherwise no verdict.
SendVerdict verdictOf(std::string_view text);

// The pharmacist's message for a refused send, quoting the service's answer (Windows-1252).
std::string refusalMessage(std::string_view answerText);

// Htm\error.txt: `text` followed by CR LF, in one write.
bool writeErrorTxt(const Paths& paths, std::string_view text);

} // namespace vl
