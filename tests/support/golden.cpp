#include "support/golden.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/tempdir.h"

namespace vltest {

namespace fs = std::filesystem;

namespace {

const fs::path Root = fs::path(VELANTIA_SOURCE_DIR) / "tests/golden";

bool updating() {
    const char* v = std::getenv("VELANTIA_GOLDEN_UPDATE");
    return v && std::string_view(v) == "1";
}

std::string visible(std::string_view s) {
    std::string o;
    for (unsigned char c : s) {
        char esc[5];
        std::snprintf(esc, sizeof esc, "\\x%02X", c);
        o += c >= 0x20 && c < 0x7F ? std::string(1, char(c))
             : c == '\r'           ? "\\r"
             : c == '\n'           ? "\\n"
                                   : esc;
    }
    return o;
}

std::string lineAround(std::string_view s, std::size_t at) {
    const std::size_t b = s.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t start = (b == std::string_view::npos || at == 0) ? 0 : b + 1;
    const std::size_t e = s.find('\n', at);
    return visible(s.substr(start, e == std::string_view::npos ? s.npos : e + 1 - start));
}

// Files only: a folder holds no bytes to compare.
Tree filesOf(const fs::path& dir) {
    Tree t = snapshotTree(dir);
    std::erase_if(t, [](const auto& e) { return e.first.ends_with('/'); });
    return t;
}

std::string describeDifference(std::string_view expected, std::string_view actual) {
    if (expected == actual) return {};
    std::size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    std::size_t line = 1;
    for (std::size_t k = 0; k < i; ++k)
        line += expected[k] == '\n';
    return "first difference at byte " + std::to_string(i) + " (line " + std::to_string(line) +
           "; sizes " + std::to_string(expected.size()) + " expected, " +
           std::to_string(actual.size()) + " made)\n  expected: " + lineAround(expected, i) +
           "\n  made:     " + lineAround(actual, i);
}

} // namespace

void expectGolden(const std::string& name, std::string_view actual) {
    if (updating()) return writeBytes(Root / name, actual);
    ASSERT_TRUE(fs::exists(Root / name)) << "no expected file " << Root / name;
    const std::string d = describeDifference(readBytes(Root / name), actual);
    EXPECT_TRUE(d.empty()) << name << ": " << d;
}

void expectGoldenTree(const std::string& name, const fs::path& dir) {
    const fs::path root = Root / name;
    const auto made = filesOf(dir), want = filesOf(root);
    if (updating()) {
        fs::remove_all(root);
        for (const auto& [rel, bytes] : made)
            writeBytes(root / rel, bytes);
        return;
    }
    ASSERT_FALSE(want.empty()) << "no expected tree " << root;
    for (const auto& [rel, bytes] : want) {
        const auto d = made.contains(rel) ? describeDifference(bytes, made.at(rel)) : "not made";
        EXPECT_TRUE(d.empty()) << name << "/" << rel << ": " << d;
    }
    for (const auto& [rel, bytes] : made)
        EXPECT_TRUE(want.contains(rel)) << name << ": " << rel << " was made but is not expected";
}

} // namespace vltest
