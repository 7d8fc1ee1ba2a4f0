#include "volume/iso9660.h"

#include <cstring>

namespace tarnwick {

namespace {

constexpr std::uint8_t kPrimary = 1;
constexpr std::uint8_t kSupplementary = 2;
constexpr std::uint32_t kVolumeIdentifier = 40;
constexpr std::uint32_t kEscapeSequences = 88;

bool is_joliet(const std::uint8_t* d) {
  const std::uint8_t* escape = d + kEscapeSequences;
  return escape[0] == '%' && escape[1] == '/' &&
         (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

bool carries_name(const std::uint8_t* d) {
  if (std::memcmp(d + 1, "CD001", 5) != 0 || d[6] != 1) return false;
  return d[0] == kPrimary || (d[0] == kSupplementary && is_joliet(d));
}

}  // namespace

IsoNameDescriptors find_iso_names(const std::uint8_t* scan) {
  IsoNameDescriptors names;
  for (std::uint32_t k = 0; k < kRecognitionDescriptors; ++k) {
    const std::uint8_t* d = scan + std::size_t{k} * kOpticalBlockSize;
    if (carries_name(d)) {
      names.sectors[names.count] = kRecognitionStart / kOpticalBlockSize + k;
      std::memcpy(names.bytes[names.count].data(), d, kOpticalBlockSize);
      ++names.count;
    }
    if (d[6] == 0) break;
  }
  return names;
}

void rename_iso_volumes(ImageSession& session, IsoNameDescriptors& names) {
  for (std::uint32_t i = 0; i < names.count; ++i) {
    std::uint8_t* d = names.bytes[i].data();
    const auto& name = d[0] == kPrimary ? session.new_iso_name : session.new_joliet_name;
    std::memcpy(d + kVolumeIdentifier, name.data(), name.size());
    write_units(session, names.sectors[i], kOpticalBlockSize, d);
  }
}

}  // namespace tarnwick
