// The volume pass: open the image, recognise the UDF volume, read the anchor, then walk both
// Volume Descriptor Sequences and the File Set Descriptor, capturing or rewriting the label.
//
// Volume Structure Descriptor (from byte 32768, each starting a new block, so max(2048, block
// size) bytes apart): byte 0 structure type, bytes 1-5 standard identifier ("CD001", "NSR02",
// "NSR03", ...), byte 6 version (0 ends).
#pragma once

#include <cstddef>
#include <cstdint>

#include "iso/descriptors.h"
#include "volume/partition.h"

namespace tarnwick {

// Where the recognition sequence starts and how many of its descriptors are examined.
inline constexpr std::uint32_t kRecognitionStart = 32768;
inline constexpr std::uint32_t kRecognitionDescriptors = 10;

// The spacing whose scan finds "NSR02" or "NSR03" among the 10 descriptors from byte 32768 that
// lie that many bytes apart, up to the first whose version byte is 0: 2048 first, then 4096,
// 8192, 16384 and 32768 in turn, only while none has; 0 when none does or the descriptors of a
// spacing cannot all be read. Sets the `recognition` flags. Each spacing reads only the bytes
// past those the narrower ones read, into the session's buffer. `iso` receives the ISO 9660
// descriptor set of the 2048-byte scan (none when that could not be read).
std::uint32_t recognise_volume(VolumeSession& session, IsoDescriptorSet& iso);

// The block sizes a volume recognised at `spacing` may have, in the order they are tried:
// 2048, 512 and 1024 for 2048, otherwise the spacing itself; a block device's own logical
// sector size (when among them) first, and none smaller than it. Returns how many were written
// to `sizes` (at most 3).
std::size_t allowed_block_sizes(const VolumeSession& session, std::uint32_t spacing,
                                std::uint32_t* sizes);

// Opens the image in the run's mode and runs process_open_volume. Prints "Error opening
// file: %s" (or "Error opening file for writing: %s") and returns false when it cannot open,
// "Image is in use: %s" when another program holds its lock for more than 10 seconds.
bool process_volume(VolumeSession& session, const char* path);

// The pass over an image already open in `session.image` (with `image_bytes` set). Returns
// false, with its message printed, when neither a UDF volume nor an ISO 9660 one is recognised
// ("UDF file system not found in: %s", also when only a spacing wider than 2048 found UDF and no
// anchor of that size verifies), no anchor verifies ("Failed to read ADVP!"), or in write mode
// when a descriptor was left unchanged, any write was skipped or failed or the image could not
// be flushed to storage ("Error writing file: %s"). In write mode the names of a bridge image's
// ISO 9660 descriptors are rewritten after the reserve sequence (iso/descriptors.h) and what
// that breaks on a bootable image is warned of after the File Set Descriptor
// (iso/boot_check.h); "Done!" ends a run that rewrote the File Set Descriptor's location
// without failure.
// An image without UDF whose 2048-byte scan holds a sound ISO 9660 primary descriptor is an ISO
// 9660 volume: read mode captures the name ISO 9660 readers show, write mode renames its
// descriptors, warns of what that breaks, syncs and ends with "Done!" when nothing failed.
bool process_open_volume(VolumeSession& session, const char* path);

}  // namespace tarnwick
