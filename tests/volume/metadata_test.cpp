#include "volume/metadata.h"

#include <gtest/gtest.h>

#include "image/bytes.h"
#include "support/session_fixture.h"
#include "volume/sequence.h"

namespace tarnwick::testing {
namespace {

struct Entry {
  std::uint8_t bytes[2048] = {};
  // An entry with tag `tag` (261 or 266), descriptor type `ad_type` and L_EA, L_AD.
  Entry(std::uint16_t tag, std::uint8_t ad_type, std::uint32_t l_ea, std::uint32_t l_ad) {
    put_u16(bytes, tag);
    put_u16(bytes + 34, ad_type);
    const std::size_t lengths = tag == 261 ? 168 : 208;
    put_u32(bytes + lengths, l_ea);
    put_u32(bytes + lengths + 4, l_ad);
  }
};

TEST(AllocationDescriptors, AreFoundAndCountedInsideTheSectorOnly) {
  struct Case {
    const char* what;
    std::uint16_t tag;
    std::uint8_t ad_type;
    std::uint32_t l_ea, l_ad;
    std::size_t pos;
    std::uint32_t count;
  };
  const Case kCases[] = {
      {"short_ads", 261, 0, 0, 16, 176, 2},
      {"leftover bytes ignored", 261, 0, 0, 20, 176, 2},
      {"long_ads after attributes", 266, 1, 32, 48, 248, 3},
      {"ext_ads", 266, 2, 0, 40, 216, 2},
      {"embedded data counts bytes", 261, 3, 0, 40, 176, 40},
      {"L_AD past the sector", 261, 0, 0, 0xFFFFFFF8, 176, (2048 - 176) / 8},
      {"last descriptor cut by the sector end", 261, 1, 1860, 16, 2036, 0},
      {"L_EA past the sector", 266, 0, 0xFFFFFFF0, 16, 2048, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Entry e(c.tag, c.ad_type, c.l_ea, c.l_ad);
    std::uint8_t ad_type = 9;
    std::uint32_t count = 12345;
    EXPECT_EQ(locate_allocation_descriptors(e.bytes, ad_type, &count), c.pos);
    EXPECT_EQ(ad_type, c.ad_type);
    EXPECT_EQ(count, c.count);
  }
  Entry types_4_to_7(261, 5, 0, 16);
  std::uint32_t untouched = 77;
  std::uint8_t ad_type = 0;
  EXPECT_EQ(locate_allocation_descriptors(types_4_to_7.bytes, ad_type, &untouched), 176u);
  EXPECT_EQ(untouched, 77u);
  Entry not_an_entry(256, 0, 0, 16);
  EXPECT_FALSE(locate_allocation_descriptors(not_an_entry.bytes, ad_type, &untouched));
}

TEST(AllocationDescriptors, DecodeEachFormFromDistinctBytes) {
  std::uint8_t sector[2048];
  for (std::size_t i = 0; i < 2048; ++i) sector[i] = static_cast<std::uint8_t>(i + 1);
  DecodedAd d;
  EXPECT_EQ(next_allocation_descriptor(sector, 0, kAdShort, d), 8u);
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.extent_length, 0x04030201u);
  EXPECT_EQ(d.extent_position, 0x08070605u);
  EXPECT_EQ(d.partition_ref, 0);
  d = {};
  EXPECT_EQ(next_allocation_descriptor(sector, 0, kAdLong, d), 16u);
  EXPECT_EQ(d.extent_position, 0x08070605u);
  EXPECT_EQ(d.partition_ref, 0x0A09);
  d = {};
  EXPECT_EQ(next_allocation_descriptor(sector, 0, kAdExtended, d), 20u);
  EXPECT_EQ(d.extent_length, 0x04030201u);
  EXPECT_EQ(d.extent_position, 0x100F0E0Du);
  EXPECT_EQ(d.partition_ref, 0x1211);
  d = {};
  EXPECT_EQ(next_allocation_descriptor(sector, 40, kAdEmbedded, d), 40u);
  EXPECT_EQ(d.status, 3);
  EXPECT_FALSE(next_allocation_descriptor(sector, 0, 4, d));
  EXPECT_FALSE(next_allocation_descriptor(sector, 2040, kAdLong, d)) << "would leave the sector";
}

// A metadata row of a builder image whose metadata file entry's descriptors are `ads`.
struct MetadataRow {
  Image image = build_image({.metadata = true});
  PartitionEntry row;
  std::uint8_t work[2048] = {};

  MetadataRow() {
    row.kind = PartitionKind::kMetadata;
    row.start = kPartitionStart;
    row.mirror_file = 1;
  }

  void set_main_ads(std::uint8_t ad_type, const std::vector<std::uint32_t>& words,
                    std::size_t ad_size) {
    std::uint8_t* efe = sector_at(image, kPartitionStart);
    put_u16(efe + 34, ad_type);
    put_u32(efe + 212, static_cast<std::uint32_t>(words.size() / (ad_size / 4) * ad_size));
    for (std::size_t i = 0; i < words.size(); ++i) put_u32(efe + 216 + 4 * i, words[i]);
    reseal(image, kPartitionStart);
  }

  bool load() {
    SessionOnImage s(image);
    return load_metadata_extents(s.session, row, work);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> main() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    for (std::int32_t i = 0; i < row.main_extent_count; ++i) {
      list.emplace_back(row.main_extents[i].first, row.main_extents[i].last);
    }
    return list;
  }
};

using Extents = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

TEST(MetadataExtents, AreLoadedInAbsoluteSectorsForBothFiles) {
  MetadataRow m;
  ASSERT_TRUE(m.load());
  EXPECT_EQ(m.main(), (Extents{{259, 262}}));
  ASSERT_EQ(m.row.mirror_extent_count, 1);
  EXPECT_EQ(m.row.mirror_extents[0].first, 263u);
  EXPECT_EQ(m.row.mirror_extents[0].last, 266u);

  MetadataRow lengths;
  lengths.set_main_ads(kAdShort, {2048, 10, 2049, 20, 1, 30, 0, 40}, 8);
  ASSERT_TRUE(lengths.load());
  EXPECT_EQ(lengths.main(), (Extents{{267, 267}, {277, 278}, {287, 287}, {297, 296}}));

  MetadataRow long_ads;
  long_ads.set_main_ads(kAdLong, {4096, 3, 5, 0}, 16);  // partition reference 5
  ASSERT_TRUE(long_ads.load());
  EXPECT_EQ(long_ads.main(), (Extents{{260, 261}}));
}

TEST(MetadataExtents, OnlyRecordedExtentsAreMapped) {
  MetadataRow m;
  m.set_main_ads(kAdShort, {4096, 2, 0x40000000u | 2048, 8, 2048, 9}, 8);
  ASSERT_TRUE(m.load());
  EXPECT_EQ(m.main(), (Extents{{259, 260}})) << "the list ends at the unrecorded extent";

  MetadataRow continuation;
  continuation.set_main_ads(kAdShort, {0xC0000000u | 2048, 2}, 8);
  ASSERT_TRUE(continuation.load());
  EXPECT_TRUE(continuation.main().empty());

  MetadataRow embedded;
  embedded.set_main_ads(kAdEmbedded, {4096, 2}, 8);
  ASSERT_TRUE(embedded.load());
  EXPECT_TRUE(embedded.main().empty());
}

TEST(MetadataExtents, MissingEntriesAndMirrors) {
  MetadataRow no_mirror;
  no_mirror.row.mirror_file = 0;
  ASSERT_TRUE(no_mirror.load());
  EXPECT_EQ(no_mirror.row.mirror_extent_count, 0);

  MetadataRow mirror_beyond_end;
  mirror_beyond_end.row.mirror_file = 5000;
  ASSERT_TRUE(mirror_beyond_end.load());
  EXPECT_EQ(mirror_beyond_end.row.main_extent_count, 1);
  EXPECT_EQ(mirror_beyond_end.row.mirror_extent_count, 0);

  MetadataRow not_an_entry;
  put_u16(sector_at(not_an_entry.image, kPartitionStart), 0);
  ASSERT_TRUE(not_an_entry.load());
  EXPECT_EQ(not_an_entry.row.main_extent_count, 0);
  EXPECT_EQ(not_an_entry.row.mirror_extent_count, 1) << "the mirror is still loaded";

  MetadataRow unreadable;
  unreadable.row.metadata_file = 100000;
  EXPECT_FALSE(unreadable.load());
  EXPECT_EQ(unreadable.row.mirror_extent_count, 0);
}

}  // namespace
}  // namespace tarnwick::testing
