// Metadata file extents: the blocks that the metadata file and its mirror occupy, read from
// their File Entries, so that blocks of a metadata partition can be mapped to sectors.
//
// File Entry (tag 261) and Extended File Entry (tag 266), integers little-endian:
//   field                                        FE pos  EFE pos  size
//   ICB Tag Flags (bits 0-2: descriptor type)        34       34     2
//   Length of Extended Attributes (L_EA)            168      208     4
//   Length of Allocation Descriptors (L_AD)         172      212     4
//   Extended Attributes, then Allocation Descr.     176      216     -
//
// Allocation descriptors (type, form, size): 0 short_ad 8, 1 long_ad 16, 2 ext_ad 20,
// 3 data embedded in the entry. Extent Length: low 30 bits the length in bytes, top two bits
// the extent's type (0 = recorded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "volume/partition.h"

namespace tarnwick {

inline constexpr std::uint8_t kAdShort = 0;
inline constexpr std::uint8_t kAdLong = 1;
inline constexpr std::uint8_t kAdExtended = 2;
inline constexpr std::uint8_t kAdEmbedded = 3;

struct DecodedAd {
  std::uint16_t status = 0;           // 1: an extent was decoded; 0: none (the data is embedded)
  std::uint16_t partition_ref = 0;    // 0 for a short descriptor
  std::uint32_t extent_position = 0;  // logical block within its partition
  std::uint32_t extent_length = 0;    // the Extent Length field as recorded
};

// Where the allocation descriptors (or embedded data) of the File Entry or Extended File
// Entry in `block` (of `block_size` bytes) begin, or nullopt (outputs untouched) when the
// block is neither. `ad_type` receives the descriptor type; `ad_count`, if given, the number
// of descriptors (for type 3 the bytes of embedded data) that lie wholly inside the block:
// none when the start is at or past the block's end. For types 4-7 `ad_count` is left
// unchanged.
std::optional<std::size_t> locate_allocation_descriptors(const std::uint8_t* block,
                                                         std::uint32_t block_size,
                                                         std::uint8_t& ad_type,
                                                         std::uint32_t* ad_count);

// Decodes the descriptor at `pos` of `block` (of `block_size` bytes) in the form `ad_type`
// names, and returns the position just past it (`pos` itself for embedded data, status 0);
// nullopt for types 4-7 or a descriptor that would run past the block.
std::optional<std::size_t> next_allocation_descriptor(const std::uint8_t* block,
                                                      std::uint32_t block_size, std::size_t pos,
                                                      std::uint8_t ad_type, DecodedAd& decoded);

// Loads the extents of the metadata file and of its mirror of a metadata row, using the first
// block of `work_area`. The list of a file ends at its first extent that is not recorded.
// Returns false only when the metadata file's entry sector cannot be read.
bool load_metadata_extents(ImageSession& session, PartitionEntry& entry, std::uint8_t* work_area);

}  // namespace tarnwick
