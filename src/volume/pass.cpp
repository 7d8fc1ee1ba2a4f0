#include "volume/pass.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "image/bytes.h"
#include "iso/boot_check.h"
#include "update/visitor.h"
#include "volume/anchor.h"
#include "volume/mapping.h"
#include "volume/sequence.h"
#include "volume/sparing.h"
#include "volume/vat.h"

namespace tarnwick {

namespace {

bool identifier_is(const std::uint8_t* vsd, const char* identifier) {
  return std::memcmp(vsd + 1, identifier, 5) == 0;
}

// Whether "NSR02" or "NSR03" stands among the 10 descriptors `spacing` bytes apart in `area`
// (the bytes from 32768), up to the first whose version byte is 0.
bool holds_nsr(VolumeSession& session, const std::uint8_t* area, std::uint32_t spacing) {
  bool found = false;
  for (std::uint32_t i = 0; i < kRecognitionDescriptors; ++i) {
    const std::uint8_t* vsd = area + std::size_t{i} * spacing;
    if (identifier_is(vsd, "NSR02")) {
      session.recognition |= kNsr02Seen;
      found = true;
    } else if (identifier_is(vsd, "NSR03")) {
      session.recognition |= kNsr03Seen;
      found = true;
    }
    if (vsd[6] == 0) break;
  }
  return found;
}

void visit_file_set_at(VolumeSession& session, std::uint8_t* area, std::uint32_t sector) {
  if (read_sectors(session, sector, 1, area) == 1) visit_descriptor(session, area, sector);
}

// Visits the File Set Descriptor where `fsd_location` leads: once on a physical, sparable or
// virtual partition; on a metadata partition the metadata file's copy, then the mirror's where
// it lies elsewhere. Only sectors that a partition really maps are read. On a virtual
// partition the VAT's own copy of the name is rewritten after the File Set Descriptor.
void visit_file_set(VolumeSession& session, std::uint8_t* area) {
  const std::uint8_t* location = session.fsd_location.data();
  const std::uint16_t reference = get_u16(location + 8);
  if (reference >= session.partition_count) return;
  const PartitionEntry& row = session.partitions[reference];
  const std::uint32_t block = get_u32(location + 4);
  switch (row.kind) {
    case PartitionKind::kPhysical:
      visit_file_set_at(session, area, map_logical_block(session, location, false, 0));
      break;
    case PartitionKind::kMetadata: {
      const std::optional<std::uint32_t> main = try_map_logical_block(session, location, false);
      const std::optional<std::uint32_t> mirror = try_map_logical_block(session, location, true);
      if (main) visit_file_set_at(session, area, *main);
      if (mirror && mirror != main) visit_file_set_at(session, area, *mirror);
      break;
    }
    case PartitionKind::kSparable:
      if (const auto sector = map_sparable_block(session, row, block)) {
        visit_file_set_at(session, area, *sector);
      }
      break;
    case PartitionKind::kVirtual: {
      std::optional<Vat> vat = find_vat(session, reference);
      if (!vat) break;
      if (const auto sector = map_virtual_block(session, *vat, block)) {
        visit_file_set_at(session, area, *sector);
      }
      if (!is_read_only(session)) relabel_vat(session, *vat);
      break;
    }
    default:
      break;
  }
}

bool run_failed(const VolumeSession& session) {
  return session.write_failed || session.descriptor_skipped;
}

// Flushes what was written and syncs it to storage; false when that fails (reported) or
// when any write of the run failed.
bool commit_writes(VolumeSession& session, const char* path) {
  if (!sync_image(session)) std::printf("Error writing file: %s\n", path);
  return !run_failed(session);
}

// An image with no UDF volume, only an ISO 9660 one: its name read, or its descriptors renamed.
bool process_iso_volume(VolumeSession& session, IsoDescriptorSet& iso, const char* path) {
  if (is_read_only(session)) {
    iso_volume_label(iso, session.current_label.data(),
                     static_cast<std::uint32_t>(session.current_label.size()));
    return true;
  }
  OldLabels old;
  take_iso_labels(iso, old);
  rename_iso_descriptors(session, iso);
  warn_what_breaks(session, iso, old, path);
  if (!commit_writes(session, path)) return false;
  std::puts("Done!");
  return true;
}

}  // namespace

std::uint32_t recognise_volume(VolumeSession& session, IsoDescriptorSet& iso) {
  std::uint32_t held = 0;  // bytes from 32768 already in the buffer
  for (std::uint32_t spacing = kOpticalBlockSize; spacing <= kMaxBlockSize; spacing *= 2) {
    const std::uint32_t wanted = kRecognitionDescriptors * spacing;
    std::uint8_t* area = ensure_buffer(*session.buffer, static_cast<std::int32_t>(wanted), true);
    if (area == nullptr) return 0;
    // A wider spacing's descriptors start with the bytes the narrower scans read: only the rest
    // is read, in 2048-byte units that continue the first read.
    const std::uint32_t units = (wanted - held) / kOpticalBlockSize;
    if (read_units(session, (kRecognitionStart + held) / kOpticalBlockSize, kOpticalBlockSize,
                   units, area + held) < units) {
      return 0;
    }
    held = wanted;
    if (spacing == kOpticalBlockSize) find_iso_descriptors(area, kRecognitionDescriptors, iso);
    if (holds_nsr(session, area, spacing)) return spacing;
  }
  return 0;
}

std::size_t allowed_block_sizes(const VolumeSession& session, std::uint32_t spacing,
                                std::uint32_t* sizes) {
  std::size_t count = 0;
  if (spacing == kOpticalBlockSize) {
    // Blocks smaller than 2048 bytes still space their descriptors 2048 bytes apart.
    for (std::uint32_t size : {kOpticalBlockSize, kMinBlockSize, 2 * kMinBlockSize}) {
      sizes[count++] = size;
    }
  } else {
    sizes[count++] = spacing;
  }
  // A volume on a device is recorded in the device's own logical sector size, and never in
  // blocks smaller than it.
  for (std::size_t i = 1; i < count; ++i) {
    if (sizes[i] == session.device_sector_size) std::rotate(sizes, sizes + i, sizes + i + 1);
  }
  return static_cast<std::size_t>(
      std::remove_if(sizes, sizes + count,
                     [&](std::uint32_t size) { return size < session.device_sector_size; }) -
      sizes);
}

bool process_volume(VolumeSession& session, const char* path) {
  switch (open_image(session, path)) {
    case OpenResult::kOpened:
      return process_open_volume(session, path);
    case OpenResult::kInUse:
      std::printf("Image is in use: %s\n", path);
      return false;
    default:
      std::printf(is_read_only(session) ? "Error opening file: %s\n"
                                        : "Error opening file for writing: %s\n",
                  path);
      return false;
  }
}

bool process_open_volume(VolumeSession& session, const char* path) {
  // The ISO 9660 descriptors are copied out of the recognition scan's bytes, which the anchor
  // search's reads replace.
  IsoDescriptorSet iso;
  const std::uint32_t spacing = recognise_volume(session, iso);
  if (spacing == 0) {
    if (first_sound(iso, IsoKind::kPrimary) != nullptr)
      return process_iso_volume(session, iso, path);
    std::printf("UDF file system not found in: %s\n", path);
    return false;
  }
  // Only a volume of 2048-byte spacing has an ISO 9660 side: the bridge.
  if (spacing != kOpticalBlockSize) iso.count = 0;
  const bool writing = !is_read_only(session);
  // The anchor's extents are still needed after the first scan has reused the session's
  // buffer, so it lives in the pass's own block area, which later holds the File Set
  // Descriptor.
  std::array<std::uint8_t, kMaxBlockSize> area;
  std::uint32_t sizes[3];
  const std::size_t size_count = allowed_block_sizes(session, spacing, sizes);
  if (!find_anchor(session, area.data(), sizes, size_count)) {
    // Descriptors found only at a wider spacing may be a 2048-byte sequence with a gap: with
    // no anchor to confirm them, no UDF volume was recognised.
    if (spacing != kOpticalBlockSize) {
      std::printf("UDF file system not found in: %s\n", path);
    } else {
      std::puts("Failed to read ADVP!");
    }
    return false;
  }
  const ExtentAd reserve = reserve_sequence_extent(area.data());

  scan_descriptor_sequence(session, main_sequence_extent(area.data()), true);
  if (writing) {
    // The main copy reaches storage before the reserve copy is touched, so an interruption
    // always leaves one complete copy. If the main copy may be damaged, the reserve copy is
    // the one to recover from: leave it alone.
    if (!sync_image(session)) std::printf("Error writing file: %s\n", path);
    if (session.write_failed) return false;
  }
  // Nothing read mode prints comes from the reserve sequence: only a relabel visits it.
  OldLabels old;
  if (writing) {
    scan_descriptor_sequence(session, reserve, false);
    take_iso_labels(iso, old);
    rename_iso_descriptors(session, iso);
  }

  const bool has_file_set = get_u32(session.fsd_location.data()) != 0;
  if (has_file_set) visit_file_set(session, area.data());
  if (!writing) return true;
  // The file set held the UDF label before it was rewritten: a boot configuration may name it.
  add_old_label(old, session.current_label.data());
  warn_what_breaks(session, iso, old, path);
  if (!commit_writes(session, path)) return false;
  if (has_file_set) std::puts("Done!");
  return true;
}

}  // namespace tarnwick
