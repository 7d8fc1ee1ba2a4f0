#include "text/iso_name.h"

namespace tarnwick {

namespace {

constexpr std::uint16_t kReplacement = '_';

bool is_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// Calls `put` with each character of the label, a surrogate pair (or a surrogate alone) as
// one character of value kReplacement, until the end, the zero unit or `put` returns false.
template <typename Put>
void for_each_character(const std::uint16_t* units, std::uint32_t count, Put put) {
  for (std::uint32_t i = 0; i < count && units[i] != 0; ++i) {
    std::uint16_t c = units[i];
    if (is_surrogate(c)) {
      if (c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) ++i;
      c = kReplacement;
    }
    if (!put(c)) return;
  }
}

}  // namespace

void iso_primary_identifier(const std::uint16_t* units, std::uint32_t count, std::uint8_t* field) {
  std::uint32_t n = 0;
  for_each_character(units, count, [&](std::uint16_t c) {
    const bool printable = c >= 0x20 && c <= 0x7E;
    field[n++] = static_cast<std::uint8_t>(printable ? c : kReplacement);
    return n < kIsoIdentifierSize;
  });
  for (; n < kIsoIdentifierSize; ++n) field[n] = ' ';
}

void joliet_identifier(const std::uint16_t* units, std::uint32_t count, std::uint8_t* field) {
  std::uint32_t n = 0;
  const auto put_unit = [&](std::uint16_t c) {
    field[n++] = static_cast<std::uint8_t>(c >> 8);
    field[n++] = static_cast<std::uint8_t>(c);
  };
  for_each_character(units, count, [&](std::uint16_t c) {
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    put_unit(control ? kReplacement : c);
    return n < kIsoIdentifierSize;
  });
  while (n < kIsoIdentifierSize) put_unit(' ');
}

}  // namespace tarnwick
