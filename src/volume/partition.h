// Partition table: one row per partition map of the logical volume, and the run's record as
// the volume pass sees it (the image session plus that table).
//
// Filled by the descriptor sequence scan (volume/sequence.h) and read by logical block
// mapping.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "image/session.h"

namespace tarnwick {

enum class PartitionKind : std::uint8_t {
  kPhysical = 0,
  kVirtual = 1,
  kSparable = 2,
  kMetadata = 3,
  kOther = 4,
};

// First and last absolute block of one extent of the metadata file or its mirror;
// `last` is `first` - 1 (wrapping) for an extent of length 0.
struct MetadataExtent {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

// What a sparable partition map says about its sparing tables.
//
// Type 2 map, "*UDF Sparable Partition", integers little-endian:
//   pos  size  field
//    40     2  Packet Length (blocks)
//    42     1  Number of Sparing Tables (at most 4 are used)
//    44     4  Size of each Sparing Table (bytes)
//    48   4*n  Locations of the Sparing Tables (absolute blocks)
struct SparingMap {
  std::uint16_t packet_length = 0;
  std::uint8_t table_count = 0;
  std::uint32_t table_size = 0;
  std::array<std::uint32_t, 4> table_locations{};
};

struct PartitionEntry {
  std::uint32_t start = 0;   // Partition Starting Location of the matching Partition Descriptor
  std::uint32_t length = 0;  // Partition Length (blocks): a block at or past it is not mapped
  std::uint16_t number = 0;  // Partition Number from the map; 0 for kind other
  PartitionKind kind = PartitionKind::kPhysical;
  std::uint32_t metadata_file = 0;  // logical block of the metadata file within this partition
  std::uint32_t mirror_file = 0;    // logical block of the mirror file; 0 means no mirror
  std::unique_ptr<MetadataExtent[]> main_extents;
  std::int32_t main_extent_count = 0;
  std::unique_ptr<MetadataExtent[]> mirror_extents;
  std::int32_t mirror_extent_count = 0;
  SparingMap sparing;  // kind sparable only
};

// The image session and the volume's partition table, which lives until the run ends.
struct VolumeSession : ImageSession {
  std::unique_ptr<PartitionEntry[]> partitions;
  std::uint32_t partition_count = 0;
  // The Logical Volume Identifier (a 128-byte d-string) of the first Logical Volume Descriptor
  // met: the volume's name where no File Set Descriptor can be read, as other readers show it.
  std::array<std::uint8_t, 128> volume_name{};
  bool has_volume_name = false;
};

}  // namespace tarnwick
