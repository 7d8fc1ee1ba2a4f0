// Images made by real authoring tools and block devices, read back by independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

class RealImages : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkudffs", "udfinfo", "blkid", "losetup"}) REQUIRE_TOOL(tool);
  }
  TempDir dir_;
};

// Relabels `path` (of `block`-byte blocks) with each label (the last only, for other block
// sizes than 2048); every reader must show it, and only label fields (and the VAT at the end)
// change, sealed.
void expect_relabelled(const std::string& path, std::uint32_t block,
                       const std::string& old = "Old") {
  // clang-format off
  const struct { std::string label, in_short_fields; } kLabels[] = {
      {"Archive 2026 of the long project name", "Archive 2026 of the long proje"},
      {"Caf\xC3\xA9 \xC3\x86" "ble", "Caf\xC3\xA9 \xC3\x86" "ble"},
      {"\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC", "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC"}};
  // clang-format on
  EXPECT_EQ(label_of(path), old);
  const std::string warnings = udfinfo(path, block)["warnings"];
  for (const auto& l : std::span(kLabels).subspan(block == 2048 ? 0 : 2)) {
    const Image before = read_file(path, block);
    EXPECT_EQ(run_tool({path, l.label}).out,
              "Changing " + path + " volume label to '" + l.label + "'\nDone!\n");
    const Image after = read_file(path, block);
    const auto last = static_cast<std::uint32_t>(after.size() / block - 1);
    EXPECT_EQ(unexpected_changes(before, after, {last}), std::vector<std::string>{});
    auto info = udfinfo(path, block);
    EXPECT_EQ(info["lvid"] + "|" + info["vid"] + "|" + info["fsid"] + "|" + info["warnings"],
              l.label + "|" + l.in_short_fields + "|" + l.in_short_fields + "|" + warnings);
    if (block <= 4096) {  // blkid reads no larger block size
      EXPECT_EQ(blkid(path, "LABEL") + "|" + blkid(path, "VOLUME_ID"),
                l.label + "|" + l.in_short_fields);
    }
    EXPECT_EQ(label_of(path), l.label);
  }
}

TEST_F(RealImages, EveryMkudffsMediumRevisionAndBlockSizeIsReadAndRelabelled) {
  int made = 0;
  // 0: mkudffs' own choice, 512-byte blocks for a disk image.
  for (std::uint32_t block : {2048u, 0u, 512u, 1024u, 4096u, 8192u, 32768u}) {
    for (const std::string media :
         {"hd", "dvd", "dvdram", "dvdrw", "dvdr", "cdrw", "cdr", "cd", "bdr"}) {
      // Other block sizes: disks, and write-once and sparable media where mkudffs writes them.
      const bool rewritable_or_once = media.find('r') != std::string::npos;
      if (block != 2048 && media != "hd" && (block == 0 || block > 4096 || !rewritable_or_once))
        continue;
      const bool write_once = media == "cdr" || media == "dvdr" || media == "bdr";
      for (const char* revision : {"1.01", "1.02", "1.50", "2.00", "2.01", "2.50", "2.60"}) {
        for (const std::string variant : {"", "--closed", "--noefe"}) {
          if ((!write_once || block != 2048) && !variant.empty()) continue;
          const std::string path = dir_.path(media + revision + variant + std::to_string(block));
          std::vector<std::string> args = {"--media-type=" + media,
                                           std::string("--udfrev=") + revision, "--label=Old"};
          if (!variant.empty()) args.push_back(variant);
          // 600 blocks of 32768 bytes still leave block 256 inside the volume.
          if (!mkudffs(path, block > 4096 ? 600 : 4096, args, block)) continue;
          ++made;
          SCOPED_TRACE(path);
          expect_relabelled(path, block == 0 ? 512 : block);
        }
      }
    }
  }
  EXPECT_GE(made, 90);
}

TEST_F(RealImages, GenisoimageUdfIsRelabelledAndPlainIso9660Refused) {
  REQUIRE_TOOL("genisoimage");
  write_file(dir_.path("readme.txt"), Image(100, 'x'));
  const std::string udf = dir_.path("udf.iso"), iso = dir_.path("plain.iso");
  ASSERT_EQ(run({"genisoimage", "-quiet", "-udf", "-V", "Old", "-o", udf, dir_.path("readme.txt")})
                .status,
            0);
  ASSERT_EQ(
      run({"genisoimage", "-quiet", "-V", "Plain", "-o", iso, dir_.path("readme.txt")}).status, 0);
  expect_relabelled(udf, 2048);
  const Image plain = read_file(iso);
  EXPECT_EQ(run_tool({iso}).out, "UDF file system not found in: " + iso + "\n");
  EXPECT_EQ(read_file(iso), plain);
}

TEST_F(RealImages, TheBuildersMetadataVolumesAreAcceptedByTheReaders) {
  for (std::uint32_t block : {2048u, 4096u}) {
    const std::string path = dir_.path("meta.udf");
    write_file(path,
               build_image({.metadata = true, .main_extents = {{2, 2}, {12, 2}}, .block = block}));
    EXPECT_EQ(udfinfo(path, block)["udfrev"], "2.50");
    expect_relabelled(path, block, "Sample");
  }
}

TEST_F(RealImages, AMissingOrDamagedFirstAnchorIsReplacedByTheEndAnchor) {
  for (std::uint32_t block : {512u, 2048u, 4096u}) {
    for (const char* revision : {"1.01", "1.50", "2.01"}) {
      for (bool zeroed : {true, false}) {
        const std::string path = dir_.path(std::string("anchor") + revision);
        ASSERT_TRUE(
            mkudffs(path, 4096, {std::string("--udfrev=") + revision, "--label=Old"}, block));
        Image image = read_file(path, block);
        std::fill_n(sector_at(image, 256), zeroed ? block : 0, 0);
        sector_at(image, 256)[4] ^= zeroed ? 0 : 0x55;  // or its checksum damaged
        write_file(path, image);
        EXPECT_EQ(label_of(path), "Old");
        EXPECT_EQ(run_tool({path, "Found"}).status, 0);
        EXPECT_EQ(udfinfo(path, block)["lvid"], "Found");
      }
    }
  }
}

// Formatting again with another block size leaves the first format's anchor at block 256 of
// its size, still sound; only the live volume is read and written.
TEST_F(RealImages, AVolumeFormattedAgainIsReadAsItsLiveFormat) {
  for (const auto& [first, live] : {std::pair{2048u, 512u}, {512u, 2048u}, {512u, 4096u}}) {
    SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(live));
    const std::string path = dir_.path("again.udf");
    ASSERT_EQ(run({"truncate", "-s", "16M", path}).status, 0);
    for (const std::uint32_t block : {first, live}) {
      ASSERT_EQ(
          run({"mkudffs", "--blocksize=" + std::to_string(block), "--label=Old", path}).status, 0);
    }
    const Image before = read_file(path, live);
    expect_relabelled(path, live);
    EXPECT_EQ(changed_sectors(before, read_file(path, live)).size(), 7u)
        << "the live volume's descriptors only";
  }
}

TEST_F(RealImages, BlockDevicesAreReadAndRelabelledThroughTheirNode) {
  for (const auto& [block, sector] : {std::pair{512u, 512u}, {4096u, 4096u}, {2048u, 512u}}) {
    const std::string path = dir_.path("device.img");
    ASSERT_TRUE(mkudffs(path, 8192, {"--label=Old"}, block));
    const LoopDevice loop(path, sector);
    if (loop.node.empty()) GTEST_SKIP() << "no loop device can be made here (losetup -f failed)";
    SCOPED_TRACE(loop.node);
    EXPECT_EQ(run_tool({loop.node, "Device"}).out,
              "Changing " + loop.node + " volume label to 'Device'\nDone!\n");
    EXPECT_EQ(label_of(loop.node), "Device");
    EXPECT_EQ(udfinfo(loop.node, block)["lvid"] + "|" + blkid(loop.node, "LABEL"), "Device|Device");
  }
}

}  // namespace
}  // namespace tarnwick::testing
