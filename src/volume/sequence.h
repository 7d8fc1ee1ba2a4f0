// Volume Descriptor Sequence scan: visits every label-carrying volume descriptor and, on the
// main sequence, builds the partition table from the Logical Volume Descriptor's maps.
//
// Partition Descriptor (tag 5), integers little-endian:
//   pos  size  field
//    22     2  Partition Number
//   188     4  Partition Starting Location (block)
//   192     4  Partition Length (blocks)
//
// Logical Volume Descriptor (tag 6):
//    84   128  Logical Volume Identifier
//   248    16  Logical Volume Contents Use: long_ad of the File Set Descriptor
//   268     4  Number of Partition Maps
//   440     -  Partition Maps, to the end of the block; each: byte 0 type, byte 1 length
//
// Type 1 map: 4 (2) Partition Number. Type 2 map: 5 (23) Partition Type identifier,
// 38 (2) Partition Number; metadata maps add 40 (4) Metadata File Location, 44 (4) Metadata
// Mirror File Location.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "volume/partition.h"

namespace tarnwick {

// An extent_ad: a length in bytes and a starting block.
struct ExtentAd {
  std::uint32_t length = 0;
  std::uint32_t location = 0;
};

// The most partition maps that fit after byte 440 of a Logical Volume Descriptor's block (the
// shortest map takes 6 bytes): 268 in a 2048-byte block, 12 in a 512-byte one.
constexpr std::uint32_t max_partition_maps(std::uint32_t block_size) {
  return (block_size - 440) / 6;
}

// Fills `row` from the map at `pos` of the Logical Volume Descriptor `lvd`, a block of
// `block_size` bytes, and returns the map's length. Returns nullopt, leaving `row` as it was,
// when the map does not lie wholly inside the block.
std::optional<std::uint8_t> read_partition_map(const std::uint8_t* lvd, std::uint32_t block_size,
                                               std::size_t pos, PartitionEntry& row);

// Scans the sequence in `extent` (up to block 2^32-1), 16 blocks a read, until a descriptor
// other than 1, 4, 5, 6 or 7 or the end of what could be read. Primary, Implementation Use and
// Logical Volume Descriptors are visited; the first Logical Volume Descriptor with a File Set
// Descriptor extent sets `fsd_location`, and the first of all gives `volume_name`. With
// `collect`, the last Logical Volume Descriptor's maps become the partition table, matched to
// the first six Partition Descriptors, and metadata extents are loaded.
// Stops early when no block of a chunk can be read, when the map count exceeds what fits or the
// table cannot be allocated (no table is kept), or when a metadata file entry cannot be read:
// the pass goes on with what was found.
void scan_descriptor_sequence(VolumeSession& session, ExtentAd extent, bool collect);

}  // namespace tarnwick
