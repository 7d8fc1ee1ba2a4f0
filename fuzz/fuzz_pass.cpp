// Fuzz target: the whole volume pass, read-only and in write mode, on an image made from the
// input, with properties checked after every run.
//
// Input:
//   byte 0      bit 0: write mode; bits 1-2: base image (0 plain volume, 1 metadata partition,
//               2 metadata file in two extents with its mirror far away, 3 blank)
//   bytes 1-2   sectors of a blank base (26-4096)
//   byte 3      label length L (at most 100), then L bytes of label
//   then patches, each: sector u32 (taken modulo the image's size), offset u16 (modulo
//   2048), length u16 (low 12 bits, cut to the sector and the input; bit 15: reseal the
//   descriptor afterwards with its own CRC length), then the bytes.
//
// Properties: read-only mode changes nothing; the size never changes; write mode changes only
// sectors that held a label-carrying descriptor (1, 4, 6, 256) with a correct checksum, or
// the VAT's entry or header, only within their label fields and tag bytes, and every changed
// descriptor verifies afterwards.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/session.h"
#include "image/tag.h"
#include "support/image_builder.h"
#include "text/dstring.h"
#include "volume/pass.h"

namespace {

using tarnwick::testing::Image;

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool take(std::size_t n) { return size - pos >= n; }
  std::uint32_t u(std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n && pos < size; ++i) v |= std::uint32_t{data[pos++]} << (8 * i);
    return v;
  }
};

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

Image base_image(unsigned base, std::uint32_t blank_sectors) {
  using tarnwick::testing::BuildOptions;
  switch (base) {
    case 0:
      return tarnwick::testing::build_image();
    case 1:
      return tarnwick::testing::build_image({.metadata = true});
    case 2:
      return tarnwick::testing::build_image({.metadata = true,
                                             .fsd_block = 2,
                                             .main_extents = {{2, 2}, {12, 2}},
                                             .mirror_extents = {{20, 4}}});
    default:
      return Image(std::size_t{blank_sectors} * 2048, 0);
  }
}

[[noreturn]] void fail(const char* property, std::size_t sector, std::size_t byte) {
  std::fprintf(stderr, "property broken: %s (sector %zu, byte %zu)\n", property, sector, byte);
  std::abort();
}

struct Range {
  std::size_t first, last;  // [first, last)
};

bool in(const std::vector<Range>& ranges, std::size_t at) {
  if (at == 4 || at == 8 || at == 9) return true;
  for (const Range& r : ranges) {
    if (at >= r.first && at < r.last) return true;
  }
  return false;
}

void check_write(const Image& before, const Image& after) {
  for (std::size_t s = 0; s < before.size() / 2048; ++s) {
    const std::uint8_t* b = before.data() + s * 2048;
    const std::uint8_t* a = after.data() + s * 2048;
    if (std::memcmp(a, b, 2048) == 0) continue;
    const std::uint16_t tag = get16(b);
    std::vector<Range> allowed;
    bool tagged = true;
    switch (tag) {
      case 1:
        allowed = {{24, 56}, {200, 264}};
        break;
      case 4:
        allowed = {{52, 244}};
        break;
      case 6:
        allowed = {{20, 212}};
        break;
      case 256:
        allowed = {{48, 336}};
        break;
      default: {
        // The VAT's label: 128 bytes inside its entry (261, 266) or its header sector.
        std::size_t first = 2048, last = 0;
        for (std::size_t i = 0; i < 2048; ++i) {
          if (a[i] != b[i] && !(i == 4 || i == 8 || i == 9))
            first = std::min(first, i), last = i + 1;
        }
        const bool header = get16(b) == 152 + get16(b + 2);
        tagged = tag == 261 || tag == 266;
        if (!tagged && !header) fail("an untagged sector that is no VAT header changed", s, first);
        if (last - first > 128) fail("more than one label field changed", s, first);
        if (!tagged && (first < 4 || last > 132))
          fail("a VAT header changed outside its label", s, first);
        allowed = {{first, last}};
      }
    }
    if (tagged && b[4] != tarnwick::tag_checksum(b))
      fail("a descriptor with a bad checksum changed", s, 4);
    for (std::size_t i = 0; i < 2048; ++i) {
      if (a[i] != b[i] && !in(allowed, i)) fail("a byte outside the label fields changed", s, i);
    }
    if (tagged && !tarnwick::testing::tag_is_sound(a))
      fail("a changed descriptor does not verify", s, 0);
  }
}

// Runs the pass on `image` through a memory file; returns the image afterwards.
Image run_pass(const Image& image, const std::string* label) {
  const int fd = memfd_create("image", 0);
  if (fd < 0) std::abort();
  if (write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  tarnwick::ImageSession session;
  tarnwick::session_init(session);
  if (label != nullptr) tarnwick::set_new_label(session, label->c_str());
  tarnwick::process_volume(session, path.c_str());
  tarnwick::session_close(session);
  Image after(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  if (pread(fd, after.data(), after.size(), 0) != static_cast<ssize_t>(after.size())) std::abort();
  close(fd);
  return after;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The pass reports on standard output; the fuzzer's own output is on standard error.
  std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  if (!in.take(4)) return 0;
  const std::uint32_t flags = in.u(1);
  const std::uint32_t blank = 26 + in.u(2) % (4096 - 26 + 1);
  const std::uint32_t label_length = in.u(1) % 101;
  if (!in.take(label_length)) return 0;
  std::string label(reinterpret_cast<const char*>(data + in.pos), label_length);
  label = label.c_str();  // the command line cannot carry a zero byte
  in.pos += label_length;

  Image image = base_image((flags >> 1) & 3, blank);
  const std::size_t sectors = image.size() / 2048;
  while (in.take(8)) {
    const std::size_t sector = in.u(4) % sectors;
    const std::size_t offset = in.u(2) % 2048;
    const std::uint32_t length_flags = in.u(2);
    const std::size_t length =
        std::min({std::size_t{length_flags & 0xFFF}, 2048 - offset, size - in.pos});
    std::uint8_t* d = image.data() + sector * 2048;
    std::memcpy(d + offset, data + in.pos, length);
    in.pos += length;
    if ((length_flags & 0x8000) != 0 && get16(d + 10) <= 2032) {
      tarnwick::seal_descriptor_tag(d, get16(d + 10));
    }
  }

  const bool writing = (flags & 1) != 0;
  const Image after = run_pass(image, writing ? &label : nullptr);
  if (after.size() != image.size()) fail("the image's size changed", 0, 0);
  if (!writing) {
    if (after != image) fail("read-only mode changed the image", 0, 0);
  } else {
    check_write(image, after);
  }
  return 0;
}
