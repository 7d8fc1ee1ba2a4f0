// The Anchor Volume Descriptor Pointer: where the two Volume Descriptor Sequences lie, and
// which logical block size the volume has.
//
// Anchor (tag 2), integers little-endian:
//   pos  size  field
//    16     4  main sequence extent: length in bytes
//    20     4  main sequence extent: location (block)
//    24     4  reserve sequence extent: length in bytes
//    28     4  reserve sequence extent: location (block)
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/session.h"
#include "volume/sequence.h"

namespace tarnwick {

inline constexpr std::uint32_t kAnchorSector = 256;
// The most block sizes one volume may be judged for.
inline constexpr std::size_t kMaxAnchorSizes = 3;

// True when the block of `block_size` bytes at `block` is an anchor whose tag checksum and CRC
// verify.
bool anchor_verifies(const std::uint8_t* block, std::uint32_t block_size);

// Chooses the volume's block size among `sizes` (in order of preference, at most
// kMaxAnchorSizes) by its anchor, reads that anchor into `area` (a block of at most
// kMaxBlockSize bytes) and fixes the session's block size. Block 256 is judged for every size
// first: a 2048-byte anchor there needs only to verify, any other size's must also name block
// 256 and keep its CRC inside the block. When several sizes have one there (a volume formatted
// again with another block size keeps the stale anchor), those whose volume also has its own
// anchor at N-1 win, then those with one at N-257, the first in order among equals. Only when
// no size has one are the copies at N-1, N-257 and 512 (N = whole blocks of that size) tried,
// size by size, each only when it verifies and names its own block. False when none does.
bool find_anchor(ImageSession& session, std::uint8_t* area, const std::uint32_t* sizes,
                 std::size_t size_count);

ExtentAd main_sequence_extent(const std::uint8_t* anchor);
ExtentAd reserve_sequence_extent(const std::uint8_t* anchor);

}  // namespace tarnwick
