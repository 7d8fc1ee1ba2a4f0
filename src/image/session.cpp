#include "image/session.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace tarnwick {

namespace {

// How long another program's lock on the image is waited for, and how often it is tried.
constexpr int kLockWaitMilliseconds = 10000;
constexpr int kLockRetryMilliseconds = 20;

bool lock_image(int fd, bool exclusive) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (int waited = 0;; waited += kLockRetryMilliseconds) {
    if (flock(fd, operation) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= kLockWaitMilliseconds) return false;
    const timespec pause{0, kLockRetryMilliseconds * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Positions the stream at unit `unit` of `unit_size` bytes; the position is computed in 64 bits.
bool seek_unit(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size) {
  return fseeko(session.image, static_cast<off_t>(std::uint64_t{unit} * unit_size), SEEK_SET) == 0;
}

}  // namespace

bool session_init(ImageSession& session) {
  session = ImageSession{};
  session.new_label_long.back() = kReadOnlyMarker;
  session.sync_file = fdatasync;
  session.buffer.reset(new (std::nothrow) SectorBuffer{});
  if (!session.buffer) return false;
  return ensure_buffer(*session.buffer, kInitialBufferSize) != nullptr;
}

void session_close(ImageSession& session) {
  if (session.image != nullptr) {
    std::fclose(session.image);
    session.image = nullptr;
  }
  session.buffer.reset();
}

bool is_read_only(const ImageSession& session) {
  return session.new_label_long.back() == kReadOnlyMarker;
}

std::unique_ptr<std::uint8_t[]> alloc_zeroed(std::size_t size) {
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
  if (bytes) std::memset(bytes.get(), 0, size);
  return bytes;
}

std::uint8_t* ensure_buffer(SectorBuffer& buffer, std::int32_t size) {
  if (buffer.capacity >= size) return buffer.data.get();
  std::unique_ptr<std::uint8_t[]> grown = alloc_zeroed(static_cast<std::size_t>(size));
  if (!grown) return nullptr;
  if (buffer.data && buffer.capacity > 0) {
    std::memcpy(grown.get(), buffer.data.get(), static_cast<std::size_t>(buffer.capacity));
  }
  buffer.data = std::move(grown);
  buffer.capacity = size;
  return buffer.data.get();
}

OpenResult open_image(ImageSession& session, const char* path) {
  const bool writing = !is_read_only(session);
  // Non-blocking, so that opening a FIFO with no writer does not wait for one; the flag is
  // cleared again once the file is known to be a regular file or a block device.
  const int fd = open(path, (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenResult::kCannotOpen;
  struct stat st {};
  const bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
                      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
  if (!usable) {
    close(fd);
    return OpenResult::kCannotOpen;
  }
  // Another run of this tool (or udev probing a device) never sees a half-written volume.
  if (!lock_image(fd, writing)) {
    close(fd);
    return OpenResult::kInUse;
  }
  session.image = fdopen(fd, writing ? "rb+" : "rb");
  if (session.image == nullptr) {
    close(fd);
    return OpenResult::kCannotOpen;
  }
  // Unbuffered: every read and write goes straight to the file, so a read asks for exactly
  // the blocks wanted and a failed write is seen by the fwrite that made it.
  std::setvbuf(session.image, nullptr, _IONBF, 0);
  if (S_ISBLK(st.st_mode)) {
    int sector_size = 0;
    if (ioctl(fd, BLKSSZGET, &sector_size) == 0 && sector_size > 0) {
      session.device_sector_size = static_cast<std::uint32_t>(sector_size);
    }
  }
  if (fseeko(session.image, 0, SEEK_END) == 0) {
    const off_t end = ftello(session.image);
    if (end > 0) session.image_bytes = static_cast<std::uint64_t>(end);
  }
  return OpenResult::kOpened;
}

std::uint64_t image_blocks(const ImageSession& session, std::uint32_t block_size) {
  return block_size == 0 ? 0 : session.image_bytes / block_size;
}

std::uint32_t read_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                         std::uint32_t count, std::uint8_t* dest) {
  if (!seek_unit(session, unit, unit_size)) {
    // Reading on from wherever the stream stands would hand the caller another block.
    std::printf("fseek to sector %d failed!\n", static_cast<int>(unit));
    return 0;
  }
  if (unit_size == 0) return 0;
  return static_cast<std::uint32_t>(std::fread(dest, unit_size, count, session.image));
}

std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest) {
  return read_units(session, sector, session.block_size, count, dest);
}

void write_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                 const std::uint8_t* bytes) {
  if (!seek_unit(session, unit, unit_size)) {
    // Writing at whatever position the stream holds would overwrite another block.
    std::printf("fseek to sector %u failed!\n", unit);
    session.write_failed = true;
    return;
  }
  const std::size_t written = std::fwrite(bytes, 1, unit_size, session.image);
  if (unit_size == 0 || written != unit_size || std::ferror(session.image) != 0) {
    std::printf("fwrite to sector %u failed, result=%zu!\n", unit, written);
    std::clearerr(session.image);
    session.write_failed = true;
  }
}

void write_sector(ImageSession& session, std::uint32_t sector, const std::uint8_t* bytes) {
  write_units(session, sector, session.block_size, bytes);
}

bool sync_image(ImageSession& session) {
  bool ok = std::fflush(session.image) == 0;
  const int fd = fileno(session.image);
  // A stream with no file descriptor behind it (an in-memory one) has nothing more to sync.
  if (ok && fd >= 0 && session.sync_file(fd) != 0) ok = false;
  if (!ok) session.write_failed = true;
  return ok;
}

}  // namespace tarnwick
