// Closing calls of several terminals on one product folder, made in processes of their own:
// the reference files they move, and the check of the outbox they leave.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/paths.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "support/tempdir.h"
#include "survey/recording.h"

namespace vltest {

inline std::string padded(int v, int width) {
    std::string s = std::to_string(v);
    return std::string(static_cast<std::size_t>(width) - s.size(), '0') + s;
}

// Round `round` of terminal `digit`: a reference file with `count` recorded medicines whose
// codes and answers say who wrote them. Returns the closing call's command line; empty when the
// file could not be written.
// A `paired` round's reference ends in the round, so two processes can close the same one; with
// `write` false only the command line is made (the other process writes the file).
inline std::string writeClosingRound(const vl::Paths& paths, const std::string& digit, int round,
                                     int count, bool paired = false, bool write = true) {
    const std::string reference =
        paired ? "1" + digit + padded(round, 6) : "1" + padded(round, 6) + digit;
    std::string line = "TK-" + reference, file;
    for (int i = 1; i <= vl::MaxCodes; ++i) {
        vl::RefRecord rec;
        if (i <= count) {
            const std::string code = digit + padded(round, 2) + padded(i, 3);
            line += "+" + code;
            rec.setCode(code);
            rec.setOrd(0, "1");
            rec.setAns(1, digit);
            rec.setAns(2, std::to_string(round));
            rec.setAns(3, std::to_string(i));
        }
        rec.setEnd();
        file += rec.bytes;
    }
    const auto ref = paths.product("referencias\\" + reference + ".ref");
    return !write || vl::writeFileAtomic(ref, file) ? line : std::string();
}

inline std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

// Checks one outbox text (a file or an upload's content): the header, whole lines numbered one
// after another, and every closing call's lines together and in order. `blocks` counts the
// closing calls met so far (terminal digit + round); a call seen twice was repeated or split.
// Returns the last serial, 0 for an empty text.
inline long checkOutboxText(const std::string& text, int count,
                            std::map<std::string, int>& blocks) {
    if (text.empty()) return 0;
    const std::string header = vl::OutboxHeader;
    EXPECT_EQ(text.substr(0, header.size()), header);
    EXPECT_TRUE(text.ends_with("\r\n")) << "torn last line";
    long serial = 0;
    std::string current;
    int position = 0;
    const std::string body = text.substr(std::min(header.size(), text.size()));
    for (const std::string& line : vl::splitLines(body)) {
        SCOPED_TRACE(line);
        const auto f = splitTabs(line);
        EXPECT_EQ(f.size(), 5u);
        if (f.size() != 5 || f[1].size() != 6) return serial;
        const long n = std::stol(f[0]);
        if (serial != 0) {
            EXPECT_EQ(n, serial + 1) << "numbering broken";
        }
        serial = n;
        EXPECT_EQ(f[2], "4321");
        // digit, round, position as the worker wrote them; a 0 is no answer
        std::string want;
        const int parts[] = {std::stoi(f[1].substr(0, 1)), std::stoi(f[1].substr(1, 2)),
                             std::stoi(f[1].substr(3))};
        for (int v : parts)
            if (v > 0) want += (want.empty() ? "" : ",") + std::to_string(v);
        EXPECT_EQ(f[4], want);
        const std::string block = f[1].substr(0, 3);
        if (block != current) {
            if (!current.empty()) {
                EXPECT_EQ(position, count) << current << " cut short";
            }
            EXPECT_EQ(blocks[block]++, 0) << block << " met again: repeated or interleaved";
            current = block;
            position = 0;
        }
        EXPECT_EQ(std::stoi(f[1].substr(3)), ++position) << "lines of " << block << " out of order";
    }
    if (!current.empty()) {
        EXPECT_EQ(position, count) << current << " cut short";
    }
    return serial;
}

// After terminals 1..`terminals` closed `rounds` dispensings each: every call's lines whole,
// together, numbered on from 1, each call exactly once, and the lock free.
inline void checkAllClosed(const TempDir& dir, int terminals, int rounds, int count) {
    std::map<std::string, int> blocks, expected;
    for (int t = 1; t <= terminals; ++t)
        for (int r = 1; r <= rounds; ++r)
            expected[std::to_string(t) + padded(r, 2)] = 1;
    const long total = static_cast<long>(terminals) * rounds * count;
    EXPECT_EQ(checkOutboxText(dir.read("quiroles/Velantia/Respuesta.tsv"), count, blocks), total);
    EXPECT_EQ(blocks, expected);
    EXPECT_EQ(dir.read("quiroles/Velantia/NumRegistro"), std::to_string(total) + "\r\n");
    EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), "*");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "quiroles/Velantia/referencias"));
}

} // namespace vltest
