#include "image/session.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace tarnwick {

namespace {

off_t sector_offset(std::uint32_t sector) {
  return static_cast<off_t>(std::uint64_t{sector} * kSectorSize);
}

}  // namespace

bool session_init(ImageSession& session) {
  session = ImageSession{};
  session.new_label_long.back() = kReadOnlyMarker;
  session.sync_file = fsync;
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

bool open_image(ImageSession& session, const char* path) {
  session.image = std::fopen(path, is_read_only(session) ? "rb" : "rb+");
  if (session.image == nullptr) return false;
  // Unbuffered: every read and write goes straight to the file, so a read asks for exactly
  // the sectors wanted and a failed write is seen by the fwrite that made it.
  std::setvbuf(session.image, nullptr, _IONBF, 0);
  if (fseeko(session.image, 0, SEEK_END) == 0) {
    const off_t end = ftello(session.image);
    if (end > 0) session.image_sectors = static_cast<std::uint64_t>(end) / kSectorSize;
  }
  return true;
}

bool seek_sector(ImageSession& session, std::uint32_t sector) {
  return fseeko(session.image, sector_offset(sector), SEEK_SET) == 0;
}

std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest) {
  if (!seek_sector(session, sector)) {
    // Reading on from wherever the stream stands would hand the caller another sector.
    std::printf("fseek to sector %d failed!\n", static_cast<int>(sector));
    return 0;
  }
  return static_cast<std::uint32_t>(std::fread(dest, kSectorSize, count, session.image));
}

bool write_sector(ImageSession& session, std::uint32_t sector, const std::uint8_t* bytes) {
  if (!seek_sector(session, sector)) {
    // Writing at whatever position the stream holds would overwrite another sector.
    std::printf("fseek to sector %u failed!\n", sector);
    session.write_failed = true;
    return false;
  }
  const std::size_t written = std::fwrite(bytes, 1, kSectorSize, session.image);
  if (written != kSectorSize || std::ferror(session.image) != 0) {
    std::printf("fwrite to sector %u failed, result=%zu!\n", sector, written);
    std::clearerr(session.image);
    session.write_failed = true;
    return false;
  }
  return true;
}

bool sync_image(ImageSession& session) {
  bool ok = std::fflush(session.image) == 0;
  const int fd = fileno(session.image);
  // A stream with no file descriptor behind it has nothing more to sync.
  if (ok && fd >= 0 && session.sync_file(fd) != 0) ok = false;
  if (!ok) session.write_failed = true;
  return ok;
}

}  // namespace tarnwick
