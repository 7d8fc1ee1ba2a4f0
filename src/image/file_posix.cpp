#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "image/file.h"
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#endif

namespace tarnwick {

namespace {

enum class Lock : std::uint8_t { kTaken, kHeld, kUnavailable };

// Takes the lock, waiting for another holder; "Waiting for %s" is printed once per open, the
// first time a lock is not free at once.
Lock lock_file(int fd, bool exclusive, const char* path, bool& announced) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (int waited = 0;; waited += kLockRetryMilliseconds) {
    if (flock(fd, operation) == 0) return Lock::kTaken;
    if (errno == EINTR) continue;
    // ENOLCK (NFS without a lock manager), EOPNOTSUPP, EINVAL: nobody holds it, it cannot be had.
    if (errno != EWOULDBLOCK) return Lock::kUnavailable;
    if (waited >= kLockWaitMilliseconds) return Lock::kHeld;
    if (!announced) {
      std::printf("Waiting for %s: another program is using it\n", path);
      std::fflush(stdout);
      announced = true;
    }
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

// The whole disk that the block device `device` is a partition of, opened read-only for its
// lock; kNoFile for a whole disk, or where the system does not say (no sysfs, no node in /dev).
int open_whole_disk(dev_t device) {
#ifdef __linux__
  const std::string node =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  if (access((node + "/partition").c_str(), F_OK) != 0) return kNoFile;
  std::ifstream uevent(node + "/../uevent");
  std::string name;
  for (std::string line; std::getline(uevent, line);) {
    if (line.rfind("DEVNAME=", 0) == 0) name = "/dev/" + line.substr(8);
  }
  const int fd = name.empty() ? -1 : open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  std::ifstream dev(node + "/../dev");
  unsigned major_number = 0, minor_number = 0;
  char colon = 0;
  // The node must be the disk sysfs names, not another that took its name.
  if (fd >= 0 && (!(dev >> major_number >> colon >> minor_number) || fstat(fd, &st) != 0 ||
                  st.st_rdev != makedev(major_number, minor_number))) {
    close(fd);
    return kNoFile;
  }
  return fd < 0 ? kNoFile : fd;
#else
  (void)device;
  return kNoFile;
#endif
}

// Opens a block device again for update with O_EXCL, which the kernel refuses (EBUSY) while
// the device or a partition of it is mounted or another program holds it exclusively.
OpenResult reopen_exclusively(const char* path, int& fd, const struct stat& st) {
  const int exclusive = open(path, O_RDWR | O_EXCL | O_CLOEXEC | O_NOCTTY);
  if (exclusive < 0) return errno == EBUSY ? OpenResult::kInUse : OpenResult::kCannotOpen;
  struct stat again {};
  if (fstat(exclusive, &again) != 0 || again.st_rdev != st.st_rdev) {
    close(exclusive);
    return OpenResult::kCannotOpen;
  }
  close(fd);
  fd = exclusive;
  return OpenResult::kOpened;
}

// What a pread or pwrite that returned `n` tells its caller. A regular file or a block device
// moves all it is asked for but at its end, and no signal handler interrupts a call, so -1 is
// always a failure of the transfer itself.
std::int64_t transferred(ssize_t n) { return n >= 0 ? n : kTransferFailed; }

}  // namespace

OpenResult open_file(const char* path, bool writing, OpenedFile& file) {
  // Non-blocking, so that opening a FIFO with no writer does not wait for one; the flag is
  // cleared again once the file is known to be a regular file or a block device.
  int fd = open(path, (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenResult::kCannotOpen;
  struct stat st {};
  const bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
                      !(writing && S_ISBLK(st.st_mode) && is_read_only_device(fd)) &&
                      fcntl(fd, F_SETFL, 0) == 0;
  OpenResult result = usable ? OpenResult::kOpened : OpenResult::kCannotOpen;
  // A mounted device would have the kernel's copy of its descriptors written back over the new
  // ones: a relabel claims the device, as mkfs does.
  if (usable && writing && S_ISBLK(st.st_mode)) result = reopen_exclusively(path, fd, st);
  if (result != OpenResult::kOpened) {
    close(fd);
    return result;
  }
  // Another run of this tool, or udev and systemd probing or changing a disk, never sees a
  // half-written volume: they lock the whole disk while they work on any of its partitions.
  const int disk = S_ISBLK(st.st_mode) ? open_whole_disk(st.st_rdev) : kNoFile;
  bool announced = false, unlocked = false;
  for (const int locked : {disk, fd}) {
    if (locked == kNoFile) continue;
    const Lock lock = lock_file(locked, writing, path, announced);
    if (lock == Lock::kHeld) {
      if (disk != kNoFile) close(disk);
      close(fd);
      return OpenResult::kInUse;
    }
    unlocked = unlocked || lock == Lock::kUnavailable;
  }
  if (unlocked) {
    std::printf("Warning: %s cannot be locked here; other programs are not kept from it\n", path);
  }
  file.handle = fd;
  file.whole_disk = disk;
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
