#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

OpenResult open_file(const char* path, bool writing, OpenedFile& file) {
  // Non-blocking, so that opening a FIFO with no writer does not wait for one; the flag is
  // cleared again once the file is known to be a regular file or a block device.
  const int fd = open(path, (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenResult::kCannotOpen;
  struct stat st {};
  const bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
                      !(writing && S_ISBLK(st.st_mode) && is_read_only_device(fd)) &&
                      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
  if (!usable) {
    close(fd);
    return OpenResult::kCannotOpen;
  }
  // Another run of this tool (or udev probing a device) never sees a half-written volume.
  if (!lock_file(fd, writing)) {
    close(fd);
    return OpenResult::kInUse;
  }
  file.stream = fdopen(fd, writing ? "rb+" : "rb");
  if (file.stream == nullptr) {
    close(fd);
    return OpenResult::kCannotOpen;
  }
  // Unbuffered: every read and write goes straight to the file, so a read asks for exactly
  // the blocks wanted and a failed write is seen by the fwrite that made it.
  std::setvbuf(file.stream, nullptr, _IONBF, 0);
  if (S_ISBLK(st.st_mode)) file.device_sector_size = device_sector_size(fd);
  if (fseeko(file.stream, 0, SEEK_END) == 0) {
    const off_t end = ftello(file.stream);
    if (end > 0) file.bytes = static_cast<std::uint64_t>(end);
  }
  return OpenResult::kOpened;
}

bool seek_file(std::FILE* stream, std::uint64_t offset) {
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int sync_stream(std::FILE* stream) {
  if (std::fflush(stream) != 0) return -1;
  const int fd = fileno(stream);
  return fd < 0 ? 0 : fdatasync(fd);
}

}  // namespace tarnwick
