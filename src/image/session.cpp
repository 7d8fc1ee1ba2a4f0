#include "image/session.h"

#include <cstring>
#include <new>

#include "image/file.h"

namespace tarnwick {

namespace {

// Positions the stream at unit `unit` of `unit_size` bytes; the position is computed in 64 bits.
bool seek_unit(ImageSession& session, std::uint32_t unit, std::uint32_t unit_size) {
  return seek_file(session.image, std::uint64_t{unit} * unit_size);
}

}  // namespace

bool session_init(ImageSession& session) {
  session = ImageSession{};
  session.new_label_long.back() = kReadOnlyMarker;
  session.sync_file = sync_stream;
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
  OpenedFile file;
  const OpenResult result = open_file(path, !is_read_only(session), file);
  if (result != OpenResult::kOpened) return result;
  session.image = file.stream;
  session.image_bytes = file.bytes;
  if (file.device_sector_size != 0) session.device_sector_size = file.device_sector_size;
  return result;
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
