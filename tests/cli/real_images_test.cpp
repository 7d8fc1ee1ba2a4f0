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

TEST_F(RealImages, EveryMkudffsMediumAndRevisionIsReadAndRelabelled) {
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
  int made = 0;
  for (const char* media : {"hd", "dvd", "dvdram", "dvdrw", "dvdr", "cdrw", "cdr", "cd", "bdr"}) {
    for (const char* revision : {"1.01", "1.02", "1.50", "2.00", "2.01", "2.50", "2.60"}) {
      const bool write_once = media == std::string("cdr") || media == std::string("dvdr") ||
                              media == std::string("bdr");
      for (const char* variant : {"", "--closed", "--noefe"}) {
        if (!write_once && variant[0] != 0) continue;
        const std::string path = dir_.path(std::string(media) + revision + variant);
        std::vector<std::string> args = {std::string("--media-type=") + media,
                                         std::string("--udfrev=") + revision, "--label=Old"};
        if (variant[0] != 0) args.push_back(variant);
        if (!mkudffs(path, 4096, args)) continue;
        ++made;
        SCOPED_TRACE(path);
        EXPECT_EQ(label_of(path), "Old");
        const std::string warnings = udfinfo(path)["warnings"];
        for (const auto& l : kLabels) {
          const Image before = read_file(path);
          EXPECT_EQ(run_tool({path, l.label}).out,
                    "Changing " + path + " volume label to '" + l.label + "'\nDone!\n");
          const Image after = read_file(path);
          EXPECT_EQ(unexpected_changes(before, after,
                                       {static_cast<std::uint32_t>(after.size() / 2048 - 1)}),
                    std::vector<std::string>{});
          auto info = udfinfo(path);
          EXPECT_EQ(info["lvid"], l.label);
          EXPECT_EQ(info["vid"], l.in_short_fields);
          EXPECT_EQ(info["fsid"], l.in_short_fields);
          EXPECT_EQ(info["warnings"], warnings);
          EXPECT_EQ(blkid(path, "LABEL"), l.label);
          EXPECT_EQ(blkid(path, "VOLUME_ID"), l.in_short_fields);
          EXPECT_EQ(label_of(path), l.label);
        }
      }
    }
  }
  EXPECT_GE(made, 30);
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
  const std::string path = dir_.path("meta.udf");
  write_file(path, build_image({.metadata = true, .main_extents = {{2, 2}, {12, 2}}}));
  EXPECT_EQ(udfinfo(path)["udfrev"], "2.50");
  EXPECT_EQ(udfinfo(path)["lvid"], "Sample");
  EXPECT_EQ(run_tool({path, "\xE2\x82\xAC Meta"}).status, 0);
  EXPECT_EQ(udfinfo(path)["fsid"], "\xE2\x82\xAC Meta");
  EXPECT_EQ(blkid(path, "LABEL"), "\xE2\x82\xAC Meta");
}

TEST_F(RealImages, AMissingOrDamagedFirstAnchorIsReplacedByTheEndAnchor) {
  for (const char* revision : {"1.01", "1.02", "1.50", "2.00", "2.01"}) {
    for (bool zeroed : {true, false}) {
      const std::string path = dir_.path(std::string("anchor") + revision + (zeroed ? "z" : "c"));
      ASSERT_TRUE(mkudffs(
          path, 4096, {"--media-type=hd", std::string("--udfrev=") + revision, "--label=Kept"}));
      Image image = read_file(path);
      if (zeroed) {
        std::fill_n(sector_at(image, 256), 2048, 0);
      } else {
        sector_at(image, 256)[4] ^= 0x55;  // its checksum
      }
      write_file(path, image);
      EXPECT_EQ(label_of(path), "Kept");
      EXPECT_EQ(run_tool({path, "Found"}).status, 0);
      EXPECT_EQ(udfinfo(path)["lvid"], "Found");
    }
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
