// The sorted line groups that the data files are made of, shared by the conversions.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// Lines spread over ten groups by their first digit, each group sorted byte-wise, which is the
// order the lookup's binary search expects. A group holds any number of lines.
class LineGroups {
  public:
    void add(std::string line);
    void sort();
    const std::vector<std::string>& group(int n) const { return groups_.at(n); }
    std::size_t size() const;
    // Every line followed by CR LF, group 0 first.
    std::string joined() const;
    void clear();

  private:
    std::array<std::vector<std::string>, 10> groups_;
};

// Group of a line: the numeric value of its first character, 0 when it is not a digit.
int lineGroup(std::string_view line);

} // namespace vl
