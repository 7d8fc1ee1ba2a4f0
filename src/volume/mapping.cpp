#include "volume/mapping.h"

#include "image/bytes.h"

namespace tarnwick {

std::optional<std::uint32_t> map_metadata_block(const PartitionEntry& row, std::uint32_t block,
                                                bool use_mirror) {
  const MetadataExtent* extents = use_mirror ? row.mirror_extents.get() : row.main_extents.get();
  const std::int32_t count = use_mirror ? row.mirror_extent_count : row.main_extent_count;
  std::uint32_t base = 0;
  for (std::int32_t i = 0; extents != nullptr && i < count; ++i) {
    const MetadataExtent& extent = extents[i];
    const std::uint32_t sectors = extent.last - extent.first + 1;
    if (base <= block && block < base + sectors) return extent.first + (block - base);
    base += sectors;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> try_map_logical_block(const VolumeSession& session,
                                                   const std::uint8_t* location, bool use_mirror) {
  const std::uint32_t block = get_u32(location + 4);
  const std::uint16_t reference = get_u16(location + 8);
  if (reference >= session.partition_count) return std::nullopt;
  const PartitionEntry& row = session.partitions[reference];
  switch (row.kind) {
    case PartitionKind::kPhysical:
      return block_after(row.start, block);
    case PartitionKind::kMetadata:
      return map_metadata_block(row, block, use_mirror);
    default:
      return std::nullopt;
  }
}

}  // namespace tarnwick
