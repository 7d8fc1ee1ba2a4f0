#include "iso/descriptors.h"

#include <cstring>

#include "image/bytes.h"
#include "text/unicode.h"

namespace tarnwick {

namespace {

constexpr std::uint8_t kBootRecord = 0;
constexpr std::uint8_t kPrimary = 1;
constexpr std::uint8_t kSupplementary = 2;
constexpr std::uint8_t kTerminator = 255;
constexpr std::uint32_t kIdentifierSize = 32;
constexpr std::uint32_t kJolietUnits = kIdentifierSize / 2;
constexpr std::uint32_t kEscapeSequences = 88;
constexpr std::uint32_t kLogicalBlockSize = 128;
// El Torito's boot system identifier.
constexpr char kElTorito[] = "EL TORITO \x53PECIFICATION";

bool is_joliet(const std::uint8_t* d) {
  const std::uint8_t* escape = d + kEscapeSequences;
  return escape[0] == '%' && escape[1] == '/' &&
         (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

// The kind of name `d` carries, or false when it carries none.
bool name_kind(const std::uint8_t* d, IsoKind& kind) {
  if (d[0] == kPrimary && d[6] == 1) {
    kind = IsoKind::kPrimary;
  } else if (d[0] == kSupplementary && (d[6] == 1 || d[6] == 2) && is_joliet(d)) {
    kind = IsoKind::kJoliet;
  } else if (d[0] == kSupplementary && d[6] == 2) {
    kind = IsoKind::kEnhanced;
  } else {
    return false;
  }
  return true;
}

// Both copies of the Logical Block Size: 2048 little-endian, then big-endian.
bool is_sound(const std::uint8_t* d) {
  const std::uint8_t* size = d + kLogicalBlockSize;
  return get_u16(size) == kIsoSectorSize && get_u16_be(size + 2) == kIsoSectorSize;
}

std::uint16_t joliet_unit(const std::uint8_t* name, std::size_t i) {
  return get_u16_be(name + 2 * i);
}

std::uint16_t ascii_upper(std::uint16_t c) {
  return c >= 'a' && c <= 'z' ? static_cast<std::uint16_t>(c - 'a' + 'A') : c;
}

// The primary's and Joliet's names merged into `out` (room for 48 units); 0 when they disagree.
std::uint32_t merge_names(const std::uint8_t* primary, const std::uint8_t* joliet,
                          std::uint16_t* out) {
  std::uint32_t n = 0, a = 0;
  for (std::uint32_t u = 0; u < kJolietUnits; ++u, ++a) {
    const std::uint16_t c = joliet_unit(joliet, u), p = primary[a];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && u + 1 < kJolietUnits &&
                      joliet_unit(joliet, u + 1) >= 0xDC00 && joliet_unit(joliet, u + 1) <= 0xDFFF;
    if (p == '_') {
      out[n++] = c;
      if (pair) out[n++] = joliet_unit(joliet, ++u);
    } else if (!pair && c == '_') {
      out[n++] = p;
    } else if (!pair && c < 0x100 && ascii_upper(p) == ascii_upper(c)) {
      out[n++] = p >= 'A' && p <= 'Z' ? c : p;
    } else {
      return 0;
    }
  }
  for (; a < kIdentifierSize; ++a) out[n++] = primary[a];
  return n;
}

}  // namespace

void find_iso_descriptors(const std::uint8_t* scan, std::uint32_t count, IsoDescriptorSet& set) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t* d = scan + std::size_t{k} * kIsoSectorSize;
    if (std::memcmp(d + 1, "CD001", 5) == 0) {
      if (d[0] == kTerminator) break;
      IsoKind kind{};
      if (d[0] == kBootRecord && d[6] == 1 && std::memcmp(d + 7, kElTorito, 23) == 0) {
        set.el_torito = true;
      } else if (name_kind(d, kind)) {
        IsoNameDescriptor& name = set.names[set.count++];
        name.sector = kIsoFirstDescriptor + k;
        name.kind = kind;
        name.sound = is_sound(d);
        std::memcpy(name.bytes.data(), d, kIsoSectorSize);
      }
    }
    if (d[6] == 0) break;
  }
}

const IsoNameDescriptor* first_sound(const IsoDescriptorSet& set, IsoKind kind) {
  for (std::uint32_t i = 0; i < set.count; ++i) {
    if (set.names[i].kind == kind && set.names[i].sound) return &set.names[i];
  }
  return nullptr;
}

void iso_volume_label(const IsoDescriptorSet& set, std::uint8_t* target,
                      std::uint32_t target_size) {
  std::memset(target, 0, target_size);
  const IsoNameDescriptor* primary = first_sound(set, IsoKind::kPrimary);
  const IsoNameDescriptor* joliet = first_sound(set, IsoKind::kJoliet);
  if (primary == nullptr || target_size < 2) return;
  const std::uint8_t* p = primary->bytes.data() + kIsoVolumeIdentifier;
  std::uint16_t units[kIdentifierSize + kJolietUnits];
  std::uint32_t n = 0;
  if (joliet != nullptr) {
    const std::uint8_t* j = joliet->bytes.data() + kIsoVolumeIdentifier;
    n = merge_names(p, j, units);
    if (n == 0) {
      for (; n < kJolietUnits; ++n) units[n] = joliet_unit(j, n);
    }
  } else {
    for (; n < kIdentifierSize; ++n) units[n] = p[n];
  }
  while (n > 0 && (units[n - 1] == 0 || units[n - 1] == ' ' ||
                   (units[n - 1] >= '\t' && units[n - 1] <= '\r'))) {
    --n;
  }
  utf16_to_utf8(units, n, target, target_size - 1);
}

void rename_iso_descriptors(ImageSession& session, IsoDescriptorSet& set) {
  for (std::uint32_t i = 0; i < set.count; ++i) {
    IsoNameDescriptor& d = set.names[i];
    // A descriptor that does not say 2048-byte blocks is not one this tool knows how to read.
    if (!d.sound) {
      report_unverified(session, d.sector);
      continue;
    }
    const auto& name = d.kind == IsoKind::kJoliet ? session.new_joliet_name : session.new_iso_name;
    std::uint8_t* identifier = d.bytes.data() + kIsoVolumeIdentifier;
    if (std::memcmp(identifier, name.data(), name.size()) == 0) continue;  // no write needed
    std::memcpy(identifier, name.data(), name.size());
    plan_write(session, d.sector, kIsoSectorSize, d.bytes.data(),
               d.kind == IsoKind::kJoliet    ? WriteKind::kJoliet
               : d.kind == IsoKind::kPrimary ? WriteKind::kIsoPrimary
                                             : WriteKind::kIsoEnhanced);
  }
}

}  // namespace tarnwick
