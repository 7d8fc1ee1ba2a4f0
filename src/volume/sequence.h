// Volume Descriptor Sequence scan: visits every label-carrying volume descriptor and, on the
// main sequence, builds the partition table from the Logical Volume Descriptor's maps.
//
// Partition Descriptor (tag 5), integers little-endian:
//   pos  size  field
//    22     2  Partition Number
//   188     4  Partition Starting Location (sector)
//   192     4  Partition Length (sectors)
//
// Logical Volume Descriptor (tag 6):
//   248    16  Logical Volume Contents Use: long_ad of the File Set Descriptor
//   268     4  Number of Partition Maps
//   440     -  Partition Maps; each: byte 0 type, byte 1 length
//
// Type 1 map: 4 (2) Partition Number. Type 2 map: 5 (23) Partition Type identifier,
// 38 (2) Partition Number; metadata maps add 40 (4) Metadata File Location, 44 (4) Metadata
// Mirror File Location, 58 (1) Flags (bit 0: duplicate metadata).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/session.h"

namespace tarnwick {

// An extent_ad: a length in bytes and a starting sector.
struct ExtentAd {
  std::uint32_t length = 0;
  std::uint32_t location = 0;
};

// The most partition maps that fit in bytes 440-2047 of a Logical Volume Descriptor.
inline constexpr std::uint32_t kMaxPartitionMaps = 268;

// Fills `row` from the map at `pos` of the 2048-byte Logical Volume Descriptor `lvd` and
// returns the map's length. Returns nullopt, leaving `row` as it was, when the map does not
// lie wholly inside the descriptor.
std::optional<std::uint8_t> read_partition_map(const std::uint8_t* lvd, std::size_t pos,
                                               PartitionEntry& row);

// Scans the sequence in `extent`, 16 sectors a read, until a descriptor other than 1, 4, 5, 6
// or 7 or the end of what could be read. Primary, Implementation Use and Logical Volume
// Descriptors are visited; the first Logical Volume Descriptor with a File Set Descriptor
// extent sets `fsd_location`. With `collect`, the last Logical Volume Descriptor's maps become
// the partition table, matched to the first six Partition Descriptors, and metadata extents
// are loaded.
// Returns false when no sector of a chunk could be read, when the map count exceeds 268 or
// the table cannot be allocated (no table is kept), or when a metadata file entry cannot be
// read.
bool scan_descriptor_sequence(ImageSession& session, ExtentAd extent, bool collect);

}  // namespace tarnwick
