// The write plan: every write a relabel makes, decided before the first of them is made.
//
// A relabel reads, maps and verifies every block it will rewrite and plans its new bytes here;
// only a plan made without any failure is committed. Committing writes each planned block to
// the byte position it was read from, in plan order, syncing after the synced prefix (the main
// Volume Descriptor Sequence) and at the end, so that one complete copy of the volume
// descriptors is on the medium at every moment. The first write or sync that fails ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarnwick {

struct ImageSession;

// What a planned write is: a descriptor of the volume, the VAT's copy of the name, or an ISO
// 9660 volume descriptor.
enum class WriteKind : std::uint8_t {
  kPrimaryVolume,
  kImplementationUse,
  kLogicalVolume,
  kFileSet,
  kVat,
  kIsoPrimary,
  kIsoEnhanced,
  kJoliet,
};

// "Primary Volume Descriptor", "Joliet descriptor", ...: how a dry run names a write.
const char* write_kind_name(WriteKind kind);

struct PlannedWrite {
  std::uint64_t offset = 0;  // byte position in the image, where its bytes were read from
  std::uint32_t size = 0;
  std::uint32_t sector = 0;  // in the unit messages use: a logical block, or a 2048-byte sector
  WriteKind kind = WriteKind::kPrimaryVolume;
  std::unique_ptr<std::uint8_t[]> bytes;
};

inline constexpr std::size_t kNoSync = static_cast<std::size_t>(-1);

struct WritePlan {
  std::vector<PlannedWrite> writes;
  // The number of writes made and synced before the rest begin; kNoSync for none.
  std::size_t synced_prefix = kNoSync;
  // Set when a write could not be planned (no memory for its bytes): the plan is incomplete.
  bool incomplete = false;
};

// Plans `size` bytes of `bytes` for unit `unit` of `size` bytes (reported as sector `unit`).
void plan_write(ImageSession& session, std::uint32_t unit, std::uint32_t size,
                const std::uint8_t* bytes, WriteKind kind);

// Marks the writes planned so far as those synced before any later one is made.
void plan_sync(ImageSession& session);

// Makes the planned writes in order, each in one call at its own position, syncing after the
// synced prefix and at the end. A short or failed write prints "fwrite to sector %u failed,
// result=%zu!" and a failed sync "Error writing file: %s"; either ends the commit at once, with
// nothing after it written, and returns false.
bool commit_plan(ImageSession& session);

}  // namespace tarnwick
