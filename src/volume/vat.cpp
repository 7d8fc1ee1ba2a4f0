#include "volume/vat.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "image/bytes.h"
#include "image/tag.h"
#include "update/visitor.h"
#include "volume/metadata.h"

namespace tarnwick {

namespace {

constexpr std::uint32_t kVatSearchSectors = 32;
constexpr std::uint8_t kFileTypeVat = 248;
constexpr std::uint8_t kFileTypeVat150 = 0;
constexpr std::uint32_t kVatHeaderBase = 152;
constexpr std::uint32_t kLabelInHeader = 4;
constexpr std::uint32_t kLabelSize = 128;
constexpr std::uint32_t kUnusedBlock = 0xFFFFFFFF;
constexpr char kVat150Identifier[] = "*UDF Virtual Alloc Tbl";
constexpr char kLvExtensionIdentifier[] = "*UDF VAT LVExtension";
constexpr std::uint32_t kImplementationUseAttribute = 2048;

struct EntryLayout {
  std::size_t ea_start = 0;  // position of the extended attributes in the entry
  std::uint32_t l_ea = 0;
  std::size_t unique_id = 0;
};

EntryLayout layout_of(const std::uint8_t* entry) {
  if (get_u16(entry) == kTagFileEntry) return {176, get_u32(entry + 168), 160};
  return {216, get_u32(entry + 208), 200};
}

// The physical row that holds the virtual partition's blocks: the type 1 map with its number.
std::optional<std::uint32_t> physical_row_of(const VolumeSession& session,
                                             std::uint32_t virtual_row) {
  const std::uint16_t number = session.partitions[virtual_row].number;
  for (std::uint32_t r = 0; r < session.partition_count; ++r) {
    const PartitionEntry& row = session.partitions[r];
    if (row.kind == PartitionKind::kPhysical && row.number == number) return r;
  }
  return std::nullopt;
}

// Copies `count` bytes at data position `offset` of the VAT into `out`. False when they lie
// outside the data or a sector cannot be read.
bool read_vat_bytes(VolumeSession& session, const Vat& vat, std::uint64_t offset,
                    std::uint32_t count, std::uint8_t* out) {
  const std::uint32_t block_size = session.block_size;
  if (vat.embedded) {
    if (vat.embedded_offset + offset + count > block_size) return false;
    std::memcpy(out, vat.entry.data() + vat.embedded_offset + offset, count);
    return true;
  }
  std::array<std::uint8_t, kMaxBlockSize> block;
  std::uint64_t base = 0;
  for (std::size_t i = 0; i < vat.extent_count && count > 0; ++i) {
    const VatExtent& e = vat.extents[i];
    while (count > 0 && offset >= base && offset < base + e.bytes) {
      const std::uint64_t within = offset - base;
      const std::optional<std::uint32_t> s = block_after(e.first, within / block_size);
      if (!s || read_sectors(session, *s, 1, block.data()) != 1) return false;
      const std::uint64_t at = within % block_size;
      const std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>({count, block_size - at, base + e.bytes - offset}));
      std::memcpy(out, block.data() + at, n);
      out += n;
      offset += n;
      count -= n;
    }
    base += e.bytes;
  }
  return count == 0;
}

// Fills the data location of the VAT from its entry: embedded, or recorded extents in the
// physical partition that together cover the information length.
bool locate_data(const VolumeSession& session, Vat& vat, std::uint32_t physical_row,
                 std::uint64_t info_length) {
  const std::uint8_t* entry = vat.entry.data();
  const std::uint32_t block_size = session.block_size;
  std::uint8_t ad_type = 0;
  std::uint32_t count = 0;
  const std::optional<std::size_t> start =
      locate_allocation_descriptors(entry, block_size, ad_type, &count);
  if (!start) return false;
  if (ad_type == kAdEmbedded) {
    // `count` is L_AD cut to the block: the data must fit in both.
    if (info_length > count) return false;
    vat.embedded = true;
    vat.embedded_offset = *start;
    return true;
  }
  if (ad_type != kAdShort && ad_type != kAdLong) return false;
  const std::uint32_t physical_start = session.partitions[physical_row].start;
  std::uint64_t covered = 0;
  std::size_t pos = *start;
  for (std::uint32_t i = 0; i < count && covered < info_length; ++i) {
    DecodedAd ad;
    const std::optional<std::size_t> next =
        next_allocation_descriptor(entry, block_size, pos, ad_type, ad);
    if (!next || vat.extent_count == vat.extents.size()) return false;
    if ((ad.extent_length >> 30) != 0) return false;
    if (ad_type == kAdLong && ad.partition_ref != physical_row) return false;
    const std::uint32_t bytes = ad.extent_length & 0x3FFFFFFF;
    const std::optional<std::uint32_t> first = block_after(physical_start, ad.extent_position);
    if (!first) return false;
    vat.extents[vat.extent_count++] = {*first, bytes};
    covered += bytes;
    pos = *next;
  }
  return covered >= info_length;
}

// Checks the data's own framing and sets where the entries are and how many there are.
bool frame_entries(VolumeSession& session, Vat& vat, std::uint64_t info_length) {
  if (vat.file_type == kFileTypeVat) {
    std::uint8_t header[4];
    if (info_length < 4 || !read_vat_bytes(session, vat, 0, 4, header)) return false;
    const std::uint32_t header_length = get_u16(header);
    if (header_length != kVatHeaderBase + get_u16(header + 2) || header_length > info_length) {
      return false;
    }
    vat.entries_offset = header_length;
    vat.entry_count = static_cast<std::uint32_t>((info_length - header_length) / 4);
    return true;
  }
  if (info_length < 36) return false;
  const std::uint64_t count = (info_length - 36) / 4;
  std::uint8_t regid[24];
  if (!read_vat_bytes(session, vat, count * 4, 24, regid)) return false;
  if (std::memcmp(regid + 1, kVat150Identifier, sizeof(kVat150Identifier)) != 0) return false;
  vat.entries_offset = 0;
  vat.entry_count = static_cast<std::uint32_t>(count);
  return true;
}

// Where the 128-byte label of a UDF 1.50 VAT lies in its entry, or nullopt when no attribute
// inside the verified attribute space is the entry's own "*UDF VAT LVExtension" (one whose
// Verification ID is not the entry's Unique ID was left by another writer). The attribute's
// header checksum does not gate it: it covers only the first 48 bytes, not the name, and
// readers that do not check it still show the name, which must then be the new one too.
std::optional<std::size_t> lv_extension_label(const std::uint8_t* entry, std::uint32_t block_size) {
  const EntryLayout l = layout_of(entry);
  if (l.ea_start + l.l_ea > block_size || l.l_ea < 24) return std::nullopt;
  const std::uint8_t* header = entry + l.ea_start;
  if (get_u16(header) != kTagExtendedAttributeHeader || !tag_verifies(header, l.l_ea)) {
    return std::nullopt;
  }
  std::uint64_t pos = get_u32(header + 16);
  while (pos + 48 <= l.l_ea) {
    const std::uint8_t* attribute = header + pos;
    const std::uint32_t length = get_u32(attribute + 8);
    if (length < 48 || pos + length > l.l_ea) return std::nullopt;
    if (get_u32(attribute) == kImplementationUseAttribute &&
        std::memcmp(attribute + 17, kLvExtensionIdentifier, sizeof(kLvExtensionIdentifier) - 1) ==
            0) {
      if (length < 66 + kLabelSize || std::memcmp(attribute + 50, entry + l.unique_id, 8) != 0) {
        return std::nullopt;
      }
      return static_cast<std::size_t>(l.ea_start + pos + 66);
    }
    pos += length;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Vat> find_vat(VolumeSession& session, std::uint32_t virtual_row) {
  const std::optional<std::uint32_t> physical_row = physical_row_of(session, virtual_row);
  if (!physical_row) return std::nullopt;
  const std::uint32_t physical_start = session.partitions[*physical_row].start;
  const std::uint32_t block_size = session.block_size;
  const std::uint64_t n = image_blocks(session, block_size);
  for (std::uint64_t back = 1; back <= kVatSearchSectors && back <= n; ++back) {
    const std::uint64_t s = n - back;
    if (s > UINT32_MAX || s < physical_start) continue;
    Vat vat;
    vat.sector = static_cast<std::uint32_t>(s);
    vat.physical_start = physical_start;
    std::uint8_t* entry = vat.entry.data();
    if (read_sectors(session, vat.sector, 1, entry) != 1) continue;
    const std::uint16_t tag = get_u16(entry);
    if (tag != kTagFileEntry && tag != kTagExtendedFileEntry) continue;
    if (!tag_verifies(entry, block_size)) continue;
    // The entry must say it was recorded here; a VAT of another session says otherwise.
    if (get_u32(entry + 12) != vat.sector - physical_start) continue;
    vat.file_type = entry[27];
    if (vat.file_type != kFileTypeVat && vat.file_type != kFileTypeVat150) continue;
    const std::uint64_t info_length =
        std::uint64_t{get_u32(entry + 56)} | std::uint64_t{get_u32(entry + 60)} << 32;
    if (!locate_data(session, vat, *physical_row, info_length)) continue;
    if (!frame_entries(session, vat, info_length)) continue;
    return vat;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> map_virtual_block(VolumeSession& session, const Vat& vat,
                                               std::uint32_t block) {
  if (block >= vat.entry_count) return std::nullopt;
  std::uint8_t bytes[4] = {};
  if (!read_vat_bytes(session, vat, vat.entries_offset + std::uint64_t{block} * 4, 4, bytes)) {
    return std::nullopt;
  }
  const std::uint32_t physical = get_u32(bytes);
  if (physical == kUnusedBlock) return std::nullopt;
  return block_after(vat.physical_start, physical);
}

void relabel_vat(VolumeSession& session, Vat& vat) {
  const std::uint32_t block_size = session.block_size;
  std::uint8_t* entry = vat.entry.data();
  std::optional<std::size_t> label_in_entry;
  if (vat.file_type == kFileTypeVat150) {
    // Readers take the name from the Logical Volume Descriptor unless the attribute verifies.
    label_in_entry = lv_extension_label(entry, block_size);
    if (!label_in_entry) return;
  } else if (vat.embedded) {
    label_in_entry = vat.embedded_offset + kLabelInHeader;
    if (*label_in_entry + kLabelSize > block_size) return;
  }
  if (label_in_entry) {
    if (!tag_verifies(entry, block_size)) {
      report_unverified(session, vat.sector);
      return;
    }
    if (std::memcmp(entry + *label_in_entry, session.new_label_long.data(), kLabelSize) == 0) {
      return;  // it carries the name already
    }
    std::memcpy(entry + *label_in_entry, session.new_label_long.data(), kLabelSize);
    seal_descriptor_tag(entry, get_u16(entry + 10));
    plan_write(session, vat.sector, block_size, entry, WriteKind::kVat);
    return;
  }
  // The header lies in the first block of the first extent, an untagged data block.
  if (vat.extent_count == 0 || vat.extents[0].bytes < kLabelInHeader + kLabelSize) return;
  std::array<std::uint8_t, kMaxBlockSize> block;
  if (read_sectors(session, vat.extents[0].first, 1, block.data()) != 1 ||
      std::memcmp(block.data() + kLabelInHeader, session.new_label_long.data(), kLabelSize) == 0) {
    return;
  }
  std::memcpy(block.data() + kLabelInHeader, session.new_label_long.data(), kLabelSize);
  plan_write(session, vat.extents[0].first, block_size, block.data(), WriteKind::kVat);
}

}  // namespace tarnwick
