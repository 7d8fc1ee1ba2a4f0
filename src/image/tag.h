// Descriptor tags: the 16-byte header of every ECMA-167 descriptor, its CRC and checksum.
//
// Descriptor tag, integers little-endian:
//   pos  size  field
//     0     2  Tag Identifier
//     2     2  Descriptor Version
//     4     1  Tag Checksum: sum of bytes 0-3 and 5-15, modulo 256
//     5     1  Reserved
//     6     2  Tag Serial Number
//     8     2  Descriptor CRC: CRC-ITU-T (x^16 + x^12 + x^5 + 1, initial 0) of the
//              Descriptor CRC Length bytes that follow the tag
//    10     2  Descriptor CRC Length
//    12     4  Tag Location: the descriptor's own logical sector
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

inline constexpr std::size_t kTagSize = 16;

enum TagIdentifier : std::uint16_t {
  kTagPrimaryVolume = 1,
  kTagAnchor = 2,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagFileSet = 256,
  kTagFileEntry = 261,
  kTagExtendedAttributeHeader = 262,
  kTagExtendedFileEntry = 266,
};

// The 16-bit CRC of `byte_count` bytes; 0 for a count of 0 or less.
std::uint16_t descriptor_crc(const std::uint8_t* bytes, std::int32_t byte_count);

// The checksum that the tag at `tag` should carry.
std::uint8_t tag_checksum(const std::uint8_t* tag);

// Recomputes the Descriptor CRC over `crc_length` bytes after the tag, stores the length back
// and recomputes the Tag Checksum. REQUIRES: 16 + crc_length bytes exist at `descriptor`.
void seal_descriptor_tag(std::uint8_t* descriptor, std::int32_t crc_length);

// True when the descriptor's Tag Checksum is right, its CRC length leaves the CRC inside the
// `available` bytes at `descriptor`, and its Descriptor CRC matches. REQUIRES: available >= 16.
bool tag_verifies(const std::uint8_t* descriptor, std::size_t available);

}  // namespace tarnwick
