// Virtual partitions (write-once media): the Virtual Allocation Table that maps their blocks,
// found near the end of the written area, and the copy of the volume's name it carries.
//
// The VAT is the data of a File Entry or Extended File Entry of file type 248 (UDF 2.00 and
// later) or 0 (UDF 1.50), embedded in the entry or in recorded extents of the physical
// partition. Its data, integers little-endian:
//   type 248: 0 (2) Length of Header = 152 + Length of Implementation Use, 2 (2) Length of
//             Implementation Use, 4 (128) Logical Volume Identifier, ...; then entries (u32)
//   type 0:   entries (u32) from byte 0; after the last, a 32-byte entity identifier
//             "*UDF Virtual Alloc Tbl" and the previous VAT's location (u32)
// Entry b holds the physical block of virtual block b; 0xFFFFFFFF marks an unused block.
//
// On UDF 1.50 the name lives in the entry's "*UDF VAT LVExtension" implementation use
// extended attribute: 48 (2) header checksum (sum of the attribute's first 48 bytes),
// 50 (8) Verification ID (the entry's Unique ID), 66 (128) Logical Volume Identifier.
// Entry: Unique ID at 160 (File Entry) or 200 (Extended File Entry).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "volume/partition.h"

namespace tarnwick {

// A recorded extent of the VAT's data: first absolute block and length in bytes.
struct VatExtent {
  std::uint32_t first = 0;
  std::uint32_t bytes = 0;
};

struct Vat {
  std::uint32_t sector = 0;                       // the VAT entry's block
  std::uint32_t physical_start = 0;               // first block of the physical partition under it
  std::array<std::uint8_t, kMaxBlockSize> entry;  // the entry's block, as read
  std::uint8_t file_type = 0;
  bool embedded = false;
  std::size_t embedded_offset = 0;  // data position inside `entry` when embedded
  std::array<VatExtent, 16> extents{};
  std::size_t extent_count = 0;
  std::uint32_t entries_offset = 0;  // data position of entry 0
  std::uint32_t entry_count = 0;
};

// Looks for the VAT of the virtual partition at table row `virtual_row` among the image's
// last 32 blocks, last first, and takes the first whose entry verifies and whose data is
// well formed. nullopt when there is none (or the volume has no matching physical row).
std::optional<Vat> find_vat(VolumeSession& session, std::uint32_t virtual_row);

// The absolute block of virtual block `block`, reading the one entry it needs; nullopt for a block
// past the table or marked unused.
std::optional<std::uint32_t> map_virtual_block(VolumeSession& session, const Vat& vat,
                                               std::uint32_t block);

// Rewrites the VAT's own Logical Volume Identifier with the new label and, unless it held that
// already, plans its write back (the entry resealed when the label lives inside it). On UDF 1.50
// the name is that of the entry's own "*UDF VAT LVExtension" attribute; a stale one (another
// writer's Verification ID), one outside the attribute space, or none names nothing any reader
// uses: the entry is left as it is, silently.
void relabel_vat(VolumeSession& session, Vat& vat);

}  // namespace tarnwick
