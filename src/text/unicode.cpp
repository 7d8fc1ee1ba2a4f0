#include "text/unicode.h"

namespace tarnwick {

std::int32_t utf8_to_utf16(const std::uint8_t* source, std::uint32_t byte_count,
                           std::uint16_t* target, std::uint32_t target_units) {
  // Bytes past the counted ones are never read; a cut-short sequence sees zeros there.
  const auto byte_at = [&](std::uint64_t pos) -> std::uint32_t {
    return pos < byte_count ? source[pos] : 0u;
  };
  std::uint64_t pos = 0;
  std::uint32_t written = 0;
  while (pos < byte_count) {
    if (written >= target_units) return 0;
    const std::uint32_t b0 = byte_at(pos);
    if (b0 == 0) {
      target[written++] = 0;
      return static_cast<std::int32_t>(written);
    }
    if (b0 < 0x80) {
      target[written++] = static_cast<std::uint16_t>(b0);
      pos += 1;
    } else if (b0 < 0xE0) {
      target[written++] =
          static_cast<std::uint16_t>(((b0 & 0x1F) << 6) + (byte_at(pos + 1) & 0x7F));
      pos += 2;
    } else if (b0 < 0xF0) {
      target[written++] = static_cast<std::uint16_t>(
          ((b0 & 0x0F) << 12) + ((byte_at(pos + 1) & 0x7F) << 6) + (byte_at(pos + 2) & 0x7F));
      pos += 3;
    } else {
      const std::int32_t c =
          static_cast<std::int32_t>(((b0 & 0x07) << 18) | ((byte_at(pos + 1) & 0x3F) << 12) |
                                    ((byte_at(pos + 2) & 0x3F) << 6) | (byte_at(pos + 3) & 0x3F));
      if (target_units - written < 2) return 0;
      // Arithmetic shift: an overlong form (c below 0x10000) gives a unit below 0xD800.
      const std::int32_t high = 0xD800 + ((c - 0x10000) >> 10);
      target[written++] = static_cast<std::uint16_t>(high & 0xFFFF);
      target[written++] = static_cast<std::uint16_t>((0xDC00 + (c & 0x3FF)) & 0xFFFF);
      pos += 4;
    }
  }
  return static_cast<std::int32_t>(written);
}

std::int32_t utf16_to_utf8(const std::uint16_t* units, std::uint32_t unit_count,
                           std::uint8_t* target, std::uint32_t target_size) {
  std::uint32_t written = 0;
  std::uint32_t index = 0;
  while (index < unit_count) {
    const std::uint32_t u = units[index];
    if (u == 0) return static_cast<std::int32_t>(written);
    std::uint8_t bytes[4];
    std::uint32_t n = 0;
    std::uint32_t taken = 1;
    if (u < 0x80) {
      bytes[n++] = static_cast<std::uint8_t>(u);
    } else if (u < 0x800) {
      bytes[n++] = static_cast<std::uint8_t>(0xC0 | (u >> 6));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | (u & 0x3F));
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      const std::uint32_t v = index + 1 < unit_count ? units[index + 1] : 0u;
      const std::uint32_t c = 0x10000 + ((u & 0x3FF) << 10) + (v & 0x3FF);
      bytes[n++] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      taken = 2;
    } else {
      bytes[n++] = static_cast<std::uint8_t>(0xE0 | (u >> 12));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | ((u >> 6) & 0x3F));
      bytes[n++] = static_cast<std::uint8_t>(0x80 | (u & 0x3F));
    }
    if (target_size - written < n) return 0;
    for (std::uint32_t i = 0; i < n; ++i) target[written++] = bytes[i];
    index += taken;
  }
  return static_cast<std::int32_t>(written);
}

bool is_valid_utf8(const std::uint8_t* bytes, std::size_t byte_count) {
  std::size_t pos = 0;
  while (pos < byte_count) {
    const std::uint32_t b0 = bytes[pos];
    std::size_t length = 0;
    std::uint32_t c = 0;
    std::uint32_t least = 0;  // the smallest code point that needs this many bytes
    if (b0 < 0x80) {
      ++pos;
      continue;
    }
    if (b0 >= 0xC2 && b0 < 0xE0) {
      length = 2, c = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
      length = 3, c = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 < 0xF5) {
      length = 4, c = b0 & 0x07, least = 0x10000;
    } else {
      return false;  // a continuation byte, an overlong two-byte lead, or beyond U+10FFFF
    }
    if (byte_count - pos < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const std::uint32_t b = bytes[pos + i];
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    pos += length;
  }
  return true;
}

std::int32_t utf16_length(const std::uint16_t* units) {
  std::int32_t n = 0;
  while (n < 128 && units[n] != 0) ++n;
  return n;
}

}  // namespace tarnwick
