// The seed corpus through the fuzz targets' own checks, built with the normal compiler and no
// libFuzzer, as a test: each folder of fuzz/corpus goes to the target of its name, every seed
// as it is and damaged the ways files get damaged. A failed check aborts naming the input.
#define VL_FUZZ_MAIN // the one place of the replay that takes the place of fsync
#include "common.h"

#include <algorithm>
#include <vector>

#include "replay_targets.h"

#define X(name) extern "C" int name(const std::uint8_t*, std::size_t);
VL_FUZZ_TARGETS
#undef X

namespace {

std::string replaceAll(std::string s, std::string_view from, std::string_view to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// A seed damaged the ways files get damaged (the first byte stays: some targets pick by it).
std::vector<std::pair<const char*, std::string>> damaged(const std::string& s) {
    std::string nul = s;
    for (std::size_t i = 3; i < nul.size(); i += 3)
        if (nul[i] != '\r' && nul[i] != '\n') nul[i] = '\0';
    const std::string head = s.substr(0, 1), rest = s.substr(1);
    return {
        {", NUL bytes inside", nul},
        {", bytes undefined in Windows-1252", replaceAll(s, "\n", "\n\x81\x8D\x8F\x90\x9D")},
        {", stray UTF-8",
         head + "\xEF\xBB\xBF" + replaceAll(rest, "\r", "\xC3\xB1\xC3\x80\xBF\xE2\x82\r") + "\xC3"},
        {", lone CR line ends", replaceAll(s, "\r\n", "\r")},
        {", lone LF line ends", replaceAll(s, "\r\n", "\n")},
        {", overlong line without an end", s + std::string(4 << 20, '7')},
        {", overlong first line", head + std::string(1 << 20, '"') + "\r\n" + rest},
        {", cut in the middle", s.substr(0, s.size() / 2 + 1)}};
}

} // namespace

int main(int argc, char** argv) {
    using namespace vlfuzz;
    const std::pair<const char*, int (*)(const std::uint8_t*, std::size_t)> targets[] = {
#define X(name) {#name, name},
        VL_FUZZ_TARGETS
#undef X
    };
    check(argc == 2, "usage: fuzz_replay CORPUS_FOLDER");
    std::string noise(65536, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : noise)
        c = static_cast<char>((x ^= x << 13, x ^= x >> 17, x ^= x << 5) & 0xFF);
    std::size_t inputs = 0;
    for (const auto& [name, target] : targets) {
        std::vector<std::pair<std::string, std::string>> seeds;
        for (const auto& e : fs::directory_iterator(fs::path(argv[1]) / name))
            seeds.emplace_back(e.path().string(), readBytes(e.path()));
        std::sort(seeds.begin(), seeds.end());
        seeds.insert(
            seeds.begin(),
            {{"empty", ""}, {"only NUL bytes", std::string(65536, '\0')}, {"noise", noise}});
        for (const auto& [path, seed] : seeds) {
            auto runs = seed.empty() ? decltype(damaged(seed)){} : damaged(seed);
            runs.insert(runs.begin(), {"", seed});
            for (const auto& [what, bytes] : runs) {
                currentInput = path + what;
                seedName = *what ? "" : fs::path(path).filename().string();
                target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
                ++inputs;
            }
        }
    }
    std::printf("%zu entradas sin fallo\n", inputs);
    return 0;
}
