// Telling the user something where none of our windows can be shown (the launcher), and text
// for the error stream.
#pragma once

#include <string>

namespace vl {

// Shows `text` (UTF-8) under `title` and returns once it has been read: a line on the error
// stream, and on Windows the system's message box. When VELANTIA_MENSAJES names a file the
// text is appended to it instead (UTF-8, ended by CR LF), so unattended runs and tests see it.
void showMessage(const std::string& title, const std::string& text);

// One line (UTF-8) on the error stream. On Windows a console gets it in UTF-16, so accents show
// whatever its code page; a redirected stream gets the UTF-8 bytes.
void printError(const std::string& text);

} // namespace vl
