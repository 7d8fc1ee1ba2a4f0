#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "image/file.h"
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace tarnwick {

namespace {

bool lock_file(int fd, bool exclusive) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (int waited = 0;; waited += kLockRetryMilliseconds) {
    if (flock(fd, operation) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= kLockWaitMilliseconds) return false;
    const timespec pause{0, kLockRetryMilliseconds * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// A write-protected SD card or a read-only loop device opens for update all the same; every
// write would then fail.
bool is_read_only_device(int fd) {
#ifdef BLKROGET
  int read_only = 0;
  return ioctl(fd, BLKROGET, &read_only) == 0 && read_only != 0;
#else
  (void)fd;
  return false;
#endif
}

std::uint32_t device_sector_size(int fd) {
#ifdef BLKSSZGET
  int sector_size = 0;
  if (ioctl(fd, BLKSSZGET, &sector_size) == 0 && sector_size > 0) {
    return static_cast<std::uint32_t>(sector_size);
  }
#else
  (void)fd;
#endif
  return 0;
}

// What a pread or pwrite that returned `n` tells its caller. A regular file or a block device
// moves all it is asked for but at its end, and no signal handler interrupts a call, so -1 is
// always a failure of the transfer itself.
std::int64_t transferred(ssize_t n) { return n >= 0 ? n : kTransferFailed; }

}  // namespace

OpenResult open_file(const char* path, bool writing, OpenedFile& file) {
  // Non-blocking, so that opening a FIFO with no writer does not wait for one; the flag is
  // cleared again once the file is known to be a regular file or a block device.
  const int fd = open(path, (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenResult::kCannotOpen;
  struct stat st {};
  const bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
                      !(writing && S_ISBLK(st.st_mode) && is_read_only_device(fd)) &&
                      fcntl(fd, F_SETFL, 0) == 0;
  if (!usable) {
    close(fd);
    return OpenResult::kCannotOpen;
  }
  // Another run of this tool (or udev probing a device) never sees a half-written volume.
  if (!lock_file(fd, writing)) {
    close(fd);
    return OpenResult::kInUse;
  }
  file.handle = fd;
  if (S_ISREG(st.st_mode)) {
    file.bytes = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  } else {
    file.device_sector_size = device_sector_size(fd);
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end > 0) file.bytes = static_cast<std::uint64_t>(end);
  }
  return OpenResult::kOpened;
}

std::int64_t read_at(FileHandle file, std::uint64_t offset, std::uint8_t* dest, std::size_t size) {
  return transferred(pread(file, dest, size, static_cast<off_t>(offset)));
}

std::int64_t write_at(FileHandle file, std::uint64_t offset, const std::uint8_t* bytes,
                      std::size_t size) {
  return transferred(pwrite(file, bytes, size, static_cast<off_t>(offset)));
}

int sync_to_storage(FileHandle file) { return fdatasync(file); }

void close_file(FileHandle file) { close(file); }

}  // namespace tarnwick
