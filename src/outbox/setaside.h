// The folder referencias\apartados, as the closing move uses it (see setaside.cpp).
#pragma once

#include <filesystem>
#include <string>

#include "core/paths.h"

namespace vl {

// Another dispensing's reference file with recorded answers goes aside instead of being
// deleted. False when it cannot (an earlier copy with answers is there, or the rename fails).
bool setAside(const Paths& paths, const std::filesystem::path& file);

// Files set aside longer than they are kept: no closing call came for them.
void dropAbandoned(const Paths& paths);

// The file of `reference` set aside by another dispensing's closing call goes back, unless
// referencias holds answers of its own for it. With the guard held.
void takeBack(const Paths& paths, const std::string& reference);

} // namespace vl
