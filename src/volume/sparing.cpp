#include "volume/sparing.h"

#include <cstring>

#include "image/bytes.h"
#include "image/tag.h"

namespace tarnwick {

namespace {

// The identifier field's 23 bytes: the name, then zeros.
constexpr char kSparingIdentifier[23] = "*UDF Sparing Table";
constexpr std::size_t kEntries = 56;
constexpr std::uint32_t kFreeEntries = 0xFFFFFFF0;

// Reads the sparing table at `location` into the session's buffer and returns it, or null
// when it does not verify. Reads only as many blocks as its own CRC length needs.
const std::uint8_t* load_table(ImageSession& session, std::uint32_t location,
                               std::uint32_t table_size) {
  const std::uint32_t block_size = session.block_size;
  std::uint8_t* bytes = ensure_buffer(*session.buffer, static_cast<std::int32_t>(block_size));
  if (bytes == nullptr || read_sectors(session, location, 1, bytes) != 1) return nullptr;
  // An all-zero sector passes checksum and CRC; its location and identifier do not.
  if (get_u16(bytes) != 0 || get_u32(bytes + 12) != location) return nullptr;
  if (std::memcmp(bytes + 17, kSparingIdentifier, sizeof(kSparingIdentifier)) != 0) {
    return nullptr;
  }
  if (bytes[4] != tag_checksum(bytes)) return nullptr;
  const std::uint32_t covered = kTagSize + get_u16(bytes + 10);
  if (covered > table_size) return nullptr;
  const std::uint32_t blocks = (covered + block_size - 1) / block_size;
  if (blocks > 1) {  // the rest of the table after the block already read
    bytes = ensure_buffer(*session.buffer, static_cast<std::int32_t>(blocks * block_size), true);
    if (bytes == nullptr || !block_after(location, blocks - 1) ||
        read_sectors(session, location + 1, blocks - 1, bytes + block_size) != blocks - 1)
      return nullptr;
  }
  if (!tag_verifies(bytes, covered)) return nullptr;
  const std::uint32_t entries = get_u16(bytes + 48);
  if (kEntries + std::size_t{entries} * 8 > covered) return nullptr;
  return bytes;
}

}  // namespace

std::optional<std::uint32_t> map_sparable_block(ImageSession& session, const PartitionEntry& row,
                                                std::uint32_t block) {
  const SparingMap& map = row.sparing;
  if (map.packet_length == 0) return std::nullopt;
  for (std::size_t i = 0; i < map.table_count; ++i) {
    const std::uint8_t* table = load_table(session, map.table_locations[i], map.table_size);
    if (table == nullptr) continue;
    const std::uint32_t offset = block % map.packet_length;
    const std::uint32_t packet = block - offset;
    const std::uint32_t entries = get_u16(table + 48);
    for (std::uint32_t e = 0; e < entries; ++e) {
      const std::uint8_t* entry = table + kEntries + std::size_t{e} * 8;
      const std::uint32_t original = get_u32(entry);
      if (original < kFreeEntries && original == packet)
        return block_after(get_u32(entry + 4), offset);
    }
    return block_after(row.start, block);
  }
  return std::nullopt;
}

}  // namespace tarnwick
