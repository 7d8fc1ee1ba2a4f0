// The whole pass over builder images, intact and damaged one way at a time: what is printed,
// the label read, and exactly which sectors a relabel writes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "image/bytes.h"
#include "support/image_builder.h"
#include "support/run.h"
#include "text/dstring.h"
#include "volume/pass.h"

namespace tarnwick::testing {
namespace {

const Sectors kSequences = {32, 33, 35, 48, 49, 51};  // PVD, IUVD, LVD of both sequences

struct Pass {
  bool ok = false;
  std::string out, label;
  Image after;
};

// The pass over `image` as a file, or as a device of `device`-byte sectors.
Pass run_pass(const Image& image, const char* label, int (*sync)(std::FILE*) = nullptr,
              std::uint32_t device = 0) {
  TempDir dir;
  const std::string path = dir.path("image");
  write_file(path, image);
  VolumeSession s;
  session_init(s);
  if (label != nullptr) set_new_label(s, label);
  if (sync != nullptr) s.sync_file = sync;
  s.device_sector_size = device;  // as a device's own would be
  Pass p;
  p.out = capture_stdout([&] { p.ok = process_volume(s, path.c_str()); });
  if (const std::size_t at = p.out.find(path); at != std::string::npos)
    p.out.replace(at, path.size(), "PATH");
  p.label = reinterpret_cast<const char*>(s.current_label.data());
  session_close(s);
  p.after = read_file(path, image.block);
  return p;
}

void set_maps(Image& image, std::uint32_t lvd, std::uint32_t count,
              std::vector<std::uint8_t> maps) {
  maps.resize(image.block - 440, 0);
  std::memcpy(sector_at(image, lvd) + 440, maps.data(), maps.size());
  put_u32(sector_at(image, lvd) + 268, count);
  put_u16(sector_at(image, lvd) + 10, static_cast<std::uint16_t>(image.block - 16));
  reseal(image, lvd);
}

// The CRC length of descriptor `sector` set to `length`, sealed by the test's own CRC.
void crc_length(Image& image, std::uint32_t sector, std::uint32_t length) {
  put_u16(sector_at(image, sector) + 10, static_cast<std::uint16_t>(length));
  reseal(image, sector);
}

void put_descriptor(Image& image, std::uint32_t sector, std::uint16_t id) {
  std::memset(sector_at(image, sector), 0, image.block);
  put_u16(sector_at(image, sector), id);
  put_u16(sector_at(image, sector) + 10, 8);
  reseal(image, sector);
}

void copy_anchor(Image& image, std::uint32_t to, std::uint32_t location) {
  image.resize(std::max<std::size_t>(image.size(), (to + 1) * image.block));
  std::memcpy(sector_at(image, to), sector_at(image, 256), image.block);
  put_u32(sector_at(image, to) + 12, location);
  reseal(image, to);
}

// A copy of the first 512 bytes of the anchor, sealed, at byte `at`, naming block `location`.
void plant_anchor(Image& i, std::size_t at, std::uint32_t location) {
  Image a(sector_at(i, 256), sector_at(i, 256) + 512);
  a.block = 512;
  put_u32(a.data() + 12, location);
  reseal(a, 0);
  std::copy(a.begin(), a.end(), i.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Case {
  const char* what;
  BuildOptions options;
  std::function<void(Image&)> damage;
  std::string out;  // of the write
  std::string label;
  Sectors written;
  std::uint32_t device = 0;  // a block device's sector size
};

const BuildOptions kMeta = {.metadata = true};
const BuildOptions k512 = {.block = 512}, k4096 = {.block = 4096};
const auto kNone = [](Image&) {};
const std::string kDone = "Done!\n", kNoAnchor = "Failed to read ADVP!\n";
const std::string kNotUdf = "UDF file system not found in: PATH\n";

// A type 1 map, 64-byte fillers up to 2 bytes before the block's end, and a type 1 map there
// that cannot fit, on the last row, which the file set names.
void maps_past_the_end(Image& i) {
  std::vector<std::uint8_t> maps = {1, 6, 1, 0, 0, 0};
  const std::uint32_t fillers = (i.block - 448) / 64;
  for (std::uint32_t k = 0; k < fillers; ++k)
    maps.insert(maps.end(), {2, 64}), maps.resize(maps.size() + 62, 0);
  maps.insert(maps.end(), {1, 6});
  set_maps(i, 35, fillers + 2, maps);
  put_u16(sector_at(i, 35) + 256, static_cast<std::uint16_t>(fillers + 1));
  reseal(i, 35);
}

// ISO 9660 descriptors of a bridge image from sector 16, before the UDF ones, which move up:
// (type, escape sequences) each; type 2 with "%/E" is Joliet. One more is planted past the
// blank descriptor that ends the recognition sequence.
void bridge(Image& i, const std::vector<std::pair<std::uint8_t, std::string>>& iso) {
  const auto n = static_cast<std::uint32_t>(iso.size());
  std::memmove(sector_at(i, 16 + n), sector_at(i, 16), 3 * 2048);
  for (std::uint32_t k = 0; k <= n; ++k) {
    std::uint8_t* d = sector_at(i, k < n ? 16 + k : 20 + n);
    std::memset(d, 0, 2048), std::memcpy(d + 1, "CD001\1", 6), std::memcpy(d + 40, "OLD", 3);
    d[0] = k < n ? iso[k].first : 1;
    if (k < n) std::memcpy(d + 88, iso[k].second.data(), iso[k].second.size());
  }
}

// clang-format off
const Case kCases[] = {
  {"bridge: primary and Joliet, beside a boot record and another supplementary", {}, [](Image& i) { bridge(i, {{1, ""}, {0, "%/E"}, {2, "%/F"}, {2, "%/E"}, {255, ""}}); }, kDone, "Sample", with(kSequences, {16, 19, 257})},
  {"4096-byte volume with an ISO 9660 primary first: no 2048-byte bridge", k4096, [](Image& i) { std::memmove(&i[36864], &i[32768], 3 * 4096), std::memset(&i[32768], 0, 4096), std::memcpy(&i[32769], "CD001\1", 6), i[32768] = 1; }, kDone, "Sample", with(kSequences, {257})},
  {"bridge: Joliet at each level, no file set location", {}, [](Image& i) { bridge(i, {{2, "%/@"}, {2, "%/C"}}); for (std::uint32_t lvd : {35u, 51u}) put_u32(sector_at(i, lvd) + 248, 0), reseal(i, lvd); }, "", "", with(kSequences, {16, 17})},
  {"plain volume", {}, kNone, kDone, "Sample", with(kSequences, {257})},
  {"metadata file and mirror", kMeta, kNone, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata file in two extents and mirror at 4096", {.metadata = true, .main_extents = {{2, 2}, {12, 2}}, .block = 4096}, kNone, kDone, "Sample", with(kSequences, {259, 263})},
  {"partition number 256", kMeta, [](Image& i) { put_u16(sector_at(i, 34) + 22, 256), put_u16(sector_at(i, 35) + 444, 256), put_u16(sector_at(i, 35) + 484, 256), reseal(i, 34), reseal(i, 35); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata file at block 40", kMeta, [](Image& i) { std::memcpy(sector_at(i, 297), sector_at(i, 257), 2048), std::memset(sector_at(i, 257), 0, 2048), put_u32(sector_at(i, 297) + 12, 40), put_u32(sector_at(i, 35) + 486, 40), reseal(i, 297), reseal(i, 35); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"a seventh partition descriptor is not read", {}, [](Image& i) { for (std::uint32_t s = 36; s <= 42; ++s) std::memcpy(sector_at(i, s), sector_at(i, 34), 2048), put_u32(sector_at(i, s) + 12, s), put_u16(sector_at(i, s) + 22, static_cast<std::uint16_t>(s == 42 ? 0 : 1000 + s)), put_u32(sector_at(i, s) + 188, s == 42 ? 1 : 257), reseal(i, s); put_descriptor(i, 43, 8); }, kDone, "Sample", with(kSequences, {257})},
  {"metadata file in an ext_ad", kMeta, [](Image& i) { std::uint8_t* e = sector_at(i, 257); put_u16(e + 34, static_cast<std::uint16_t>(get_u16(e + 34) | 2)), put_u32(e + 212, 20), put_u32(e + 216, 4 * 2048), put_u32(e + 220, 4 * 2048), put_u32(e + 224, 4 * 2048), put_u32(e + 228, 2), put_u16(e + 10, 220), reseal(i, 257); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata file in two extents", {.metadata = true, .fsd_block = 2, .main_extents = {{2, 2}, {12, 2}}}, kNone, kDone, "Sample", with(kSequences, {265, 269})},
  {"mirror not covering the block", {.metadata = true, .fsd_block = 2, .mirror_extents = {{6, 2}}}, kNone, kDone, "Sample", with(kSequences, {261})},
  {"mirror past the image's end", {.metadata = true, .mirror_extents = {{5000, 4}}}, kNone, kDone, "Sample", with(kSequences, {259})},
  {"metadata file not covering the block", {.metadata = true, .fsd_block = 4, .mirror_extents = {{6, 8}}}, kNone, kDone, "Sample", with(kSequences, {267})},
  {"no mirror", {.metadata = true, .mirror_extents = {}}, kNone, kDone, "Sample", with(kSequences, {259})},
  {"empty label in the first copy", kMeta, [](Image& i) { std::memset(sector_at(i, 259) + 112, 0, 128), reseal(i, 259); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"unrecorded extent in the metadata file", {.metadata = true, .fsd_block = 2, .main_extents = {{2, 2}, {12, 2}}}, [](Image& i) { sector_at(i, 257)[227] = 0x40; }, kDone, "Sample", with(kSequences, {265})},
  {"metadata file's descriptors past its sector", kMeta, [](Image& i) { put_u32(sector_at(i, 257) + 208, 0xFFFFFFF0); }, kDone, "Sample", with(kSequences, {263})},
  {"no file set location", {}, [](Image& i) { for (std::uint32_t lvd : {35u, 51u}) put_u32(sector_at(i, lvd) + 248, 0), reseal(i, lvd); }, "", "", kSequences},
  {"primary descriptor not matching its CRC", {}, [](Image& i) { sector_at(i, 32)[300] ^= 1; }, "Descriptor at sector 32 not changed: invalid tag\n", "Sample", {33, 35, 48, 49, 51, 257}},
  {"primary descriptor with another checksum", {}, [](Image& i) { sector_at(i, 48)[4] ^= 1; }, "Descriptor at sector 48 not changed: invalid tag\n", "Sample", {32, 33, 35, 49, 51, 257}},
  {"CRC length one past the block", {}, [](Image& i) { crc_length(i, 51, 2033); }, "Descriptor at sector 51 not changed: invalid tag\n", "Sample", {32, 33, 35, 48, 49, 257}},
  {"CRC length one past a 512-byte block", k512, [](Image& i) { crc_length(i, 33, 497); }, "Descriptor at sector 33 not changed: invalid tag\n", "Sample", {32, 35, 48, 49, 51, 257}},
  {"CRC length one past a 4096-byte block", k4096, [](Image& i) { crc_length(i, 35, 4081); }, "Descriptor at sector 35 not changed: invalid tag\n", "Sample", {32, 33, 48, 49, 51, 257}},
  {"CRC length up to the block's end", k4096, [](Image& i) { crc_length(i, 32, 4080), crc_length(i, 257, 4080); }, kDone, "Sample", with(kSequences, {257})},
  {"implementation use of another implementation", {}, [](Image& i) { sector_at(i, 33)[22] = 'X', reseal(i, 33); }, kDone, "Sample", {32, 35, 48, 49, 51, 257}},
  {"sequence ended early", {}, [](Image& i) { put_descriptor(i, 33, 3); }, kDone, "", {32, 48, 49, 51}},
  {"reserve chunk cut by the image's end", {}, [](Image& i) { put_u32(sector_at(i, 256) + 28, 299), reseal(i, 256), put_descriptor(i, 299, 7); }, kDone, "Sample", {32, 33, 35, 257}},
  {"UDF 1.50 with two maps", {}, [](Image& i) { std::memcpy(sector_at(i, 17) + 1, "NSR02", 5), std::swap_ranges(sector_at(i, 33), sector_at(i, 34), sector_at(i, 35)), set_maps(i, 33, 2, {1, 6, 1, 0, 0, 0, 1, 6, 1, 0, 1, 0}); }, kDone, "", kSequences},
  // The file set on row 29: an all-zero row there would read as a physical partition.
  {"maps past the descriptor", {}, maps_past_the_end, kDone, "", kSequences},
  {"maps past a 512-byte descriptor", k512, maps_past_the_end, kDone, "", kSequences},
  {"as many maps as fit a 512-byte block", k512, [](Image& i) { set_maps(i, 35, 12, {1, 6, 1, 0, 0, 0}); }, kDone, "Sample", with(kSequences, {257})},
  {"more maps than fit a 512-byte block", k512, [](Image& i) { set_maps(i, 35, 13, {1, 6, 1, 0, 0, 0}); }, kDone, "", kSequences},
  {"more maps than fit", {}, [](Image& i) { set_maps(i, 35, 269, {1, 6, 1, 0, 0, 0}); }, kDone, "", kSequences},
  {"anchor not matching its CRC, no copy", {}, [](Image& i) { sector_at(i, 256)[20] ^= 1, std::memset(sector_at(i, 299), 0, 2048); }, kNoAnchor, "", {}},
  {"anchor with another tag", {}, [](Image& i) { put_descriptor(i, 256, 3), put_descriptor(i, 299, 3); }, kNoAnchor, "", {}},
  {"anchor at the end only", {}, [](Image& i) { std::memset(sector_at(i, 256), 0, 2048); }, kDone, "Sample", with(kSequences, {257})},
  {"anchor at the end only, the image ending inside another block", {}, [](Image& i) { std::memset(sector_at(i, 256), 0, 2048), i.resize(i.size() + 2047); }, kDone, "Sample", with(kSequences, {257})},
  {"512-byte blocks, anchor at the end only", k512, [](Image& i) { std::memset(sector_at(i, 256), 0, 512); }, kDone, "Sample", with(kSequences, {257})},
  {"4096-byte blocks, anchor at the end only", k4096, [](Image& i) { std::memset(sector_at(i, 256), 0, 4096); }, kDone, "Sample", with(kSequences, {257})},
  {"a 512-byte anchor naming another block", k512, [](Image& i) { put_u32(sector_at(i, 256) + 12, 255), reseal(i, 256), std::memset(sector_at(i, 299), 0, 512); }, kNoAnchor, "", {}},
  {"anchor 257 sectors before the end only", {}, [](Image& i) { copy_anchor(i, 343, 343), copy_anchor(i, 599, 0), sector_at(i, 256)[4] ^= 1; }, kDone, "Sample", with(kSequences, {257})},
  {"anchor 257 blocks before the end of 257", {}, [](Image& i) { copy_anchor(i, 0, 0), i.resize(257 * 2048), std::memset(sector_at(i, 256), 0, 2048); }, kDone, "", kSequences},
  // On a 512-byte device 512 is tried first, but its stale anchor has no end anchor of its own.
  {"anchor 257 blocks before the end beside a stale one", {}, [](Image& i) { copy_anchor(i, 0, 0), i.resize(257 * 2048), put_u32(sector_at(i, 256) + 12, 0), reseal(i, 256), plant_anchor(i, 256 * 512, 256); }, kDone, "", kSequences, 512},
  {"stale 512-byte anchors beside a live volume", {}, [](Image& i) { plant_anchor(i, 256 * 512, 256), plant_anchor(i, 943 * 512, 943); }, kDone, "Sample", with(kSequences, {257})},
  {"a stale 2048-byte anchor, the live one 257 blocks before the end", {.sectors = 1100, .block = 512}, [](Image& i) { copy_anchor(i, 843, 843), std::memset(sector_at(i, 1099), 0, 512), plant_anchor(i, 256 * 2048, 256); }, kDone, "Sample", with(kSequences, {257})},
  {"anchor at 512 only", {}, [](Image& i) { copy_anchor(i, 512, 512), copy_anchor(i, 900, 0), sector_at(i, 256)[4] ^= 1; }, kDone, "Sample", with(kSequences, {257})},
  {"end anchor recorded for another place", {}, [](Image& i) { copy_anchor(i, 299, 256), sector_at(i, 256)[4] ^= 1; }, kNoAnchor, "", {}},
  {"image ending before the anchor", {}, [](Image& i) { i.resize(256 * 2048); }, kNoAnchor, "", {}},
  {"no NSR descriptor", {}, [](Image& i) { sector_at(i, 17)[6] = 0, sector_at(i, 17)[3] = 'X'; }, kNotUdf, "", {}},
  {"NSR03 after a blank sector", {}, [](Image& i) { sector_at(i, 16)[6] = 0; }, kNotUdf, "", {}},
  {"NSR03 a blank sector after the first", {}, [](Image& i) { std::memmove(sector_at(i, 18), sector_at(i, 17), 4096), std::memset(sector_at(i, 17), 0, 2048); }, kNotUdf, "", {}},
  {"8192-byte blocks", {.sectors = 300, .block = 8192}, kNone, kDone, "Sample", with(kSequences, {257})},
  {"shorter than 26 sectors", {}, [](Image& i) { i.resize(25 * 2048); }, kNotUdf, "", {}},
};
// clang-format on

TEST(Pass, EachArrangementAndEachDamageIsHandledItsOwnWay) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Image image = build_image(c.options);
    c.damage(image);
    const Pass read = run_pass(image, nullptr, nullptr, c.device);
    EXPECT_EQ(read.label, c.label);
    EXPECT_EQ(read.after, image) << "read-only mode writes nothing";
    const Pass p = run_pass(image, "New", nullptr, c.device);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.ok, c.out.find(' ') == std::string::npos);
    EXPECT_EQ(changed_sectors(image, p.after), c.written);
    EXPECT_EQ(unexpected_changes(image, p.after), std::vector<std::string>{});
    if (c.label == "Sample") EXPECT_EQ(run_pass(p.after, nullptr).label, "New");
    for (std::uint32_t s : changed_sectors(image, p.after)) {  // each label's charset is CS0
      const std::uint8_t* d = p.after.data() + std::size_t{s} * image.block;
      const std::uint16_t tag = get_u16(d);
      if (std::memcmp(d + 1, "CD001", 5) == 0) continue;  // an ISO 9660 name has no charset
      for (std::size_t at : tag == 1   ? Sectors{200}
                            : tag == 4 ? Sectors{52}
                            : tag == 6 ? Sectors{20}
                                       : Sectors{48, 240}) {
        EXPECT_EQ(std::string(d + at, d + at + 24), std::string("\0OSTA Compressed Unicode", 24));
      }
    }
  }
}

int good_syncs = 0;
int failing_sync(std::FILE* stream) {
  std::fflush(stream);
  return good_syncs-- > 0 ? 0 : -1;
}

TEST(Pass, AFailedSyncFailsTheRunAndTheReserveCopyWaitsForTheMainOne) {
  const Image image = build_image();
  for (int syncs : {0, 1}) {
    good_syncs = syncs;
    const Pass p = run_pass(image, "New", failing_sync);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.out, "Error writing file: PATH\n");
    const Sectors expected = syncs == 0 ? Sectors{32, 33, 35} : with(kSequences, {257});
    EXPECT_EQ(changed_sectors(image, p.after), expected);
  }
}

}  // namespace
}  // namespace tarnwick::testing
