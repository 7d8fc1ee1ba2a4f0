#include "support/image_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "image/bytes.h"
#include "image/tag.h"

namespace tarnwick::testing {

namespace {

void text(std::uint8_t* p, const char* s) { std::memcpy(p, s, std::strlen(s)); }

// clang-format off
struct Builder {
  const BuildOptions& o;
  Image image = Image(std::size_t{o.sectors} * o.block, 0);
  std::uint16_t revision = o.metadata ? 0x0250 : 0x0201;
  static constexpr const char* kCs0 = "OSTA Compressed Unicode";

  // A descriptor at `sector` with tag `id`, Tag Location `location` and CRC length.
  std::uint8_t* descriptor(std::uint32_t sector, std::uint16_t id, std::uint32_t location, std::uint16_t crc_length = 496) {
    std::uint8_t* d = sector_at(image, sector);
    put_u16(d, id), put_u16(d + 2, 3), put_u16(d + 10, crc_length), put_u32(d + 12, location);
    return d;
  }
  void label(std::uint8_t* p, std::size_t size) { std::memcpy(p, dstring8("Sample", size).data(), size); }
  void regid(std::uint8_t* p, const char* id) { text(p + 1, id), put_u16(p + 24, revision); }
  struct Field { std::size_t pos; std::uint32_t value; int width = 4; };
  void fields(std::uint8_t* d, std::initializer_list<Field> list) {
    for (const Field& f : list) f.width == 2 ? put_u16(d + f.pos, static_cast<std::uint16_t>(f.value)) : put_u32(d + f.pos, f.value);
  }

  void sequence(std::uint32_t s) {
    std::uint8_t* pvd = descriptor(s, 1, s);
    // The explanatory character set after the descriptor's own, of another kind: it stays.
    label(pvd + 24, 32), text(pvd + 201, kCs0), pvd[264] = 1;
    std::uint8_t* iuvd = descriptor(s + 1, 4, s + 1);
    regid(iuvd + 20, "*UDF LV Info"), text(iuvd + 53, kCs0), label(iuvd + 116, 128);
    std::uint8_t* pd = descriptor(s + 2, 5, s + 2);
    fields(pd, {{188, kPartitionStart}, {192, o.sectors - 1 - kPartitionStart}});
    std::uint8_t* lvd = descriptor(s + 3, 6, s + 3, o.metadata ? 494 : 430);
    text(lvd + 21, kCs0), label(lvd + 84, 128), regid(lvd + 216, "*OSTA UDF Compliant");
    fields(lvd, {{212, o.block}, {248, o.block}, {252, o.fsd_block}, {256, o.metadata ? 1u : 0u, 2}, {264, o.metadata ? 70u : 6u},
                 {268, o.metadata ? 2u : 1u}, {440, 0x10601, 4}});
    if (o.metadata) {  // a type 2 map after the type 1 map
      regid(lvd + 450, "*UDF Metadata Partition");
      fields(lvd + 446, {{0, 0x4002, 2}, {36, 1, 2}, {44, o.mirror_extents.empty() ? 0u : 1u}, {48, 0xFFFFFFFF}, {52, 32}, {56, 1, 2}});
    }
    put_u32(descriptor(s + 4, 7, s + 4, 8) + 16, 4);
    descriptor(s + 5, 8, s + 5);
  }

  // The File Set Descriptor at logical block `b` in sector `s`.
  void file_set(std::uint32_t s, std::uint32_t b) {
    std::uint8_t* d = descriptor(s, 256, b);
    // Both character sets are left blank: a relabel must set them.
    label(d + 112, 128), label(d + 304, 32), regid(d + 416, "*OSTA UDF Compliant");
  }

  // The metadata file's (250) or mirror's (251) entry at block `b`, and its copy of the file set.
  void metadata_file(std::uint32_t b, std::uint8_t type, const std::vector<BlockExtent>& extents) {
    std::uint8_t* d = descriptor(kPartitionStart + b, 266, b, static_cast<std::uint16_t>(200 + 8 * extents.size()));
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < extents.size(); total += extents[i++].blocks)
      fields(d + 216 + 8 * i, {{0, extents[i].blocks * o.block}, {4, extents[i].block}});
    d[27] = type;
    fields(d, {{20, 4, 2}, {24, 1, 2}, {56, total * o.block}, {64, total * o.block}, {72, total}, {212, static_cast<std::uint32_t>(8 * extents.size())}});
    for (std::uint32_t block = o.fsd_block; const BlockExtent& e : extents) {
      if (block < e.blocks) {
        if (kPartitionStart + e.block + block < o.sectors - 1) file_set(kPartitionStart + e.block + block, o.fsd_block);
        return;
      }
      block -= e.blocks;
    }
  }

  Image build() {
    image.block = o.block;
    const char* ids[] = {"BEA01", "NSR03", "TEA01"};
    for (std::uint32_t i = 0; i < 3; ++i) {
      std::uint8_t* vsd = image.data() + 32768 + i * std::max<std::size_t>(2048, o.block);
      text(vsd + 1, ids[i]), vsd[6] = 1;
    }
    sequence(32), sequence(48);
    for (std::uint32_t s : {256u, o.sectors - 1}) fields(descriptor(s, 2, s), {{16, 32768}, {20, 32}, {24, 32768}, {28, 48}});
    if (o.metadata) {
      metadata_file(0, 250, o.main_extents);
      if (!o.mirror_extents.empty()) metadata_file(1, 251, o.mirror_extents);
    } else {
      file_set(kPartitionStart + o.fsd_block, o.fsd_block);
    }
    for (std::uint32_t s = 0; s < o.sectors; ++s)
      if (const std::uint16_t id = get_u16(sector_at(image, s)); id != 0 && id < 300) reseal(image, s);
    return image;
  }
};
// clang-format on

}  // namespace

Image build_image(const BuildOptions& options) { return Builder{options}.build(); }

std::uint8_t* sector_at(Image& image, std::uint32_t sector) {
  return image.data() + std::size_t{sector} * image.block;
}

void reseal(Image& image, std::uint32_t sector) {
  std::uint8_t* d = sector_at(image, sector);
  seal_descriptor_tag(d, get_u16(d + 10));
}

namespace {

// Each labelled descriptor's tag, its label fields as [first, last) ranges, and where each
// one's character set stands.
// clang-format off
const struct LabelFields { std::uint16_t tag; std::vector<std::pair<std::size_t, std::size_t>> labels; std::vector<std::size_t> charsets; }
    kLabelFields[] = {{1, {{24, 56}, {200, 264}}, {200}}, {4, {{52, 244}}, {52}}, {6, {{20, 212}}, {20}}, {256, {{48, 336}}, {48, 240}}};
// clang-format on

}  // namespace

std::vector<std::uint8_t> dstring8(const std::string& label, std::size_t size) {
  std::vector<std::uint8_t> field(size, 0);
  const std::size_t n = std::min(label.size(), size - 2);
  if (n > 0) field[0] = 8, field[size - 1] = static_cast<std::uint8_t>(n + 1);
  std::memcpy(field.data() + 1, label.data(), n);
  return field;
}

std::vector<std::uint32_t> changed_sectors(const Image& a, const Image& b) {
  std::vector<std::uint32_t> sectors;
  const std::size_t n = a.block;
  for (std::size_t s = 0; (s + 1) * n <= std::min(a.size(), b.size()); ++s) {
    if (std::memcmp(a.data() + s * n, b.data() + s * n, n) != 0)
      sectors.push_back(static_cast<std::uint32_t>(s));
  }
  return sectors;
}

std::vector<std::string> unexpected_changes(const Image& before, const Image& after) {
  std::vector<std::string> problems;
  if (before.size() != after.size()) problems.push_back("the size changed");
  const std::size_t n = before.block;
  const auto problem = [&](std::uint32_t s, const std::string& what) {
    problems.push_back("sector " + std::to_string(s) + " " + what);
  };
  for (std::uint32_t s : changed_sectors(before, after)) {
    const std::uint8_t *b = before.data() + s * n, *a = after.data() + s * n;
    const std::uint16_t tag = get_u16(b);
    std::vector<std::pair<std::size_t, std::size_t>> allowed;
    std::vector<std::size_t> charsets;
    for (const LabelFields& f : kLabelFields)
      if (f.tag == tag) allowed = f.labels, charsets = f.charsets;
    for (std::size_t at : charsets)
      if (std::memcmp(a + at, "\0OSTA Compressed Unicode", 24) != 0) problem(s, "charset");
    const bool tagged = !charsets.empty() || tag == 261 || tag == 266;
    if (tagged) {
      allowed.emplace_back(4, 5), allowed.emplace_back(8, 10);
      if (b[4] != tag_checksum(b)) problem(s, "did not verify before");
      if (!tag_verifies(a, n)) problem(s, "does not verify");
    }
    if (s * n % 2048 == 0 && std::memcmp(b + 1, "CD001", 5) == 0) {
      allowed = {{40, 72}};  // an ISO 9660 descriptor's Volume Identifier
    } else if (charsets.empty() && (tagged || get_u16(b) == 152 + get_u16(b + 2))) {
      // A VAT entry or header: one 128-byte label, where a d-string stood.
      std::size_t first = n, last = 0;
      for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i] && !(tagged && (i == 4 || i == 8 || i == 9)))
          first = std::min(first, i), last = i + 1;
      const auto dstring = [](const std::uint8_t* f) {
        return (f[0] == 0 || f[0] == 8 || f[0] == 16) && f[127] < 128;
      };
      for (std::size_t w = last > 128 ? last - 128 : 0; first < n && w <= first && w + 128 <= n;
           ++w)
        if (dstring(a + w) && dstring(b + w)) allowed.emplace_back(w, w + 128);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const auto inside = [i](const auto& r) { return i >= r.first && i < r.second; };
      if (b[i] != a[i] && std::none_of(allowed.begin(), allowed.end(), inside))
        problem(s, "byte " + std::to_string(i));
    }
  }
  return problems;
}

std::vector<std::uint32_t> with(std::vector<std::uint32_t> s,
                                const std::vector<std::uint32_t>& extra) {
  s.insert(s.end(), extra.begin(), extra.end());
  std::sort(s.begin(), s.end());
  return s;
}

Image read_file(const std::string& path, std::uint32_t block) {
  Image image(static_cast<std::size_t>(std::filesystem::file_size(path)), 0);
  image.block = block;
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return image;
}

void write_file(const std::string& path, const Image& image) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
}

// A directory that could not be made fails the test that wanted it (and none is removed).
TempDir::TempDir() : dir((std::filesystem::temp_directory_path() / "tarnwick-XXXXXX").string()) {
  if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("cannot make " + dir);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace tarnwick::testing
