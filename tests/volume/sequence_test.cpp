#include "volume/sequence.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "image/bytes.h"
#include "support/run.h"
#include "support/session_fixture.h"

namespace tarnwick::testing {
namespace {

constexpr std::uint32_t kMainLvd = kMainSequence + 3;
const ExtentAd kMain{16 * 2048, kMainSequence};
const ExtentAd kReserve{16 * 2048, kReserveSequence};

std::set<std::uint32_t> changed_sectors(const Image& a, const Image& b) {
  std::set<std::uint32_t> sectors;
  for (std::size_t pos : differing_bytes(a, b))
    sectors.insert(static_cast<std::uint32_t>(pos / 2048));
  return sectors;
}

// Replaces the maps of the Logical Volume Descriptor at `sector` with `maps`.
void set_maps(Image& image, std::uint32_t sector, std::uint32_t count,
              const std::vector<std::uint8_t>& maps) {
  std::uint8_t* lvd = sector_at(image, sector);
  std::memset(lvd + 440, 0, 2048 - 440);
  std::memcpy(lvd + 440, maps.data(), std::min<std::size_t>(maps.size(), 2048 - 440));
  put_u32(lvd + 264, static_cast<std::uint32_t>(maps.size()));
  put_u32(lvd + 268, count);
  put_u16(lvd + 10, static_cast<std::uint16_t>(std::min<std::size_t>(424 + maps.size(), 2032)));
  reseal(image, sector);
}

std::vector<std::uint8_t> type2_map(const char* identifier, std::uint16_t number) {
  std::vector<std::uint8_t> map(64, 0);
  map[0] = 2;
  map[1] = 64;
  std::memcpy(map.data() + 5, identifier, std::strlen(identifier));
  put_u16(map.data() + 38, number);
  return map;
}

std::vector<std::uint8_t> type1_map(std::uint16_t number) {
  std::vector<std::uint8_t> map = {1, 6, 1, 0, 0, 0};
  put_u16(map.data() + 4, number);
  return map;
}

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                    const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SequenceScan, VisitsEveryLabelDescriptorOfBothSequencesAndBuildsTheTable) {
  const Image image = build_image();
  SessionOnImage s(image, "New");
  EXPECT_TRUE(scan_descriptor_sequence(s.session, kMain, true));
  EXPECT_TRUE(scan_descriptor_sequence(s.session, kReserve, false));
  EXPECT_EQ(changed_sectors(image, s.contents()),
            (std::set<std::uint32_t>{32, 33, 35, 48, 49, 51}));
  ASSERT_EQ(s.session.partition_count, 1u);
  const PartitionEntry& row = s.session.partitions[0];
  EXPECT_EQ(row.kind, PartitionKind::kPhysical);
  EXPECT_EQ(row.start, 257u);
  EXPECT_EQ(row.length, 42u);
  EXPECT_EQ(get_u32(s.session.fsd_location.data()), 2048u);
}

TEST(SequenceScan, EndsAtTheFirstDescriptorThatIsNotPartOfASequence) {
  for (std::uint16_t ending : {0, 2, 3, 8, 9, 300}) {
    SCOPED_TRACE(ending);
    Image image = build_image();
    put_descriptor(image, kMainSequence + 1, ending);  // before the LVD
    SessionOnImage s(image, "New");
    EXPECT_TRUE(scan_descriptor_sequence(s.session, kMain, true));
    EXPECT_EQ(changed_sectors(image, s.contents()), (std::set<std::uint32_t>{32}));
    EXPECT_EQ(s.session.partition_count, 0u);
  }
}

TEST(SequenceScan, ReadsLongSequencesInChunksAndStopsAtTheImagesEnd) {
  Image image = build_image();
  // A 32-sector extent from sector 100: 17 Unallocated Space Descriptors, then a PVD.
  for (std::uint32_t s = 100; s < 117; ++s) put_descriptor(image, s, 7, 8);
  put_descriptor(image, 117, 1);
  {
    SessionOnImage s(image, "New");
    EXPECT_TRUE(scan_descriptor_sequence(s.session, {32 * 2048, 100}, false));
    EXPECT_EQ(changed_sectors(image, s.contents()), (std::set<std::uint32_t>{117}));
  }
  // An extent running past the end of the image: a full chunk of PVDs is read first, then a
  // chunk of which only two sectors exist; what the buffer held beyond them is not examined.
  Image cut = build_image();
  for (std::uint32_t s = 100; s < 116; ++s) put_descriptor(cut, s, 1);
  put_descriptor(cut, 298, 7, 8);
  put_descriptor(cut, 299, 7, 8);
  SessionOnImage s(cut, "New");
  EXPECT_TRUE(scan_descriptor_sequence(s.session, {16 * 2048, 100}, false));
  EXPECT_TRUE(scan_descriptor_sequence(s.session, {16 * 2048, 298}, false));
  EXPECT_EQ(s.contents().size(), cut.size());
  EXPECT_FALSE(scan_descriptor_sequence(s.session, {16 * 2048, 300}, false));
  EXPECT_TRUE(scan_descriptor_sequence(s.session, {2047, 0xFFFFFFF0}, true)) << "no whole sector";
}

TEST(SequenceScan, MatchesOnlyTheFirstSixPartitionDescriptorsAndTheLastOfEachNumber) {
  Image image = build_image();
  // Sequence at 100: seven Partition Descriptors numbered 0-5 and 0 again, then the LVD.
  for (std::uint32_t i = 0; i < 7; ++i) {
    put_descriptor(image, 100 + i, 5);
    std::uint8_t* pd = sector_at(image, 100 + i);
    put_u16(pd + 22, static_cast<std::uint16_t>(i == 6 ? 0 : i));
    put_u32(pd + 188, 1000 + i);
    put_u32(pd + 192, 10 + i);
    reseal(image, 100 + i);
  }
  std::memcpy(sector_at(image, 107), sector_at(image, kMainLvd), 2048);
  set_maps(image, 107, 3, type1_map(5) + type1_map(1) + type1_map(6));
  put_descriptor(image, 108, 8);
  SessionOnImage s(image);
  EXPECT_TRUE(scan_descriptor_sequence(s.session, {16 * 2048, 100}, true));
  ASSERT_EQ(s.session.partition_count, 3u);
  EXPECT_EQ(s.session.partitions[0].start, 1005u);
  EXPECT_EQ(s.session.partitions[1].start, 1001u);
  EXPECT_EQ(s.session.partitions[2].start, 0u) << "the seventh descriptor takes no part";

  Image twice = build_image();
  put_descriptor(twice, kMainSequence + 5, 5);  // a second number-0 descriptor after the LVD
  put_u32(sector_at(twice, kMainSequence + 5) + 188, 4000);
  reseal(twice, kMainSequence + 5);
  put_descriptor(twice, kMainSequence + 6, 8);
  SessionOnImage t(twice);
  EXPECT_TRUE(scan_descriptor_sequence(t.session, kMain, true));
  EXPECT_EQ(t.session.partitions[0].start, 4000u);
}

TEST(PartitionMaps, ReadsEachKindAndMapsPastTheDescriptorBecomeOther) {
  std::vector<std::uint8_t> metadata = type2_map("*UDF Metadata Partition", 7);
  put_u32(metadata.data() + 40, 0x01020304);
  put_u32(metadata.data() + 44, 0x05060708);
  metadata[58] = 1;
  std::vector<std::uint8_t> virtual_tail = type2_map("*UDF Virtual Partition", 9);
  virtual_tail[27] = 'x';  // "*UDF Virtual Partition" followed by a non-zero byte
  Image image = build_image();
  set_maps(image, kMainLvd, 6,
           type1_map(3) + metadata + type2_map("*UDF Virtual Partition", 4) +
               type2_map("*UDF Sparable Partition", 5) + virtual_tail +
               std::vector<std::uint8_t>{9, 0});
  SessionOnImage s(image);
  EXPECT_FALSE(scan_descriptor_sequence(s.session, kMain, true))
      << "the metadata file's entry lies beyond the image";
  ASSERT_EQ(s.session.partition_count, 6u);
  const PartitionEntry* rows = s.session.partitions.get();
  EXPECT_EQ(rows[0].kind, PartitionKind::kPhysical);
  EXPECT_EQ(rows[0].number, 3);
  EXPECT_EQ(rows[1].kind, PartitionKind::kMetadata);
  EXPECT_EQ(rows[1].number, 7);
  EXPECT_EQ(rows[1].metadata_file, 0x01020304u);
  EXPECT_EQ(rows[1].mirror_file, 0x05060708u);
  EXPECT_NE(s.session.recognition & kDuplicateMetadata, 0);
  EXPECT_EQ(rows[2].kind, PartitionKind::kVirtual);
  EXPECT_EQ(rows[3].kind, PartitionKind::kSparable);
  EXPECT_EQ(rows[4].kind, PartitionKind::kOther);
  EXPECT_EQ(rows[4].number, 0);
  EXPECT_EQ(rows[5].kind, PartitionKind::kOther);

  // A map that does not fit in the sector ends the walk: it and all later rows are "other".
  std::uint8_t lvd[2048] = {};
  PartitionEntry row;
  row.kind = PartitionKind::kPhysical;
  lvd[2000] = 2;
  lvd[2001] = 64;
  EXPECT_FALSE(read_partition_map(lvd, 2000, row));
  lvd[2046] = 1;
  lvd[2047] = 0;
  EXPECT_FALSE(read_partition_map(lvd, 2046, row));
  EXPECT_FALSE(read_partition_map(lvd, 2047, row));
  EXPECT_EQ(row.kind, PartitionKind::kPhysical) << "a rejected map leaves the row alone";

  Image runs_over = build_image();
  std::vector<std::uint8_t> filler;
  for (int i = 0; i < 25; ++i) filler = filler + type2_map("*UDF Sparable Partition", 1);
  set_maps(runs_over, kMainLvd, 30, type1_map(0) + filler);
  SessionOnImage t(runs_over);
  EXPECT_TRUE(scan_descriptor_sequence(t.session, kMain, true));
  ASSERT_EQ(t.session.partition_count, 30u);
  EXPECT_EQ(t.session.partitions[25].kind, PartitionKind::kSparable);
  for (std::uint32_t k = 26; k < 30; ++k)
    EXPECT_EQ(t.session.partitions[k].kind, PartitionKind::kOther);
}

TEST(PartitionMaps, ALaterMetadataMapDecidesTheDuplicateFlag) {
  std::vector<std::uint8_t> set = type2_map("*UDF Metadata Partition", 0);
  set[58] = 1;
  const std::vector<std::uint8_t> clear = type2_map("*UDF Metadata Partition", 0);
  Image image = build_image();
  set_maps(image, kMainLvd, 2, set + clear);
  SessionOnImage s(image, nullptr, kNsr03Seen | kDuplicateMetadata);
  scan_descriptor_sequence(s.session, kMain, true);
  EXPECT_EQ(s.session.recognition & kDuplicateMetadata, 0);
}

TEST(PartitionMaps, ImpossibleMapCountsKeepNoTable) {
  Image image = build_image();
  set_maps(image, kMainLvd, 269, type1_map(0));
  SessionOnImage s(image, "New");
  EXPECT_FALSE(scan_descriptor_sequence(s.session, kMain, true));
  EXPECT_EQ(s.session.partition_count, 0u);
  EXPECT_EQ(s.session.partitions, nullptr);

  Image most = build_image();
  set_maps(most, kMainLvd, 268, type1_map(0));
  SessionOnImage t(most);
  EXPECT_TRUE(scan_descriptor_sequence(t.session, kMain, true));
  EXPECT_EQ(t.session.partition_count, 268u);
}

TEST(PartitionMaps, Udf150VolumesWithTwoMapsAreScannedToTheEnd) {
  // UDF 1.50 layout: the Implementation Use Volume Descriptor follows the LVD.
  Image image = build_image();
  std::vector<std::uint8_t> lvd(sector_at(image, kMainLvd), sector_at(image, kMainLvd) + 2048);
  std::memcpy(sector_at(image, kMainSequence + 3), sector_at(image, kMainSequence + 1), 2048);
  std::memcpy(sector_at(image, kMainSequence + 1), lvd.data(), 2048);
  set_maps(image, kMainSequence + 1, 2, type1_map(0) + type1_map(1));
  {
    SessionOnImage s(image, "New", kNsr02Seen);
    EXPECT_TRUE(scan_descriptor_sequence(s.session, kMain, true));
    EXPECT_EQ(s.session.partition_count, 0u);
    EXPECT_EQ(changed_sectors(image, s.contents()), (std::set<std::uint32_t>{32, 33, 35}));
  }
  {
    SessionOnImage s(image, nullptr, kNsr03Seen);
    EXPECT_TRUE(scan_descriptor_sequence(s.session, kMain, true));
    EXPECT_EQ(s.session.partition_count, 2u);
  }
  // A virtual map makes it the write-once layout, whose maps are read.
  set_maps(image, kMainSequence + 1, 2, type1_map(0) + type2_map("*UDF Virtual Partition", 0));
  SessionOnImage v(image, nullptr, kNsr02Seen);
  EXPECT_TRUE(scan_descriptor_sequence(v.session, kMain, true));
  ASSERT_EQ(v.session.partition_count, 2u);
  EXPECT_EQ(v.session.partitions[1].kind, PartitionKind::kVirtual);
}

TEST(SequenceScan, TheFirstLogicalVolumeWithAFileSetLocationFixesIt) {
  Image image = build_image();
  put_u32(sector_at(image, kMainLvd) + 248, 0);
  reseal(image, kMainLvd);
  put_u32(sector_at(image, kReserveSequence + 3) + 252, 77);
  reseal(image, kReserveSequence + 3);
  SessionOnImage s(image);
  scan_descriptor_sequence(s.session, kMain, true);
  EXPECT_EQ(get_u32(s.session.fsd_location.data()), 0u);
  scan_descriptor_sequence(s.session, kReserve, false);
  EXPECT_EQ(get_u32(s.session.fsd_location.data() + 4), 77u);
  EXPECT_EQ(s.session.partition_count, 1u) << "the reserve scan leaves the table alone";
}

}  // namespace
}  // namespace tarnwick::testing
