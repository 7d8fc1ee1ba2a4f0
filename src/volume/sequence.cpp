#include "volume/sequence.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "image/bytes.h"
#include "image/tag.h"
#include "update/visitor.h"
#include "volume/metadata.h"

namespace tarnwick {

namespace {

constexpr std::uint32_t kChunkSectors = 16;
constexpr std::size_t kMaxRecordedPartitions = 6;
constexpr std::size_t kFirstMap = 440;
constexpr std::size_t kLogicalVolumeId = 84;
constexpr std::size_t kTypeIdentifier = 5;
constexpr std::size_t kTypeIdentifierSize = 23;

// "*UDF Virtual Partition" is 22 characters; its 23rd byte must be zero.
constexpr char kMetadataId[] = "*UDF Metadata Partition";
constexpr char kVirtualId[] = "*UDF Virtual Partition";
constexpr char kSparableId[] = "*UDF Sparable Partition";
static_assert(sizeof(kMetadataId) > kTypeIdentifierSize &&
              sizeof(kVirtualId) == kTypeIdentifierSize &&
              sizeof(kSparableId) > kTypeIdentifierSize);

struct RecordedPartition {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::uint16_t number = 0;
};

// Compares all 23 identifier bytes; for the 22-character virtual identifier that includes
// its terminating zero.
bool type_is(const std::uint8_t* map, const char* identifier) {
  return std::memcmp(map + kTypeIdentifier, identifier, kTypeIdentifierSize) == 0;
}

void read_sparing_map(const std::uint8_t* map, SparingMap& sparing) {
  sparing.packet_length = get_u16(map + 40);
  sparing.table_count = std::min<std::uint8_t>(map[42], 4);
  sparing.table_size = get_u32(map + 44);
  for (std::size_t i = 0; i < sparing.table_count; ++i) {
    sparing.table_locations[i] = get_u32(map + 48 + 4 * i);
  }
}

// Whether the Logical Volume Descriptor's maps include a virtual partition map; such a
// volume records its two maps on UDF 1.50 as well, and they must be read.
bool has_virtual_map(const std::uint8_t* lvd, std::uint32_t block_size, std::uint32_t count) {
  std::size_t pos = kFirstMap;
  for (std::uint32_t k = 0; k < count; ++k) {
    PartitionEntry row;
    const std::optional<std::uint8_t> length = read_partition_map(lvd, block_size, pos, row);
    if (!length) return false;
    if (row.kind == PartitionKind::kVirtual) return true;
    pos += *length;
  }
  return false;
}

// The Logical Volume Descriptor's part in a collecting scan: its maps become the table.
// Returns false when the table cannot be had; the session then keeps none.
bool build_partition_table(VolumeSession& session, const std::uint8_t* lvd) {
  const std::uint32_t count = get_u32(lvd + 268);
  const std::uint32_t block_size = session.block_size;
  session.partitions.reset();
  session.partition_count = 0;
  // A count read from the disc must not size a huge allocation: more maps cannot fit.
  if (count > max_partition_maps(block_size)) return false;
  // UDF 1.50 volumes with two maps other than a virtual one carry them in a layout this
  // tool does not read: keep no table and go on with the rest of the sequence.
  if ((session.recognition & kNsr02Seen) != 0 && count == 2 &&
      !has_virtual_map(lvd, block_size, count)) {
    return true;
  }
  std::unique_ptr<PartitionEntry[]> table(new (std::nothrow) PartitionEntry[count]());
  if (!table) return false;
  std::size_t pos = kFirstMap;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::optional<std::uint8_t> length = read_partition_map(lvd, block_size, pos, table[k]);
    if (!length) {
      // A map that runs past the descriptor ends the walk: it and every later row are "other"
      // rather than all-zero rows that would read as "physical, start 0".
      for (std::uint32_t rest = k; rest < count; ++rest) table[rest].kind = PartitionKind::kOther;
      break;
    }
    pos += *length;
  }
  session.partitions = std::move(table);
  session.partition_count = count;
  return true;
}

void match_partitions(VolumeSession& session, const RecordedPartition* recorded,
                      std::size_t recorded_count) {
  for (std::uint32_t r = 0; r < session.partition_count; ++r) {
    PartitionEntry& row = session.partitions[r];
    for (std::size_t i = 0; i < recorded_count; ++i) {
      if (row.number == recorded[i].number) {
        row.start = recorded[i].start;
        row.length = recorded[i].length;
      }
    }
  }
}

}  // namespace

std::optional<std::uint8_t> read_partition_map(const std::uint8_t* lvd, std::uint32_t block_size,
                                               std::size_t pos, PartitionEntry& row) {
  if (pos > block_size - 2) return std::nullopt;
  const std::uint8_t* map = lvd + pos;
  const std::uint8_t type = map[0];
  const std::uint8_t length = map[1];
  const std::size_t needed = std::max<std::size_t>(length, type == 1 ? 6 : type == 2 ? 64 : 2);
  if (block_size - pos < needed) return std::nullopt;
  row.kind = PartitionKind::kOther;
  if (type == 1) {
    row.kind = PartitionKind::kPhysical;
    row.number = get_u16(map + 4);
  } else if (type == 2 && type_is(map, kMetadataId)) {
    row.kind = PartitionKind::kMetadata;
    row.number = get_u16(map + 38);
    row.metadata_file = get_u32(map + 40);
    row.mirror_file = get_u32(map + 44);
  } else if (type == 2 && type_is(map, kVirtualId)) {
    row.kind = PartitionKind::kVirtual;
    row.number = get_u16(map + 38);
  } else if (type == 2 && type_is(map, kSparableId)) {
    row.kind = PartitionKind::kSparable;
    row.number = get_u16(map + 38);
    read_sparing_map(map, row.sparing);
  }
  return length;
}

void scan_descriptor_sequence(VolumeSession& session, ExtentAd extent, bool collect) {
  const std::uint32_t block_size = session.block_size;
  // Block numbers end at 2^32-1: an extent that runs past it is scanned up to it, never round
  // to the blocks at the start of the volume.
  const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      extent.length / block_size, (std::uint64_t{1} << 32) - extent.location));
  std::uint8_t* work = ensure_buffer(
      *session.buffer, static_cast<std::int32_t>(std::min(kChunkSectors, n) * block_size));
  if (work == nullptr) return;
  std::array<RecordedPartition, kMaxRecordedPartitions> recorded{};
  std::size_t recorded_count = 0;
  std::uint32_t filled = 0;
  bool ended = false;
  for (std::uint32_t j = 0; j != n && !ended; ++j) {
    const std::uint32_t slot = j % kChunkSectors;
    const std::uint32_t sector = extent.location + j;
    if (slot == 0) {
      filled = read_sectors(session, sector, std::min(kChunkSectors, n - j), work);
      if (filled == 0) return;
    }
    // Slots the read did not fill hold nothing of this sequence.
    if (slot >= filled) break;
    std::uint8_t* d = work + std::size_t{slot} * block_size;
    switch (get_u16(d)) {
      case kTagPrimaryVolume:
      case kTagImplementationUse:
        visit_descriptor(session, d, sector, sector);
        break;
      case kTagPartition:
        if (collect && recorded_count < kMaxRecordedPartitions) {
          recorded[recorded_count++] = {get_u32(d + 188), get_u32(d + 192), get_u16(d + 22)};
        }
        break;
      case kTagLogicalVolume:
        if (get_u32(session.fsd_location.data()) == 0) {
          std::memcpy(session.fsd_location.data(), d + 248, session.fsd_location.size());
        }
        if (!session.has_volume_name) {
          std::memcpy(session.volume_name.data(), d + kLogicalVolumeId, session.volume_name.size());
          session.has_volume_name = true;
        }
        visit_descriptor(session, d, sector, sector);
        if (collect && !build_partition_table(session, d)) return;
        break;
      case kTagUnallocatedSpace:
        break;
      default:
        ended = true;
        break;
    }
  }
  if (!collect) return;
  match_partitions(session, recorded.data(), recorded_count);
  for (std::uint32_t r = 0; r < session.partition_count; ++r) {
    PartitionEntry& row = session.partitions[r];
    if (row.kind == PartitionKind::kMetadata && !load_metadata_extents(session, row, work)) {
      return;
    }
  }
}

}  // namespace tarnwick
