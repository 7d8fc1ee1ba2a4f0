#include "image/session.h"

#include <cstring>
#include <new>

#include "image/file.h"

// Under AddressSanitizer the buffer's bytes past those a caller asked for are poisoned: a read
// of what no read filled fails the sanitizer builds' tests and the fuzz target.
#if defined(__SANITIZE_ADDRESS__)
#define TARNWICK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNWICK_ASAN 1
#endif
#endif
#ifdef TARNWICK_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace tarnwick {

namespace {

void fence(SectorBuffer& buffer, std::int32_t size) {
#ifdef TARNWICK_ASAN
  ASAN_UNPOISON_MEMORY_REGION(buffer.data.get(), static_cast<std::size_t>(size));
  ASAN_POISON_MEMORY_REGION(buffer.data.get() + size,
                            static_cast<std::size_t>(buffer.capacity - size));
#else
  (void)buffer, (void)size;
#endif
}

}  // namespace

bool session_init(ImageSession& session) {
  session = ImageSession{};
  session.new_label_long.back() = kReadOnlyMarker;
  session.sync_file = sync_to_storage;
  session.buffer.reset(new (std::nothrow) SectorBuffer{});
  if (!session.buffer) return false;
  return ensure_buffer(*session.buffer, kInitialBufferSize) != nullptr;
}

void session_close(ImageSession& session) {
  if (session.image != kNoFile) {
    close_file(session.image);
    session.image = kNoFile;
  }
  session.buffer.reset();
}

bool is_read_only(const ImageSession& session) {
  return session.new_label_long.back() == kReadOnlyMarker;
}

std::unique_ptr<std::uint8_t[]> alloc_bytes(std::size_t size) {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

std::uint8_t* ensure_buffer(SectorBuffer& buffer, std::int32_t size, bool keep) {
  if (buffer.capacity >= size) {
    fence(buffer, size);
    return buffer.data.get();
  }
  std::unique_ptr<std::uint8_t[]> grown = alloc_bytes(static_cast<std::size_t>(size));
  if (!grown) return nullptr;
  if (keep && buffer.data && buffer.capacity > 0) {
    fence(buffer, buffer.capacity);
    std::memcpy(grown.get(), buffer.data.get(), static_cast<std::size_t>(buffer.capacity));
  }
  buffer.data = std::move(grown);
  buffer.capacity = size;
  fence(buffer, size);
  return buffer.data.get();
}

OpenResult open_image(ImageSession& session, const char* path) {
  OpenedFile file;
  const OpenResult result = open_file(path, !is_read_only(session), file);
  if (result != OpenResult::kOpened) return result;
  session.image = file.handle;
  session.image_bytes = file.bytes;
  session.device_sector_size = file.device_sector_size;
  return result;
}

std::uint64_t image_blocks(const ImageSession& session, std::uint32_t block_size) {
  return block_size == 0 ? 0 : session.image_bytes / block_size;
}

std::uint32_t read_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                         std::uint32_t count, std::uint8_t* dest) {
  const std::int64_t read =
      read_at(session.image, std::uint64_t{unit} * unit_size, dest, std::size_t{count} * unit_size);
  if (read == kCannotPosition) {
    // Reading on from wherever the file stands would hand the caller another block.
    std::printf("fseek to sector %d failed!\n", static_cast<int>(unit));
    return 0;
  }
  return unit_size == 0 ? 0
                        : static_cast<std::uint32_t>(static_cast<std::uint64_t>(read) / unit_size);
}

std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest) {
  return read_units(session, sector, session.block_size, count, dest);
}

void write_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                 const std::uint8_t* bytes) {
  const std::int64_t written =
      write_at(session.image, std::uint64_t{unit} * unit_size, bytes, unit_size);
  if (written == kCannotPosition) {
    // Writing at whatever position the file holds would overwrite another block.
    std::printf("fseek to sector %u failed!\n", unit);
    session.write_failed = true;
    return;
  }
  if (unit_size == 0 || written != unit_size) {
    std::printf("fwrite to sector %u failed, result=%zu!\n", unit,
                static_cast<std::size_t>(written));
    session.write_failed = true;
  }
}

void write_sector(ImageSession& session, std::uint32_t sector, const std::uint8_t* bytes) {
  write_units(session, sector, session.block_size, bytes);
}

void report_unverified(ImageSession& session, std::uint32_t sector_number) {
  std::printf("Descriptor at sector %u not changed: invalid tag\n", sector_number);
  session.descriptor_skipped = true;
}

bool sync_image(ImageSession& session) {
  const bool ok = session.sync_file(session.image) == 0;
  if (!ok) session.write_failed = true;
  return ok;
}

}  // namespace tarnwick
