#include "image/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "support/faulty_file.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

// An image of `sectors` sectors whose sector n starts with the bytes of n.
std::string numbered_image(const TempDir& dir, std::uint32_t sectors) {
  Image image(std::size_t{sectors} * 2048, 0);
  for (std::uint32_t n = 0; n < sectors; ++n) set_u32(image, std::size_t{n} * 2048, n + 0x01020300);
  const std::string path = dir.path("numbered.img");
  write_file(path, image);
  return path;
}

struct OpenSession {
  ImageSession session;
  explicit OpenSession(const std::string& path, bool writing = false) {
    EXPECT_TRUE(session_init(session));
    if (writing) session.new_label_long.back() = 0;
    EXPECT_TRUE(open_image(session, path.c_str()));
  }
  ~OpenSession() { session_close(session); }
};

TEST(SectorReads, CountOnlyWholeSectorsAndStopAtTheEnd) {
  TempDir dir;
  const std::string path = numbered_image(dir, 5);
  write_file(path, [&] {
    Image i = read_file(path);
    i.resize(i.size() + 100);
    return i;
  }());
  OpenSession s(path);
  EXPECT_EQ(s.session.image_sectors, 5u);
  std::vector<std::uint8_t> dest(16 * 2048);
  EXPECT_EQ(read_sectors(s.session, 3, 16, dest.data()), 2u);
  EXPECT_EQ(dest[0], 0x03);
  EXPECT_EQ(dest[2048], 0x04);
  EXPECT_EQ(read_sectors(s.session, 5, 1, dest.data()), 0u);
  EXPECT_EQ(read_sectors(s.session, 0xFFFFFFFF, 1, dest.data()), 0u);
}

TEST(SectorReads, SectorsBeyondTwoAndFourGibibytesArePositionedExactly) {
  TempDir dir;
  const std::string path = dir.path("sparse.img");
  // 4.5 GiB sparse file with marks at sectors 1,048,576 (2 GiB) and 2,300,000 (past 4 GiB).
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::uint8_t mark_a[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  const std::uint8_t mark_b[4] = {0xB1, 0xB2, 0xB3, 0xB4};
  fseeko(f, off_t{1048576} * 2048, SEEK_SET);
  std::fwrite(mark_a, 1, 4, f);
  fseeko(f, off_t{2300000} * 2048, SEEK_SET);
  std::fwrite(mark_b, 1, 4, f);
  ASSERT_EQ(ftruncate(fileno(f), off_t{2359296} * 2048), 0);
  std::fclose(f);

  OpenSession s(path);
  EXPECT_EQ(s.session.image_sectors, 2359296u);
  std::uint8_t dest[2048];
  ASSERT_EQ(read_sectors(s.session, 1048576, 1, dest), 1u);
  EXPECT_EQ(0, std::memcmp(dest, mark_a, 4));
  ASSERT_EQ(read_sectors(s.session, 2300000, 1, dest), 1u);
  EXPECT_EQ(0, std::memcmp(dest, mark_b, 4));
}

TEST(SectorReads, AFailedPositioningReadsNothing) {
  TempDir dir;
  const std::string path = numbered_image(dir, 4);
  FaultPlan plan;
  ImageSession session;
  ASSERT_TRUE(session_init(session));
  session.image = open_faulty(path, plan);
  std::uint8_t dest[2048] = {};
  ASSERT_EQ(read_sectors(session, 2, 1, dest), 1u);  // stream now stands at sector 3
  plan.fail_seek_number = plan.seeks;
  std::uint32_t got = 9;
  const std::string out = capture_stdout([&] { got = read_sectors(session, 1, 1, dest); });
  EXPECT_EQ(out, "fseek to sector 1 failed!\n");
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(dest[0], 0x02) << "the sector after the last one read must not be handed over";
  session_close(session);
}

TEST(SectorWrites, FailuresAreReportedCountedAndNeverMisplaced) {
  TempDir dir;
  const std::string path = numbered_image(dir, 4);
  const Image before = read_file(path);
  std::uint8_t data[2048];
  std::memset(data, 0xEE, sizeof data);
  {
    FaultPlan plan;
    plan.fail_seek_number = 0;
    ImageSession session;
    ASSERT_TRUE(session_init(session));
    session.image = open_faulty(path, plan);
    const std::string out = capture_stdout([&] { EXPECT_FALSE(write_sector(session, 2, data)); });
    EXPECT_EQ(out, "fseek to sector 2 failed!\n");
    EXPECT_TRUE(session.write_failed);
    EXPECT_EQ(plan.writes, 0) << "nothing may be written at the stream's old position";
    session_close(session);
  }
  {
    FaultPlan plan;
    plan.write_limit = 2 * 2048 + 100;
    ImageSession session;
    ASSERT_TRUE(session_init(session));
    session.image = open_faulty(path, plan);
    const std::string out = capture_stdout([&] { EXPECT_FALSE(write_sector(session, 2, data)); });
    EXPECT_EQ(out, "fwrite to sector 2 failed, result=100!\n");
    EXPECT_TRUE(session.write_failed);
    session_close(session);
  }
  EXPECT_EQ(differing_bytes(before, read_file(path)).size(), 100u);
}

TEST(Session, ClosesInAnyStateAndOpensInTheRunsMode) {
  ImageSession never_opened;
  ASSERT_TRUE(session_init(never_opened));
  EXPECT_TRUE(is_read_only(never_opened));
  EXPECT_EQ(never_opened.buffer->capacity, 32768);
  session_close(never_opened);
  session_close(never_opened);

  TempDir dir;
  ImageSession writing;
  ASSERT_TRUE(session_init(writing));
  writing.new_label_long.back() = 0;
  EXPECT_FALSE(open_image(writing, dir.path("missing.img").c_str())) << "never created";
  EXPECT_NE(access(dir.path("missing.img").c_str(), F_OK), 0);
  session_close(writing);
}

TEST(Session, BufferGrowsKeepingItsContents) {
  SectorBuffer buffer;
  std::uint8_t* bytes = ensure_buffer(buffer, 16);
  ASSERT_NE(bytes, nullptr);
  bytes[15] = 7;
  EXPECT_EQ(ensure_buffer(buffer, 8), bytes);
  std::uint8_t* grown = ensure_buffer(buffer, 4096);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(buffer.capacity, 4096);
  EXPECT_EQ(grown[15], 7);
  EXPECT_EQ(grown[4095], 0);
}

}  // namespace
}  // namespace tarnwick::testing
