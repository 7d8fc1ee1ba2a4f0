// Sparable partitions on images made by mkudffs (CD-RW, UDF 2.01): packet length 32, sparing
// tables at sectors 160 and 4064, partition from sector 1312, File Set Descriptor at block 32.
#include "volume/sparing.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/bytes.h"
#include "support/changes.h"
#include "support/run.h"
#include "support/session_fixture.h"

namespace tarnwick::testing {
namespace {

constexpr std::uint32_t kFirstTable = 160;
constexpr std::uint32_t kSecondTable = 4064;
constexpr std::uint32_t kFsdSector = 1312 + 32;
constexpr std::uint32_t kSpare = 400;  // an unused packet outside the partition

struct Remap {
  std::uint32_t original;
  std::uint32_t mapped;
};

// Writes a sparing table at `sector` whose entry `at` is `remap` (the others free), with a CRC
// over the entries actually recorded.
void put_table(Image& image, std::uint32_t sector, std::uint32_t entries, std::uint32_t at,
               Remap remap) {
  std::uint8_t* t = sector_at(image, sector);
  const std::size_t size = 56 + std::size_t{entries} * 8;
  std::memset(t, 0, (size + 2047) / 2048 * 2048);
  put_u16(t + 2, 2);
  put_u32(t + 12, sector);
  std::memcpy(t + 17, "*UDF Sparing Table", 18);
  put_u16(t + 48, static_cast<std::uint16_t>(entries));
  for (std::uint32_t e = 0; e < entries; ++e) {
    put_u32(t + 56 + 8 * e, e == at ? remap.original : 0xFFFFFFFF);
    put_u32(t + 60 + 8 * e, e == at ? remap.mapped : 0);
  }
  put_u16(t + 10, static_cast<std::uint16_t>(size - 16));
  reseal(image, sector);
}

// Sets the File Set Descriptor's block in both Logical Volume Descriptors, or the sparing
// table size in their maps.
void set_lvd_u32(Image& image, std::size_t pos, std::uint32_t value) {
  for (std::uint32_t lvd : {97u, 4096u - 159u}) {
    put_u32(sector_at(image, lvd) + pos, value);
    reseal(image, lvd);
  }
}

class Sparable : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    ASSERT_TRUE(mkudffs(dir_.path("cdrw.img"), 4096,
                        {"--media-type=cdrw", "--udfrev=2.01", "--label=Sparable"}));
    image_ = read_file(dir_.path("cdrw.img"));
    ASSERT_EQ(get_u16(sector_at(image_, 4096 - 159)), 6) << "reserve LVD where expected";
  }
  // Copies the File Set Descriptor (at block `block`) to `sector` with another label.
  void spare_copy(std::uint32_t block, std::uint32_t sector) {
    std::memcpy(sector_at(image_, sector), sector_at(image_, kFsdSector), 2048);
    std::memcpy(sector_at(image_, sector) + 112, dstring8("Spared", 128).data(), 128);
    put_u32(sector_at(image_, sector) + 12, block);
    reseal(image_, sector);
  }
  // Runs read mode, then write mode; returns the label read and the sectors written.
  std::pair<std::string, std::set<std::uint32_t>> run_both() {
    const std::string path = dir_.path("x.img");
    write_file(path, image_);
    const RunResult read = run_tool({path});
    const RunResult write = run_tool({path, "New"});
    EXPECT_EQ(write.out, "Changing " + path + " volume label to 'New'\nDone!\n");
    const Image after = read_file(path);
    EXPECT_EQ(unexpected_changes(image_, after), std::vector<std::string>{});
    std::set<std::uint32_t> written;
    for (std::size_t pos : differing_bytes(image_, after))
      written.insert(static_cast<std::uint32_t>(pos / 2048));
    return {read.out.substr(read.out.find(": ") + 2), written};
  }
  TempDir dir_;
  Image image_;
};

const std::set<std::uint32_t> kVolumeDescriptors = {96,         97,         100,
                                                    4096 - 160, 4096 - 159, 4096 - 156};

std::set<std::uint32_t> with(std::set<std::uint32_t> s, std::uint32_t extra) {
  s.insert(extra);
  return s;
}

TEST_F(Sparable, TheFileSetDescriptorIsReadAndRewrittenInPlace) {
  const auto [label, written] = run_both();
  EXPECT_EQ(label, "Sparable\n");
  EXPECT_EQ(written, with(kVolumeDescriptors, kFsdSector));
}

TEST_F(Sparable, ARemappedPacketIsFollowedToItsMappedLocation) {
  spare_copy(32, kSpare);
  put_table(image_, kFirstTable, 4, 2, {32, kSpare});
  auto [label, written] = run_both();
  EXPECT_EQ(label, "Spared\n");
  EXPECT_EQ(written, with(kVolumeDescriptors, kSpare));

  // A File Set Descriptor a few blocks into its packet keeps its offset in the spare packet.
  set_lvd_u32(image_, 252, 35);
  spare_copy(35, kSpare + 3);
  std::tie(label, written) = run_both();
  EXPECT_EQ(label, "Spared\n");
  EXPECT_EQ(written, with(kVolumeDescriptors, kSpare + 3));
}

TEST_F(Sparable, TheFirstTableThatVerifiesIsUsed) {
  spare_copy(32, kSpare);
  put_table(image_, kSecondTable, 4, 0, {32, kSpare});
  sector_at(image_, kFirstTable)[100] ^= 1;  // no longer matches its CRC
  auto [label, written] = run_both();
  EXPECT_EQ(label, "Spared\n");
  EXPECT_EQ(written, with(kVolumeDescriptors, kSpare));

  // With neither table verifying nothing is guessed: the File Set Descriptor is left alone.
  sector_at(image_, kSecondTable)[4] ^= 1;
  std::tie(label, written) = run_both();
  EXPECT_EQ(label, "\n");
  EXPECT_EQ(written, kVolumeDescriptors);
}

TEST_F(Sparable, ATableSpanningSectorsIsReadAsFarAsItsCrcReaches) {
  spare_copy(32, kSpare);
  put_table(image_, kFirstTable, 301, 300, {32, kSpare});  // the entry lies in the second sector
  auto [label, written] = run_both();
  EXPECT_EQ(label, "Sparable\n") << "longer than the map's table size: the second table serves";
  set_lvd_u32(image_, 440 + 44, 4096);
  std::tie(label, written) = run_both();
  EXPECT_EQ(label, "Spared\n");
  EXPECT_EQ(written, with(kVolumeDescriptors, kSpare));
}

TEST(SparingTables, AZeroPacketLengthMapsNothing) {
  ImageSession session;
  session_init(session);
  PartitionEntry row;
  row.kind = PartitionKind::kSparable;
  row.sparing.table_count = 1;
  EXPECT_FALSE(map_sparable_block(session, row, 0));
  session_close(session);
}

}  // namespace
}  // namespace tarnwick::testing
