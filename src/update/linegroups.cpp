#include "update/linegroups.h"

#include <algorithm>

#include "core/text.h"

namespace vl {

int lineGroup(std::string_view line) {
    if (line.empty() || line[0] < '0' || line[0] > '9') return 0;
    return line[0] - '0';
}

void LineGroups::add(std::string line) {
    groups_[static_cast<std::size_t>(lineGroup(line))].push_back(std::move(line));
}

void LineGroups::sort() {
    // std::string orders bytes as unsigned char, the same order the lookup searches in.
    for (auto& g : groups_)
        std::sort(g.begin(), g.end());
}

std::size_t LineGroups::size() const {
    std::size_t n = 0;
    for (const auto& g : groups_)
        n += g.size();
    return n;
}

std::string LineGroups::joined() const {
    std::string out;
    std::size_t bytes = 0;
    for (const auto& g : groups_)
        for (const auto& l : g)
            bytes += l.size() + 2;
    out.reserve(bytes);
    for (const auto& g : groups_)
        for (const auto& l : g) {
            out += l;
            out += CRLF;
        }
    return out;
}

void LineGroups::clear() {
    for (auto& g : groups_)
        g.clear();
}

} // namespace vl
