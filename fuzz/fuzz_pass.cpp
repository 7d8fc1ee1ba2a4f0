// Fuzz target: the whole volume pass, read-only or in write mode, on an in-memory image made
// from the input, with properties checked after every run.
//
// Input: byte 0 bit 0 write mode, bits 1-2 base image (0 plain, 1 metadata partition,
// 2 metadata file in two extents with a far mirror, 3 blank of 26 + bytes 1-2 blocks, at most
// 4096 and 8 MiB), bits 3-5 block size (0 2048, 1 512, 2 1024, 3 4096, 4 8192, 5 16384,
// 6 32768, 7 2048; built bases are 4096 bytes a block above that); byte 3 label length (at
// most 100) and the label; then patches: block u32 (modulo the image's size), offset u16
// (modulo the block size), length u16 (low 12 bits; bit 15 reseals the descriptor
// afterwards), then the bytes. The seed corpus holds real images' sectors this way.
//
// The image is never copied: the pass reads the base through the input's patched blocks and
// the blocks it wrote itself, which are kept aside, so a run costs what the pass touches.
//
// Properties: read-only mode changes nothing; the size never changes; write mode changes only
// descriptors 1, 4, 6 and 256 that had a correct checksum, or the VAT's entry (261, 266) or
// header, only in their label fields and tag bytes, and every changed descriptor verifies.
#include <sys/types.h>

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

// The image as the pass sees it: an unchanging base, the blocks the input patched and the
// blocks the pass wrote, each later layer over the earlier.
struct Volume {
  const std::uint8_t* base = nullptr;
  std::size_t size = 0;
  std::uint32_t block = 0;
  std::map<std::uint32_t, Image> patched, written;
  off64_t pos = 0;

  const std::uint8_t* before(std::uint32_t b) const {
    const auto p = patched.find(b);
    return p != patched.end() ? p->second.data() : base + std::size_t{b} * block;
  }
  const std::uint8_t* now(std::uint32_t b) const {
    const auto w = written.find(b);
    return w != written.end() ? w->second.data() : before(b);
  }
  Image& copy_of(std::map<std::uint32_t, Image>& layer, std::uint32_t b) {
    auto [it, inserted] = layer.try_emplace(b);
    if (inserted) {
      const std::uint8_t* from = &layer == &written ? before(b) : base + std::size_t{b} * block;
      it->second.assign(from, from + block);
      it->second.block = block;
    }
    return it->second;
  }
};

// Moves up to `size` bytes between the stream's position and `buffer`, block by block.
template <typename Copy>
ssize_t transfer(Volume& v, std::size_t size, Copy copy) {
  std::size_t done = 0;
  while (done < size && static_cast<std::size_t>(v.pos) < v.size) {
    const auto b = static_cast<std::uint32_t>(static_cast<std::size_t>(v.pos) / v.block);
    const std::size_t at = static_cast<std::size_t>(v.pos) % v.block;
    const std::size_t n = std::min(size - done, std::size_t{v.block} - at);
    copy(b, at, done, n);
    done += n;
    v.pos += static_cast<off64_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t volume_read(void* cookie, char* buffer, std::size_t size) {
  auto& v = *static_cast<Volume*>(cookie);
  return transfer(v, size, [&](std::uint32_t b, std::size_t at, std::size_t done, std::size_t n) {
    std::memcpy(buffer + done, v.now(b) + at, n);
  });
}

ssize_t volume_write(void* cookie, const char* buffer, std::size_t size) {
  auto& v = *static_cast<Volume*>(cookie);
  const ssize_t done =
      transfer(v, size, [&](std::uint32_t b, std::size_t at, std::size_t from, std::size_t n) {
        std::memcpy(v.copy_of(v.written, b).data() + at, buffer + from, n);
      });
  return done == 0 && size != 0 ? -1 : done;  // a file of fixed size cannot grow
}

int volume_seek(void* cookie, off64_t* offset, int whence) {
  auto& v = *static_cast<Volume*>(cookie);
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? v.pos
                                            : static_cast<off64_t>(v.size);
  if (base + *offset < 0) return -1;
  *offset = v.pos = base + *offset;
  return 0;
}

void check_write(const Volume& v) {
  for (const auto& [s, after] : v.written) {
    Image before(v.before(s), v.before(s) + v.block);
    before.block = v.block;
    if (before == after) continue;
    const std::uint8_t* b = before.data();
    const std::uint8_t* a = after.data();
    const std::uint16_t tag = get_u16(b);
    const bool labelled = tag == 1 || tag == 4 || tag == 6 || tag == 256;
    if ((labelled || tag == 261 || tag == 266) &&
        (b[4] != tag_checksum(b) || !tag_is_sound(a, v.block))) {
      broken("a descriptor that did not verify changed, or does not verify now", s);
    }
    if (!labelled) {
      // Otherwise only the VAT's 128-byte label may change: in its entry, or its header block.
      std::size_t first = v.block, last = 0;
      for (std::size_t i = 0; i < v.block; ++i) {
        if (a[i] != b[i] && i != 4 && i != 8 && i != 9) first = std::min(first, i), last = i + 1;
      }
      const bool header = get_u16(b) == 152 + get_u16(b + 2) && first >= 4 && last <= 132;
      if (!(tag == 261 || tag == 266 || header) || last - first > 128)
        broken("a block that carries no label changed", s);
    }
    if (!unexpected_changes(before, after,
                            labelled ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0})
             .empty())
      broken("bytes outside the label fields changed", s);
  }
}

void run_pass(Volume& v, const std::string* label) {
  ImageSession session;
  session_init(session);
  if (label != nullptr) set_new_label(session, label->c_str());
  session.image = fopencookie(&v, label != nullptr ? "rb+" : "rb",
                              {volume_read, volume_write, volume_seek, nullptr});
  // Buffered: an unbuffered stream of this kind would be read a byte per call.
  std::setvbuf(session.image, nullptr, _IOFBF, 1u << 16);
  session.image_bytes = v.size;
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
  constexpr std::size_t kMostBlank = 8u << 20;
  static const auto* blank = static_cast<const std::uint8_t*>(std::calloc(kMostBlank, 1));
  Volume v;
  v.block = kBlocks[(data[0] >> 3) & 7];
  const unsigned base = (data[0] >> 1) & 3;
  if (base < 3) {
    const Image& built = base_image(base, std::min<std::uint32_t>(v.block, 4096));
    v.base = built.data(), v.size = built.size(), v.block = built.block;
  } else {
    v.base = blank;
    v.size = std::min<std::size_t>(26 + get_u16(data + 1) % 4071u, kMostBlank / v.block) * v.block;
  }
  for (std::size_t pos = 4 + data[3] % 101u; size - pos >= 8;) {
    const auto b = static_cast<std::uint32_t>(get_u32(data + pos) % (v.size / v.block));
    std::uint8_t* d = v.copy_of(v.patched, b).data();
    const std::size_t offset = get_u16(data + pos + 4) % v.block, flags = get_u16(data + pos + 6);
    pos += 8;
    const std::size_t length = std::min({flags & 0xFFFu, v.block - offset, size - pos});
    std::memcpy(d + offset, data + pos, length);
    pos += length;
    if ((flags & 0x8000) != 0 && get_u16(d + 10) <= v.block - 16)
      seal_descriptor_tag(d, get_u16(d + 10));
  }
  const bool writing = (data[0] & 1) != 0;
  run_pass(v, writing ? &label : nullptr);
  if (!writing) {
    for (const auto& [s, after] : v.written) {
      if (!std::equal(after.begin(), after.end(), v.before(s))) {
        broken("read-only mode changed the image", s);
      }
    }
  }
  if (writing) check_write(v);
  return 0;
}
