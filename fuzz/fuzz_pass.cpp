// Fuzz target: the whole volume pass, read-only or in write mode, on an image made from the
// input, with properties checked after every run.
//
// Input: byte 0 bit 0 write mode, bits 1-2 base image (0 plain, 1 metadata partition,
// 2 metadata file in two extents with a far mirror, 3 blank of 26 + bytes 1-2 sectors, at most
// 4096); byte 3 label length (at most 100) and the label; then patches: sector u32 (modulo the
// image's size), offset u16 (modulo 2048), length u16 (low 12 bits; bit 15 reseals the
// descriptor afterwards), then the bytes. The seed corpus holds real images' sectors this way.
//
// Properties: read-only mode changes nothing; the size never changes; write mode changes only
// descriptors 1, 4, 6 and 256 that had a correct checksum, or the VAT's entry (261, 266) or
// header, only in their label fields and tag bytes, and every changed descriptor verifies.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  std::vector<std::uint32_t> vat_sectors;
  for (std::uint32_t s : changed_sectors(before, after)) {
    const std::uint8_t* b = before.data() + std::size_t{s} * 2048;
    const std::uint8_t* a = after.data() + std::size_t{s} * 2048;
    const std::uint16_t tag = get_u16(b);
    const bool labelled = tag == 1 || tag == 4 || tag == 6 || tag == 256;
    if ((labelled || tag == 261 || tag == 266) && (b[4] != tag_checksum(b) || !tag_is_sound(a))) {
      broken("a descriptor that did not verify changed, or does not verify now", s);
    }
    if (labelled) continue;
    // Otherwise only the VAT's 128-byte label may change: in its entry, or in its header sector.
    std::size_t first = 2048, last = 0;
    for (std::size_t i = 0; i < 2048; ++i) {
      if (a[i] != b[i] && i != 4 && i != 8 && i != 9) first = std::min(first, i), last = i + 1;
    }
    const bool header = get_u16(b) == 152 + get_u16(b + 2) && first >= 4 && last <= 132;
    if (!(tag == 261 || tag == 266 || header) || last - first > 128)
      broken("a sector that carries no label changed", s);
    vat_sectors.push_back(s);
  }
  if (!unexpected_changes(before, after, vat_sectors).empty())
    broken("bytes outside the label fields changed", 0);
}

Image run_pass(const Image& image, const std::string* label) {
  const int fd = memfd_create("image", 0);
  if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
    std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  ImageSession session;
  session_init(session);
  if (label != nullptr) set_new_label(session, label->c_str());
  process_volume(session, path.c_str());
  session_close(session);
  Image after(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  if (pread(fd, after.data(), after.size(), 0) != static_cast<ssize_t>(after.size())) std::abort();
  close(fd);
  return after;
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
  const BuildOptions bases[] = {{},
                                {.metadata = true},
                                {.metadata = true,
                                 .fsd_block = 2,
                                 .main_extents = {{2, 2}, {12, 2}},
                                 .mirror_extents = {{20, 4}}}};
  const unsigned base = (data[0] >> 1) & 3;
  Image image = base < 3 ? build_image(bases[base])
                         : Image(std::size_t{26 + get_u16(data + 1) % 4071u} * 2048, 0);
  for (std::size_t pos = 4 + data[3] % 101u; size - pos >= 8;) {
    std::uint8_t* d =
        sector_at(image, static_cast<std::uint32_t>(get_u32(data + pos) % (image.size() / 2048)));
    const std::size_t offset = get_u16(data + pos + 4) % 2048u, flags = get_u16(data + pos + 6);
    pos += 8;
    const std::size_t length = std::min({flags & 0xFFFu, 2048 - offset, size - pos});
    std::memcpy(d + offset, data + pos, length);
    pos += length;
    if ((flags & 0x8000) != 0 && get_u16(d + 10) <= 2032) seal_descriptor_tag(d, get_u16(d + 10));
  }
  const bool writing = (data[0] & 1) != 0;
  const Image after = run_pass(image, writing ? &label : nullptr);
  if (after.size() != image.size()) broken("the image's size changed", 0);
  if (!writing && after != image) broken("read-only mode changed the image", 0);
  if (writing) check_write(image, after);
  return 0;
}
