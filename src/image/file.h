// The platform's part of image access, and the only code that differs between POSIX and
// Windows (file_posix.cpp, file_windows.cpp): opening an image file or block device for
// reading or update, its size and sector size, the lock, positioning, syncing to storage.
// Reading, writing and closing go through the stream it opens, the same on both.
#pragma once

#include <cstdint>
#include <cstdio>

namespace tarnwick {

enum class OpenResult : std::uint8_t { kOpened, kCannotOpen, kInUse };

// How long another program's lock on the image is waited for, and how often it is tried.
inline constexpr int kLockWaitMilliseconds = 10000;
inline constexpr int kLockRetryMilliseconds = 20;

struct OpenedFile {
  std::FILE* stream = nullptr;           // binary, unbuffered
  std::uint64_t bytes = 0;               // the size of the file or device when it was opened
  std::uint32_t device_sector_size = 0;  // a block device's logical sector size; 0 for a file
};

// Opens `path` (UTF-8) read-only, or for update when `writing` (never created or truncated).
// Only regular files and, on POSIX, block devices are opened: anything else (a FIFO, socket,
// character device, directory, a Windows device or volume path) is refused without blocking,
// and so is a block device the kernel marks read-only when `writing`. The file is then locked,
// shared for reading and exclusive for writing, waiting up to 10 seconds for another holder
// (kInUse after that, the file closed again). Prints nothing.
OpenResult open_file(const char* path, bool writing, OpenedFile& file);

// Positions `stream` at byte `offset`, in 64 bits; false when that fails.
bool seek_file(std::FILE* stream, std::uint64_t offset);

// Syncs the data written through `stream` to storage (the stream is flushed first); 0 on
// success. A stream with no file behind it (an in-memory one) has nothing to sync.
int sync_stream(std::FILE* stream);

}  // namespace tarnwick
