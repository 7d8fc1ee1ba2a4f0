#include "volume/anchor.h"

#include <cstring>

#include "image/bytes.h"
#include "image/tag.h"

namespace tarnwick {

namespace {

// Whether the anchor of `size`-byte blocks at `block` verifies and names the block it lies in.
bool anchor_recorded_at(ImageSession& session, std::uint32_t size, std::uint64_t block,
                        std::uint8_t* area) {
  if (block > UINT32_MAX) return false;
  const auto b = static_cast<std::uint32_t>(block);
  // A copy is trusted only where it says it was recorded: one copied from elsewhere would lead
  // to another volume's sequences.
  return read_units(session, b, size, 1, area) == 1 && anchor_verifies(area, size) &&
         get_u32(area + 12) == b;
}

bool anchor_at_256(ImageSession& session, std::uint32_t size, std::uint8_t* area) {
  // The optical block size keeps its long-standing rule: the anchor at 256 need only verify.
  if (size == kOpticalBlockSize) {
    return read_units(session, kAnchorSector, size, 1, area) == 1 && anchor_verifies(area, size);
  }
  return anchor_recorded_at(session, size, kAnchorSector, area);
}

// How strongly the volume of `size`-byte blocks claims the image by its own end anchors: 2 for
// one at N-1, 1 for one at N-257 only, 0 for neither. Formatting again writes the new volume's
// last block, which wipes a stale volume's N-1 anchor, while a stale N-257 anchor further in
// often survives.
int end_anchor_claim(ImageSession& session, std::uint32_t size, std::uint8_t* area) {
  const std::uint64_t n = image_blocks(session, size);
  if (n >= 1 && anchor_recorded_at(session, size, n - 1, area)) return 2;
  if (n >= 257 && anchor_recorded_at(session, size, n - 257, area)) return 1;
  return 0;
}

// The copies tried when block 256 holds no anchor: N-1, N-257 and 512, skipping any that do
// not exist or repeat an earlier one.
bool find_fallback_anchor(ImageSession& session, std::uint32_t size, std::uint8_t* area) {
  const std::uint64_t n = image_blocks(session, size);
  std::uint64_t tried[4] = {kAnchorSector};
  std::size_t tried_count = 1;
  const std::uint64_t candidates[] = {n - 1, n - 257, 512};
  const bool present[] = {n >= 1, n >= 257, true};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint64_t block = candidates[i];
    if (!present[i]) continue;
    bool seen = false;
    for (std::size_t t = 0; t < tried_count; ++t) seen = seen || tried[t] == block;
    if (seen) continue;
    tried[tried_count++] = block;
    if (anchor_recorded_at(session, size, block, area)) return true;
  }
  return false;
}

}  // namespace

bool anchor_verifies(const std::uint8_t* block, std::uint32_t block_size) {
  return get_u16(block) == kTagAnchor && tag_verifies(block, block_size);
}

bool find_anchor(ImageSession& session, std::uint8_t* area, const std::uint32_t* sizes,
                 std::size_t size_count) {
  // An unverified anchor would send every later write to blocks chosen by garbage.
  // Each size's block 256 is kept side by side in the scratch buffer while they are judged.
  std::size_t total = 0;
  for (std::size_t i = 0; i < size_count; ++i) total += sizes[i];
  std::uint8_t* slots = ensure_buffer(*session.buffer, static_cast<std::int32_t>(total));
  if (slots == nullptr) return false;
  std::size_t offsets[kMaxAnchorSizes] = {};
  std::size_t found[kMaxAnchorSizes] = {};
  std::size_t found_count = 0;
  for (std::size_t i = 0, at = 0; i < size_count && i < kMaxAnchorSizes; at += sizes[i], ++i) {
    offsets[i] = at;
    if (anchor_at_256(session, sizes[i], slots + at)) found[found_count++] = i;
  }
  if (found_count > 0) {
    // Several sizes have an anchor at 256 when the image was formatted again with another
    // block size: the live volume is the one with the strongest claim, the first in order
    // among equals.
    std::size_t chosen = found[0];
    for (std::size_t k = 0, best = 0; found_count > 1 && k < found_count; ++k) {
      const auto claim = static_cast<std::size_t>(end_anchor_claim(session, sizes[found[k]], area));
      if (claim > best) chosen = found[k], best = claim;
    }
    session.block_size = sizes[chosen];
    std::memcpy(area, slots + offsets[chosen], sizes[chosen]);
    return true;
  }
  for (std::size_t i = 0; i < size_count; ++i) {
    if (find_fallback_anchor(session, sizes[i], area)) {
      session.block_size = sizes[i];
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
