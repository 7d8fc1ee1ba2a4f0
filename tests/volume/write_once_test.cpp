// Sparable (CD-RW) and virtual (CD-R, VAT) partitions, on images made by mkudffs and altered
// one way at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "image/bytes.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

using Change = std::function<void(Image&)>;

// One alteration of a made image: the label read before the relabel and the sectors it writes
// besides the volume descriptors.
struct Alteration {
  const char* what;
  Change change;
  std::string label;
  Sectors extra;
};

Image mkudffs_image(std::uint32_t blocks, const std::vector<std::string>& args) {
  TempDir dir;
  return mkudffs(dir.path("i"), blocks, args) ? read_file(dir.path("i")) : Image{};
}

// Relabels `image` as "New" and checks the label read before, the output and the sectors written.
void expect_relabel(const Image& image, const std::string& label, const std::string& out,
                    const Sectors& written) {
  TempDir dir;
  const std::string path = dir.path("x.img");
  write_file(path, image);
  EXPECT_EQ(label_of(path), label);
  EXPECT_EQ(run_tool({path, "New"}).out, "Changing " + path + " volume label to 'New'\n" + out);
  EXPECT_EQ(changed_sectors(image, read_file(path)), written);
}

// mkudffs CD-RW, UDF 2.01, 4096 blocks: packet length 32, sparing tables at 160 and 4064 (312
// bytes each), partition from 1312, File Set Descriptor at block 32 (sector 1344).
void spare_copy(Image& i, std::uint32_t block, std::uint32_t sector) {  // labelled "Spared"
  std::memcpy(sector_at(i, sector), sector_at(i, 1344), 2048);
  std::memcpy(sector_at(i, sector) + 112, dstring8("Spared", 128).data(), 128);
  put_u32(sector_at(i, sector) + 12, block);
  reseal(i, sector);
}
void table(Image& i, std::uint32_t sector, std::uint32_t entries,
           std::uint32_t at) {  // packet 32 -> 400
  std::uint8_t* t = sector_at(i, sector);
  std::memset(t, 0, 4096);
  put_u32(t + 12, sector);
  std::memcpy(t + 17, "*UDF Sparing Table", 18);
  put_u16(t + 48, static_cast<std::uint16_t>(entries));
  for (std::uint32_t e = 0; e < entries; ++e) put_u32(t + 56 + 8 * e, e == at ? 32 : 0xFFFFFFFF);
  put_u32(t + 60 + 8 * at, 400);
  put_u16(t + 10, static_cast<std::uint16_t>(40 + 8 * entries));
  reseal(i, sector);
}
void set_lvds(Image& i, std::size_t pos, std::uint32_t value) {
  for (std::uint32_t lvd : {97u, 3937u}) put_u32(sector_at(i, lvd) + pos, value), reseal(i, lvd);
}

TEST(Sparable, TheFileSetDescriptorIsFoundThroughTheFirstTableThatVerifies) {
  REQUIRE_TOOL("mkudffs");
  const Image base =
      mkudffs_image(4096, {"--media-type=cdrw", "--udfrev=2.01", "--label=Sparable"});
  const Sectors descriptors = {96, 97, 100, 3936, 3937, 3940};
  // clang-format off
  const Alteration kCases[] = {
      {"in place", [](Image&) {}, "Sparable", {1344}},
      {"remapped packet", [](Image& i) { spare_copy(i, 32, 400), table(i, 160, 4, 2); }, "Spared", {400}},
      {"first table recorded for another place", [](Image& i) { spare_copy(i, 32, 400), table(i, 160, 4, 2), put_u32(sector_at(i, 160) + 12, 161), reseal(i, 160); }, "Sparable", {1344}},
      {"first table bad, second good", [](Image& i) { spare_copy(i, 32, 400), table(i, 4064, 4, 0), sector_at(i, 160)[60] ^= 1; }, "Spared", {400}},
      {"three blocks into the packet", [](Image& i) { set_lvds(i, 252, 35), spare_copy(i, 35, 403), table(i, 160, 4, 0); }, "Spared", {403}},
      {"a free entry's own original", [](Image& i) { set_lvds(i, 252, 0xFFFFFFF0), set_lvds(i, 480, 0x00020010), spare_copy(i, 0xFFFFFFF0, 400), table(i, 160, 4, 0), put_u32(sector_at(i, 160) + 56, 0xFFFFFFF0), reseal(i, 160); }, "", {}},
      {"no table verifies", [](Image& i) { sector_at(i, 160)[60] ^= 1, sector_at(i, 4064)[4] ^= 1; }, "", {}},
      {"two-sector table past the map's size", [](Image& i) { spare_copy(i, 32, 400), table(i, 160, 301, 300); }, "Sparable", {1344}},
      {"two-sector table", [](Image& i) { spare_copy(i, 32, 400), table(i, 160, 301, 300), set_lvds(i, 440 + 44, 4096); }, "Spared", {400}},
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Image image = base;
    c.change(image);
    expect_relabel(image, c.label, "Done!\n", with(descriptors, c.extra));
  }
}

// mkudffs CD-R, 300 blocks: partition from 257, the VAT's entry at 299 with its data embedded,
// the File Set Descriptor at virtual block 0 (sector 257).
class Virtual : public ::testing::TestWithParam<const char*> {};

TEST_P(Virtual, TheVatIsFoundOnlyWhereItVerifiesAndItsLabelRewritten) {
  REQUIRE_TOOL("mkudffs");
  const Image base = mkudffs_image(
      300, {"--media-type=cdr", std::string("--udfrev=") + GetParam(), "--label=Once"});
  const Sectors descriptors = {96, 97, 100, 240, 241, 244};
  const std::size_t first_entry =
      std::string(GetParam()) == "1.50" ? 176 + get_u32(base.data() + 299 * 2048 + 168) : 216 + 152;
  // The first virtual block past the table: entries end 36 bytes before the data on UDF 1.50.
  const std::uint32_t info = get_u32(base.data() + 299 * 2048 + 56);
  const std::uint32_t past = std::string(GetParam()) == "1.50" ? (info - 36) / 4 : (info - 152) / 4;
  // clang-format off
  const Alteration kCases[] = {
      {"as made", [](Image&) {}, "Once", {257, 299}},
      {"padding after the VAT", [](Image& i) { i.resize(i.size() + 5 * 2048); }, "Once", {257, 299}},
      {"the VAT 32 blocks from the end", [](Image& i) { i.resize(i.size() + 31 * 2048); }, "Once", {257, 299}},
      {"the VAT 33 blocks from the end", [](Image& i) { i.resize(i.size() + 32 * 2048); }, "", {}},
      {"no physical partition of its number", [](Image& i) { put_u16(sector_at(i, 97) + 484, 7), reseal(i, 97); }, "", {}},
      {"the file set just past the table", [&](Image& i) { put_u32(sector_at(i, 97) + 252, past), reseal(i, 97); }, "", {299}},
      {"a VAT too short for its header", [](Image& i) { put_u32(sector_at(i, 299) + 56, 2), reseal(i, 299); }, "", {}},
      {"an unused entry for the file set", [&](Image& i) { put_u32(sector_at(i, 299) + first_entry, 0xFFFFFFFF), reseal(i, 299); }, "", {299}},
      {"a damaged entry", [](Image& i) { sector_at(i, 299)[300] ^= 1; }, "", {}},
      {"another session's VAT", [](Image& i) { put_u32(sector_at(i, 299) + 12, 30), reseal(i, 299); }, "", {}},
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Image image = base;
    c.change(image);
    expect_relabel(image, c.label, "Done!\n", with(descriptors, c.extra));
  }
}

INSTANTIATE_TEST_SUITE_P(Revisions, Virtual, ::testing::Values("1.50", "2.01"));

TEST(Virtual, AVatInARecordedExtentAndABrokenLabelAttribute) {
  REQUIRE_TOOL("mkudffs");
  REQUIRE_TOOL("udfinfo");
  TempDir dir;
  const Image made = mkudffs_image(300, {"--media-type=cdr", "--udfrev=2.01", "--label=Extent"});
  // short_ad, long_ad on the physical partition (reference 0), long_ad on another (1), and two
  // short_ads: the header in block 2, the entries in block 3 (split 1; 2: the second extent not
  // recorded, so the VAT is not whole).
  // clang-format off
  for (const auto& [form, reference, split] : {std::tuple{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 0, 1}, {0, 0, 2}}) {
    Image image = made;
    std::uint8_t* efe = sector_at(image, 299);
    std::memcpy(sector_at(image, 259), efe + 216, 160);  // the VAT's data moves to block 2
    std::memcpy(sector_at(image, 260), efe + 216 + 152, split ? 8 : 0);
    std::memset(efe + 216, 0, 160);
    const int ads = form + (split ? 1 : 0);
    put_u16(efe + 34, static_cast<std::uint16_t>((get_u16(efe + 34) & ~7) | form));
    put_u32(efe + 212, 8 + 8 * ads), put_u32(efe + 216, split ? 152 : 160), put_u32(efe + 220, 2);
    put_u16(efe + 224, static_cast<std::uint16_t>(reference));
    if (split) put_u32(efe + 224, split == 1 ? 8 : 0x40000008), put_u32(efe + 228, 3);
    if (split) put_u32(sector_at(image, 260) + 304, 0xFFFFFFFF);  // only read if misplaced
    put_u16(efe + 10, static_cast<std::uint16_t>(208 + 8 * ads));
    reseal(image, 299);
    write_file(dir.path("i"), image);
    const bool whole = reference == 0 && split < 2;
    if (whole) ASSERT_EQ(udfinfo(dir.path("i"))["lvid"], "Extent") << "the derived image is sound";
    expect_relabel(image, whole ? "Extent" : "", "Done!\n", whole ? Sectors{96, 97, 100, 240, 241, 244, 257, 259} : Sectors{96, 97, 100, 240, 241, 244});
  }
  Image many = made;  // 17 extents, one more than a VAT may have: the last 4 bytes in the 17th
  std::uint8_t* e = sector_at(many, 299);
  const Image vat(e + 216, e + 376);
  std::memset(e + 216, 0, 160), put_u16(e + 34, static_cast<std::uint16_t>(get_u16(e + 34) & ~7)), put_u32(e + 212, 136), put_u16(e + 10, 336);
  for (std::uint32_t k = 0, at = 0, n = 141; k < 17; at += n, ++k, n = k < 16 ? 1 : 4) {
    std::memcpy(sector_at(many, 259 + k), vat.data() + at, n), put_u32(e + 216 + 8 * k, n), put_u32(e + 220 + 8 * k, 2 + k);
  }
  reseal(many, 299);
  expect_relabel(many, "", "Done!\n", {96, 97, 100, 240, 241, 244});
  // The VAT in the last block a 32-bit number reaches, of a sparse image of 2^32 blocks.
  const std::string far = dir.path("far");
  Image last(made.begin() + 299 * 2048, made.begin() + 300 * 2048);
  put_u32(last.data() + 12, 0xFFFFFFFF - 257), reseal(last, 0);
  write_file(far, Image(made.begin(), made.begin() + 299 * 2048));
  if (run({"truncate", "-s", std::to_string(0xFFFFFFFFull * 2048), far}).status == 0) {
    std::ofstream(far, std::ios::in | std::ios::binary | std::ios::ate).write(reinterpret_cast<const char*>(last.data()), 2048);
    EXPECT_EQ(run_tool({far, "Far"}).out, "Changing " + far + " volume label to 'Far'\nDone!\n");
    EXPECT_EQ(label_of(far), "Far");
  }
  Image empty = made;  // a table of no entries: the VAT is whole, the file set not in it
  put_u32(sector_at(empty, 299) + 56, 152), reseal(empty, 299);
  expect_relabel(empty, "", "Done!\n", {96, 97, 100, 240, 241, 244, 299});
  // clang-format on

  // UDF 1.50: a stale or missing LVExtension attribute names nothing readers use; one with a
  // damaged header checksum (which does not cover the name) is still read by udfinfo.
  const Image old = mkudffs_image(300, {"--media-type=cdr", "--udfrev=1.50", "--label=Old"});
  const std::size_t attribute = 176 + get_u32(old.data() + 299 * 2048 + 176 + 16);
  // clang-format off
  const std::size_t data = 176 + get_u32(old.data() + 299 * 2048 + 168), info = get_u32(old.data() + 299 * 2048 + 56);
  const Alteration kAttributes[] = {
      {"stale Verification ID", [](Image& i) { sector_at(i, 299)[160] ^= 1; }, "Old", {257}},
      {"damaged header checksum", [&](Image& i) { sector_at(i, 299)[attribute + 48] ^= 1; }, "Old", {257, 299}},
      {"another identifier", [&](Image& i) { sector_at(i, 299)[attribute + 36] ^= 1; }, "Old", {257}},
      {"attribute space of another kind", [](Image& i) {
         Image header(sector_at(i, 299) + 176, sector_at(i, 299) + 200);
         put_u16(header.data(), 999), reseal(header, 0), std::copy(header.begin(), header.end(), sector_at(i, 299) + 176); }, "Old", {257}},
      {"a table of no entries", [&](Image& i) { std::memmove(sector_at(i, 299) + data, sector_at(i, 299) + data + info - 36, 36), put_u32(sector_at(i, 299) + 56, 36); }, "", {299}},
      {"in an Extended File Entry", [](Image& i) {  // its ID, lengths and attributes 40 bytes on
         std::uint8_t* e = sector_at(i, 299);
         const Image fe(e, e + 2048);
         std::memset(e + 64, 0, 2048 - 64), put_u16(e, 266), put_u16(e + 10, static_cast<std::uint16_t>(get_u16(e + 10) + 40));
         std::memcpy(e + 200, fe.data() + 160, 16 + get_u32(fe.data() + 168) + get_u32(fe.data() + 172)); }, "Old", {257, 299}},
  };
  // clang-format on
  for (const auto& c : kAttributes) {
    SCOPED_TRACE(c.what);
    Image image = old;
    c.change(image);
    reseal(image, 299);
    expect_relabel(image, c.label, "Done!\n", with({96, 97, 100, 240, 241, 244}, c.extra));
    write_file(dir.path("i"), image);
    ASSERT_EQ(run_tool({dir.path("i"), "New"}).status, 0);
    // udfinfo reads an attribute even behind a header that is not one; nothing is written there.
    if (c.what != std::string("attribute space of another kind"))
      EXPECT_EQ(udfinfo(dir.path("i"))["lvid"], "New");
  }
}

}  // namespace
}  // namespace tarnwick::testing
