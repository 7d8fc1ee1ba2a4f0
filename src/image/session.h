// The run's record of one image: the open file, the scratch buffer, the new label, the label
// read back, and what the volume structure showed; plus positioned block I/O.
//
// The volume's logical block size is fixed once per run, by the anchor that is trusted; every
// "sector" of the pass is a block of that size. Block n starts at byte n x block size,
// computed in 64 bits, so every unsigned 32-bit block number can be positioned. All reading and
// writing of the image happens in session.cpp, each transfer one positioned call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "image/file.h"

namespace tarnwick {

// Logical block sizes a UDF volume can have: 512 to 32768 bytes, powers of two. Optical media
// record 2048-byte blocks, which is also where the recognition scan looks first.
inline constexpr std::uint32_t kMinBlockSize = 512;
inline constexpr std::uint32_t kOpticalBlockSize = 2048;
inline constexpr std::uint32_t kMaxBlockSize = 32768;

// What the Volume Recognition Sequence showed, plus the metadata duplicate flag.
using RecognitionFlags = std::uint8_t;
inline constexpr RecognitionFlags kNsr02Seen = 4;
inline constexpr RecognitionFlags kNsr03Seen = 8;
inline constexpr RecognitionFlags kDuplicateMetadata = 16;

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
  RecognitionFlags recognition = 0;
  // long_ad: extent length u32, logical block u32, partition reference u16, 6 bytes.
  std::array<std::uint8_t, 16> fsd_location{};

  // Set when a write was skipped for a failed positioning, was short, or a flush or sync
  // failed: the run fails, and the image may hold a partly written sector.
  bool write_failed = false;
  // Set when a descriptor was left unchanged because its tag did not verify: the run fails.
  bool descriptor_skipped = false;
  // Bytes in the image (file or device) when it was opened.
  std::uint64_t image_bytes = 0;
  // The logical sector size of a block device; 0 for a file.
  std::uint32_t device_sector_size = 0;
  // The volume's logical block size: 0 until the anchor fixes it for the run.
  std::uint32_t block_size = 0;
  // Syncs the image's data to storage (sync_to_storage, or a test's stand-in that fails on
  // demand); 0 on success.
  int (*sync_file)(FileHandle file) = nullptr;
};

// Sets every field to its initial value and allocates the buffer (kInitialBufferSize bytes,
// untouched). Returns false when that cannot be allocated.
bool session_init(ImageSession& session);

// Closes the image if open and releases the buffer. Safe in any state the run reached.
void session_close(ImageSession& session);

// True while the run has no new label.
bool is_read_only(const ImageSession& session);

// `size` bytes from the heap, not cleared, or null when the memory cannot be had.
std::unique_ptr<std::uint8_t[]> alloc_bytes(std::size_t size);

// The buffer's bytes, at least `size` long (grown when needed; what it held is kept only when
// `keep` asks for it; nothing is cleared), or null when the memory cannot be had; the buffer is
// then left as it was.
std::uint8_t* ensure_buffer(SectorBuffer& buffer, std::int32_t size, bool keep = false);

// Opens `path` with open_file (image/file.h) in the run's mode and records its size and, for a
// block device, its logical sector size. Prints nothing.
OpenResult open_image(ImageSession& session, const char* path);

// Whole blocks of `block_size` bytes in the image.
std::uint64_t image_blocks(const ImageSession& session, std::uint32_t block_size);

// Reads up to `count` units of `unit_size` bytes from unit `unit` into `dest`, in one call.
// Returns the number of whole units read. A file that cannot be positioned prints "fseek to
// sector %d failed!" and reads nothing.
std::uint32_t read_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                         std::uint32_t count, std::uint8_t* dest);

// read_units in the run's logical blocks.
std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest);

// Writes `unit_size` bytes at unit `unit` of that size, in one call. On a file that cannot be
// positioned prints "fseek to sector %u failed!" and writes nothing; on a short write prints
// "fwrite to sector %u failed, result=%zu!". Either failure marks the run failed.
void write_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                 const std::uint8_t* bytes);

// write_units of one logical block at `sector`.
void write_sector(ImageSession& session, std::uint32_t sector, const std::uint8_t* bytes);

// Reports a label-carrying descriptor that is left unchanged because it does not verify
// ("Descriptor at sector %u not changed: invalid tag") and marks the run failed.
void report_unverified(ImageSession& session, std::uint32_t sector_number);

// Syncs the image's data to storage. False (and the run marked failed) when that fails; prints
// nothing.
bool sync_image(ImageSession& session);

}  // namespace tarnwick
