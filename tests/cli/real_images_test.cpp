// Images made by real authoring tools, read back by independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

class RealImages : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkudffs", "udfinfo", "blkid"}) {
      REQUIRE_TOOL(tool);
    }
  }
  TempDir dir_;
};

// Relabels the image at `path` (of `block`-byte blocks; 0 for mkudffs' default, 512 here) with
// each label and checks what every reader shows and what changed.
void expect_relabelled(const std::string& path, std::uint32_t block) {
  const struct {
    std::string label, in_short_fields;
  } kLabels[] = {
      {"Archive 2026 of the long project name", "Archive 2026 of the long proje"},
      {"Caf\xC3\xA9 \xC3\x86"
       "ble",
       "Caf\xC3\xA9 \xC3\x86"
       "ble"},
      {"\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC",
       "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC"},
  };
  const std::uint32_t size = block == 0 ? 512 : block;
  EXPECT_EQ(label_of(path), "Old");
  const std::string warnings = udfinfo(path, size)["warnings"];
  for (const auto& l : kLabels) {
    const Image before = read_file(path, size);
    EXPECT_EQ(run_tool({path, l.label}).out,
              "Changing " + path + " volume label to '" + l.label + "'\nDone!\n");
    const Image after = read_file(path, size);
    EXPECT_EQ(
        unexpected_changes(before, after, {static_cast<std::uint32_t>(after.size() / size - 1)}),
        std::vector<std::string>{});
    auto info = udfinfo(path, size);
    EXPECT_EQ(info["lvid"], l.label);
    EXPECT_EQ(info["vid"], l.in_short_fields);
    EXPECT_EQ(info["fsid"], l.in_short_fields);
    EXPECT_EQ(info["warnings"], warnings);
    if (size <= 4096) {  // blkid reads no larger block size
      EXPECT_EQ(blkid(path, "LABEL"), l.label);
      EXPECT_EQ(blkid(path, "VOLUME_ID"), l.in_short_fields);
    }
    EXPECT_EQ(label_of(path), l.label);
  }
}

TEST_F(RealImages, EveryMkudffsMediumRevisionAndBlockSizeIsReadAndRelabelled) {
  int made = 0;
  for (std::uint32_t block : {2048u, 0u, 512u, 1024u, 4096u, 8192u, 32768u}) {
    for (const std::string media :
         {"hd", "dvd", "dvdram", "dvdrw", "dvdr", "cdrw", "cdr", "cd", "bdr"}) {
      // Other block sizes: disks, and write-once and sparable media where mkudffs writes them.
      if (block != 2048 && media != "hd" &&
          (block == 0 || block > 4096 || media.find('r') == std::string::npos))
        continue;
      for (const char* revision : {"1.01", "1.02", "1.50", "2.00", "2.01", "2.50", "2.60"}) {
        const bool write_once = media == "cdr" || media == "dvdr" || media == "bdr";
        for (const char* variant : {"", "--closed", "--noefe"}) {
          if ((!write_once || block != 2048) && variant[0] != 0) continue;
          const std::string path = dir_.path(media + revision + variant + std::to_string(block));
          std::vector<std::string> args = {"--media-type=" + media,
                                           std::string("--udfrev=") + revision, "--label=Old"};
          if (variant[0] != 0) args.push_back(variant);
          // 600 blocks at 32768 bytes keep an anchor at block 256.
          if (!mkudffs(path, block > 4096 ? 600 : 4096, args, block)) continue;
          ++made;
          SCOPED_TRACE(path);
          expect_relabelled(path, block);
        }
      }
    }
  }
  EXPECT_GE(made, 90);
}

TEST_F(RealImages, GenisoimageUdfIsRelabelledAndPlainIso9660Refused) {
  REQUIRE_TOOL("genisoimage");
  std::ofstream(dir_.path("readme.txt")) << "hello\n";
  const std::string udf = dir_.path("udf.iso"), iso = dir_.path("plain.iso");
  ASSERT_EQ(run({"genisoimage", "-quiet", "-udf", "-V", "Gen", "-o", udf, dir_.path("readme.txt")})
                .status,
            0);
  ASSERT_EQ(
      run({"genisoimage", "-quiet", "-V", "Plain", "-o", iso, dir_.path("readme.txt")}).status, 0);
  EXPECT_EQ(label_of(udf), "Gen");
  const Image before = read_file(udf);
  EXPECT_EQ(run_tool({udf, "Renamed"}).status, 0);
  EXPECT_EQ(unexpected_changes(before, read_file(udf)), std::vector<std::string>{});
  EXPECT_EQ(blkid(udf, "LABEL"), "Renamed");
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
    EXPECT_EQ(udfinfo(path, block)["lvid"], "Sample");
    EXPECT_EQ(udfinfo(path, block)["warnings"], "");
    const Image before = read_file(path, block);
    EXPECT_EQ(run_tool({path, "\xE2\x82\xAC Meta"}).status, 0);
    const Image after = read_file(path, block);
    EXPECT_EQ(changed_sectors(before, after),
              (std::vector<std::uint32_t>{32, 33, 35, 48, 49, 51, 259, 263}))
        << "the file set in the metadata file and in its mirror";
    EXPECT_EQ(unexpected_changes(before, after), std::vector<std::string>{});
    EXPECT_EQ(udfinfo(path, block)["fsid"], "\xE2\x82\xAC Meta");
    EXPECT_EQ(blkid(path, "LABEL"), "\xE2\x82\xAC Meta");
  }
}

TEST_F(RealImages, AMissingOrDamagedFirstAnchorIsReplacedByTheEndAnchor) {
  for (std::uint32_t block : {512u, 2048u, 4096u}) {
    for (const char* revision : {"1.01", "1.50", "2.01"}) {
      for (bool zeroed : {true, false}) {
        const std::string path = dir_.path(std::string("anchor") + revision + (zeroed ? "z" : "c"));
        ASSERT_TRUE(mkudffs(
            path, 4096, {"--media-type=hd", std::string("--udfrev=") + revision, "--label=Kept"},
            block));
        Image image = read_file(path, block);
        if (zeroed) {
          std::fill_n(sector_at(image, 256), block, 0);
        } else {
          sector_at(image, 256)[4] ^= 0x55;  // its checksum
        }
        write_file(path, image);
        EXPECT_EQ(label_of(path), "Kept");
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
    ASSERT_EQ(
        run({"mkudffs", "--blocksize=" + std::to_string(first), "--label=Stale", path}).status, 0);
    ASSERT_EQ(run({"mkudffs", "--blocksize=" + std::to_string(live), "--label=Live", path}).status,
              0);
    const Image before = read_file(path, live);
    EXPECT_EQ(label_of(path), "Live");
    EXPECT_EQ(run_tool({path, "Renamed"}).status, 0);
    EXPECT_EQ(udfinfo(path, live)["lvid"], "Renamed");
    EXPECT_EQ(label_of(path), "Renamed");
    const Image after = read_file(path, live);
    EXPECT_EQ(changed_sectors(before, after).size(), 7u) << "the live volume's descriptors only";
    EXPECT_EQ(unexpected_changes(before, after), std::vector<std::string>{});
  }
}

TEST_F(RealImages, BlockDevicesAreReadAndRelabelledThroughTheirNode) {
  REQUIRE_TOOL("losetup");
  for (const auto& [block, sector] : {std::pair{512u, 512u}, {4096u, 4096u}, {2048u, 512u}}) {
    const std::string path = dir_.path("device.img");
    ASSERT_TRUE(mkudffs(path, 8192, {"--media-type=hd", "--label=Old"}, block));
    const LoopDevice loop(path, sector);
    if (loop.node.empty()) GTEST_SKIP() << "no loop device can be made here (losetup -f failed)";
    SCOPED_TRACE(loop.node);
    EXPECT_EQ(label_of(loop.node), "Old");
    EXPECT_EQ(run_tool({loop.node, "Device"}).out,
              "Changing " + loop.node + " volume label to 'Device'\nDone!\n");
    EXPECT_EQ(label_of(loop.node), "Device");
    EXPECT_EQ(udfinfo(loop.node, block)["lvid"], "Device");
    EXPECT_EQ(blkid(loop.node, "LABEL"), "Device");
  }
}

TEST_F(RealImages, AFiftyGibibyteImageCostsFortyFourSectorsAndSyncsTheMainCopyFirst) {
  REQUIRE_TOOL("strace");
  const std::string path = dir_.path("big.img"), log = dir_.path("trace");
  ASSERT_TRUE(mkudffs(path, 26214400, {"--media-type=hd", "--label=Big"}));
  EXPECT_EQ(run({"strace", "-o", log, "-e", "trace=openat,read,lseek,write,fdatasync", TARNWICK_EXE,
                 path, "Huge"})
                .out,
            "Changing " + path + " volume label to 'Huge'\nDone!\n");
  // The image's calls, in order: "read N", "lseek OFFSET", "write N", "fsync".
  std::vector<std::string> calls;
  std::string fd;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (fd.empty() && line.find("\"" + path + "\"") != std::string::npos)
      fd = line.substr(line.rfind(' ') + 1);
    const std::size_t paren = line.find('(');
    if (fd.empty() || paren == std::string::npos || line.compare(paren + 1, fd.size(), fd) != 0 ||
        (line[paren + 1 + fd.size()] != ',' && line[paren + 1 + fd.size()] != ')')) {
      continue;
    }
    const std::string name = line.substr(0, paren);
    calls.push_back(name == "fdatasync" ? name : name + " " + line.substr(line.rfind(' ') + 1));
  }
  std::uint64_t bytes_read = 0;
  for (const std::string& c : calls)
    bytes_read += c.rfind("read ", 0) == 0 ? std::stoull(c.substr(5)) : 0;
  EXPECT_EQ(bytes_read, 44u * 2048 + 512 + 1024)
      << "recognition 10, anchor 1 (and block 256 of 512 and 1024 bytes), two sequence chunks "
         "of 16, file set 1";
  const auto at = [&](const std::string& c) {
    return std::find(calls.begin(), calls.end(), c) - calls.begin();
  };
  EXPECT_LT(at("lseek " + std::to_string(96 * 2048)), at("fdatasync"));
  EXPECT_LT(at("fdatasync"), at("lseek " + std::to_string(26214240ull * 2048)))
      << "the reserve copy waits";
  EXPECT_EQ(calls.back(), "fdatasync");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "write 2048"), 7);
  EXPECT_EQ(udfinfo(path)["lvid"], "Huge");
}

}  // namespace
}  // namespace tarnwick::testing
