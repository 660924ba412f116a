// The master's files are replaced as one: the new texts and Velantia.txt are written aside in
// full and flushed, a marker then says they are complete, and only after it do the renames
// start. Whoever finds the marker finishes the renames; without it, whatever lies aside is
// thrown away. The lookup therefore sees the old files or the new ones, never a mix.
#pragma once

#include <filesystem>
#include <string>

#include "core/paths.h"
#include "data/lookup.h"

namespace vl::conversion {

struct MasterFiles {
    explicit MasterFiles(const Paths& paths);
    std::filesystem::path datos, textos, velantia, fresh, old, freshVelantia, marker;
};

// One replacement of datos\Velantia.txt and datos\textos, with the conversion lock held. Each
// step answers empty, or the Spanish reason why the old files stay.
class MasterSwap {
  public:
    explicit MasterSwap(const Paths& paths) : m_(paths) {}
    // Finishes or undoes what an earlier run left, then makes the folder of the new texts.
    std::string prepare();
    const std::filesystem::path& newTexts() const { return m_.fresh; }
    const std::filesystem::path& currentTexts() const { return m_.textos; }
    // The walk or a text failed: whatever was staged goes.
    void abandon();
    // The new Velantia.txt beside the old one, everything flushed, then the marker.
    std::string stage(const std::string& velantiaBytes);
    // The renames; the lookup's handle on Velantia.txt is closed first.
    std::string commit(DataFiles* files);

  private:
    MasterFiles m_;
};

} // namespace vl::conversion
