#include "volume/metadata.h"

#include <algorithm>
#include <new>

#include "image/bytes.h"
#include "image/tag.h"

namespace tarnwick {

namespace {

constexpr std::uint32_t kExtentLengthMask = 0x3FFFFFFF;

std::size_t ad_size(std::uint8_t ad_type) {
  switch (ad_type) {
    case kAdShort:
      return 8;
    case kAdLong:
      return 16;
    case kAdExtended:
      return 20;
    default:
      return 0;
  }
}

// Builds the extent list of the entry in `block` relative to the row's start. An empty
// or missing list leaves `extents` null and `count` 0.
void build_extent_list(const std::uint8_t* block, std::uint32_t block_size,
                       std::uint32_t partition_start, std::unique_ptr<MetadataExtent[]>& extents,
                       std::int32_t& count) {
  std::uint8_t ad_type = 0;
  std::uint32_t ad_count = 0;
  const std::optional<std::size_t> start =
      locate_allocation_descriptors(block, block_size, ad_type, &ad_count);
  if (!start || ad_size(ad_type) == 0 || ad_count == 0) return;
  std::unique_ptr<MetadataExtent[]> list(new (std::nothrow) MetadataExtent[ad_count]());
  if (!list) return;
  std::size_t pos = *start;
  std::uint32_t stored = 0;
  while (stored < ad_count) {
    DecodedAd decoded;
    const std::optional<std::size_t> next =
        next_allocation_descriptor(block, block_size, pos, ad_type, decoded);
    if (!next || decoded.status != 1) break;
    // Only recorded extents hold the file's data; an unrecorded or continuation extent mapped
    // as data would send blocks to sectors that hold something else.
    if ((decoded.extent_length >> 30) != 0) break;
    const std::uint32_t length = decoded.extent_length & kExtentLengthMask;
    const std::uint32_t blocks = (length + (block_size - 1)) / block_size;
    // An extent whose blocks would run past block 2^32-1 names blocks that do not exist.
    const std::optional<std::uint32_t> first =
        block_after(partition_start, decoded.extent_position);
    if (!first || (blocks > 0 && !block_after(*first, blocks - 1))) break;
    list[stored].first = *first;
    list[stored].last = *first + blocks - 1;
    ++stored;
    pos = *next;
  }
  if (stored == 0) return;
  extents = std::move(list);
  count = static_cast<std::int32_t>(stored);
}

}  // namespace

std::optional<std::size_t> locate_allocation_descriptors(const std::uint8_t* sector,
                                                         std::uint32_t block_size,
                                                         std::uint8_t& ad_type,
                                                         std::uint32_t* ad_count) {
  std::uint64_t base = 0;
  std::uint32_t l_ea = 0;
  std::uint32_t l_ad = 0;
  switch (get_u16(sector)) {
    case kTagFileEntry:
      l_ea = get_u32(sector + 168);
      l_ad = get_u32(sector + 172);
      base = 176;
      break;
    case kTagExtendedFileEntry:
      l_ea = get_u32(sector + 208);
      l_ad = get_u32(sector + 212);
      base = 216;
      break;
    default:
      return std::nullopt;
  }
  ad_type = static_cast<std::uint8_t>(get_u16(sector + 34) & 7);
  const std::uint64_t pos = std::min<std::uint64_t>(base + l_ea, block_size);
  const std::uint64_t room = block_size - pos;
  if (ad_count != nullptr) {
    if (ad_type == kAdEmbedded) {
      *ad_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(l_ad, room));
    } else if (const std::size_t size = ad_size(ad_type); size != 0) {
      *ad_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(l_ad / size, room / size));
    }
  }
  return static_cast<std::size_t>(pos);
}

std::optional<std::size_t> next_allocation_descriptor(const std::uint8_t* sector,
                                                      std::uint32_t block_size, std::size_t pos,
                                                      std::uint8_t ad_type, DecodedAd& decoded) {
  if (ad_type == kAdEmbedded) {
    decoded.status = 0;
    return pos;
  }
  const std::size_t size = ad_size(ad_type);
  if (size == 0 || pos > block_size || block_size - pos < size) return std::nullopt;
  const std::uint8_t* ad = sector + pos;
  decoded.status = 1;
  decoded.extent_length = get_u32(ad);
  decoded.extent_position = get_u32(ad + (ad_type == kAdExtended ? 12 : 4));
  // A short descriptor names no partition: its extent lies in the one that holds its entry.
  decoded.partition_ref = ad_type == kAdShort ? 0 : get_u16(ad + (ad_type == kAdExtended ? 16 : 8));
  return pos + size;
}

bool load_metadata_extents(ImageSession& session, PartitionEntry& entry, std::uint8_t* work_area) {
  const std::optional<std::uint32_t> file = block_after(entry.start, entry.metadata_file);
  if (!file || read_sectors(session, *file, 1, work_area) != 1) return false;
  build_extent_list(work_area, session.block_size, entry.start, entry.main_extents,
                    entry.main_extent_count);
  if (entry.mirror_file == 0) return true;
  const std::optional<std::uint32_t> mirror = block_after(entry.start, entry.mirror_file);
  if (!mirror || read_sectors(session, *mirror, 1, work_area) != 1) return true;
  build_extent_list(work_area, session.block_size, entry.start, entry.mirror_extents,
                    entry.mirror_extent_count);
  return true;
}

}  // namespace tarnwick
