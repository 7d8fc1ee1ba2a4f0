// Builds small UDF images in memory for tests: a plain volume on a physical partition, or a
// UDF 2.50 volume with a metadata partition whose metadata file and mirror are Extended File
// Entries, with extents chosen by the test. Plus helpers to damage and inspect images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

using Image = std::vector<std::uint8_t>;

// An extent of the metadata file or its mirror: first block within the physical partition
// and length in blocks.
struct BlockExtent {
  std::uint32_t block = 0;
  std::uint32_t blocks = 0;
};

struct BuildOptions {
  std::string label = "Sample";  // ASCII; written as 8-bit d-strings
  std::uint32_t sectors = 300;   // whole image; the end anchor sits at sectors - 1
  bool metadata = false;         // UDF 2.50 with a metadata partition
  // Block of the File Set Descriptor: within the physical partition, or of the metadata file.
  std::uint32_t fsd_block = 0;
  std::vector<BlockExtent> main_extents = {{2, 4}};
  std::vector<BlockExtent> mirror_extents = {{6, 4}};
  bool mirror = true;  // record a mirror file (its location 0 in the map otherwise)
};

// Layout: VRS at 16-18, main sequence at 32, reserve at 48, integrity sequence at 64,
// anchors at 256 and sectors - 1, partition from 257 up to the end anchor. The metadata and
// mirror File Entries are partition blocks 0 and 1.
inline constexpr std::uint32_t kMainSequence = 32;
inline constexpr std::uint32_t kReserveSequence = 48;
inline constexpr std::uint32_t kPartitionStart = 257;

Image build_image(const BuildOptions& options = {});

std::uint8_t* sector_at(Image& image, std::uint32_t sector);
void set_u16(Image& image, std::size_t pos, std::uint16_t value);
void set_u32(Image& image, std::size_t pos, std::uint32_t value);
// Recomputes only the tag checksum of the descriptor at `sector` (its CRC stays as it is).
void fix_checksum(Image& image, std::uint32_t sector);
// Reseals the descriptor at `sector` with its own CRC length.
void reseal(Image& image, std::uint32_t sector);
// Whether the descriptor's checksum and CRC are right, computed bit by bit (independently of
// the tool's own table-driven CRC).
bool tag_is_sound(const std::uint8_t* descriptor);
// An 8-bit d-string of `text` in a field of `size` bytes.
std::vector<std::uint8_t> dstring8(const std::string& text, std::size_t size);

// Indices of the bytes where two equally long images differ.
std::vector<std::size_t> differing_bytes(const Image& a, const Image& b);

Image read_file(const std::string& path);
void write_file(const std::string& path, const Image& image);

// A scratch directory removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

}  // namespace tarnwick::testing
