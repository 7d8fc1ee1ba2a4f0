#include "update/visitor.h"

#include <array>
#include <cstring>

#include "image/bytes.h"
#include "image/tag.h"
#include "text/dstring.h"

namespace tarnwick {

namespace {

constexpr char kCs0Name[] = "OSTA Compressed Unicode";
constexpr char kLvInfoIdentifier[] = "*UDF LV Info";
constexpr std::uint32_t kCharspecSize = 64;
// The Implementation Identifier is an entity identifier at byte 20; its identifier text
// starts after the flags byte.
constexpr std::uint32_t kIuvdImplementationId = 21;

bool carries_lv_info(const std::uint8_t* iuvd) {
  return std::memcmp(iuvd + kIuvdImplementationId, kLvInfoIdentifier,
                     sizeof(kLvInfoIdentifier) - 1) == 0;
}

void put_short(ImageSession& session, std::uint8_t* field) {
  std::memcpy(field, session.new_label_short.data(), session.new_label_short.size());
}

void put_long(ImageSession& session, std::uint8_t* field) {
  std::memcpy(field, session.new_label_long.data(), session.new_label_long.size());
}

// Rewrites the label fields of a descriptor with tag identifier `tag` in place.
void rewrite_fields(ImageSession& session, std::uint8_t* d, std::uint16_t tag) {
  switch (tag) {
    case kTagPrimaryVolume:
      put_short(session, d + 24);
      put_cs0_charspec(d + 200);
      break;
    case kTagImplementationUse:
      put_cs0_charspec(d + 52);
      put_long(session, d + 116);
      break;
    case kTagLogicalVolume:
      put_cs0_charspec(d + 20);
      put_long(session, d + 84);
      break;
    case kTagFileSet:
      put_cs0_charspec(d + 48);
      put_long(session, d + kFsdLogicalVolumeId);
      put_cs0_charspec(d + 240);
      put_short(session, d + 304);
      break;
    default:
      break;
  }
}

}  // namespace

void put_cs0_charspec(std::uint8_t* field) {
  std::memset(field, 0, kCharspecSize);
  std::memcpy(field + 1, kCs0Name, sizeof(kCs0Name) - 1);
}

void visit_descriptor(ImageSession& session, std::uint8_t* sector_bytes,
                      std::uint32_t sector_number, std::uint32_t location) {
  const std::uint16_t tag = get_u16(sector_bytes);
  if (tag == kTagFileSet && session.current_label[0] == 0) {
    // One byte short of the buffer, so the label always stays terminated.
    dstring_to_text(sector_bytes + kFsdLogicalVolumeId, 128, session.current_label.data(),
                    static_cast<std::int32_t>(session.current_label.size() - 1));
  }
  if (is_read_only(session)) return;
  WriteKind kind{};
  switch (tag) {
    case kTagPrimaryVolume:
      kind = WriteKind::kPrimaryVolume;
      break;
    case kTagImplementationUse:
      if (!carries_lv_info(sector_bytes)) return;
      kind = WriteKind::kImplementationUse;
      break;
    case kTagLogicalVolume:
      kind = WriteKind::kLogicalVolume;
      break;
    case kTagFileSet:
      kind = WriteKind::kFileSet;
      break;
    default:
      return;
  }
  // Resealing a descriptor whose contents do not match its CRC would make damage look valid;
  // one that records another location was copied there from elsewhere.
  if (!tag_verifies(sector_bytes, session.block_size) || get_u32(sector_bytes + 12) != location) {
    report_unverified(session, sector_number);
    return;
  }
  std::array<std::uint8_t, kMaxBlockSize> was;
  std::memcpy(was.data(), sector_bytes, session.block_size);
  rewrite_fields(session, sector_bytes, tag);
  seal_descriptor_tag(sector_bytes, get_u16(sector_bytes + 10));
  // A descriptor that already carries the new name in every field needs no write.
  if (std::memcmp(was.data(), sector_bytes, session.block_size) == 0) return;
  plan_write(session, sector_number, session.block_size, sector_bytes, kind);
}

}  // namespace tarnwick
