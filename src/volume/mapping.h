// Logical block mapping: turns the block that a long_ad names into an absolute sector.
//
// long_ad, integers little-endian: 0 (4) Extent Length, 4 (4) Logical Block Number,
// 8 (2) Partition Reference Number (the row of the partition table), 10 (6) Implementation Use.
#pragma once

#include <cstdint>
#include <optional>

#include "volume/partition.h"

namespace tarnwick {

// The sector of the block in a metadata row's list (the mirror's with `use_mirror`), or
// nullopt when no extent of the list covers it. Blocks are numbered through the extents in
// list order.
std::optional<std::uint32_t> map_metadata_block(const PartitionEntry& row, std::uint32_t block,
                                                bool use_mirror);

// The sector of the block that the 16-byte long_ad `location` names, or nullopt when it
// cannot be mapped: a reference outside the table, a block past the chosen metadata list, or
// a virtual, sparable or other partition. A physical row maps every block to start + block
// that is not past block 2^32-1 (the caller checks the partition's length). Only reads the
// partition table.
std::optional<std::uint32_t> try_map_logical_block(const VolumeSession& session,
                                                   const std::uint8_t* location, bool use_mirror);

}  // namespace tarnwick
