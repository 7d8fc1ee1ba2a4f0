// Fuzz target: the whole volume pass, read-only or in write mode, on an in-memory image made
// from the input, with properties checked after every run.
//
// Input: byte 0 bit 0 write mode, bits 1-2 base image (0 plain, 1 metadata partition,
// 2 metadata file in two extents with a far mirror, 3 blank of 26 + bytes 1-2 blocks, at most
// 4096 and 2 MiB), bits 3-5 block size (0 2048, 1 512, 2 1024, 3 4096, 4 8192, 5 16384,
// 6 32768, 7 2048; built bases have 4096-byte blocks above that); byte 3 label length (at most
// 100) and the label; then patches: block u32 (modulo the image's size), offset u16 (modulo the
// block size), length u16 (low 12 bits; bit 15 reseals the descriptor afterwards), then the
// bytes. The seed corpus holds real images' sectors this way.
//
// Properties: read-only mode changes nothing; write mode changes only descriptors 1, 4, 6 and
// 256 that had a correct checksum, or the VAT's entry (261, 266) or header, only in their label
// fields and tag bytes, and every changed descriptor verifies.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "image/bytes.h"
#include "image/tag.h"
#include "support/image_builder.h"
#include "text/dstring.h"
#include "volume/pass.h"

namespace tarnwick::testing {
namespace {

[[noreturn]] void broken(const char* property, std::size_t sector) {
  std::fprintf(stderr, "property broken: %s (sector %zu)\n", property, sector);
  std::abort();
}

void check_write(const Image& before, const Image& after) {
  const std::size_t n = before.block;
  std::vector<std::uint32_t> vat_sectors;
  for (std::uint32_t s : changed_sectors(before, after)) {
    const std::uint8_t* b = before.data() + s * n;
    const std::uint8_t* a = after.data() + s * n;
    const std::uint16_t tag = get_u16(b);
    const bool labelled = tag == 1 || tag == 4 || tag == 6 || tag == 256;
    // Whether it verifies now is one of unexpected_changes' checks, below.
    if ((labelled || tag == 261 || tag == 266) && b[4] != tag_checksum(b)) {
      broken("a descriptor that did not verify changed", s);
    }
    // A bridge image's ISO 9660 descriptor: unexpected_changes allows its name only.
    if (labelled || (s * n % 2048 == 0 && std::memcmp(b + 1, "CD001", 5) == 0)) continue;
    // Otherwise only the VAT's 128-byte label may change: in its entry, or in its header block.
    std::size_t first = n, last = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i] && i != 4 && i != 8 && i != 9) first = std::min(first, i), last = i + 1;
    }
    const bool header = get_u16(b) == 152 + get_u16(b + 2) && first >= 4 && last <= 132;
    if (!(tag == 261 || tag == 266 || header) || last - first > 128)
      broken("a block that carries no label changed", s);
    vat_sectors.push_back(s);
  }
  if (!unexpected_changes(before, after, vat_sectors).empty())
    broken("bytes outside the label fields changed", 0);
}

void run_pass(Image& image, const std::string* label) {
  VolumeSession session;
  session_init(session);
  if (label != nullptr) set_new_label(session, label->c_str());
  // A stream over the image's bytes that can neither grow nor shrink it, as a file cannot.
  session.image = fmemopen(image.data(), image.size(), label != nullptr ? "rb+" : "rb");
  session.image_bytes = image.size();
  process_open_volume(session, "image");
  session_close(session);
}

// The built bases, made once each.
const Image& base_image(unsigned base, std::uint32_t block) {
  static std::map<std::pair<unsigned, std::uint32_t>, Image> made;
  auto [it, inserted] = made.try_emplace({base, block});
  if (inserted) {
    BuildOptions options[] = {{},
                              {.metadata = true},
                              {.metadata = true,
                               .fsd_block = 2,
                               .main_extents = {{2, 2}, {12, 2}},
                               .mirror_extents = {{20, 4}}}};
    options[base].block = block;
    it->second = build_image(options[base]);
  }
  return it->second;
}

}  // namespace
}  // namespace tarnwick::testing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;  // the pass's messages
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  using namespace tarnwick::testing;
  if (size < 4 || size - 4 < data[3] % 101u) return 0;
  const std::string label =
      std::string(reinterpret_cast<const char*>(data + 4), data[3] % 101u).c_str();
  constexpr std::uint32_t kBlocks[] = {2048, 512, 1024, 4096, 8192, 16384, 32768, 2048};
  const std::uint32_t block = kBlocks[(data[0] >> 3) & 7];
  const unsigned base = (data[0] >> 1) & 3;
  static Image image, after;  // kept between runs: their memory is reused
  if (base < 3) {
    image = base_image(base, std::min<std::uint32_t>(block, 4096));
  } else {
    image.assign(std::min<std::size_t>(26 + get_u16(data + 1) % 4071u, (2u << 20) / block) * block,
                 0);
    image.block = block;
  }
  const std::uint32_t n = image.block;
  for (std::size_t pos = 4 + data[3] % 101u; size - pos >= 8;) {
    std::uint8_t* d =
        sector_at(image, get_u32(data + pos) % static_cast<std::uint32_t>(image.size() / n));
    const std::size_t offset = get_u16(data + pos + 4) % n, flags = get_u16(data + pos + 6);
    pos += 8;
    const std::size_t length = std::min({flags & 0xFFFu, n - offset, size - pos});
    std::memcpy(d + offset, data + pos, length);
    pos += length;
    if ((flags & 0x8000) != 0 && get_u16(d + 10) <= n - 16) seal_descriptor_tag(d, get_u16(d + 10));
  }
  const bool writing = (data[0] & 1) != 0;
  after = image;
  run_pass(after, writing ? &label : nullptr);
  if (!writing && after != image) broken("read-only mode changed the image", 0);
  if (writing) check_write(image, after);
  return 0;
}
