#include "iso/directory.h"

#include <cstring>
#include <memory>

#include "image/bytes.h"

namespace tarnwick {

namespace {

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kMinRecord = 34;
constexpr std::size_t kMaxVisited = 64;
constexpr std::size_t kMaxPath = 1024;

struct Extent {
  std::uint32_t first = 0;
  std::uint32_t bytes = 0;
};

struct Walk {
  Walk(ImageSession& s, const SmallFileVisitor& v)
      : session(s),
        visit(v),
        sectors(s.image_bytes / kSector),
        content(alloc_bytes(kMaxSmallFile)) {}
  ImageSession& session;
  const SmallFileVisitor& visit;
  std::uint64_t sectors = 0;  // whole 2048-byte sectors in the image
  std::uint32_t directory_bytes = 0;
  std::uint32_t file_bytes = 0;
  std::array<std::uint32_t, kMaxVisited> visited{};
  std::size_t visited_count = 0;
  std::unique_ptr<std::uint8_t[]> content;
  char path[kMaxPath] = {};
};

// Whole sectors that hold `bytes`, counted in 64 bits: a length near 4 GiB must not wrap.
std::uint32_t sectors_of(std::uint32_t bytes) {
  return static_cast<std::uint32_t>((std::uint64_t{bytes} + kSector - 1) / kSector);
}

// The data a record names, or false when any of it lies past the image's end.
bool extent_of(const Walk& walk, const std::uint8_t* record, Extent& extent) {
  const std::uint64_t first = std::uint64_t{get_u32(record + 2)} + record[1];
  extent.bytes = get_u32(record + 10);
  if (first + sectors_of(extent.bytes) > walk.sectors) return false;
  extent.first = static_cast<std::uint32_t>(first);
  return true;
}

// Appends "/" and the record's name to the path ending at `at`: its Rock Ridge name, else its
// identifier without the version and a trailing ".". Returns the new end, or 0 when it does
// not fit.
std::size_t append_name(char* path, std::size_t at, const std::uint8_t* record) {
  const std::uint8_t length_of_record = record[0];
  const std::uint8_t* name = record + 33;
  std::size_t length = record[32];
  bool rock_ridge = false;
  for (std::size_t pos = 33 + length + (length % 2 == 0 ? 1 : 0); pos + 4 <= length_of_record;) {
    const std::uint8_t* entry = record + pos;
    if (entry[2] < 4 || pos + entry[2] > length_of_record) break;
    if (entry[0] == 'N' && entry[1] == 'M' && entry[2] > 5) {
      name = entry + 5, length = entry[2] - 5u, rock_ridge = true;
      break;
    }
    pos += entry[2];
  }
  if (!rock_ridge) {
    if (const void* version = std::memchr(name, ';', length); version != nullptr) {
      length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(version) - name);
    }
    if (length > 0 && name[length - 1] == '.') --length;
  }
  if (at + length + 2 > kMaxPath) return 0;
  path[at] = '/';
  std::memcpy(path + at + 1, name, length);
  path[at + 1 + length] = '\0';
  return at + 1 + length;
}

void visit_file(Walk& walk, const std::uint8_t* record, std::size_t path_end) {
  Extent extent;
  if (!extent_of(walk, record, extent) || extent.bytes == 0 || extent.bytes > kMaxSmallFile ||
      extent.bytes > kMaxFileBytesRead - walk.file_bytes) {
    return;
  }
  const std::size_t end = append_name(walk.path, path_end, record);
  if (end == 0) return;
  walk.file_bytes += extent.bytes;
  const std::uint32_t sectors = sectors_of(extent.bytes);
  if (read_units(walk.session, extent.first, kSector, sectors, walk.content.get()) != sectors) {
    return;
  }
  walk.visit(walk.path, walk.content.get(), extent.bytes);
}

void walk_directory(Walk& walk, Extent extent, std::uint32_t depth, std::size_t path_end) {
  for (std::size_t i = 0; i < walk.visited_count; ++i) {
    if (walk.visited[i] == extent.first) return;
  }
  if (walk.visited_count == kMaxVisited) return;
  walk.visited[walk.visited_count++] = extent.first;
  const std::uint32_t sectors = sectors_of(extent.bytes);
  if (sectors == 0 ||
      std::uint64_t{sectors} * kSector > kMaxDirectoryBytesRead - walk.directory_bytes)
    return;
  walk.directory_bytes += sectors * kSector;
  const std::unique_ptr<std::uint8_t[]> bytes = alloc_bytes(std::size_t{sectors} * kSector);
  if (!bytes) return;
  const std::uint32_t read = read_units(walk.session, extent.first, kSector, sectors, bytes.get());
  // The files first, then the subdirectories, each in record order.
  for (const bool directories : {false, true}) {
    for (std::uint32_t s = 0; s < read; ++s) {
      for (std::uint32_t pos = 0; pos + kMinRecord <= kSector;) {
        const std::uint8_t* record = bytes.get() + std::size_t{s} * kSector + pos;
        const std::uint32_t length = record[0];
        // A record never crosses its sector nor runs past its directory's data.
        if (length < kMinRecord || pos + length > kSector ||
            std::uint64_t{s} * kSector + pos + length > extent.bytes) {
          break;
        }
        pos += length;
        const std::uint8_t id_length = record[32];
        if (33u + id_length > length || (id_length == 1 && record[33] <= 1)) continue;
        const bool directory = (record[25] & 2) != 0;
        if (directory != directories) continue;
        if (!directory) {
          visit_file(walk, record, path_end);
        } else if (depth < kMaxDirectoryDepth) {
          Extent child;
          const std::size_t end = append_name(walk.path, path_end, record);
          if (end != 0 && extent_of(walk, record, child))
            walk_directory(walk, child, depth + 1, end);
        }
      }
    }
  }
}

}  // namespace

void visit_small_files(ImageSession& session, const std::uint8_t* root,
                       const SmallFileVisitor& visit) {
  Walk walk(session, visit);
  Extent extent;
  if (walk.content && root[0] >= kMinRecord && extent_of(walk, root, extent)) {
    walk_directory(walk, extent, 0, 0);
  }
}

}  // namespace tarnwick
