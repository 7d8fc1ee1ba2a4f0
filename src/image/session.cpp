#include "image/session.h"

#include <cstdio>
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
  session.buffer.reset(new (std::nothrow) SectorBuffer{});
  if (!session.buffer) return false;
  return ensure_buffer(*session.buffer, kInitialBufferSize) != nullptr;
}

void session_close(ImageSession& session) {
  for (FileHandle* file : {&session.image, &session.whole_disk}) {
    if (*file != kNoFile) close_file(*file);
    *file = kNoFile;
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
  session.path = path;
  OpenedFile file;
  const OpenResult result = open_file(path, opens_for_update(session), file);
  if (result != OpenResult::kOpened) return result;
  session.image = file.handle;
  session.whole_disk = file.whole_disk;
  session.image_bytes = file.bytes;
  session.device_sector_size = file.device_sector_size;
  return result;
}

std::uint64_t image_blocks(const ImageSession& session, std::uint32_t block_size) {
  return block_size == 0 ? 0 : session.image_bytes / block_size;
}

bool opens_for_update(const ImageSession& session) {
  return !is_read_only(session) && !session.dry_run;
}

bool plan_failed(const ImageSession& session) {
  return session.read_failed || session.refused || session.plan.incomplete;
}

std::uint32_t read_units(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size,
                         std::uint32_t count, std::uint8_t* dest) {
  if (session.read_failed || unit_size == 0) return 0;
  const std::int64_t read =
      read_at(session.image, std::uint64_t{unit} * unit_size, dest, std::size_t{count} * unit_size);
  if (read == kTransferFailed) {
    // Taken for the end of the image, a failing medium would make a volume look like one
    // without the blocks it could not read.
    std::printf("Error reading file: %s\n", session.path);
    session.read_failed = true;
    return 0;
  }
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(read) / unit_size);
}

std::uint32_t read_sectors(ImageSession& session, std::uint32_t sector, std::uint32_t count,
                           std::uint8_t* dest) {
  return read_units(session, sector, session.block_size, count, dest);
}

void report_unverified(ImageSession& session, std::uint32_t sector_number) {
  std::printf("Descriptor at sector %u not changed: invalid tag\n", sector_number);
  session.refused = true;
}

bool sync_image(ImageSession& session) {
  if (sync_to_storage(session.image) == 0) return true;
  std::printf("Error writing file: %s\n", session.path);
  return false;
}

}  // namespace tarnwick
