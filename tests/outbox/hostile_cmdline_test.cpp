// Command lines that try to steer the dispensing reference (which names the reference file, the
// status file and the page folder) out of the product folder: start-up, the synchronisation and
// a closing call write only inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/startup.h"
#include "outbox/outbox.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> tree(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(e.path().lexically_relative(root).generic_string() + " " +
                      (e.is_regular_file() ? vltest::readBytes(e.path()) : std::string("<dir>")));
    std::sort(out.begin(), out.end());
    return out;
}

struct LineCase {
    const char* what;
    std::string line;
    bool usable; // the reference names files
};

TEST(HostileCommandLine, NothingIsWrittenOutsideTheProductFolder) {
    std::string flood = "TK-12345671";
    while (flood.size() < 1'000'000)
        flood += "+654321";
    const LineCase cases[] = {
        {"parent folders", "TK-../../x1+654321", false},
        {"backslashes", "TK-..\\..\\x1+654321", false},
        {"absolute", "TK-/etc/pa+654321", false},
        {"drive", "TK-C:000001+654321", false},
        {"drive-relative", "TK-C:..\\x1+654321", false},
        {"tab", "TK-0001\t001+654321", false},
        {"NUL",
         std::string("TK-0001\0"
                     "001+654321",
                     18),
         false},
        {"line end", "TK-0001\r\n01+654321", false},
        {"dots", "TK-........+654321", true},
        {"trailing dot", "TK-1234567.+654321", true},
        {"bytes that are not ASCII",
         "TK-1234\xFF\xFE"
         "1+654321",
         true},
        {"ordinary start with dots", "-..+654321", true},
        {"one megabyte of codes", flood, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vltest::TempDir dir;
        dir.write("quiroles/Velantia/Ocupado", "*");
        dir.write("quiroles/secreto.txt", "no tocar");
        dir.write("quiroles/orbal-5/basea", std::string(62, 'A'));
        dir.write("x1.ref", "no tocar");
        const auto before = tree(dir.path());

        const Paths paths(dir.path());
        StartupState st = prepareStartup(paths, c.line, 768);
        EXPECT_EQ(st.run.hasReference, c.usable);
        EXPECT_LE(st.run.CodeCount, 50);
        SurveySession session;
        const StartupSyncResult sync = completeStartupSync(paths, st.run, st.cfg, session);
        EXPECT_TRUE(sync.referenceOpened);
        session.closeReference();

        auto after = tree(dir.path());
        std::erase_if(after, [](const std::string& p) {
            return p.rfind("quiroles/Velantia/", 0) == 0 || p.rfind("quiroles/Velantia ", 0) == 0;
        });
        auto expected = before;
        std::erase_if(expected, [](const std::string& p) {
            return p.rfind("quiroles/Velantia/", 0) == 0 || p.rfind("quiroles/Velantia ", 0) == 0;
        });
        EXPECT_EQ(after, expected);
    }
}

} // namespace
