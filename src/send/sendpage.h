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

// What an HTML page holds as text. `visible`: what a reader sees, tags dropped, the usual
// entities decoded, runs of white space made one blank, trimmed. `hidden`: what it holds but
// does not show: comments, head, scripts, styles, templates, and elements hidden by
// display:none, visibility:hidden or the hidden attribute. Bytes stay Windows-1252.
struct PageText {
    std::string visible, hidden;
    bool styleSheetHides = false; // a style sheet hides elements: which ones is not told here
    // The page holds what this reading cannot judge (a frame, a dialog, a linked style sheet),
    // or a code spelled so as to be read as none: no acceptance.
    bool doubtful = false;
};
PageText answerPageText(std::string_view html);
std::string answerVisibleText(std::string_view html);

enum class SendVerdict { Accepted, Refused, NoVerdict };

// Accepted only when the visible text holds ERROR=0 and no other ERROR= code, and the page
// hides none either (nor anything through a style sheet): emptying the outbox on a doubtful
// answer would lose answers. A visible refusal code (ERROR=12, ERROR=05, ERROR=00, a bare
// ERROR=) without ERROR=0: refused. Anything else, a mix included: no verdict, for the
// pharmacist to confirm.
SendVerdict verdictOf(const PageText& page);
// The same on a text whose hidden part is not known (a browser's copy of the page).
SendVerdict verdictOf(std::string_view visibleText);

// The pharmacist's message for a refused send, quoting the service's answer (Windows-1252).
std::string refusalMessage(std::string_view answerText);

// Htm\error.txt: `text` followed by CR LF, in one write.
bool writeErrorTxt(const Paths& paths, std::string_view text);

} // namespace vl
