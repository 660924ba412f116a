// One terminal's dispensing on a fresh drive root: the product folder with its references
// folder, the command-line state naming the reference and the medicines, and the session that
// holds the answers.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/cmdline.h"
#include "core/config.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/tempdir.h"
#include "survey/recording.h"

namespace vltest {

struct Terminal {
    TempDir dir;
    vl::Paths paths{dir.path()};
    vl::RunState st;
    vl::Config cfg;
    vl::SurveySession session;

    explicit Terminal(std::initializer_list<const char*> codes,
                      const std::string& reference = "12345670") {
        std::filesystem::create_directories(dir.path() / "quiroles/Velantia/referencias");
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
    // The closing call of the terminal named by the reference's last digit, holding the lock.
    void closingCall() {
        st.closingCall = true;
        st.terminalDigit = std::string(1, st.reference.back());
        write("Ocupado", st.terminalDigit);
    }
    // Marks medicine m recorded with these answer codes in rows 1.. (stored padded, as read
    // back from the reference file).
    void record(int m, const std::vector<std::string>& answers) {
        auto& t = session.respuestasMed();
        t[m][0][0] = vl::LSet("1", 3);
        for (std::size_t k = 0; k < answers.size(); ++k)
            t[m][1][k + 1] = vl::LSet(answers[k], 4);
    }
    void write(const std::string& rel, const std::string& bytes) const {
        dir.write("quiroles/Velantia/" + rel, bytes);
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
    std::string refFile() const { return read("referencias/" + st.reference + ".ref"); }
};

} // namespace vltest
