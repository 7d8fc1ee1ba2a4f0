// The run's record of one image: the open stream, the scratch buffer, the new label, the
// label read back, and what the volume structure showed; plus positioned sector I/O.
//
// Sector n of the image starts at byte n x 2048, computed in 64 bits, so every unsigned
// 32-bit sector number can be positioned. All stream positioning, reading and writing of the
// image happens in session.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "volume/partition.h"

namespace tarnwick {

inline constexpr std::uint32_t kSectorSize = 2048;

// What the Volume Recognition Sequence showed, plus the metadata duplicate flag.
using RecognitionFlags = std::uint8_t;
inline constexpr RecognitionFlags kIsoPrimarySeen = 1;
inline constexpr RecognitionFlags kIsoSupplementarySeen = 2;
inline constexpr RecognitionFlags kNsr02Seen = 4;
inline constexpr RecognitionFlags kNsr03Seen = 8;
inline constexpr RecognitionFlags kDuplicateMetadata = 16;

// Growable scratch memory for multi-sector reads; its contents are valid until the next read.
struct SectorBuffer {
  std::int32_t capacity = 0;
  std::unique_ptr<std::uint8_t[]> data;
};

inline constexpr std::int32_t kInitialBufferSize = 32768;
inline constexpr std::uint8_t kReadOnlyMarker = 255;

struct ImageSession {
  std::FILE* image = nullptr;
  std::unique_ptr<SectorBuffer> buffer;
  std::array<std::uint8_t, 32> new_label_short{};
  // The last byte (the d-string's length byte) holds 255 while the run has no new label:
  // that value is the read-only marker.
  std::array<std::uint8_t, 128> new_label_long{};
  std::array<std::uint8_t, 256> current_label{};
  RecognitionFlags recognition = 0;
  // long_ad: extent length u32, logical block u32, partition reference u16, 6 bytes.
  std::array<std::uint8_t, 16> fsd_location{};
  std::unique_ptr<PartitionEntry[]> partitions;
  std::uint32_t partition_count = 0;

  // Set when a write was skipped for a failed positioning, was short, or a flush or sync
  // failed: the run fails, and the image may hold a partly written sector.
  bool write_failed = false;
  // Set when a descriptor was left unchanged because its tag did not verify: the run fails.
  bool descriptor_skipped = false;
  // Whole 2048-byte sectors in the image when it was opened.
  std::uint64_t image_sectors = 0;
  // Syncs a file descriptor to storage: fsync, or a test's stand-in that fails on demand.
  int (*sync_file)(int fd) = nullptr;
};

// Sets every field to its initial value and allocates the 32768-byte zero-filled buffer.
// Returns false when the buffer cannot be allocated.
bool session_init(ImageSession& session);

// Closes the stream if open and releases the buffer. Safe in any state the run reached.
void session_close(ImageSession& session);

// True while the run has no new label.
bool is_read_only(const ImageSession& session);

// `size` zero bytes from the heap, or null when the memory cannot be had.
std::unique_ptr<std::uint8_t[]> alloc_zeroed(std::size_t size);

// The buffer's bytes, at least `size` long (grown when needed; new bytes are zero), or null
// when the memory cannot be had; the buffer is then left as it was.
std::uint8_t* ensure_buffer(SectorBuffer& buffer, std::int32_t size);

// Opens `path` "rb" in read-only mode or "rb+" (never created or truncated) in write mode,
// unbuffered, and records its size in sectors. Prints nothing; false when it cannot be opened.
bool open_image(ImageSession& session, const char* path);

// Positions the stream at the first byte of `sector`. Positioning past the end succeeds.
bool seek_sector(ImageSession& session, std::uint32_t sector);

// Reads up to `count` sectors from `sector` into `dest` (count x 2048 bytes). Returns the
// number of whole sectors read. A failed positioning prints "fseek to sector %d failed!" and
// reads nothing.
std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest);

// Writes one 2048-byte sector at `sector`. On a failed positioning prints
// "fseek to sector %u failed!" and writes nothing; on a short write prints
// "fwrite to sector %u failed, result=%zu!". Either failure marks the run failed.
bool write_sector(ImageSession& session, std::uint32_t sector, const std::uint8_t* bytes);

// Flushes the stream and syncs the file to storage. False (and the run marked failed) when
// either fails; prints nothing.
bool sync_image(ImageSession& session);

}  // namespace tarnwick
