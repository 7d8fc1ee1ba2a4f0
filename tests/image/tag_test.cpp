#include "image/tag.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarnwick {
namespace {

TEST(DescriptorCrc, MatchesKnownValues) {
  const std::uint8_t ecma[] = {0x70, 0x6A, 0x77};
  EXPECT_EQ(descriptor_crc(ecma, 3), 0x3299);
  const char* digits = "123456789";
  EXPECT_EQ(descriptor_crc(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x31C3);
  EXPECT_EQ(descriptor_crc(ecma, 0), 0);
  EXPECT_EQ(descriptor_crc(ecma, -5), 0);
}

TEST(TagSealing, RecomputesChecksumAndCrcAndKeepsTheRest) {
  std::uint8_t d[2048] = {};
  const std::uint8_t tag[16] = {0x01, 0x00, 0x03, 0x00, 0x99, 0x00, 0x05, 0x00,
                                0xFF, 0xFF, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00};
  std::memcpy(d, tag, 16);
  std::memcpy(d + 16, "\x70\x6A\x77", 3);
  seal_descriptor_tag(d, 3);
  const std::uint8_t sealed[16] = {0x01, 0x00, 0x03, 0x00, 0x37, 0x00, 0x05, 0x00,
                                   0x99, 0x32, 0x03, 0x00, 0x60, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(d, sealed, 16));
  EXPECT_TRUE(tag_verifies(d, 2048));
  seal_descriptor_tag(d, 3);
  EXPECT_EQ(0, std::memcmp(d, sealed, 16)) << "sealing twice gives the same tag";

  seal_descriptor_tag(d, 0);
  EXPECT_EQ(d[8], 0);
  EXPECT_EQ(d[9], 0);
  EXPECT_EQ(d[10], 0);
  EXPECT_TRUE(tag_verifies(d, 2048));
}

TEST(TagVerification, RejectsEachKindOfDamage) {
  std::uint8_t d[2048] = {};
  d[0] = 2;
  d[100] = 0x5A;
  seal_descriptor_tag(d, 496);
  ASSERT_TRUE(tag_verifies(d, 2048));

  std::uint8_t bad_checksum[2048];
  std::memcpy(bad_checksum, d, 2048);
  bad_checksum[4] ^= 1;
  EXPECT_FALSE(tag_verifies(bad_checksum, 2048));

  std::uint8_t bad_body[2048];
  std::memcpy(bad_body, d, 2048);
  bad_body[100] ^= 1;
  EXPECT_FALSE(tag_verifies(bad_body, 2048));

  // A CRC length that leaves the sector is refused before any byte past it is read.
  std::uint8_t long_crc[2048] = {};
  seal_descriptor_tag(long_crc, 2032);
  EXPECT_TRUE(tag_verifies(long_crc, 2048));
  long_crc[10] = 0xF1;  // 2033
  long_crc[11] = 0x07;
  long_crc[4] = tag_checksum(long_crc);
  EXPECT_FALSE(tag_verifies(long_crc, 2048));
}

}  // namespace
}  // namespace tarnwick
