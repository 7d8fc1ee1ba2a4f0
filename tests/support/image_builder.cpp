#include "support/image_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarnwick::testing {

namespace {

constexpr std::uint32_t kSector = 2048;

// Bit-at-a-time CRC-ITU-T, independent of the tool's table-driven one.
std::uint16_t bitwise_crc(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= std::uint32_t{bytes[i]} << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
    crc &= 0xFFFF;
  }
  return static_cast<std::uint16_t>(crc);
}

void put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void seal_at(std::uint8_t* d, std::uint16_t crc_length) {
  put16(d + 10, crc_length);
  put16(d + 8, bitwise_crc(d + 16, crc_length));
  d[4] = 0;
  std::uint32_t sum = 0;
  for (int i = 0; i < 16; ++i) sum += d[i];
  d[4] = static_cast<std::uint8_t>(sum);
}

// Starts a descriptor: tag identifier, version, serial 1, location.
void tag(std::uint8_t* d, std::uint16_t id, std::uint16_t version, std::uint32_t location) {
  put16(d, id);
  put16(d + 2, version);
  put16(d + 6, 1);
  put32(d + 12, location);
}

void regid(std::uint8_t* p, const char* identifier, std::uint16_t suffix_revision = 0) {
  std::memcpy(p + 1, identifier, std::strlen(identifier));
  if (suffix_revision != 0) put16(p + 24, suffix_revision);
}

void charspec(std::uint8_t* p) { std::memcpy(p + 1, "OSTA Compressed Unicode", 23); }

void dstring(std::uint8_t* p, const std::string& text, std::size_t size) {
  const std::vector<std::uint8_t> field = dstring8(text, size);
  std::memcpy(p, field.data(), size);
}

struct Builder {
  const BuildOptions& o;
  Image image;
  std::uint16_t revision;

  std::uint8_t* at(std::uint32_t sector) { return sector_at(image, sector); }

  void recognition() {
    const char* ids[] = {"BEA01", "NSR03", "TEA01"};
    for (std::uint32_t i = 0; i < 3; ++i) {
      std::uint8_t* s = at(16 + i);
      std::memcpy(s + 1, ids[i], 5);
      s[6] = 1;
    }
    if (revision < 0x0200) std::memcpy(at(17) + 1, "NSR02", 5);
  }

  void anchor(std::uint32_t sector) {
    std::uint8_t* d = at(sector);
    tag(d, 2, 3, sector);
    put32(d + 16, 16 * kSector);
    put32(d + 20, kMainSequence);
    put32(d + 24, 16 * kSector);
    put32(d + 28, kReserveSequence);
    seal_at(d, 496);
  }

  std::uint32_t partition_length() const { return o.sectors - 1 - kPartitionStart; }

  void sequence(std::uint32_t first) {
    std::uint32_t s = first;
    std::uint8_t* pvd = at(s);
    tag(pvd, 1, 3, s);
    put32(pvd + 16, 0);
    dstring(pvd + 24, o.label, 32);
    put16(pvd + 56, 1);
    put16(pvd + 58, 1);
    put16(pvd + 60, 2);
    put16(pvd + 62, 3);
    put32(pvd + 64, 1);
    put32(pvd + 68, 1);
    dstring(pvd + 72, "0123456789ABCDEFbuilder", 128);
    charspec(pvd + 200);
    charspec(pvd + 264);
    regid(pvd + 388, "*tarnwick tests");
    seal_at(pvd, 496);

    std::uint8_t* iuvd = at(++s);
    tag(iuvd, 4, 3, s);
    put32(iuvd + 16, 1);
    regid(iuvd + 20, "*UDF LV Info", revision);
    charspec(iuvd + 52);
    dstring(iuvd + 116, o.label, 128);
    regid(iuvd + 352, "*tarnwick tests");
    seal_at(iuvd, 496);

    std::uint8_t* pd = at(++s);
    tag(pd, 5, 3, s);
    put32(pd + 16, 2);
    put16(pd + 20, 1);
    put16(pd + 22, 0);
    regid(pd + 24, revision < 0x0200 ? "+NSR02" : "+NSR03");
    put32(pd + 184, 1);
    put32(pd + 188, kPartitionStart);
    put32(pd + 192, partition_length());
    regid(pd + 196, "*tarnwick tests");
    seal_at(pd, 496);

    std::uint8_t* lvd = at(++s);
    tag(lvd, 6, 3, s);
    put32(lvd + 16, 3);
    charspec(lvd + 20);
    dstring(lvd + 84, o.label, 128);
    put32(lvd + 212, kSector);
    regid(lvd + 216, "*OSTA UDF Compliant", revision);
    put32(lvd + 248, kSector);
    put32(lvd + 252, o.fsd_block);
    put16(lvd + 256, o.metadata ? 1 : 0);
    regid(lvd + 272, "*tarnwick tests");
    put32(lvd + 432, 2 * kSector);
    put32(lvd + 436, 64);
    std::uint8_t* map = lvd + 440;
    map[0] = 1;
    map[1] = 6;
    put16(map + 2, 1);
    put16(map + 4, 0);
    std::uint32_t table_length = 6;
    if (o.metadata) {
      std::uint8_t* m = map + 6;
      m[0] = 2;
      m[1] = 64;
      regid(m + 4, "*UDF Metadata Partition", revision);
      put16(m + 36, 1);
      put16(m + 38, 0);
      put32(m + 40, 0);
      put32(m + 44, o.mirror ? 1 : 0);
      put32(m + 48, 0xFFFFFFFF);
      put32(m + 52, 32);
      put16(m + 56, 1);
      m[58] = 0;
      table_length += 64;
    }
    put32(lvd + 264, table_length);
    put32(lvd + 268, o.metadata ? 2 : 1);
    seal_at(lvd, static_cast<std::uint16_t>(440 - 16 + table_length));

    std::uint8_t* usd = at(++s);
    tag(usd, 7, 3, s);
    put32(usd + 16, 4);
    seal_at(usd, 8);

    std::uint8_t* td = at(++s);
    tag(td, 8, 3, s);
    seal_at(td, 496);
  }

  void integrity() {
    std::uint8_t* d = at(64);
    tag(d, 9, 3, 64);
    put32(d + 28, 1);   // closed
    put32(d + 40, 16);  // next unique id
    const std::uint32_t partitions = o.metadata ? 2 : 1;
    put32(d + 72, partitions);
    put32(d + 76, 46);
    std::uint8_t* tables = d + 80;
    for (std::uint32_t i = 0; i < partitions; ++i) {
      put32(tables + 4 * i, 0);
      put32(tables + 4 * (partitions + i), i == 0 ? partition_length() : 8);
    }
    std::uint8_t* iu = tables + 8 * partitions;
    regid(iu, "*tarnwick tests");
    put32(iu + 32, 0);
    put32(iu + 36, 1);
    put16(iu + 40, revision);
    put16(iu + 42, revision);
    put16(iu + 44, revision);
    seal_at(d, static_cast<std::uint16_t>(80 + 8 * partitions + 46 - 16));
    std::uint8_t* td = at(65);
    tag(td, 8, 3, 65);
    seal_at(td, 496);
  }

  // The File Set Descriptor recorded at logical block `block`, written into `d`.
  void file_set(std::uint8_t* d, std::uint32_t block) {
    tag(d, 256, 3, block);
    put16(d + 28, 3);
    put16(d + 30, 3);
    put32(d + 32, 1);
    put32(d + 36, 1);
    charspec(d + 48);
    dstring(d + 112, o.label, 128);
    charspec(d + 240);
    dstring(d + 304, o.label, 32);
    put32(d + 400, kSector);
    put32(d + 404, block + 1);
    put16(d + 408, o.metadata ? 1 : 0);
    regid(d + 416, "*OSTA UDF Compliant", revision);
    seal_at(d, 496);
  }

  // The root directory: a File Entry whose data, one parent entry, is embedded.
  void root_directory(std::uint8_t* d, std::uint32_t block) {
    tag(d, 261, 3, block);
    put16(d + 20, 4);
    put16(d + 24, 1);
    d[27] = 4;         // directory
    put16(d + 34, 3);  // data embedded
    put32(d + 36, 0xFFFFFFFF);
    put32(d + 40, 0xFFFFFFFF);
    put32(d + 44, 0x14A5);
    put16(d + 48, 1);
    put32(d + 56, 40);
    regid(d + 128, "*tarnwick tests");
    put32(d + 172, 40);
    std::uint8_t* fid = d + 176;
    tag(fid, 257, 3, block);
    put16(fid + 16, 1);
    fid[18] = 0x0A;  // directory, parent
    put32(fid + 20, kSector);
    put32(fid + 24, block);
    put16(fid + 28, o.metadata ? 1 : 0);
    seal_at(fid, 22);
    seal_at(d, static_cast<std::uint16_t>(176 + 40 - 16));
  }

  // An Extended File Entry of the metadata file (type 250) or its mirror (251) with short_ads.
  void metadata_entry(std::uint32_t block, std::uint8_t file_type,
                      const std::vector<BlockExtent>& extents) {
    std::uint8_t* d = at(kPartitionStart + block);
    tag(d, 266, 3, block);
    put16(d + 20, 4);
    put16(d + 24, 1);
    d[27] = file_type;
    put16(d + 34, 0);  // short_ad
    std::uint32_t total = 0;
    for (const BlockExtent& e : extents) total += e.blocks;
    put32(d + 56, total * kSector);
    put32(d + 64, total * kSector);
    put32(d + 72, total);
    regid(d + 168, "*tarnwick tests");
    put32(d + 212, static_cast<std::uint32_t>(8 * extents.size()));
    std::uint8_t* ad = d + 216;
    for (const BlockExtent& e : extents) {
      put32(ad, e.blocks * kSector);
      put32(ad + 4, e.block);
      ad += 8;
    }
    seal_at(d, static_cast<std::uint16_t>(216 + 8 * extents.size() - 16));
  }

  // The sector of metadata block `block` through `extents`, or 0 when it lies outside.
  std::uint32_t metadata_sector(const std::vector<BlockExtent>& extents, std::uint32_t block) {
    for (const BlockExtent& e : extents) {
      if (block < e.blocks) return kPartitionStart + e.block + block;
      block -= e.blocks;
    }
    return 0;
  }

  void metadata_copy(const std::vector<BlockExtent>& extents) {
    for (std::uint32_t b : {o.fsd_block, o.fsd_block + 1}) {
      const std::uint32_t s = metadata_sector(extents, b);
      if (s == 0 || s >= o.sectors) continue;
      if (b == o.fsd_block)
        file_set(at(s), b);
      else
        root_directory(at(s), b);
    }
  }

  Image build() {
    image.assign(std::size_t{o.sectors} * kSector, 0);
    revision = o.metadata ? 0x0250 : 0x0201;
    recognition();
    sequence(kMainSequence);
    sequence(kReserveSequence);
    integrity();
    anchor(256);
    anchor(o.sectors - 1);
    if (o.metadata) {
      metadata_entry(0, 250, o.main_extents);
      if (o.mirror) metadata_entry(1, 251, o.mirror_extents);
      metadata_copy(o.main_extents);
      if (o.mirror) metadata_copy(o.mirror_extents);
    } else {
      file_set(at(kPartitionStart + o.fsd_block), o.fsd_block);
      root_directory(at(kPartitionStart + o.fsd_block + 1), o.fsd_block + 1);
    }
    return image;
  }
};

}  // namespace

Image build_image(const BuildOptions& options) {
  Builder builder{options, {}, 0};
  return builder.build();
}

std::uint8_t* sector_at(Image& image, std::uint32_t sector) {
  return image.data() + std::size_t{sector} * kSector;
}

void set_u16(Image& image, std::size_t pos, std::uint16_t value) {
  put16(image.data() + pos, value);
}
void set_u32(Image& image, std::size_t pos, std::uint32_t value) {
  put32(image.data() + pos, value);
}

void fix_checksum(Image& image, std::uint32_t sector) {
  std::uint8_t* d = sector_at(image, sector);
  d[4] = 0;
  std::uint32_t sum = 0;
  for (int i = 0; i < 16; ++i) sum += d[i];
  d[4] = static_cast<std::uint8_t>(sum);
}

void reseal(Image& image, std::uint32_t sector) {
  std::uint8_t* d = sector_at(image, sector);
  seal_at(d, get16(d + 10));
}

bool tag_is_sound(const std::uint8_t* d) {
  std::uint32_t sum = 0;
  for (int i = 0; i < 16; ++i) sum += i == 4 ? 0 : d[i];
  const std::uint16_t length = get16(d + 10);
  return d[4] == static_cast<std::uint8_t>(sum) && length <= 2032 &&
         get16(d + 8) == bitwise_crc(d + 16, length);
}

std::vector<std::uint8_t> dstring8(const std::string& text, std::size_t size) {
  std::vector<std::uint8_t> field(size, 0);
  if (text.empty()) return field;
  field[0] = 8;
  const std::size_t n = std::min(text.size(), size - 2);
  std::memcpy(field.data() + 1, text.data(), n);
  field[size - 1] = static_cast<std::uint8_t>(n + 1);
  return field;
}

std::vector<std::size_t> differing_bytes(const Image& a, const Image& b) {
  std::vector<std::size_t> positions;
  const std::size_t size = std::min(a.size(), b.size());
  for (std::size_t sector = 0; sector < size; sector += kSector) {
    const std::size_t n = std::min<std::size_t>(kSector, size - sector);
    if (std::memcmp(a.data() + sector, b.data() + sector, n) == 0) continue;
    for (std::size_t i = sector; i < sector + n; ++i) {
      if (a[i] != b[i]) positions.push_back(i);
    }
  }
  return positions;
}

Image read_file(const std::string& path) {
  Image image;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return image;
  std::fseek(f, 0, SEEK_END);
  image.resize(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  if (std::fread(image.data(), 1, image.size(), f) != image.size()) image.clear();
  std::fclose(f);
  return image;
}

void write_file(const std::string& path, const Image& image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace tarnwick::testing
