// The command line the pharmacy-management program writes: parsed, de-duplicated, and the
// reference turned into the files it names (reference file, status file, page folder). Start-up
// and its synchronisation, whatever the line, write nothing outside the product folder.
#include "common.h"

#include <set>

#include "core/startup.h"
#include "outbox/outbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    const fs::path root = scratch() / "linea";
    resetFolder(root);
    writeBytes(root / "quiroles/Velantia/Ocupado", "*");
    writeBytes(root / "quiroles/secreto.txt", "no tocar");
    writeBytes(root / "quiroles/orbal-5/basea", std::string(62, 'A'));
    writeBytes(root / "x1.ref", "no tocar");
    const auto outside = [&] {
        auto t = snapshotTree(root);
        std::erase_if(t, [](const auto& e) {
            return e.first == "quiroles/Velantia" || e.first.starts_with("quiroles/Velantia/");
        });
        return t;
    };
    const auto before = outside();
    const vl::Paths paths(root);
    vl::StartupState start = vl::prepareStartup(paths, asText(data, size), 768);
    vl::RunState& st = start.run;

    check(st.CodeCount >= 0 && st.CodeCount <= vl::MaxCodes, "code count");
    for (int i = 1; i <= st.CodeCount; ++i)
        check(st.CodeList[i].size() <= 6, "code longer than 6", st.CodeList[i]);
    check(st.terminalValue() >= 0 && st.terminalValue() <= 9, "terminal digit");
    if (st.hasReference) {
        // It names files: no folder, drive or control character in it.
        for (char c : st.reference)
            check(c != '/' && c != '\\' && c != ':' && static_cast<unsigned char>(c) >= 0x20 &&
                      c != 0x7F,
                  "reference that is no file name", st.reference);
    }

    vl::removeRepeatedCodes(st);
    std::set<std::string> seen;
    for (int i = 1; i <= st.CodeCount; ++i)
        check(!st.CodeList[i].empty() && seen.insert(st.CodeList[i]).second,
              "empty or repeated code kept", st.CodeList[i]);
    for (int i = st.CodeCount + 1; i <= vl::MaxCodes; ++i)
        check(st.CodeList[i].empty(), "slot past the count not empty");

    vl::SurveySession session;
    check(vl::completeStartupSync(paths, st, start.cfg, session).referenceOpened, "not opened");
    session.closeReference();
    check(outside() == before, "written outside the product folder");
    return 0;
}
