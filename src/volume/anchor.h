// The Anchor Volume Descriptor Pointer: where the two Volume Descriptor Sequences lie.
//
// Anchor (tag 2), integers little-endian:
//   pos  size  field
//    16     4  main sequence extent: length in bytes
//    20     4  main sequence extent: location (sector)
//    24     4  reserve sequence extent: length in bytes
//    28     4  reserve sequence extent: location (sector)
#pragma once

#include <cstdint>

#include "image/session.h"
#include "volume/sequence.h"

namespace tarnwick {

inline constexpr std::uint32_t kAnchorSector = 256;

// True when the 2048-byte `sector` is an anchor whose tag checksum and CRC verify.
bool anchor_verifies(const std::uint8_t* sector);

// Reads the anchor into `area` (2048 bytes). Sector 256 is used when it verifies; otherwise
// the copies at N-1, N-257 and 512 (N = whole sectors in the image) are tried in that order,
// each only when it verifies and its Tag Location names its own sector. False when none does.
bool find_anchor(ImageSession& session, std::uint8_t* area);

ExtentAd main_sequence_extent(const std::uint8_t* anchor);
ExtentAd reserve_sequence_extent(const std::uint8_t* anchor);

}  // namespace tarnwick
