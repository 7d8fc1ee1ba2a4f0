// The run's record of one image: the open file, the scratch buffer, the new label, the label
// read back, what the volume structure showed and the writes planned; plus positioned block
// reads.
//
// The volume's logical block size is fixed once per run, by the anchor that is trusted; every
// "sector" of the pass is a block of that size. Block numbers are 32 bits: block n starts at
// byte n x block size, computed in 64 bits, and a block past 2^32-1 does not exist (block_after
// says so rather than wrap round to another). All reading of the image happens in session.cpp
// and all writing in plan.cpp, each transfer one positioned call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "image/file.h"
#include "image/plan.h"

namespace tarnwick {

// Logical block sizes a UDF volume can have: 512 to 32768 bytes, powers of two. Optical media
// record 2048-byte blocks, which is also where the recognition scan looks first.
inline constexpr std::uint32_t kMinBlockSize = 512;
inline constexpr std::uint32_t kOpticalBlockSize = 2048;
inline constexpr std::uint32_t kMaxBlockSize = 32768;

// What the Volume Recognition Sequence showed.
using RecognitionFlags = std::uint8_t;
inline constexpr RecognitionFlags kNsr02Seen = 4;

// Growable scratch memory for multi-sector reads; its contents are valid until the next read.
// It holds what was read into it and nothing else: nothing is cleared, and a page of it is
// touched only when something is read into it, so every read reuses the pages the earlier ones
// touched.
struct SectorBuffer {
  std::int32_t capacity = 0;
  std::unique_ptr<std::uint8_t[]> data;
};

// Room for the recognition scan and a 16-block sequence read of 2048- and 4096-byte volumes.
inline constexpr std::int32_t kInitialBufferSize = 65536;

inline constexpr std::uint8_t kReadOnlyMarker = 255;

struct ImageSession {
  FileHandle image = kNoFile;
  FileHandle whole_disk = kNoFile;  // a partition's disk, held open for its lock
  const char* path = nullptr;       // the image's path as given, for messages
  std::unique_ptr<SectorBuffer> buffer;
  std::array<std::uint8_t, 32> new_label_short{};
  // The last byte (the d-string's length byte) holds 255 while the run has no new label:
  // that value is the read-only marker.
  std::array<std::uint8_t, 128> new_label_long{};
  std::array<std::uint8_t, 256> current_label{};
  // The Volume Identifier of an ISO 9660 primary (and enhanced) and of a Joliet volume
  // descriptor, in write mode.
  std::array<std::uint8_t, 32> new_iso_name{};
  std::array<std::uint8_t, 32> new_joliet_name{};
  // The new label as typed (UTF-8), in write mode.
  const char* new_label = nullptr;
  // A dry run: the image is opened read-only, the writes are planned and listed, none is made.
  bool dry_run = false;
  RecognitionFlags recognition = 0;
  // long_ad: extent length u32, logical block u32, partition reference u16, 6 bytes.
  std::array<std::uint8_t, 16> fsd_location{};

  // Set when a read failed with an error ("Error reading file: %s" printed): the run ends, and
  // no later read is made.
  bool read_failed = false;
  // Set when something a relabel must rewrite does not verify or cannot be found: the run
  // fails and nothing is written.
  bool refused = false;
  WritePlan plan;
  // Bytes in the image (file or device) when it was opened.
  std::uint64_t image_bytes = 0;
  // The logical sector size of a block device; 0 for a file.
  std::uint32_t device_sector_size = 0;
  // The volume's logical block size: 0 until the anchor fixes it for the run.
  std::uint32_t block_size = 0;
};

// Sets every field to its initial value and allocates the buffer (kInitialBufferSize bytes,
// untouched). Returns false when that cannot be allocated.
bool session_init(ImageSession& session);

// Closes the image if open and releases the buffer. Safe in any state the run reached.
void session_close(ImageSession& session);

// True while the run has no new label. A run with one plans its writes (and a dry run stops
// there).
bool is_read_only(const ImageSession& session);

// True when the run opens the image for update: it has a new label and is no dry run.
bool opens_for_update(const ImageSession& session);

// True when a relabel planned so far must not write: a read failed, something it must rewrite
// was refused, or the plan is incomplete.
bool plan_failed(const ImageSession& session);

// The block `count` blocks after `first`, or nullopt when that lies past block 2^32-1.
constexpr std::optional<std::uint32_t> block_after(std::uint32_t first, std::uint64_t count) {
  const std::uint64_t block = std::uint64_t{first} + count;
  if (block > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(block);
}

// `size` bytes from the heap, not cleared, or null when the memory cannot be had.
std::unique_ptr<std::uint8_t[]> alloc_bytes(std::size_t size);

// The buffer's bytes, at least `size` long (grown when needed; what it held is kept only when
// `keep` asks for it; nothing is cleared), or null when the memory cannot be had; the buffer is
// then left as it was.
std::uint8_t* ensure_buffer(SectorBuffer& buffer, std::int32_t size, bool keep = false);

// Opens `path` with open_file (image/file.h), for update when opens_for_update, and records the
// path, its size and, for a block device, its logical sector size. Prints nothing.
OpenResult open_image(ImageSession& session, const char* path);

// Whole blocks of `block_size` bytes in the image.
std::uint64_t image_blocks(const ImageSession& session, std::uint32_t block_size);

// Reads up to `count` units of `unit_size` bytes from unit `unit` into `dest`, in one call.
// Returns the number of whole units read: fewer where the image ends. A read that fails with an
// error prints "Error reading file: %s" (the session's path), marks the run failed and returns
// 0; so does every read after it, without reading.
std::uint32_t read_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                         std::uint32_t count, std::uint8_t* dest);

// read_units in the run's logical blocks.
std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest);

// Reports a label-carrying descriptor that a relabel cannot rewrite because it does not verify
// ("Descriptor at sector %u not changed: invalid tag") and refuses the relabel.
void report_unverified(ImageSession& session, std::uint32_t sector_number);

// Syncs the image's data to storage. False, with "Error writing file: %s" printed, when that
// fails.
bool sync_image(ImageSession& session);

}  // namespace tarnwick
