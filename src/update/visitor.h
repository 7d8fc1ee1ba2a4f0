// The descriptor visitor: reads the current label out of a File Set Descriptor and, in write
// mode, rewrites the label fields of a descriptor sector, reseals it and plans its write back.
//
// Fields rewritten (offsets from the start of the descriptor, tag included):
//   descriptor (tag id)         field                                   pos  size  new content
//   Primary Volume (1)          Volume Identifier                        24    32  short label
//                               Descriptor Character Set                200    64  CS0 charspec
//   Implementation Use (4)      LVICharset (Logical Volume Information)  52    64  CS0 charspec
//                               LogicalVolumeIdentifier                 116   128  long label
//   Logical Volume (6)          Descriptor Character Set                 20    64  CS0 charspec
//                               Logical Volume Identifier                84   128  long label
//   File Set (256)              Logical Volume Id Character Set          48    64  CS0 charspec
//                               Logical Volume Identifier               112   128  long label
//                               File Set Character Set                  240    64  CS0 charspec
//                               File Set Identifier                     304    32  short label
// The CS0 charspec is type 0, "OSTA Compressed Unicode", then zeros. Sealing changes the tag
// checksum and CRC; nothing else in the sector changes.
#pragma once

#include <cstdint>

#include "image/session.h"

namespace tarnwick {

inline constexpr std::uint32_t kFsdLogicalVolumeId = 112;

// Writes the CS0 charspec into the 64 bytes at `field`.
void put_cs0_charspec(std::uint8_t* field);

// Visits the descriptor block in `sector_bytes` (of the run's block size), read from block
// `sector_number`, whose tag must record `location`: the block itself for a volume descriptor,
// the logical block the Logical Volume Descriptor gives for a File Set Descriptor.
//  - A File Set Descriptor's label is captured into `current_label` while that is empty,
//    in either mode, before anything changes.
//  - Read-only mode changes and plans nothing.
//  - Write mode rewrites descriptors 1, 4, 6 and 256 in the buffer and, unless that left the
//    block as it was, plans its write back to where it was read (image/plan.h). An Implementation
//    Use Volume Descriptor is touched only when its Implementation Identifier begins with "*UDF LV
//    Info" (any other carries private data where the label would go). A descriptor whose tag
//    checksum or CRC does not verify, whose CRC length runs past the block or whose tag records
//    another location is left unchanged, reported as "Descriptor at sector %u not changed: invalid
//    tag", and refuses the relabel.
void visit_descriptor(ImageSession& session, std::uint8_t* sector_bytes,
                      std::uint32_t sector_number, std::uint32_t location);

}  // namespace tarnwick
