// What a relabel breaks on a bootable image, said before it is too late to be surprised: a boot
// configuration that finds its medium by the old label (root=live:CDLABEL=..., search -l ...,
// archisolabel=..., root=LABEL=...), and a media check checksum implanted in the primary
// volume descriptor, which covers its name.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "image/session.h"
#include "iso/descriptors.h"

namespace tarnwick {

// The names a relabel replaces, in the order they are looked for; each zero-terminated.
struct OldLabels {
  std::array<std::array<std::uint8_t, 256>, 3> names{};
  std::uint32_t count = 0;
};

// Takes the ISO 9660 side's names before they are rewritten: the name ISO 9660 readers show
// (iso_volume_label) and the first sound primary's name without its trailing spaces.
void take_iso_labels(const IsoDescriptorSet& set, OldLabels& labels);

// Adds `label` (zero-terminated UTF-8; a bridge image's UDF label) to those looked for.
void add_old_label(OldLabels& labels, const std::uint8_t* label);

// What a relabel of the image breaks, as warning lines for it to print before it writes. On an
// image whose descriptor set has an El Torito boot record, "Warning: %s names the old label
// '%s'; the image may not boot until it names the new one" once for each file of at most 64 KiB
// near the root (iso/directory.h) that holds one of `labels` of at least 3 bytes as a whole word
// (the bytes around it none of A-Z, a-z, 0-9, "_", "." and "-"; a label with spaces also with
// each written "\x20"), naming the first such label. On any image whose first sound primary
// holds "ISO MD5SUM = " in its application use, "Warning: the media check checksum implanted in
// %s no longer matches; implantisomd5 --force renews it" with the session's path (whether the
// checksum holds again, after the old label was given back, only a read of the whole image
// could tell). Reads through the session; changes nothing.
std::string what_breaks(ImageSession& session, const IsoDescriptorSet& set,
                        const OldLabels& labels);

}  // namespace tarnwick
