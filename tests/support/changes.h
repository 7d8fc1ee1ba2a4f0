// Which bytes a relabel may change: the label fields, charspecs and tag checksum/CRC bytes of
// the descriptors the tool visits, judged by each sector's descriptor before the change.
#pragma once

#include <string>
#include <vector>

#include "support/image_builder.h"

namespace tarnwick::testing {

// Describes every byte that differs between `before` and `after` outside the label fields of
// a label-carrying descriptor (tag 1, 4, 6, 256) or of a VAT at `vat_sectors`; empty when the
// change kept to them.
std::vector<std::string> unexpected_changes(const Image& before, const Image& after,
                                            const std::vector<std::uint32_t>& vat_sectors = {});

}  // namespace tarnwick::testing
