// The ISO 9660 volume descriptor set: the descriptors that carry the volume's name for ISO 9660
// and Joliet readers (and DVD players, which take a disc's title from the primary), the name
// those readers show, and the rename. The same on a pure ISO 9660 image and on the ISO 9660
// side of a UDF bridge image.
//
// Volume Descriptor, one per 2048-byte sector from byte 32768 (the recognition sequence), up to
// the set terminator; integers both-endian (little-endian copy, then big-endian):
//   pos  size  field
//     0     1  type: 0 boot record, 1 primary, 2 supplementary or enhanced, 255 terminator
//     1     5  "CD001"
//     6     1  version: 1; 2 for the enhanced descriptor of ISO 9660:1999
//     7    23  boot record: El Torito's boot system identifier for an El Torito boot catalog
//    40    32  Volume Identifier: bytes (primary, enhanced) or 16 UCS-2 units (Joliet)
//    88    32  escape sequences of a supplementary descriptor: "%/@", "%/C" or "%/E" for Joliet
//   128   2+2  Logical Block Size: 2048
//   156    34  the root directory's record
//   883   512  application use
// These descriptors carry no checksum: a rename changes bytes 40-71 and nothing else.
#pragma once

#include <array>
#include <cstdint>

#include "image/session.h"

namespace tarnwick {

inline constexpr std::uint32_t kIsoSectorSize = 2048;
inline constexpr std::uint32_t kIsoVolumeIdentifier = 40;  // 32 bytes
inline constexpr std::uint32_t kIsoFirstDescriptor = 16;   // byte 32768
// The most descriptors one scan of the set examines.
inline constexpr std::uint32_t kIsoMaxDescriptors = 10;

enum class IsoKind : std::uint8_t { kPrimary, kJoliet, kEnhanced };

// Set only as it is found: a set's memory is not touched before then.
struct IsoNameDescriptor {
  std::uint32_t sector;  // its 2048-byte sector
  IsoKind kind;
  bool sound;  // its Logical Block Size reads 2048 in both byte orders
  std::array<std::uint8_t, kIsoSectorSize> bytes;  // as read
};

struct IsoDescriptorSet {
  std::uint32_t count = 0;
  std::array<IsoNameDescriptor, kIsoMaxDescriptors> names;  // the first `count` are set
  bool el_torito = false;  // an El Torito boot record stands among them
};

// From `count` descriptors read 2048 bytes apart from byte 32768 (`scan`), examined up to and
// including the first whose version byte is 0, those before the first terminator (type 255):
// every primary (type 1, version 1), Joliet (type 2, version 1 or 2, a Joliet escape sequence)
// and enhanced descriptor (type 2, version 2, no Joliet escape sequence), copied with their
// sectors in order, into `set` (a new one). Nothing after the terminator is read as a
// descriptor.
void find_iso_descriptors(const std::uint8_t* scan, std::uint32_t count, IsoDescriptorSet& set);

// The first sound descriptor of `kind`, or null.
const IsoNameDescriptor* first_sound(const IsoDescriptorSet& set, IsoKind kind);

// The volume's name as ISO 9660 readers show it, written to `target` as zero-terminated UTF-8
// (at most `target_size` bytes): the first sound primary's and the first sound Joliet
// descriptor's names merged position by position over Joliet's 16 characters (a "_" on either
// side takes the other's character, characters of U+0000-U+00FF equal but for ASCII case give
// Joliet's where the primary's is upper case and the primary's otherwise), then the primary's
// characters past those; Joliet's name alone where a position disagrees, the primary's
// (Latin-1) where there is no Joliet descriptor. Trailing white space and NULs are dropped.
// Writes an empty text when the set has no sound primary.
void iso_volume_label(const IsoDescriptorSet& set, std::uint8_t* target, std::uint32_t target_size);

// Writes the session's new primary name into each primary and enhanced descriptor of `set` and
// its Joliet name into each Joliet one, and plans each that changed as one 2048-byte write at its
// own sector whatever the volume's block size; `set` then holds the names as renamed. A descriptor
// that is not sound is left as it is, reported, and refuses the relabel.
void rename_iso_descriptors(ImageSession& session, IsoDescriptorSet& set);

}  // namespace tarnwick
