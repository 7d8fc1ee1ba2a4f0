// The volume name in the two forms ISO 9660 descriptors carry it: printable ASCII as typed for
// a primary (and an enhanced) volume descriptor, UCS-2 for a Joliet one.
//
// Volume Identifier (32 bytes at byte 40 of either descriptor), padded to its end:
//   Primary   32 characters U+0020-U+007E, padding 0x20. Authoring tools and readers keep the
//             name as typed ("Fedora-WS-Live-39-1-5"), whatever the d-character rule says.
//   Joliet    16 UCS-2 characters, high byte first, padding U+0020
#pragma once

#include <cstdint>

namespace tarnwick {

inline constexpr std::uint32_t kIsoIdentifierSize = 32;

// Writes the primary form of the label in `units` (UTF-16, ended by a zero unit unless all
// `count` are used) into the 32 bytes at `field`: U+0020-U+007E stay; every other character
// (one "_" for a surrogate pair) becomes "_"; the first 32, then spaces.
void iso_primary_identifier(const std::uint16_t* units, std::uint32_t count, std::uint8_t* field);

// Writes the Joliet form of the same label into the 32 bytes at `field`: each character of the
// Basic Multilingual Plane but the controls U+0000-U+001F and U+007F-U+009F stays; a control
// or a character above U+FFFF (a surrogate pair, or a surrogate alone) becomes "_"; the first
// 16, then U+0020.
void joliet_identifier(const std::uint16_t* units, std::uint32_t count, std::uint8_t* field);

}  // namespace tarnwick
