#include "text/dstring.h"

#include <algorithm>
#include <cstring>

#include "text/iso_name.h"
#include "text/unicode.h"

namespace tarnwick {

namespace {

constexpr std::uint8_t kCompression8 = 8;
constexpr std::uint8_t kCompression16 = 16;

bool is_high_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// How many of `count` units to keep when at most `limit` fit: never half a surrogate pair.
std::uint32_t cut_units(const std::uint16_t* units, std::uint32_t count, std::uint32_t limit) {
  if (count <= limit) return count;
  return is_high_surrogate(units[limit - 1]) ? limit - 1 : limit;
}

}  // namespace

void dstring_from_bytes(std::uint8_t* field, std::uint32_t field_size, const std::uint8_t* chars,
                        std::uint32_t char_count) {
  std::memset(field, 0, field_size);
  field[0] = kCompression8;
  const std::uint32_t n = std::min(char_count, field_size - 2);
  std::memcpy(field + 1, chars, n);
  field[field_size - 1] = static_cast<std::uint8_t>(n + 1);
}

void dstring_from_utf16(std::uint8_t* field, std::uint32_t field_size, const std::uint16_t* units,
                        std::uint32_t byte_count) {
  std::memset(field, 0, field_size);
  field[0] = kCompression16;
  const std::uint32_t n = std::min(byte_count, field_size - 2);
  for (std::uint32_t i = 0; i < n / 2; ++i) {
    field[1 + 2 * i] = static_cast<std::uint8_t>(units[i] >> 8);
    field[2 + 2 * i] = static_cast<std::uint8_t>(units[i]);
  }
  field[field_size - 1] = static_cast<std::uint8_t>(n + 1);
}

void dstring_to_text(const std::uint8_t* field, std::int32_t field_size, std::uint8_t* target,
                     std::int32_t target_size) {
  if (field_size < 2 || target_size <= 0) return;
  const std::int32_t length = std::min<std::int32_t>(field[field_size - 1], field_size - 1);
  if (length == 0) return;
  const std::uint32_t chars = static_cast<std::uint32_t>(length - 1);
  std::uint16_t units[128] = {};
  std::uint32_t unit_count = 0;
  if (field[0] == kCompression8) {
    // Each byte is a code point below 256: widened to a unit it converts to UTF-8 as itself.
    unit_count = std::min<std::uint32_t>(chars, 128);
    for (std::uint32_t i = 0; i < unit_count; ++i) units[i] = field[1 + i];
  } else if (field[0] == kCompression16) {
    unit_count = std::min<std::uint32_t>(chars / 2, 127);
    for (std::uint32_t i = 0; i < unit_count; ++i) {
      units[i] = static_cast<std::uint16_t>(field[1 + 2 * i] << 8 | field[2 + 2 * i]);
    }
  } else {
    return;
  }
  utf16_to_utf8(units, unit_count, target, static_cast<std::uint32_t>(target_size));
}

void set_new_label_utf16(ImageSession& session, const std::uint16_t* units) {
  session.new_label_short.fill(0);
  session.new_label_long.fill(0);
  iso_primary_identifier(units, 128, session.new_iso_name.data());
  joliet_identifier(units, 128, session.new_joliet_name.data());
  const auto len = static_cast<std::uint32_t>(utf16_length(units));
  if (len == 0) return;
  const std::uint32_t n = cut_units(units, len, 126);
  const bool wide = std::any_of(units, units + n, [](std::uint16_t u) { return u >= 256; });
  if (wide) {
    dstring_from_utf16(session.new_label_short.data(), 32, units, 2 * cut_units(units, n, 15));
    dstring_from_utf16(session.new_label_long.data(), 128, units, 2 * cut_units(units, n, 63));
    return;
  }
  std::uint8_t chars[126];
  for (std::uint32_t i = 0; i < n; ++i) chars[i] = static_cast<std::uint8_t>(units[i]);
  dstring_from_bytes(session.new_label_short.data(), 32, chars, n);
  dstring_from_bytes(session.new_label_long.data(), 128, chars, n);
}

void set_new_label(ImageSession& session, const char* label) {
  session.new_label = label;
  std::uint16_t units[128] = {};
  utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(label),
                static_cast<std::uint32_t>(std::strlen(label)), units, 128);
  set_new_label_utf16(session, units);
}

}  // namespace tarnwick
