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

// The pass over an image already open in `session.image` (with `image_bytes` set); `path`
// names it in messages. Fails, with its message printed, when neither a UDF volume nor an ISO
// 9660 one is recognised ("UDF file system not found in: %s", also when only a spacing wider
// than 2048 found UDF and no anchor of that size verifies), no anchor verifies ("Failed to read
// ADVP!"), or a read fails with an error ("Error reading file: %s", and nothing after it).
// Read mode captures the label: the File Set Descriptor's, the first Logical Volume
// Descriptor's where no copy of it is found, the name ISO 9660 readers show on an image without
// UDF.
// A relabel first plans: it reads, maps and verifies every block it rewrites (both sequences,
// the ISO 9660 descriptors of a bridge image, every copy of the File Set Descriptor, the VAT's
// name) and builds their new bytes. Planning fails when a descriptor does not verify or records
// another block ("Descriptor at sector %u not changed: invalid tag", each one), or the Logical
// Volume Descriptor names a File Set Descriptor and a copy the volume maps is not found ("File
// Set Descriptor not found in: %s"); nothing is then written. Otherwise it prints what the
// relabel breaks on a bootable image (iso/boot_check.h), then a dry run lists the plan ("Would
// write sector %u: %s '%s'", "Dry run: nothing written"), and a relabel commits it
// (image/plan.h) and fails when a write or sync fails. "Done!" then ends a relabel that
// rewrote every copy of the File Set Descriptor (or the names of an image without UDF) and
// synced them to storage, after "Warning: the label is stored as '%s'" when read mode will
// show another name than the label as typed. An image without UDF whose 2048-byte scan holds a
// sound ISO 9660 primary descriptor is an ISO 9660 volume, read and relabelled as one.
bool process_open_volume(VolumeSession& session, const char* path);

}  // namespace tarnwick
