// Whole files whose exact bytes are the contract, kept under tests/golden/. A mismatch prints
// the first differing line of each side, escaped. VELANTIA_GOLDEN_UPDATE=1 rewrites the
// expected files from what the program made (then read the diff before committing it).
#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace vltest {

// `actual` against tests/golden/<name>.
void expectGolden(const std::string& name, std::string_view actual);

// Every file under `dir` against the tree tests/golden/<name>/: same names, same bytes.
void expectGoldenTree(const std::string& name, const std::filesystem::path& dir);

} // namespace vltest
