// Where everything lives. Every path is rooted at the drive root; names are matched without
// regard to case, so "Recibido" and "recibido" are one folder.
#pragma once

#include <filesystem>
#include <string>

namespace vl {

namespace fs = std::filesystem;

// The drive root and where it came from, for a message that must say where the program looked.
struct DriveRootChoice {
    fs::path root;
    std::string origin; // UTF-8: "raíz de unidad tomada de VELANTIA_ROOT", ...
};

// The system-wide setting of an installed program: /etc/velantia.conf, whose line
// "raiz=<folder>" names the drive root. None on Windows, where the program sits in its folder.
fs::path systemSettingsFile();

// $VELANTIA_ROOT; else the folder above "quiroles" when the executable sits in
// .../quiroles/Velantia/; else the root that `settings` names; else the filesystem root.
DriveRootChoice chooseDriveRoot(const fs::path& executableDir,
                                const fs::path& settings = systemSettingsFile());
inline fs::path driveRoot(const fs::path& executableDir) {
    return chooseDriveRoot(executableDir).root;
}

// Maps `relative` (separators '/' or '\\', any spelling) under `base` to the entry that exists,
// component by component ignoring case; components that do not exist keep the given spelling.
fs::path resolvePath(const fs::path& base, std::string_view relative);

// All the program's locations, built once from the drive root.
class Paths {
public:
    Paths() = default;
    explicit Paths(fs::path root) : root_(std::move(root)) {}
    explicit Paths(DriveRootChoice c) : root_(std::move(c.root)), rootOrigin_(std::move(c.origin)) {}

    const fs::path& root() const { return root_; }
    // Where the root came from (UTF-8); empty when it was given directly.
    const std::string& rootOrigin() const { return rootOrigin_; }
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
    std::string rootOrigin_;
};

// Creates one directory level; an existing one or a missing parent is passed over quietly.
void makeDirOneLevel(const fs::path& dir);

} // namespace vl
