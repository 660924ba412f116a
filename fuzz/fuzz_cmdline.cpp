// The command line the pharmacy-management program writes: parsed, de-duplicated, and the
// reference turned into the reference file's path, which must stay in its folder.
#include "common.h"

#include <set>

#include "core/cmdline.h"
#include "core/paths.h"
#include "survey/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vlfuzz;
    vl::RunState st = vl::parseCommandLine(asText(data, size));

    check(st.CodeCount >= 0 && st.CodeCount <= vl::MaxCodes, "code count");
    check(st.CurrentIndex == (st.CodeCount > 0 ? 1 : 0), "current index");
    for (int i = 1; i <= st.CodeCount; ++i)
        check(st.CodeList[i].size() <= 6, "code longer than 6", st.CodeList[i]);
    check(st.terminalValue() >= 0 && st.terminalValue() <= 9, "terminal digit");

    if (st.hasReference) {
        check(st.reference.size() == 8, "reference width", st.reference);
        check(st.terminalDigit == st.reference.substr(7, 1), "terminal digit of the reference");
        const vl::Paths paths(Scratch::root());
        const fs::path folder = paths.product("referencias");
        const fs::path file = paths.product("referencias\\" + st.reference + ".ref");
        check(file.parent_path() == folder, "reference file outside its folder", file.string());
    } else {
        check(st.reference.empty() && !st.referenceIsPositive(), "reference without a reference");
    }

    vl::removeRepeatedCodes(st);
    std::set<std::string> seen;
    for (int i = 1; i <= st.CodeCount; ++i) {
        check(!st.CodeList[i].empty(), "empty code kept");
        check(seen.insert(st.CodeList[i]).second, "repeated code kept", st.CodeList[i]);
    }
    for (int i = st.CodeCount + 1; i <= vl::MaxCodes; ++i)
        check(st.CodeList[i].empty(), "slot past the count not empty");
    return 0;
}
