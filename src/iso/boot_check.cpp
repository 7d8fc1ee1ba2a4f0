#include "iso/boot_check.h"

#include <algorithm>
#include <cstring>

#include "iso/directory.h"

namespace tarnwick {

namespace {

constexpr std::uint32_t kRootRecord = 156;
constexpr std::uint32_t kApplicationUse = 883;
constexpr std::uint32_t kApplicationUseSize = 512;
constexpr char kImplantedChecksum[] = "ISO MD5SUM = ";
constexpr std::size_t kShortest = 3;
// A label of 255 bytes with each byte a space written "\x20".
constexpr std::size_t kMaxPattern = 1024;

bool is_word_byte(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-';
}

// Whether `text` holds `name` with no word byte right before or after it.
bool holds_word(const std::uint8_t* text, std::size_t size, const std::uint8_t* name,
                std::size_t length) {
  for (std::size_t pos = 0; length <= size && pos <= size - length; ++pos) {
    if (std::memcmp(text + pos, name, length) != 0) continue;
    if (pos > 0 && is_word_byte(text[pos - 1])) continue;
    if (pos + length < size && is_word_byte(text[pos + length])) continue;
    return true;
  }
  return false;
}

// Whether `text` names `label`, as written or with each space as "\x20".
bool names_label(const std::uint8_t* text, std::size_t size, const std::uint8_t* label) {
  const std::size_t length = std::strlen(reinterpret_cast<const char*>(label));
  if (holds_word(text, size, label, length)) return true;
  std::uint8_t escaped[kMaxPattern];
  std::size_t n = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (label[i] != ' ') {
      escaped[n++] = label[i];
      continue;
    }
    for (const char c : {'\\', 'x', '2', '0'}) escaped[n++] = static_cast<std::uint8_t>(c);
  }
  return n != length && holds_word(text, size, escaped, n);
}

bool holds(const std::uint8_t* bytes, std::size_t size, const char* what) {
  const auto* text = reinterpret_cast<const std::uint8_t*>(what);
  return std::search(bytes, bytes + size, text, text + std::strlen(what)) != bytes + size;
}

}  // namespace

void add_old_label(OldLabels& labels, const std::uint8_t* label) {
  const std::size_t length = std::strlen(reinterpret_cast<const char*>(label));
  if (labels.count == labels.names.size() || length >= labels.names[0].size()) return;
  std::memcpy(labels.names[labels.count++].data(), label, length + 1);
}

void take_iso_labels(const IsoDescriptorSet& set, OldLabels& labels) {
  const IsoNameDescriptor* primary = first_sound(set, IsoKind::kPrimary);
  if (primary == nullptr) return;
  std::array<std::uint8_t, 256> name{};
  iso_volume_label(set, name.data(), static_cast<std::uint32_t>(name.size()));
  add_old_label(labels, name.data());
  std::size_t length = 32;
  const std::uint8_t* identifier = primary->bytes.data() + kIsoVolumeIdentifier;
  while (length > 0 && identifier[length - 1] == ' ') --length;
  name.fill(0);
  std::memcpy(name.data(), identifier, length);
  add_old_label(labels, name.data());
}

std::string what_breaks(ImageSession& session, const IsoDescriptorSet& set,
                        const OldLabels& labels) {
  std::string warnings;
  const IsoNameDescriptor* primary = first_sound(set, IsoKind::kPrimary);
  if (primary == nullptr) return warnings;
  if (set.el_torito) {
    visit_small_files(session, primary->bytes.data() + kRootRecord,
                      [&](const char* file, const std::uint8_t* content, std::uint32_t size) {
                        for (std::uint32_t i = 0; i < labels.count; ++i) {
                          const auto* label = reinterpret_cast<const char*>(labels.names[i].data());
                          if (std::strlen(label) < kShortest ||
                              !names_label(content, size, labels.names[i].data())) {
                            continue;
                          }
                          warnings.append("Warning: ").append(file);
                          warnings.append(" names the old label '").append(label);
                          warnings += "'; the image may not boot until it names the new one\n";
                          return;
                        }
                      });
  }
  if (holds(primary->bytes.data() + kApplicationUse, kApplicationUseSize, kImplantedChecksum)) {
    warnings.append("Warning: the media check checksum implanted in ").append(session.path);
    warnings += " no longer matches; implantisomd5 --force renews it\n";
  }
  return warnings;
}

}  // namespace tarnwick
