#include "volume/mapping.h"

#include <gtest/gtest.h>

#include "image/bytes.h"

namespace tarnwick {
namespace {

std::array<std::uint8_t, 16> long_ad(std::uint32_t block, std::uint16_t reference) {
  std::array<std::uint8_t, 16> ad{};
  put_u32(ad.data(), 2048);
  put_u32(ad.data() + 4, block);
  put_u16(ad.data() + 8, reference);
  return ad;
}

struct Table {
  ImageSession session;
  Table() {
    session_init(session);
    session.partitions.reset(new PartitionEntry[3]());
    session.partition_count = 3;
    session.partitions[0].start = 257;
    PartitionEntry& meta = session.partitions[1];
    meta.kind = PartitionKind::kMetadata;
    meta.main_extents.reset(new MetadataExtent[3]{{1000, 1009}, {3000, 2999}, {5000, 5004}});
    meta.main_extent_count = 3;
    meta.mirror_extents.reset(new MetadataExtent[1]{{7000, 7001}});
    meta.mirror_extent_count = 1;
    session.partitions[2].kind = PartitionKind::kSparable;
  }
  ~Table() { session_close(session); }
  std::uint32_t map(std::uint32_t block, std::uint16_t ref, bool mirror = false) {
    const auto ad = long_ad(block, ref);
    return map_logical_block(session, ad.data(), mirror, 0xABCD);
  }
};

TEST(LogicalBlocks, MapThroughEachKindOfPartition) {
  Table t;
  EXPECT_EQ(t.map(0, 0), 257u);
  EXPECT_EQ(t.map(10, 0, true), 267u) << "the mirror plays no part on a physical partition";
  EXPECT_EQ(t.map(0xFFFFFFFF, 0), 256u) << "wraps, and the partition length is not consulted";
  EXPECT_EQ(t.map(0, 1), 1000u);
  EXPECT_EQ(t.map(9, 1), 1009u);
  EXPECT_EQ(t.map(10, 1), 5000u) << "an empty extent does not shift the numbering";
  EXPECT_EQ(t.map(14, 1), 5004u);
  EXPECT_EQ(t.map(15, 1), 0xABCDu);
  EXPECT_EQ(t.map(1, 1, true), 7001u);
  EXPECT_EQ(t.map(2, 1, true), 0xABCDu);
  EXPECT_EQ(t.map(0, 2), 0xABCDu) << "sparable partitions are not mapped here";
  EXPECT_EQ(t.map(0, 3), 0xABCDu) << "a reference past the table";
  t.session.partitions[1].mirror_extents.reset();
  t.session.partitions[1].mirror_extent_count = 0;
  EXPECT_EQ(t.map(0, 1, true), 0xABCDu);
}

}  // namespace
}  // namespace tarnwick
