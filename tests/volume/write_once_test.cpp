// Sparable (CD-RW) and virtual (CD-R) partitions, on images made by mkudffs and then altered.
#include <gtest/gtest.h>

#include <cstring>

#include "image/bytes.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

struct Outcome {
  std::string label;  // read mode, before the change
  std::string out;    // write mode, after the "Changing" line
  std::vector<std::uint32_t> written;
  Image after;
};

Outcome relabel(const Image& image) {
  TempDir dir;
  const std::string path = dir.path("x.img");
  write_file(path, image);
  Outcome o{label_of(path), run_tool({path, "New"}).out};
  o.out.erase(0, o.out.find('\n') + 1);
  o.after = read_file(path);
  o.written = changed_sectors(image, o.after);
  return o;
}

std::vector<std::uint32_t> plus(std::vector<std::uint32_t> v,
                                std::initializer_list<std::uint32_t> extra) {
  v.insert(v.end(), extra);
  std::sort(v.begin(), v.end());
  return v;
}

// mkudffs CD-RW, UDF 2.01, 4096 blocks: packet length 32, sparing tables at 160 and 4064 (312
// bytes each), partition from 1312, File Set Descriptor at block 32 (sector 1344).
class Sparable : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    TempDir dir;
    ASSERT_TRUE(
        mkudffs(dir.path("i"), 4096, {"--media-type=cdrw", "--udfrev=2.01", "--label=Sparable"}));
    image_ = read_file(dir.path("i"));
  }
  // A copy of the File Set Descriptor, as block `block`, labelled "Spared" at `sector`.
  void spare_copy(std::uint32_t block, std::uint32_t sector) {
    std::memcpy(sector_at(image_, sector), sector_at(image_, 1344), 2048);
    std::memcpy(sector_at(image_, sector) + 112, dstring8("Spared", 128).data(), 128);
    put_u32(sector_at(image_, sector) + 12, block);
    reseal(image_, sector);
  }
  // A sparing table at `sector` of `entries` entries, entry `at` moving packet 32 to 400.
  void table(std::uint32_t sector, std::uint32_t entries, std::uint32_t at) {
    std::uint8_t* t = sector_at(image_, sector);
    std::memset(t, 0, 4096);
    put_u32(t + 12, sector);
    std::memcpy(t + 17, "*UDF Sparing Table", 18);
    put_u16(t + 48, static_cast<std::uint16_t>(entries));
    for (std::uint32_t e = 0; e < entries; ++e) {
      put_u32(t + 56 + 8 * e, e == at ? 32 : 0xFFFFFFFF);
      put_u32(t + 60 + 8 * e, e == at ? 400 : 0);
    }
    put_u16(t + 10, static_cast<std::uint16_t>(40 + 8 * entries));
    reseal(image_, sector);
  }
  void set_lvds(std::size_t pos, std::uint32_t value) {
    for (std::uint32_t lvd : {97u, 3937u}) {
      put_u32(sector_at(image_, lvd) + pos, value);
      reseal(image_, lvd);
    }
  }
  Image image_;
  const std::vector<std::uint32_t> kDescriptors = {96, 97, 100, 3936, 3937, 3940};
};

TEST_F(Sparable, TheFileSetDescriptorIsFoundThroughTheFirstTableThatVerifies) {
  Outcome o = relabel(image_);
  EXPECT_EQ(o.label, "Sparable");
  EXPECT_EQ(o.written, plus(kDescriptors, {1344}));
  EXPECT_EQ(unexpected_changes(image_, o.after), std::vector<std::string>{});

  spare_copy(32, 400);
  table(160, 4, 2);
  o = relabel(image_);
  EXPECT_EQ(o.label, "Spared") << "a remapped packet";
  EXPECT_EQ(o.written, plus(kDescriptors, {400}));

  sector_at(image_, 160)[60] ^= 1;  // the first table no longer verifies: the second serves
  EXPECT_EQ(relabel(image_).label, "Sparable");
  table(4064, 4, 0);
  set_lvds(252, 35);  // a File Set Descriptor three blocks into its packet
  spare_copy(35, 403);
  o = relabel(image_);
  EXPECT_EQ(o.label, "Spared");
  EXPECT_EQ(o.written, plus(kDescriptors, {403}));

  sector_at(image_, 4064)[4] ^= 1;  // no table verifies: nothing is guessed
  o = relabel(image_);
  EXPECT_EQ(o.label, "");
  EXPECT_EQ(o.out, "Done!\n");
  EXPECT_EQ(o.written, kDescriptors);
}

TEST_F(Sparable, ATableSpanningSectorsIsReadAsFarAsItsCrcAndTheMapAllow) {
  spare_copy(32, 400);
  table(160, 301, 300);  // the entry lies in the table's second sector
  EXPECT_EQ(relabel(image_).label, "Sparable") << "longer than the map's table size";
  set_lvds(440 + 44, 4096);
  const Outcome o = relabel(image_);
  EXPECT_EQ(o.label, "Spared");
  EXPECT_EQ(o.written, plus(kDescriptors, {400}));
}

// mkudffs CD-R, 300 blocks: partition from 257, the VAT's entry at 299 (data embedded), the
// File Set Descriptor at virtual block 0 (sector 257).
class Virtual : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    TempDir dir;
    ASSERT_TRUE(
        mkudffs(dir.path("i"), 300,
                {"--media-type=cdr", std::string("--udfrev=") + GetParam(), "--label=Once"}));
    image_ = read_file(dir.path("i"));
  }
  std::uint8_t* vat() { return sector_at(image_, 299); }
  std::size_t data() {
    return get_u16(vat()) == 266 ? 216 + get_u32(vat() + 208) : 176 + get_u32(vat() + 168);
  }
  Image image_;
  const std::vector<std::uint32_t> kDescriptors = {96, 97, 100, 240, 241, 244};
};

TEST_P(Virtual, TheFileSetDescriptorAndTheVatsLabelAreRewritten) {
  Outcome o = relabel(image_);
  EXPECT_EQ(o.label, "Once");
  EXPECT_EQ(o.out, "Done!\n");
  EXPECT_EQ(o.written, plus(kDescriptors, {257, 299}));
  EXPECT_TRUE(tag_is_sound(o.after.data() + 299 * 2048));

  const Image good = image_;
  image_.resize(image_.size() + 5 * 2048);  // padding after the VAT
  EXPECT_EQ(relabel(image_).written, plus(kDescriptors, {257, 299}));

  image_ = good;  // an unused entry for the File Set Descriptor's block
  put_u32(vat() + data() + (std::string(GetParam()) == "1.50" ? 0 : 152), 0xFFFFFFFF);
  reseal(image_, 299);
  o = relabel(image_);
  EXPECT_EQ(o.label, "");
  EXPECT_EQ(o.written, plus(kDescriptors, {299}));
}

TEST_P(Virtual, ADamagedVatOrOneOfAnotherSessionIsNotUsed) {
  const Image good = image_;
  vat()[300] ^= 1;
  Outcome o = relabel(image_);
  EXPECT_EQ(o.label, "");
  EXPECT_EQ(o.out, "Done!\n");
  EXPECT_EQ(o.written, kDescriptors);
  image_ = good;
  put_u32(vat() + 12, 30);
  reseal(image_, 299);
  EXPECT_EQ(relabel(image_).written, kDescriptors);
}

INSTANTIATE_TEST_SUITE_P(Revisions, Virtual, ::testing::Values("1.50", "2.01", "2.60"));

TEST(VatData, InARecordedExtentItIsReadAndRelabelledThere) {
  REQUIRE_TOOL("mkudffs");
  REQUIRE_TOOL("udfinfo");
  TempDir dir;
  const std::string path = dir.path("i");
  ASSERT_TRUE(mkudffs(path, 300, {"--media-type=cdr", "--udfrev=2.01", "--label=Extent"}));
  Image image = read_file(path);
  std::uint8_t* efe = sector_at(image, 299);
  std::memcpy(sector_at(image, 259), efe + 216, 160);  // the VAT's data moves to block 2
  std::memset(efe + 216, 0, 160);
  put_u16(efe + 34, static_cast<std::uint16_t>(get_u16(efe + 34) & ~7));
  put_u32(efe + 212, 8);
  put_u32(efe + 216, 160);
  put_u32(efe + 220, 2);
  put_u16(efe + 10, 208);
  reseal(image, 299);
  write_file(path, image);
  ASSERT_EQ(udfinfo(path)["lvid"], "Extent");
  const Outcome o = relabel(image);
  EXPECT_EQ(o.label, "Extent");
  EXPECT_EQ(o.written, (std::vector<std::uint32_t>{96, 97, 100, 240, 241, 244, 257, 259}));
  EXPECT_EQ(0, std::memcmp(o.after.data() + 259 * 2048 + 4, dstring8("New", 128).data(), 128));
}

TEST(VatData, AnUnverifiableLabelAttributeIsReportedAndLeftAlone) {
  REQUIRE_TOOL("mkudffs");
  TempDir dir;
  ASSERT_TRUE(mkudffs(dir.path("i"), 300, {"--media-type=cdr", "--udfrev=1.50", "--label=Old"}));
  Image image = read_file(dir.path("i"));
  std::uint8_t* fe = sector_at(image, 299);
  fe[176 + get_u32(fe + 176 + 16) + 48] ^= 1;  // the LVExtension attribute's header checksum
  reseal(image, 299);
  const Outcome o = relabel(image);
  EXPECT_EQ(o.out, "Descriptor at sector 299 not changed: invalid tag\n");
  EXPECT_EQ(o.written, (std::vector<std::uint32_t>{96, 97, 100, 240, 241, 244, 257}));
}

}  // namespace
}  // namespace tarnwick::testing
