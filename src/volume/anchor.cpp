#include "volume/anchor.h"

#include "image/bytes.h"
#include "image/tag.h"

namespace tarnwick {

bool anchor_verifies(const std::uint8_t* sector) {
  return get_u16(sector) == kTagAnchor && tag_verifies(sector, kSectorSize);
}

bool find_anchor(ImageSession& session, std::uint8_t* area) {
  // An unverified anchor would send every later write to sectors chosen by garbage.
  if (read_sectors(session, kAnchorSector, 1, area) == 1 && anchor_verifies(area)) return true;
  const std::uint64_t n = session.image_sectors;
  std::uint64_t tried[4] = {kAnchorSector};
  std::size_t tried_count = 1;
  const std::uint64_t candidates[] = {n - 1, n - 257, 512};
  const bool present[] = {n >= 1, n >= 257, true};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint64_t sector = candidates[i];
    if (!present[i] || sector > UINT32_MAX) continue;
    bool seen = false;
    for (std::size_t t = 0; t < tried_count; ++t) seen = seen || tried[t] == sector;
    if (seen) continue;
    tried[tried_count++] = sector;
    const auto s = static_cast<std::uint32_t>(sector);
    // A copy is trusted only where it says it was recorded: one copied from elsewhere would
    // lead to another volume's sequences.
    if (read_sectors(session, s, 1, area) == 1 && anchor_verifies(area) &&
        get_u32(area + 12) == s) {
      return true;
    }
  }
  return false;
}

ExtentAd main_sequence_extent(const std::uint8_t* anchor) {
  return {get_u32(anchor + 16), get_u32(anchor + 20)};
}

ExtentAd reserve_sequence_extent(const std::uint8_t* anchor) {
  return {get_u32(anchor + 24), get_u32(anchor + 28)};
}

}  // namespace tarnwick
