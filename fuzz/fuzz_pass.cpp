// Fuzz target: the whole volume pass, read-only or in write mode, on an in-memory image made
// from the input, with properties checked after every run.
//
// Input: byte 0 bit 0 write mode (bit 6 with it: a dry run), bits 1-2 base image (0 plain, 1
// metadata partition, 2 metadata file in two extents with a far mirror, 3 blank of 26 + bytes 1-2
// blocks, at most 4096 and 2 MiB), bits 3-5 block size (0 2048, 1 512, 2 1024, 3 4096, 4 8192, 5
// 16384, 6 32768, 7 2048; built bases have 4096-byte blocks above that); byte 3 label length (at
// most 100) and the label; then patches: block u32 (modulo the image's size), offset u16 (modulo
// the block size), length u16 (low 12 bits; bit 15 reseals the descriptor afterwards), then the
// bytes. The seed corpus holds real images' sectors this way.
//
// Properties: read-only mode and a dry run change nothing; a relabel that fails changes nothing;
// write mode changes only what unexpected_changes allows: label fields and tag bytes of descriptors
// that verified, sealed again, with CS0 as their character set; a VAT's 128-byte label; the ISO
// 9660 names (of a bridge or a pure ISO 9660 image).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

[[noreturn]] void broken(const std::string& property) {
  std::fprintf(stderr, "property broken: %s\n", property.c_str());
  std::abort();
}

bool run_pass(Image& image, const std::string* label, bool dry_run) {
  VolumeSession session;
  session_init(session);
  if (label != nullptr) set_new_label(session, label->c_str());
  session.dry_run = dry_run;
  // A file in memory holding the image's bytes, sealed so that it can neither grow nor shrink.
  const int fd = memfd_create("image", MFD_ALLOW_SEALING);
  if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()) ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK) != 0)
    broken("an in-memory image cannot be made");
  session.image = fd;
  session.image_bytes = image.size();
  const bool ok = process_open_volume(session, "image");
  if (pread(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size()))
    broken("the image cannot be read back");
  session_close(session);
  return ok;
}

// The built bases, made once each.
const Image& base_image(unsigned base, std::uint32_t block) {
  static std::map<std::pair<unsigned, std::uint32_t>, Image> made;
  Image& image = made[{base, block}];
  if (image.empty()) {
    const BuildOptions options = base < 2 ? BuildOptions{.metadata = base > 0, .block = block}
                                          : BuildOptions{.metadata = true,
                                                         .fsd_block = 2,
                                                         .main_extents = {{2, 2}, {12, 2}},
                                                         .mirror_extents = {{20, 4}},
                                                         .block = block};
    image = build_image(options);
  }
  return image;
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
  const bool writing = (data[0] & 1) != 0, dry_run = writing && (data[0] & 0x40) != 0;
  after = image;
  const bool ok = run_pass(after, writing ? &label : nullptr, dry_run);
  if (!writing && after != image) broken("read-only mode changed the image");
  if (dry_run && after != image) broken("a dry run changed the image");
  if (writing && !ok && after != image) broken("a failed relabel changed the image");
  if (writing)
    for (const std::string& problem : unexpected_changes(image, after)) broken(problem);
  return 0;
}
