// A product folder on a fresh drive root, and one terminal's dispensing there: the command-line
// state naming the reference and the medicines, and the session that holds the answers.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

#include "core/cmdline.h"
#include "core/config.h"
#include "core/paths.h"
#include "support/tempdir.h"
#include "survey/recording.h"

namespace vltest {

// The product folder with its references folder.
struct Folder {
    TempDir dir;
    vl::Paths paths{dir.path()};

    Folder() { std::filesystem::create_directories(dir.path() / "quiroles/Velantia/referencias"); }
    void write(const std::string& rel, const std::string& bytes) const {
        dir.write("quiroles/Velantia/" + rel, bytes);
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
};

struct Terminal : Folder {
    vl::RunState st;
    vl::Config cfg;
    vl::SurveySession session;

    explicit Terminal(std::initializer_list<const char*> codes,
                      const std::string& reference = "12345670") {
        st.hasReference = true;
        st.reference = reference;
        cfg.n_farmacia = "4321";
        setCodes(codes);
    }
    void setCodes(std::initializer_list<const char*> codes) {
        st.CodeList = {};
        st.CodeCount = 0;
        for (const char* c : codes)
            st.CodeList[++st.CodeCount] = c;
        st.CurrentIndex = st.CodeCount ? 1 : 0;
    }
    std::string refFile() const { return read("referencias/" + st.reference + ".ref"); }
};

} // namespace vltest
