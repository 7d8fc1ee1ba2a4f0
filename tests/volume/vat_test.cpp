// Virtual partitions on images made by mkudffs (CD-R): 300 sectors, physical partition from
// 257, the VAT's entry in the last sector, the File Set Descriptor at virtual block 0.
#include "volume/vat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "image/bytes.h"
#include "support/changes.h"
#include "support/run.h"
#include "support/session_fixture.h"

namespace tarnwick::testing {
namespace {

constexpr std::uint32_t kVatSector = 299;
constexpr std::uint32_t kFsdSector = 257;
const std::set<std::uint32_t> kVolumeDescriptors = {96, 97, 100, 240, 241, 244};

class Vat : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    ASSERT_TRUE(
        mkudffs(dir_.path("cdr.img"), 300,
                {"--media-type=cdr", std::string("--udfrev=") + GetParam(), "--label=WriteOnce"}));
    image_ = read_file(dir_.path("cdr.img"));
    ASSERT_EQ(image_.size(), 300u * 2048);
  }
  struct Outcome {
    std::string label;
    std::string out;
    std::set<std::uint32_t> written;
    Image after;
  };
  Outcome run_both() {
    const std::string path = dir_.path("x.img");
    write_file(path, image_);
    Outcome o;
    const std::string read = run_tool({path}).out;
    o.label = read.substr(read.find(": ") + 2);
    o.out = run_tool({path, "New"}).out;
    o.out.erase(0, o.out.find('\n') + 1);
    o.after = read_file(path);
    for (std::size_t pos : differing_bytes(image_, o.after))
      o.written.insert(static_cast<std::uint32_t>(pos / 2048));
    return o;
  }
  std::set<std::uint32_t> expected(std::initializer_list<std::uint32_t> extra) {
    std::set<std::uint32_t> s = kVolumeDescriptors;
    s.insert(extra);
    return s;
  }
  TempDir dir_;
  Image image_;
};

TEST_P(Vat, TheFileSetDescriptorAndTheVatsOwnLabelAreRewritten) {
  const Outcome o = run_both();
  EXPECT_EQ(o.label, "WriteOnce\n");
  EXPECT_EQ(o.out, "Done!\n");
  EXPECT_EQ(o.written, expected({kFsdSector, kVatSector}));
  EXPECT_TRUE(tag_is_sound(o.after.data() + kVatSector * 2048));
}

TEST_P(Vat, AVatFollowedByPaddingIsFound) {
  image_.resize(image_.size() + 5 * 2048);
  const Outcome o = run_both();
  EXPECT_EQ(o.label, "WriteOnce\n");
  EXPECT_EQ(o.written, expected({kFsdSector, kVatSector}));
}

TEST_P(Vat, ADamagedVatOrOneOfAnotherSessionIsNotUsed) {
  const Image good = image_;
  sector_at(image_, kVatSector)[300] ^= 1;
  Outcome o = run_both();
  EXPECT_EQ(o.label, "\n");
  EXPECT_EQ(o.out, "Done!\n");
  EXPECT_EQ(o.written, kVolumeDescriptors);

  image_ = good;
  put_u32(sector_at(image_, kVatSector) + 12, 30);  // recorded for another place
  reseal(image_, kVatSector);
  o = run_both();
  EXPECT_EQ(o.label, "\n");
  EXPECT_EQ(o.written, kVolumeDescriptors);
}

TEST_P(Vat, AnUnusedEntryLeavesTheFileSetDescriptorAloneButNotTheVatLabel) {
  std::uint8_t* entry = sector_at(image_, kVatSector);
  const bool extended = get_u16(entry) == 266;
  const std::size_t data = extended ? 216 + get_u32(entry + 208) : 176 + get_u32(entry + 168);
  const std::size_t first_entry = std::string(GetParam()) == "1.50" ? 0 : 152;
  put_u32(entry + data + first_entry, 0xFFFFFFFF);
  reseal(image_, kVatSector);
  const Outcome o = run_both();
  EXPECT_EQ(o.label, "\n");
  EXPECT_EQ(o.written, expected({kVatSector}));
}

INSTANTIATE_TEST_SUITE_P(Revisions, Vat, ::testing::Values("1.50", "2.01", "2.60"));

TEST(VatData, ATableInARecordedExtentIsReadAndRelabelledThere) {
  REQUIRE_TOOL("mkudffs");
  REQUIRE_TOOL("udfinfo");
  TempDir dir;
  const std::string path = dir.path("cdr.img");
  ASSERT_TRUE(mkudffs(path, 300, {"--media-type=cdr", "--udfrev=2.01", "--label=Extent"}));
  Image image = read_file(path);
  // Move the embedded VAT data (160 bytes) into block 2 (sector 259), described by a short_ad.
  std::uint8_t* efe = sector_at(image, kVatSector);
  ASSERT_EQ(get_u16(efe), 266);
  std::memcpy(sector_at(image, 259), efe + 216, 160);
  std::memset(efe + 216, 0, 160);
  put_u16(efe + 34, static_cast<std::uint16_t>(get_u16(efe + 34) & ~7));
  put_u32(efe + 212, 8);
  put_u32(efe + 216, 160);
  put_u32(efe + 220, 2);
  put_u16(efe + 10, 216 + 8 - 16);
  reseal(image, kVatSector);
  write_file(path, image);
  ASSERT_EQ(udfinfo(path)["lvid"], "Extent") << "the derived image is sound";

  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": Extent\n");
  EXPECT_EQ(run_tool({path, "Moved"}).status, 0);
  const Image after = read_file(path);
  std::set<std::uint32_t> written;
  for (std::size_t pos : differing_bytes(image, after))
    written.insert(static_cast<std::uint32_t>(pos / 2048));
  EXPECT_EQ(written, (std::set<std::uint32_t>{96, 97, 100, 240, 241, 244, kFsdSector, 259}));
  EXPECT_EQ(
      std::vector<std::uint8_t>(after.begin() + 259 * 2048 + 4, after.begin() + 259 * 2048 + 132),
      dstring8("Moved", 128));
  EXPECT_EQ(udfinfo(path)["lvid"], "Moved");
}

TEST(VatData, AnUnverifiableLabelAttributeIsReportedAndLeftAlone) {
  REQUIRE_TOOL("mkudffs");
  TempDir dir;
  const std::string path = dir.path("cdr.img");
  ASSERT_TRUE(mkudffs(path, 300, {"--media-type=cdr", "--udfrev=1.50", "--label=Old"}));
  Image image = read_file(path);
  std::uint8_t* fe = sector_at(image, kVatSector);
  ASSERT_EQ(get_u16(fe), 261);
  const std::size_t attribute = 176 + get_u32(fe + 176 + 16);
  fe[attribute + 48] ^= 1;  // the attribute's header checksum
  reseal(image, kVatSector);
  write_file(path, image);
  const RunResult r = run_tool({path, "New"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Changing " + path +
                       " volume label to 'New'\n"
                       "Descriptor at sector 299 not changed: invalid tag\n");
  const Image after = read_file(path);
  EXPECT_EQ(0, std::memcmp(after.data() + kVatSector * 2048, fe, 2048));
  EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + kFsdSector * 2048 + 112,
                                      after.begin() + kFsdSector * 2048 + 240),
            dstring8("New", 128));
}

}  // namespace
}  // namespace tarnwick::testing
