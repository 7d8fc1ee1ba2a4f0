#include "update/visitor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

#include "support/image_builder.h"
#include "support/run.h"
#include "text/dstring.h"

namespace tarnwick::testing {
namespace {

using Range = std::pair<std::size_t, std::size_t>;  // [first, last)

// An image made by mkudffs (hd, UDF 2.01): PVD at 96, LVD at 97, IUVD at 100, FSD at 258.
class RealDescriptors : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    path_ = dir_.path("hd.img");
    ASSERT_TRUE(mkudffs(path_, 2048, {"--media-type=hd", "--udfrev=2.01", "--label=Old"}));
    original_ = read_file(path_);
  }

  // Visits sector `sector` of the image in write mode with `label`; returns what was printed.
  std::string visit(std::uint32_t sector, const char* label, std::vector<std::uint8_t>& bytes) {
    ImageSession session;
    session_init(session);
    if (label != nullptr) set_new_label(session, label);
    EXPECT_TRUE(open_image(session, path_.c_str()));
    bytes.assign(original_.begin() + std::ptrdiff_t{sector} * 2048,
                 original_.begin() + std::ptrdiff_t{sector + 1} * 2048);
    std::string out = capture_stdout([&] { visit_descriptor(session, bytes.data(), sector); });
    captured_ = reinterpret_cast<const char*>(session.current_label.data());
    skipped_ = session.descriptor_skipped;
    session_close(session);
    return out;
  }

  TempDir dir_;
  std::string path_;
  Image original_;
  std::string captured_;
  bool skipped_ = false;
};

TEST_F(RealDescriptors, WriteModeChangesOnlyTheLabelFieldsAndTagAndWritesInPlace) {
  struct Case {
    const char* what;
    std::uint32_t sector;
    std::vector<Range> allowed;
  };
  const Case kCases[] = {
      {"primary", 96, {{24, 56}, {200, 264}}},
      {"logical volume", 97, {{20, 212}}},
      {"implementation use", 100, {{52, 244}}},
      {"file set", 258, {{48, 240 + 64}, {304, 336}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(visit(c.sector, "New", bytes), "");
    const Image after = read_file(path_);
    for (std::size_t pos : differing_bytes(original_, after)) {
      ASSERT_EQ(pos / 2048, c.sector) << "byte " << pos << " lies outside the visited sector";
      const std::size_t at = pos % 2048;
      bool ok = at == 4 || at == 8 || at == 9;
      for (const Range& r : c.allowed) ok = ok || (at >= r.first && at < r.second);
      EXPECT_TRUE(ok) << "byte " << at << " changed";
    }
    EXPECT_EQ(0, std::memcmp(after.data() + std::size_t{c.sector} * 2048, bytes.data(), 2048));
    EXPECT_TRUE(tag_is_sound(bytes.data()));
    write_file(path_, original_);
  }
  std::vector<std::uint8_t> fsd;
  visit(258, "New", fsd);
  EXPECT_EQ(captured_, "Old") << "the label is captured before the rewrite";
  const std::uint8_t cs0[24] = {0,   'O', 'S', 'T', 'A', ' ', 'C', 'o', 'm', 'p', 'r', 'e',
                                's', 's', 'e', 'd', ' ', 'U', 'n', 'i', 'c', 'o', 'd', 'e'};
  for (std::size_t pos : {48u, 240u}) {
    EXPECT_EQ(0, std::memcmp(fsd.data() + pos, cs0, 24));
    for (std::size_t i = 24; i < 64; ++i) EXPECT_EQ(fsd[pos + i], 0);
  }
  EXPECT_EQ(std::vector<std::uint8_t>(fsd.begin() + 112, fsd.begin() + 240), dstring8("New", 128));
  EXPECT_EQ(std::vector<std::uint8_t>(fsd.begin() + 304, fsd.begin() + 336), dstring8("New", 32));
}

TEST_F(RealDescriptors, ReadOnlyModeCapturesTheLabelAndWritesNothing) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t sector : {96u, 97u, 100u, 258u}) {
    EXPECT_EQ(visit(sector, nullptr, bytes), "");
  }
  EXPECT_EQ(captured_, "Old");
  EXPECT_EQ(read_file(path_), original_);
}

TEST_F(RealDescriptors, DescriptorsThatDoNotVerifyAreLeftAloneAndReported) {
  struct Case {
    const char* what;
    std::size_t pos;
    std::uint8_t value;
  };
  const Case kCases[] = {
      {"bad checksum", 4, 0x00},
      {"CRC length past the sector", 11, 0x08},
      {"contents that do not match the CRC", 100, 0x5A},
  };
  const Image pristine = original_;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Image damaged = pristine;
    damaged[96 * 2048 + c.pos] = c.value;
    if (c.pos != 4) fix_checksum(damaged, 96);
    write_file(path_, damaged);
    original_ = damaged;
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(visit(96, "New", bytes), "Descriptor at sector 96 not changed: invalid tag\n");
    EXPECT_TRUE(skipped_);
    EXPECT_EQ(read_file(path_), damaged);
  }
}

TEST(Visitor, LeavesOtherImplementationsAndOtherDescriptorsUntouched) {
  TempDir dir;
  const std::string path = dir.path("b.img");
  Image image = build_image();
  // The main sequence's Implementation Use Volume Descriptor of another implementation.
  std::memcpy(sector_at(image, kMainSequence + 1) + 21, "*Other Impl Use    ", 19);
  reseal(image, kMainSequence + 1);
  write_file(path, image);
  ImageSession session;
  session_init(session);
  set_new_label(session, "New");
  ASSERT_TRUE(open_image(session, path.c_str()));
  for (std::uint32_t sector : {kMainSequence + 1, kMainSequence + 2, kMainSequence + 4}) {
    std::vector<std::uint8_t> bytes(sector_at(image, sector), sector_at(image, sector) + 2048);
    EXPECT_EQ(capture_stdout([&] { visit_descriptor(session, bytes.data(), sector); }), "");
  }
  EXPECT_FALSE(session.descriptor_skipped);
  session_close(session);
  EXPECT_EQ(read_file(path), image);
}

TEST(Visitor, KeepsTheFirstNonEmptyLabelAndAnEmptyLabelClearsTheFields) {
  Image image = build_image();
  std::uint8_t* fsd = sector_at(image, kPartitionStart);
  ImageSession session;
  session_init(session);
  std::vector<std::uint8_t> empty(fsd, fsd + 2048);
  std::memset(empty.data() + 112, 0, 128);
  visit_descriptor(session, empty.data(), 0);
  EXPECT_EQ(session.current_label[0], 0);
  std::vector<std::uint8_t> first(fsd, fsd + 2048);
  visit_descriptor(session, first.data(), 0);
  std::vector<std::uint8_t> other(fsd, fsd + 2048);
  std::memcpy(other.data() + 112, dstring8("Other", 128).data(), 128);
  visit_descriptor(session, other.data(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(session.current_label.data()), "Sample");
  session_close(session);

  TempDir dir;
  write_file(dir.path("b.img"), image);
  ImageSession writing;
  session_init(writing);
  set_new_label(writing, "");
  ASSERT_TRUE(open_image(writing, dir.path("b.img").c_str()));
  std::vector<std::uint8_t> bytes(fsd, fsd + 2048);
  visit_descriptor(writing, bytes.data(), kPartitionStart);
  session_close(writing);
  for (std::size_t i = 112; i < 240; ++i) EXPECT_EQ(bytes[i], 0);
  for (std::size_t i = 304; i < 336; ++i) EXPECT_EQ(bytes[i], 0);
  EXPECT_EQ(bytes[241], 'O');
  EXPECT_TRUE(tag_is_sound(bytes.data()));
}

}  // namespace
}  // namespace tarnwick::testing
