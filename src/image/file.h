// The platform's part of image access, and the only code that differs between POSIX and
// Windows (file_posix.cpp, file_windows.cpp): opening an image file or block device for
// reading or update, its size and sector size, the lock, positioned reads and writes (each one
// call that positions and transfers), syncing to storage, closing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
#ifdef _WIN32
using FileHandle = void*;
inline const FileHandle kNoFile = reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(-1));
#else
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;
#endif

enum class OpenResult : std::uint8_t { kOpened, kCannotOpen, kInUse };

// How long another program's lock is waited for, and how often it is tried.
inline constexpr int kLockWaitMilliseconds = 10000;
inline constexpr int kLockRetryMilliseconds = 20;

struct OpenedFile {
  FileHandle handle = kNoFile;
  FileHandle whole_disk = kNoFile;       // the disk of a partition, held open for its lock
  std::uint64_t bytes = 0;               // the size of the file or device when it was opened
  std::uint32_t device_sector_size = 0;  // a block device's logical sector size; 0 for a file
};

// Opens `path` (UTF-8) read-only, or for update when `writing` (never created or truncated).
// Only regular files and, on POSIX, block devices are opened: anything else (a FIFO, socket,
// character device, directory, a Windows device or volume path) is refused without blocking,
// and so is a block device the kernel marks read-only when `writing`. A block device opened for
// update is claimed exclusively (O_EXCL on Linux): one that is mounted or claimed by another
// program is kInUse at once. The file is then locked, shared for reading and exclusive for
// writing, and on Linux a partition's whole disk with it (first), as udev and systemd lock it
// while they work on any of its partitions. A lock another program holds is waited for up to 10
// seconds each, after "Waiting for %s: another program is using it" (printed once); kInUse
// after that, everything closed again. A lock the file system cannot give at all (ENOLCK on NFS
// without a lock manager, EOPNOTSUPP, EINVAL) is gone without, after the warning "Warning: %s
// cannot be locked here; other programs are not kept from it". Prints nothing else.
OpenResult open_file(const char* path, bool writing, OpenedFile& file);

// What a positioned transfer returns when it failed with an error (an I/O error of the medium,
// a file that cannot be positioned).
inline constexpr std::int64_t kTransferFailed = -1;

// Reads up to `size` bytes at byte `offset`, in one call: the bytes read (fewer, or none, only
// where the file ends), or kTransferFailed.
std::int64_t read_at(FileHandle file, std::uint64_t offset, std::uint8_t* dest, std::size_t size);

// Writes `size` bytes at byte `offset`, in one call: the bytes written (fewer when the medium
// is full), or kTransferFailed.
std::int64_t write_at(FileHandle file, std::uint64_t offset, const std::uint8_t* bytes,
                      std::size_t size);

// Syncs the data written to `file` to storage; 0 on success.
int sync_to_storage(FileHandle file);

void close_file(FileHandle file);

}  // namespace tarnwick
