#include "volume/pass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "image/bytes.h"
#include "support/faulty_file.h"
#include "support/run.h"
#include "support/session_fixture.h"
#include "text/dstring.h"

namespace tarnwick::testing {
namespace {

struct PassResult {
  bool ok = false;
  std::string out;
  std::string label;
  RecognitionFlags recognition = 0;
};

PassResult run_pass(const std::string& path, const char* label = nullptr) {
  ImageSession session;
  session_init(session);
  if (label != nullptr) set_new_label(session, label);
  PassResult r;
  r.out = capture_stdout([&] { r.ok = process_volume(session, path.c_str()); });
  r.label = reinterpret_cast<const char*>(session.current_label.data());
  r.recognition = session.recognition;
  session_close(session);
  return r;
}

void put_vsd(Image& image, std::uint32_t sector, std::uint8_t type, const char* id,
             std::uint8_t version = 1) {
  std::uint8_t* s = sector_at(image, sector);
  std::memset(s, 0, 2048);
  s[0] = type;
  std::memcpy(s + 1, id, 5);
  s[6] = version;
}

TEST(Recognition, FindsNsrDescriptorsUpToTheFirstBlankSector) {
  struct Case {
    const char* what;
    std::vector<const char*> ids;  // from sector 16; "" is a blank (version 0) sector
    bool found;
    RecognitionFlags flags;
  };
  const Case kCases[] = {
      {"ISO 9660 only", {"CD001", "CD001", ""}, false, kIsoPrimarySeen | kIsoSupplementarySeen},
      {"hybrid", {"CD001", "BEA01", "NSR03", "TEA01", ""}, true, kIsoPrimarySeen | kNsr03Seen},
      {"NSR02 after a blank sector", {"BEA01", "", "NSR02"}, false, 0},
      {"NSR02 in the tenth sector",
       {"BEA01", "BEA01", "BEA01", "BEA01", "BEA01", "BEA01", "BEA01", "BEA01", "BEA01", "NSR02"},
       true,
       kNsr02Seen},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Image image = build_image();
    for (std::uint32_t s = 16; s < 26; ++s) put_vsd(image, s, 0, "\0\0\0\0\0", 0);
    for (std::size_t i = 0; i < c.ids.size(); ++i) {
      const bool blank = c.ids[i][0] == 0;
      put_vsd(image, static_cast<std::uint32_t>(16 + i), i == 1 ? 2 : 1,
              blank ? "\0\0\0\0\0" : c.ids[i], blank ? 0 : 1);
    }
    TempDir dir;
    write_file(dir.path("i"), image);
    const PassResult r = run_pass(dir.path("i"));
    EXPECT_EQ(r.ok, c.found);
    EXPECT_EQ(r.recognition & 0x0F, c.flags);
    if (!c.found) {
      EXPECT_EQ(r.out, "UDF file system not found in: " + dir.path("i") + "\n");
    }
  }
  Image tiny = build_image();
  tiny.resize(25 * 2048);
  TempDir dir;
  write_file(dir.path("tiny"), tiny);
  EXPECT_FALSE(run_pass(dir.path("tiny")).ok) << "shorter than 26 sectors";
}

class Anchors : public ::testing::Test {
 protected:
  // A builder image (300 sectors, anchors at 256 and 299) with `damage` applied, relabelled.
  PassResult relabel(const std::function<void(Image&)>& damage) {
    Image image = build_image();
    damage(image);
    before_ = image;
    write_file(dir_.path("a"), image);
    PassResult r = run_pass(dir_.path("a"), "New");
    after_ = read_file(dir_.path("a"));
    return r;
  }
  static void copy_anchor(Image& image, std::uint32_t to, bool fix_location = true) {
    std::memcpy(sector_at(image, to), sector_at(image, 256), 2048);
    if (fix_location) set_u32(image, std::size_t{to} * 2048 + 12, to);
    reseal(image, to);
  }
  TempDir dir_;
  Image before_, after_;
};

TEST_F(Anchors, AnUnverifiedAnchorWithNoGoodCopyIsNotUsed) {
  struct Case {
    const char* what;
    std::size_t pos;
    std::uint8_t value;
    bool fix;
  };
  const Case kCases[] = {
      {"wrong tag identifier", 0, 3, true},
      {"bad checksum", 4, 0, false},
      {"CRC length past the sector", 11, 0x08, true},
      {"contents that do not match the CRC", 20, 0x77, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const PassResult r = relabel([&](Image& image) {
      sector_at(image, 256)[c.pos] = c.value;
      if (c.fix) fix_checksum(image, 256);
      std::memset(sector_at(image, 299), 0, 2048);
    });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "Failed to read ADVP!\n");
    EXPECT_EQ(after_, before_);
  }
  const PassResult cut = relabel([](Image& image) { image.resize(256 * 2048); });
  EXPECT_EQ(cut.out, "Failed to read ADVP!\n");
}

TEST_F(Anchors, CopiesAtTheEndAndAt512StandInForAMissingAnchor) {
  const PassResult end = relabel([](Image& image) { std::memset(sector_at(image, 256), 0, 2048); });
  EXPECT_TRUE(end.ok);
  EXPECT_EQ(end.out, "Done!\n");
  EXPECT_EQ(end.label, "Sample");

  const PassResult n_257 = relabel([](Image& image) {
    image.resize(600 * 2048);
    copy_anchor(image, 600 - 257);
    std::memset(sector_at(image, 256), 0, 2048);
    std::memset(sector_at(image, 299), 0, 2048);
  });
  EXPECT_TRUE(n_257.ok);
  EXPECT_EQ(n_257.label, "Sample");

  const PassResult at_512 = relabel([](Image& image) {
    image.resize(1000 * 2048);
    copy_anchor(image, 512);
    sector_at(image, 256)[4] ^= 0xFF;
    std::memset(sector_at(image, 299), 0, 2048);
  });
  EXPECT_TRUE(at_512.ok);
  EXPECT_EQ(at_512.label, "Sample");

  const PassResult copied = relabel([](Image& image) {
    std::memset(sector_at(image, 256), 0, 2048);
    set_u32(image, 299 * 2048 + 12, 256);  // an anchor copied from elsewhere
    reseal(image, 299);
  });
  EXPECT_FALSE(copied.ok);
  EXPECT_EQ(copied.out, "Failed to read ADVP!\n");
  EXPECT_EQ(after_, before_);
}

// The File Set Descriptor's copies on a metadata partition: which sectors are read and
// rewritten for each arrangement of the metadata file and its mirror.
TEST(MetadataPartition, VisitsTheMainCopyThenTheMirrorWhereEachIsMapped) {
  struct Case {
    const char* what;
    BuildOptions options;
    std::vector<std::uint32_t> fsd_sectors;
  };
  const Case kCases[] = {
      {"main and mirror", {.metadata = true}, {259, 263}},
      {"main in two extents",
       {.metadata = true,
        .fsd_block = 2,
        .main_extents = {{2, 2}, {12, 2}},
        .mirror_extents = {{6, 4}}},
       {269, 265}},
      {"mirror not covering the block",
       {.metadata = true, .fsd_block = 2, .main_extents = {{2, 4}}, .mirror_extents = {{6, 2}}},
       {261}},
      {"mirror beyond the end of the file",
       {.metadata = true, .mirror_extents = {{5000, 4}}},
       {259}},
      {"main not covering the block",
       {.metadata = true, .fsd_block = 4, .main_extents = {{2, 4}}, .mirror_extents = {{6, 8}}},
       {267}},
      {"no mirror", {.metadata = true, .mirror = false}, {259}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const Image image = build_image(c.options);
    TempDir dir;
    write_file(dir.path("m"), image);
    const PassResult read = run_pass(dir.path("m"));
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.label, "Sample");
    const PassResult write = run_pass(dir.path("m"), "New");
    EXPECT_EQ(write.out, "Done!\n");
    std::set<std::uint32_t> changed;
    for (std::size_t pos : differing_bytes(image, read_file(dir.path("m")))) {
      changed.insert(static_cast<std::uint32_t>(pos / 2048));
    }
    std::set<std::uint32_t> expected = {32, 33, 35, 48, 49, 51};
    expected.insert(c.fsd_sectors.begin(), c.fsd_sectors.end());
    EXPECT_EQ(changed, expected);
  }
}

TEST(LabelPass, WithoutAFileSetLocationVisitsBothSequencesAndSaysNoDone) {
  Image image = build_image();
  for (std::uint32_t lvd : {kMainSequence + 3, kReserveSequence + 3}) {
    set_u32(image, std::size_t{lvd} * 2048 + 248, 0);
    reseal(image, lvd);
  }
  TempDir dir;
  write_file(dir.path("n"), image);
  const PassResult read = run_pass(dir.path("n"));
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.label, "");
  const PassResult write = run_pass(dir.path("n"), "New");
  EXPECT_TRUE(write.ok);
  EXPECT_EQ(write.out, "");
  EXPECT_EQ(differing_bytes(image, read_file(dir.path("n"))).empty(), false);
}

// Runs the pass in write mode over `stream` (opened on `path`) and returns it.
PassResult run_pass_on(std::FILE* stream, const std::string& path) {
  ImageSession session;
  session_init(session);
  set_new_label(session, "New");
  session.image = stream;
  session.image_sectors = 300;
  PassResult r;
  r.out = capture_stdout([&] { r.ok = process_open_volume(session, path.c_str()); });
  session_close(session);
  return r;
}

TEST(WriteFailures, AreReportedAndTheRunFails) {
  TempDir dir;
  const Image image = build_image();
  const std::string path = dir.path("f");
  {
    write_file(path, image);
    FaultPlan plan;
    plan.write_limit = std::uint64_t{kReserveSequence} * 2048;
    const PassResult r = run_pass_on(open_faulty(path, plan), path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out,
              "fwrite to sector 48 failed, result=0!\n"
              "fwrite to sector 49 failed, result=0!\n"
              "fwrite to sector 51 failed, result=0!\n"
              "fwrite to sector 257 failed, result=0!\n");
  }
  {
    // A failure in the main sequence leaves the reserve sequence as the copy to recover from.
    write_file(path, image);
    FaultPlan plan;
    plan.write_limit = std::uint64_t{kMainSequence + 1} * 2048;
    const PassResult r = run_pass_on(open_faulty(path, plan), path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out,
              "fwrite to sector 33 failed, result=0!\n"
              "fwrite to sector 35 failed, result=0!\n");
    const Image after = read_file(path);
    for (std::size_t pos : differing_bytes(image, after))
      EXPECT_LT(pos, std::size_t{kReserveSequence} * 2048);
  }
  {
    write_file(path, image);
    FaultPlan plan;
    std::FILE* stream = open_faulty(path, plan);
    plan.fail_seek_number = 8;  // the positioning before the reserve PVD's write
    const PassResult r = run_pass_on(stream, path);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("failed!\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Done!"), std::string::npos);
  }
}

int syncs_before_failure = 0;
int failing_sync(int) { return syncs_before_failure-- > 0 ? 0 : -1; }

TEST(WriteFailures, AFailedSyncIsReportedAndTheReserveCopyWaitsForTheMainOne) {
  TempDir dir;
  const Image image = build_image();
  const std::string path = dir.path("s");
  for (int good_syncs : {0, 1}) {
    SCOPED_TRACE(good_syncs);
    write_file(path, image);
    syncs_before_failure = good_syncs;
    ImageSession session;
    session_init(session);
    set_new_label(session, "New");
    session.sync_file = failing_sync;
    bool ok = true;
    const std::string out = capture_stdout([&] { ok = process_volume(session, path.c_str()); });
    session_close(session);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Error writing file: " + path + "\n");
    const Image after = read_file(path);
    const bool reserve_written =
        std::memcmp(after.data() + 48 * 2048, image.data() + 48 * 2048, 2048) != 0;
    EXPECT_EQ(reserve_written, good_syncs == 1);
  }
}

TEST(WriteFailures, ADescriptorThatDoesNotVerifyFailsTheRunButNotThePass) {
  Image image = build_image();
  sector_at(image, kMainSequence)[300] ^= 1;  // main PVD's contents no longer match its CRC
  TempDir dir;
  write_file(dir.path("d"), image);
  const PassResult r = run_pass(dir.path("d"), "New");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.out, "Descriptor at sector 32 not changed: invalid tag\n");
  const Image after = read_file(dir.path("d"));
  EXPECT_EQ(0, std::memcmp(sector_at(image, 32), after.data() + 32 * 2048, 2048));
  EXPECT_NE(0, std::memcmp(sector_at(image, 48), after.data() + 48 * 2048, 2048))
      << "the reserve copy is still relabelled";
}

}  // namespace
}  // namespace tarnwick::testing
