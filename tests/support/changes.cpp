#include "support/changes.h"

#include <algorithm>
#include <utility>

namespace tarnwick::testing {

namespace {

using Range = std::pair<std::size_t, std::size_t>;  // [first, last)

std::vector<Range> label_ranges(std::uint16_t tag) {
  switch (tag) {
    case 1:
      return {{24, 56}, {200, 264}};
    case 4:
      return {{52, 244}};
    case 6:
      return {{20, 212}};
    case 256:
      return {{48, 240}, {240, 336}};
    default:
      return {};
  }
}

}  // namespace

std::vector<std::string> unexpected_changes(const Image& before, const Image& after,
                                            const std::vector<std::uint32_t>& vat_sectors) {
  std::vector<std::string> problems;
  if (before.size() != after.size()) problems.push_back("the image's size changed");
  for (std::size_t pos : differing_bytes(before, after)) {
    const std::size_t sector = pos / 2048;
    const std::size_t at = pos % 2048;
    const std::uint8_t* d = before.data() + sector * 2048;
    const std::uint16_t tag = static_cast<std::uint16_t>(d[0] | d[1] << 8);
    std::vector<Range> allowed = label_ranges(tag);
    const bool vat = std::find(vat_sectors.begin(), vat_sectors.end(), sector) != vat_sectors.end();
    if (vat) allowed.push_back({0, 2048});  // the VAT's own label field (checked separately)
    bool ok = !allowed.empty() && (at == 4 || at == 8 || at == 9);
    for (const Range& r : allowed) ok = ok || (at >= r.first && at < r.second);
    if (!ok) {
      problems.push_back("sector " + std::to_string(sector) + " (tag " + std::to_string(tag) +
                         ") byte " + std::to_string(at));
      if (problems.size() > 10) break;
    }
  }
  return problems;
}

}  // namespace tarnwick::testing
