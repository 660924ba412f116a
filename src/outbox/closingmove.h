// The terminal's reference files as the closing move sees them: their names, the marker of a
// closing call under way, and what is left of one once its answers are in the outbox.
#pragma once

#include <filesystem>
#include <string>

#include "core/paths.h"

namespace vl {

// Beside a reference file while a closing call of it has not completed: its command line.
std::filesystem::path markerPath(const Paths& paths, const std::string& reference);
std::filesystem::path referencePath(const Paths& paths, const std::string& reference);

// Records with a code and the recorded flag 1.
int recordedIn(const std::string& file);

// The reference file once its answers (its bytes `noted`) are in the outbox. False when it
// could be neither deleted nor emptied.
bool removeMoved(const Paths& paths, const std::string& reference, const std::string& noted);

} // namespace vl
