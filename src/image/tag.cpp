#include "image/tag.h"

#include <array>
#include <cassert>

#include "image/bytes.h"

namespace tarnwick {

namespace {

constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t k = 0; k < 256; ++k) {
    std::uint32_t value = k << 8;
    for (int step = 0; step < 8; ++step) {
      value <<= 1;
      if ((value & 0x10000u) != 0) value ^= 0x1021u;
      value &= 0xFFFFu;
    }
    table[k] = static_cast<std::uint16_t>(value);
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x1021 && kCrcTable[255] == 0x1EF0);

}  // namespace

std::uint16_t descriptor_crc(const std::uint8_t* bytes, std::int32_t byte_count) {
  std::uint16_t crc = 0;
  for (std::int32_t i = 0; i < byte_count; ++i) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFFu]);
  }
  return crc;
}

std::uint8_t tag_checksum(const std::uint8_t* tag) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kTagSize; ++i) {
    if (i != 4) sum += tag[i];
  }
  return static_cast<std::uint8_t>(sum);
}

void seal_descriptor_tag(std::uint8_t* descriptor, std::int32_t crc_length) {
  put_u16(descriptor + 10, static_cast<std::uint16_t>(crc_length));
  put_u16(descriptor + 8, descriptor_crc(descriptor + kTagSize, crc_length));
  descriptor[4] = tag_checksum(descriptor);
}

bool tag_verifies(const std::uint8_t* descriptor, std::size_t available) {
  assert(available >= kTagSize);
  if (descriptor[4] != tag_checksum(descriptor)) return false;
  const std::uint16_t crc_length = get_u16(descriptor + 10);
  if (crc_length > available - kTagSize) return false;
  return get_u16(descriptor + 8) == descriptor_crc(descriptor + kTagSize, crc_length);
}

}  // namespace tarnwick
