// Small UDF images built in memory: the layouts mkudffs never writes (UDF 2.50 with a metadata
// partition whose metadata file and mirror are Extended File Entries with extents chosen by
// the test, at any block size), a plain volume of the same layout, and helpers to damage and
// compare images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

// An image's bytes and the block size its block numbers count in.
struct Image : std::vector<std::uint8_t> {
  using vector::vector;
  std::uint32_t block = 2048;
  bool operator==(const Image& other) const = default;
};
using Sectors = std::vector<std::uint32_t>;

// The first block within the physical partition, and the length in blocks.
struct BlockExtent {
  std::uint32_t block = 0, blocks = 0;
};

struct BuildOptions {
  std::uint32_t sectors = 300;  // the end anchor sits at sectors - 1
  bool metadata = false;
  std::uint32_t fsd_block = 0;  // within the physical partition, or of the metadata file
  std::vector<BlockExtent> main_extents = {{2, 4}};
  std::vector<BlockExtent> mirror_extents = {{6, 4}};  // none: no mirror file
  std::uint32_t block = 2048;
};

// Layout in blocks (of 512 or 2048 to 32768 bytes: 1024-byte blocks 32-37 would be the
// recognition sequence's): recognition from byte 32768, main sequence at 32 (PVD, IUVD, PD, LVD,
// USD, TD), reserve at 48, anchors at 256 and sectors - 1, the partition from 257;
// the metadata and mirror entries are its blocks 0 and 1. Every label reads "Sample".
inline constexpr std::uint32_t kPartitionStart = 257;
Image build_image(const BuildOptions& options = {});

std::uint8_t* sector_at(Image& image, std::uint32_t sector);
// Reseals the descriptor at `sector` with its own CRC length. The tool's own sealing: the
// images of other tools, which it must verify, keep its CRC and checksum honest.
void reseal(Image& image, std::uint32_t sector);
std::vector<std::uint8_t> dstring8(const std::string& text, std::size_t size);

// `s` and `extra` together, in order.
std::vector<std::uint32_t> with(std::vector<std::uint32_t> s,
                                const std::vector<std::uint32_t>& extra);
// Blocks where two images differ.
std::vector<std::uint32_t> changed_sectors(const Image& a, const Image& b);
// Bytes that differ outside the label fields and tag checksum/CRC of descriptors 1, 4, 6 and
// 256 (whose character sets must then be CS0), the Volume Identifier of ISO 9660 descriptors, and
// one 128-byte label of a VAT entry or header, where a d-string stood; and changed descriptors
// whose checksum did not verify before or does not verify now. Empty when a relabel kept to its
// fields and sealed them.
std::vector<std::string> unexpected_changes(const Image& before, const Image& after);

Image read_file(const std::string& path, std::uint32_t block = 2048);
void write_file(const std::string& path, const Image& image);

struct TempDir {
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string dir;
};

}  // namespace tarnwick::testing
