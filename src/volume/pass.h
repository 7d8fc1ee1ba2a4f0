// The volume pass: open the image, recognise the UDF volume, read the anchor, then walk both
// Volume Descriptor Sequences and the File Set Descriptor, capturing or rewriting the label.
//
// Volume Structure Descriptor (one per sector from sector 16): byte 0 structure type,
// bytes 1-5 standard identifier ("CD001", "NSR02", "NSR03", ...), byte 6 version (0 ends).
#pragma once

#include <cstdint>

#include "image/session.h"

namespace tarnwick {

// Reads sectors 16-25 and sets `recognition` flags; true when "NSR02" or "NSR03" stands
// among them up to the first sector whose version byte is 0. False when 10 sectors cannot be
// read.
bool scan_recognition_sequence(ImageSession& session);

// Opens the image in the run's mode and runs process_open_volume. Prints "Error opening
// file: %s" (or "Error opening file for writing: %s") and returns false when it cannot open.
bool process_volume(ImageSession& session, const char* path);

// The pass over an image already open in `session.image`. Returns false, with its message
// printed, when no UDF volume is recognised ("UDF file system not found in: %s"), no anchor
// verifies ("Failed to read ADVP!"), or in write mode when any write was skipped or failed or
// the image could not be flushed to storage ("Error writing file: %s"). In write mode "Done!"
// ends a run that rewrote the File Set Descriptor's location without failure.
bool process_open_volume(ImageSession& session, const char* path);

}  // namespace tarnwick
