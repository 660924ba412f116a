// Where everything lives. Every path is rooted at the drive root; names are matched without
// regard to case, so "Recibido" and "recibido" are one folder.
#pragma once

#include <filesystem>
#include <string>

namespace vl {

namespace fs = std::filesystem;

// $VELANTIA_ROOT; else the folder above "quiroles" when the executable sits in
// .../quiroles/Velantia/; else the filesystem root.
fs::path driveRoot(const fs::path& executableDir);

// Maps `relative` (separators '/' or '\\', any spelling) under `base` to the entry that exists,
// component by component ignoring case; components that do not exist keep the given spelling.
fs::path resolvePath(const fs::path& base, std::string_view relative);

// All the program's locations, built once from the drive root.
class Paths {
public:
    Paths() = default;
    explicit Paths(fs::path root) : root_(std::move(root)) {}

    const fs::path& root() const { return root_; }
    // Any path under the drive root, e.g. at("quiroles\\tipoconect").
    fs::path at(std::string_view relative) const { return resolvePath(root_, relative); }
    // Under the product folder quiroles/Velantia, e.g. product("datos\\Velantia.txt").
    fs::path product(std::string_view relative = {}) const;
    // Under the pharmacy-management program's folder quiroles/orbal-5.
    fs::path orbal(std::string_view relative) const;
    // The terminal's page folder htm + digit.
    fs::path pageFolder(const std::string& terminalDigit) const;

    // file:// URL of a resolved path, as the browser is told to load it.
    static std::string fileUrl(const fs::path& p);

private:
    fs::path root_ = "/";
};

// Creates one directory level; an existing one or a missing parent is passed over quietly.
void makeDirOneLevel(const fs::path& dir);

} // namespace vl
