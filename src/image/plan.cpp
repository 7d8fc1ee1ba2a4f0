#include "image/plan.h"

#include <cstdio>
#include <cstring>

#include "image/session.h"

namespace tarnwick {

const char* write_kind_name(WriteKind kind) {
  switch (kind) {
    case WriteKind::kPrimaryVolume:
      return "Primary Volume Descriptor";
    case WriteKind::kImplementationUse:
      return "Implementation Use Volume Descriptor";
    case WriteKind::kLogicalVolume:
      return "Logical Volume Descriptor";
    case WriteKind::kFileSet:
      return "File Set Descriptor";
    case WriteKind::kVat:
      return "Virtual Allocation Table";
    case WriteKind::kIsoPrimary:
      return "ISO 9660 primary descriptor";
    case WriteKind::kIsoEnhanced:
      return "ISO 9660:1999 descriptor";
    case WriteKind::kJoliet:
      return "Joliet descriptor";
  }
  return "";
}

void plan_write(ImageSession& session, std::uint32_t unit, std::uint32_t size,
                const std::uint8_t* bytes, WriteKind kind) {
  PlannedWrite write{std::uint64_t{unit} * size, size, unit, kind, alloc_bytes(size)};
  if (!write.bytes) {
    session.plan.incomplete = true;
    return;
  }
  std::memcpy(write.bytes.get(), bytes, size);
  session.plan.writes.push_back(std::move(write));
}

void plan_sync(ImageSession& session) { session.plan.synced_prefix = session.plan.writes.size(); }

bool commit_plan(ImageSession& session) {
  const WritePlan& plan = session.plan;
  for (std::size_t i = 0; i < plan.writes.size(); ++i) {
    if (i == plan.synced_prefix && !sync_image(session)) return false;
    const PlannedWrite& w = plan.writes[i];
    const std::int64_t written = write_at(session.image, w.offset, w.bytes.get(), w.size);
    if (written != w.size) {
      std::printf("fwrite to sector %u failed, result=%zu!\n", w.sector,
                  static_cast<std::size_t>(written < 0 ? 0 : written));
      return false;
    }
  }
  // The main sequence's own sync, when nothing came after it, and the last one.
  if (plan.synced_prefix == plan.writes.size() && !sync_image(session)) return false;
  return sync_image(session);
}

}  // namespace tarnwick
