#include "volume/pass.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "image/bytes.h"
#include "image/tag.h"
#include "iso/boot_check.h"
#include "text/dstring.h"
#include "text/unicode.h"
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
      found = true;
    }
    if (vsd[6] == 0) break;
  }
  return found;
}

// The copies of the File Set Descriptor a pass found: read whole where the volume maps them,
// holding tag identifier 256.
struct FileSetCopies {
  int found = 0;
  bool missing = false;  // a copy the volume maps was not found
};

// Reads the copy at `sector` and, when it is one, visits it.
void visit_file_set_copy(VolumeSession& session, std::uint8_t* area,
                         std::optional<std::uint32_t> sector, FileSetCopies& copies) {
  if (sector && read_sectors(session, *sector, 1, area) == 1 && get_u16(area) == kTagFileSet) {
    visit_descriptor(session, area, *sector, get_u32(session.fsd_location.data() + 4));
    ++copies.found;
  } else {
    copies.missing = true;
  }
}

// Visits the File Set Descriptor where `fsd_location` leads: once on a physical, sparable or
// virtual partition (the first two only inside the partition's length); on a metadata
// partition the metadata file's copy, where the file maps it, then the mirror's where it lies
// elsewhere. Only blocks that a partition really maps are read. On a virtual partition the
// VAT's own copy of the name is rewritten after the File Set Descriptor.
FileSetCopies visit_file_set(VolumeSession& session, std::uint8_t* area) {
  FileSetCopies copies;
  const std::uint8_t* location = session.fsd_location.data();
  const std::uint16_t reference = get_u16(location + 8);
  if (reference >= session.partition_count) return copies;
  const PartitionEntry& row = session.partitions[reference];
  const std::uint32_t block = get_u32(location + 4);
  switch (row.kind) {
    case PartitionKind::kPhysical:
      if (block < row.length) {
        visit_file_set_copy(session, area, try_map_logical_block(session, location, false), copies);
      }
      break;
    case PartitionKind::kMetadata: {
      const std::optional<std::uint32_t> main = try_map_logical_block(session, location, false);
      const std::optional<std::uint32_t> mirror = try_map_logical_block(session, location, true);
      if (main) visit_file_set_copy(session, area, main, copies);
      if (mirror && mirror != main) visit_file_set_copy(session, area, mirror, copies);
      break;
    }
    case PartitionKind::kSparable:
      if (block < row.length) {
        visit_file_set_copy(session, area, map_sparable_block(session, row, block), copies);
      }
      break;
    case PartitionKind::kVirtual:
      if (std::optional<Vat> vat = find_vat(session, reference)) {
        visit_file_set_copy(session, area, map_virtual_block(session, *vat, block), copies);
        if (!is_read_only(session)) relabel_vat(session, *vat);
      }
      break;
    default:
      break;
  }
  return copies;
}

// The text read mode shows for a d-string field.
std::string field_text(const std::uint8_t* field, std::int32_t size) {
  std::array<std::uint8_t, 256> text{};
  dstring_to_text(field, size, text.data(), static_cast<std::int32_t>(text.size() - 1));
  return reinterpret_cast<const char*>(text.data());
}

// The name a planned write carries, as read mode would show that field: the 32-byte volume
// identifier of a Primary Volume Descriptor, the logical volume identifier elsewhere, an ISO
// 9660 name without its padding.
std::string planned_name(const ImageSession& session, WriteKind kind) {
  std::string name;
  switch (kind) {
    case WriteKind::kPrimaryVolume:
      return field_text(session.new_label_short.data(), 32);
    case WriteKind::kIsoPrimary:
    case WriteKind::kIsoEnhanced:
      name.assign(session.new_iso_name.begin(), session.new_iso_name.end());
      break;
    case WriteKind::kJoliet: {
      std::uint16_t units[16];
      for (std::size_t i = 0; i < 16; ++i)
        units[i] = get_u16_be(session.new_joliet_name.data() + 2 * i);
      std::array<std::uint8_t, 64> text{};
      utf16_to_utf8(units, 16, text.data(), static_cast<std::uint32_t>(text.size() - 1));
      name = reinterpret_cast<const char*>(text.data());
      break;
    }
    default:
      return field_text(session.new_label_long.data(), 128);
  }
  return name.substr(0, name.find_last_not_of(' ') + 1);
}

// Ends a relabel whose plan was made without failure. A dry run lists the planned writes; a
// relabel makes them. When `done` (a File Set Descriptor, or the ISO 9660 names of an image
// without UDF, was rewritten) either then says so, after a warning when read mode will show
// `stored` rather than the label as typed.
bool finish_relabel(ImageSession& session, bool done, const std::string& stored) {
  const bool as_typed = stored == session.new_label;
  if (session.dry_run) {
    for (const PlannedWrite& w : session.plan.writes) {
      std::printf("Would write sector %u: %s '%s'\n", w.sector, write_kind_name(w.kind),
                  planned_name(session, w.kind).c_str());
    }
    if (done && !as_typed) std::printf("Warning: the label is stored as '%s'\n", stored.c_str());
    std::puts("Dry run: nothing written");
    return true;
  }
  if (!commit_plan(session)) return false;
  if (done) {
    if (!as_typed) std::printf("Warning: the label is stored as '%s'\n", stored.c_str());
    std::puts("Done!");
  }
  return true;
}

// Prints what a relabel breaks on a bootable image, before anything is written. False when a
// read failed on the way.
bool warn_what_breaks(ImageSession& session, const IsoDescriptorSet& iso, const OldLabels& old) {
  const std::string warnings = what_breaks(session, iso, old);
  if (session.read_failed) return false;
  std::fputs(warnings.c_str(), stdout);
  return true;
}

// An image with no UDF volume, only an ISO 9660 one: its name read, or its descriptors renamed.
bool process_iso_volume(VolumeSession& session, IsoDescriptorSet& iso) {
  if (is_read_only(session)) {
    iso_volume_label(iso, session.current_label.data(),
                     static_cast<std::uint32_t>(session.current_label.size()));
    return true;
  }
  OldLabels old;
  take_iso_labels(iso, old);
  rename_iso_descriptors(session, iso);
  if (plan_failed(session) || !warn_what_breaks(session, iso, old)) return false;
  // The set holds the new names now: the name read mode will show.
  std::array<std::uint8_t, 256> name{};
  iso_volume_label(iso, name.data(), static_cast<std::uint32_t>(name.size()));
  return finish_relabel(session, true, reinterpret_cast<const char*>(name.data()));
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
      std::printf(opens_for_update(session) ? "Error opening file for writing: %s\n"
                                            : "Error opening file: %s\n",
                  path);
      return false;
  }
}

bool process_open_volume(VolumeSession& session, const char* path) {
  session.path = path;
  // The ISO 9660 descriptors are copied out of the recognition scan's bytes, which the anchor
  // search's reads replace.
  IsoDescriptorSet iso;
  const std::uint32_t spacing = recognise_volume(session, iso);
  if (session.read_failed) return false;
  const bool iso_9660 = first_sound(iso, IsoKind::kPrimary) != nullptr;
  if (spacing == 0) {
    if (iso_9660) return process_iso_volume(session, iso);
    std::printf("UDF file system not found in: %s\n", path);
    return false;
  }
  // The anchor's extents are still needed after the first scan has reused the session's
  // buffer, so it lives in the pass's own block area, which later holds the File Set
  // Descriptor.
  std::array<std::uint8_t, kMaxBlockSize> area;
  std::uint32_t sizes[3];
  const std::size_t size_count = allowed_block_sizes(session, spacing, sizes);
  if (!find_anchor(session, area.data(), sizes, size_count)) {
    if (session.read_failed) return false;
    // Descriptors found only at a wider spacing may be a 2048-byte sequence with a gap, or the
    // bytes of a file on an ISO 9660 volume: with no anchor to confirm them, no UDF volume was
    // recognised.
    if (spacing == kOpticalBlockSize) {
      std::puts("Failed to read ADVP!");
    } else if (iso_9660) {
      return process_iso_volume(session, iso);
    } else {
      std::printf("UDF file system not found in: %s\n", path);
    }
    return false;
  }
  // Only a volume of 2048-byte spacing has an ISO 9660 side: the bridge.
  if (spacing != kOpticalBlockSize) iso.count = 0;
  const bool writing = !is_read_only(session);
  scan_descriptor_sequence(session, main_sequence_extent(area.data()), true);
  // The main copy reaches storage before the reserve copy is touched, so an interruption
  // always leaves one complete copy.
  plan_sync(session);
  // A relabel renames the reserve sequence; a read needs it only for the File Set Descriptor's
  // location when the main sequence gives none.
  OldLabels old;
  if (writing || get_u32(session.fsd_location.data()) == 0) {
    scan_descriptor_sequence(session, reserve_sequence_extent(area.data()), false);
  }
  if (session.read_failed) return false;
  if (writing) {
    take_iso_labels(iso, old);
    rename_iso_descriptors(session, iso);
  }
  const bool has_file_set = get_u32(session.fsd_location.data()) != 0;
  FileSetCopies copies;
  if (has_file_set) copies = visit_file_set(session, area.data());
  if (session.read_failed) return false;
  if (!writing) {
    // Without a File Set Descriptor the volume still has a name: the one other readers show.
    if (copies.found == 0) {
      const std::string name = field_text(session.volume_name.data(), 128);
      std::memcpy(session.current_label.data(), name.c_str(), name.size() + 1);
    }
    return true;
  }
  if (has_file_set && (copies.found == 0 || copies.missing)) {
    std::printf("File Set Descriptor not found in: %s\n", path);
    session.refused = true;
  }
  if (plan_failed(session)) return false;
  // The file set held the UDF label before it was rewritten: a boot configuration may name it.
  add_old_label(old, session.current_label.data());
  if (!warn_what_breaks(session, iso, old)) return false;
  return finish_relabel(session, has_file_set, field_text(session.new_label_long.data(), 128));
}

}  // namespace tarnwick
