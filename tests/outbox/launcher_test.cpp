// The launcher itself, several terminals at once: each closing call a velantia process of its
// own, started from the product folder as the pharmacy-management program starts it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/closings.h"

namespace fs = std::filesystem;

namespace {

TEST(LauncherProcesses, ConcurrentClosingCallsLoseAndRepeatNothing) {
    const vltest::Product p;
    const vl::Paths& paths = p.paths;
    p.dir.write("quiroles/Velantia/config/datos.txt", "4321\r\n");
    const fs::path launcher = paths.product(fs::path(VELANTIA_LAUNCHER).filename().string());
    fs::copy_file(VELANTIA_LAUNCHER, launcher);
    fs::copy_file(VELANTIA_WINDOWS_STANDIN,
                  paths.product("velantia-ventanas" + launcher.extension().string()));
    ASSERT_EQ(launcher.string().find(' '), std::string::npos) << "the shell takes it unquoted";

    std::atomic<int> failures{0};
    std::vector<std::thread> terminals;
    for (int t = 1; t <= 4; ++t)
        terminals.emplace_back([&, t] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            for (int r = 1; r <= 3; ++r) {
                const std::string line = vltest::writeClosingRound(paths, std::to_string(t), r, 10);
                const fs::path ref = paths.product("referencias/" + line.substr(3, 8) + ".ref");
                // Busy, the call went to the windows: made again, as the busy window waits.
                while (fs::exists(ref) && std::chrono::steady_clock::now() < deadline)
                    if (std::system((launcher.string() + " " + line).c_str()) != 0) {
                        ++failures;
                        return;
                    }
            }
        });
    for (auto& t : terminals)
        t.join();
    EXPECT_EQ(failures, 0);
    vltest::checkAllClosed(p, 12, "/12345678910");
}

} // namespace
