// The volume pass: open the image, recognise the UDF volume, read the anchor, then walk both
// Volume Descriptor Sequences and the File Set Descriptor, capturing or rewriting the label.
//
// Volume Structure Descriptor (from byte 32768, each starting a new block, so max(2048, block
// size) bytes apart): byte 0 structure type, bytes 1-5 standard identifier ("CD001", "NSR02",
// "NSR03", ...), byte 6 version (0 ends).
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/partition.h"

namespace tarnwick {

// Where the recognition sequence starts and how many of its descriptors are examined.
inline constexpr std::uint32_t kRecognitionStart = 32768;
inline constexpr std::uint32_t kRecognitionDescriptors = 10;

// Reads the 10 descriptors from byte 32768 that lie `spacing` bytes apart and sets
// `recognition` flags; true when "NSR02" or "NSR03" stands among them up to the first whose
// version byte is 0. False when the 10 blocks of `spacing` bytes cannot all be read.
bool scan_recognition_sequence(VolumeSession& session, std::uint32_t spacing);

// The spacing whose scan finds NSR: 2048 first, then 4096, 8192, 16384 and 32768 in turn, only
// while none has; 0 when none does.
std::uint32_t recognise_volume(VolumeSession& session);

// The block sizes a volume recognised at `spacing` may have, in the order they are tried:
// 2048, 512 and 1024 for 2048, otherwise the spacing itself; a block device's own logical
// sector size (when among them) first. Returns how many were written to `sizes` (at most 3).
std::size_t allowed_block_sizes(const VolumeSession& session, std::uint32_t spacing,
                                std::uint32_t* sizes);

// Opens the image in the run's mode and runs process_open_volume. Prints "Error opening
// file: %s" (or "Error opening file for writing: %s") and returns false when it cannot open,
// "Image is in use: %s" when another program holds its lock for more than 10 seconds.
bool process_volume(VolumeSession& session, const char* path);

// The pass over an image already open in `session.image` (with `image_bytes` set). Returns
// false, with its message printed, when no UDF volume is recognised ("UDF file system not
// found in: %s", also when only a spacing wider than 2048 found one and no anchor of that size
// verifies), no anchor verifies ("Failed to read ADVP!"), or in write mode when any write was
// skipped or failed or the image could not be flushed to storage ("Error writing file: %s"). In
// write mode the names of a bridge image's ISO 9660 and Joliet descriptors are rewritten after
// the reserve sequence (volume/iso9660.h); "Done!" ends a run that rewrote the File Set
// Descriptor's location without failure.
bool process_open_volume(VolumeSession& session, const char* path);

}  // namespace tarnwick
