// The ISO 9660 side of a UDF bridge image: the descriptors that carry the volume's name for
// ISO 9660 and Joliet readers (and DVD players, which take a disc's title from the primary).
//
// Volume Descriptor, one per 2048-byte sector from byte 32768 (the recognition sequence):
//   pos  size  field
//     0     1  type: 1 primary, 2 supplementary, 255 terminator
//     1     5  "CD001"
//     6     1  version: 1
//    40    32  Volume Identifier (d-characters, or UCS-2 for Joliet)
//    88    32  escape sequences of a supplementary descriptor: "%/@", "%/C" or "%/E" for Joliet
// These descriptors carry no checksum: a rename changes bytes 40-71 and nothing else.
#pragma once

#include <array>
#include <cstdint>

#include "image/session.h"
#include "volume/pass.h"

namespace tarnwick {

// Copies of the descriptors that carry an ISO 9660 or Joliet volume name.
struct IsoNameDescriptors {
  std::uint32_t count = 0;
  std::array<std::uint32_t, kRecognitionDescriptors> sectors{};  // 2048-byte sector numbers
  std::array<std::array<std::uint8_t, kOpticalBlockSize>, kRecognitionDescriptors> bytes{};
};

// From the recognition sequence read at 2048-byte spacing (`scan`, 10 descriptors), in order
// up to and including the first whose version byte is 0: every version 1 "CD001" descriptor
// that is a Primary Volume Descriptor or a Joliet Supplementary Volume Descriptor. Boot
// records, other supplementary descriptors and the terminator are not taken.
IsoNameDescriptors find_iso_names(const std::uint8_t* scan);

// Writes the session's new ISO 9660 name into each primary copy and its Joliet name into each
// Joliet copy, each as one 2048-byte write at its own sector whatever the volume's block size.
// A failed write is reported by write_units and marks the run failed.
void rename_iso_volumes(ImageSession& session, IsoNameDescriptors& names);

}  // namespace tarnwick
