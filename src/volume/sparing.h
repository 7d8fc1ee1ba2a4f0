// Sparable partitions: blocks whose packet was relocated by a sparing table are found at the
// table's mapped location, every other block at the partition's start + block.
//
// Sparing Table (tag identifier 0), integers little-endian; it may span several blocks:
//   pos  size  field
//    16    32  Sparing Identifier: entity identifier, "*UDF Sparing Table" from byte 17
//    48     2  Reallocation Table Length: number of map entries
//    56   8*n  map entries: Original Location u32, Mapped Location u32 (absolute block);
//              an Original Location of 0xFFFFFFF0 or above marks a free or unusable entry
#pragma once

#include <cstdint>
#include <optional>

#include "volume/partition.h"

namespace tarnwick {

// The absolute block of `block` of the sparable partition `row`, using the first of its sparing
// tables that verifies (tag identifier 0 recorded at its own block, the identifier, a CRC
// length within the map's table size, checksum and CRC, and every entry inside the bytes the
// CRC covers). nullopt when the packet length is 0 or no table verifies: nothing is guessed.
// Uses the session's scratch buffer.
std::optional<std::uint32_t> map_sparable_block(ImageSession& session, const PartitionEntry& row,
                                                std::uint32_t block);

}  // namespace tarnwick
