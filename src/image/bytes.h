// Integers inside byte buffers: the only code that knows the on-disc byte order.
//
// Every multi-byte integer of the volume structures is stored low byte first, whatever the
// host's byte order, but for the big-endian copies of ISO 9660's both-endian fields and the
// UCS-2 units of a Joliet name. Each byte is widened before it is shifted. Callers establish that
// the bytes exist (a whole 2048-byte sector, an offset checked against it) before they call.
#pragma once

#include <cstdint>

namespace tarnwick {

constexpr std::uint16_t get_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8);
}

constexpr std::uint16_t get_u16_be(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]});
}

constexpr std::uint32_t get_u32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

constexpr void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace tarnwick
