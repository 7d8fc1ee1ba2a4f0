// Images made by real authoring tools, read back by independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/changes.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

struct Medium {
  std::string media;
  std::string revision;
};

// Every media type and revision that mkudffs accepts with 2048-byte blocks.
std::vector<Medium> all_media() {
  std::vector<Medium> media;
  for (const char* m : {"hd", "dvd", "dvdram", "dvdrw", "dvdr", "cdrw", "cdr", "cd", "bdr"}) {
    for (const char* r : {"1.01", "1.02", "1.50", "2.00", "2.01", "2.50", "2.60"}) {
      media.push_back({m, r});
    }
  }
  return media;
}

std::string read_label(const std::string& path) {
  const std::string out = run_tool({path}).out;
  const std::string prefix = "Volume label of " + path + ": ";
  if (out.rfind(prefix, 0) != 0 || out.back() != '\n') return "<" + out + ">";
  return out.substr(prefix.size(), out.size() - prefix.size() - 1);
}

// The first `chars` characters of a label whose characters are all below U+0800.
std::string first_chars(const std::string& label, std::size_t chars) {
  std::string out;
  for (std::size_t i = 0, n = 0; i < label.size() && n < chars; ++n) {
    const std::size_t len = (static_cast<unsigned char>(label[i]) >= 0xC0) ? 2 : 1;
    out += label.substr(i, len);
    i += len;
  }
  return out;
}

class RealImages : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkudffs");
    REQUIRE_TOOL("udfinfo");
    REQUIRE_TOOL("blkid");
  }
  TempDir dir_;
};

TEST_F(RealImages, EveryMkudffsVolumeIsReadAndRelabelled) {
  struct Label {
    std::string text;
    bool latin;  // stored in the 8-bit form
  };
  const Label kLabels[] = {
      {"Archive 2026 of the long project name", true},  // 38 letters: cut to 30 in 32-byte fields
      {"Caf\xC3\xA9 \xC3\x86"
       "ble",
       true},
      {"\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC", false},
  };
  int made = 0;
  for (const Medium& m : all_media()) {
    const std::string path = dir_.path(m.media + m.revision + ".img");
    if (!mkudffs(path, 4096,
                 {"--media-type=" + m.media, "--udfrev=" + m.revision, "--label=Old" + m.media})) {
      continue;
    }
    ++made;
    SCOPED_TRACE(m.media + " " + m.revision);
    EXPECT_EQ(read_label(path), udfinfo(path)["lvid"]);
    EXPECT_EQ(read_label(path), "Old" + m.media);
    for (const Label& l : kLabels) {
      SCOPED_TRACE(l.text);
      const Image before = read_file(path);
      const RunResult r = run_tool({path, l.text});
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out, "Changing " + path + " volume label to '" + l.text + "'\nDone!\n");
      const Image after = read_file(path);
      EXPECT_EQ(
          unexpected_changes(before, after, {static_cast<std::uint32_t>(after.size() / 2048 - 1)}),
          std::vector<std::string>{});
      // 8-bit labels are cut to 30 characters in 32-byte fields; the wide one fits in 15 units.
      const std::string short_label = l.latin ? first_chars(l.text, 30) : l.text;
      auto info = udfinfo(path);
      EXPECT_EQ(info["lvid"], l.text);
      EXPECT_EQ(info["vid"], short_label);
      EXPECT_EQ(info["fsid"], short_label);
      EXPECT_EQ(read_label(path), l.text);
      EXPECT_EQ(blkid(path, "LABEL"), l.text);
      EXPECT_EQ(blkid(path, "VOLUME_ID"), short_label);
    }
  }
  EXPECT_GE(made, 30) << "mkudffs made fewer images than expected";
}

TEST_F(RealImages, AMissingOrDamagedFirstAnchorIsReplacedByTheEndAnchor) {
  for (const char* revision : {"1.01", "1.02", "1.50", "2.00", "2.01"}) {
    for (const bool zeroed : {true, false}) {
      SCOPED_TRACE(std::string(revision) + (zeroed ? " zeroed" : " bad checksum"));
      const std::string path = dir_.path(std::string("anchor") + revision + (zeroed ? "z" : "c"));
      ASSERT_TRUE(
          mkudffs(path, 4096,
                  {"--media-type=hd", std::string("--udfrev=") + revision, "--label=Anchored"}));
      Image image = read_file(path);
      if (zeroed) {
        std::fill(image.begin() + 256 * 2048, image.begin() + 257 * 2048, 0);
      } else {
        image[256 * 2048 + 4] ^= 0x55;
      }
      write_file(path, image);
      EXPECT_EQ(read_label(path), "Anchored");
      EXPECT_EQ(run_tool({path, "Recovered"}).status, 0);
      EXPECT_EQ(unexpected_changes(image, read_file(path)), std::vector<std::string>{});
      EXPECT_EQ(udfinfo(path)["lvid"], "Recovered");
      EXPECT_EQ(read_label(path), "Recovered");
    }
  }
}

TEST_F(RealImages, GenisoimageUdfImagesAreRelabelledAndPlainIsoIsRefused) {
  REQUIRE_TOOL("genisoimage");
  const std::string tree = dir_.path("tree");
  ASSERT_EQ(run({"mkdir", "-p", tree + "/docs"}).status, 0);
  std::ofstream(tree + "/docs/readme.txt") << "hello\n";
  const std::string udf = dir_.path("udf.iso");
  ASSERT_EQ(run({"genisoimage", "-quiet", "-udf", "-V", "GenLabel", "-o", udf, tree}).status, 0);
  EXPECT_EQ(read_label(udf), "GenLabel");
  const Image before = read_file(udf);
  EXPECT_EQ(run_tool({udf, "Renamed"}).status, 0);
  EXPECT_EQ(unexpected_changes(before, read_file(udf)), std::vector<std::string>{});
  EXPECT_EQ(udfinfo(udf)["lvid"], "Renamed");
  EXPECT_EQ(blkid(udf, "LABEL"), "Renamed");

  const std::string iso = dir_.path("plain.iso");
  ASSERT_EQ(run({"genisoimage", "-quiet", "-V", "Plain", "-o", iso, tree}).status, 0);
  const Image plain = read_file(iso);
  const RunResult r = run_tool({iso, "New"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Changing " + iso +
                       " volume label to 'New'\nUDF file system not found in: " + iso + "\n");
  EXPECT_EQ(read_file(iso), plain);
}

TEST_F(RealImages, BuilderMetadataImagesAreAcceptedByTheReaders) {
  const std::string path = dir_.path("meta.udf");
  write_file(path, build_image({.metadata = true, .main_extents = {{2, 2}, {12, 2}}}));
  EXPECT_EQ(udfinfo(path)["udfrev"], "2.50");
  EXPECT_EQ(read_label(path), "Sample");
  EXPECT_EQ(run_tool({path, "\xE2\x82\xAC Metadata"}).status, 0);
  EXPECT_EQ(udfinfo(path)["lvid"], "\xE2\x82\xAC Metadata");
  EXPECT_EQ(udfinfo(path)["fsid"], "\xE2\x82\xAC Metadata");
  EXPECT_EQ(blkid(path, "LABEL"), "\xE2\x82\xAC Metadata");
}

// What an strace log shows of the image's file: the bytes read from it and its calls in order.
struct ImageTrace {
  std::uint64_t bytes_read = 0;
  std::vector<std::string> calls;  // "lseek <offset>", "read", "write", "fsync"
};

ImageTrace trace_of(const std::string& log, const std::string& path) {
  std::istringstream lines(log);
  std::string line;
  std::string fd;
  ImageTrace t;
  while (std::getline(lines, line)) {
    if (fd.empty()) {
      if (line.find("openat(") == 0 && line.find("\"" + path + "\"") != std::string::npos) {
        fd = line.substr(line.rfind("= ") + 2);
      }
      continue;
    }
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos) continue;
    const std::string call = line.substr(0, paren);
    const std::string args = line.substr(paren + 1);
    if (args.rfind(fd + ",", 0) != 0 && args.rfind(fd + ")", 0) != 0) continue;
    const std::uint64_t result = std::strtoull(line.c_str() + line.rfind("= ") + 2, nullptr, 10);
    if (call == "read" || call == "pread64") t.bytes_read += result;
    if (call == "lseek") {
      const std::size_t from = fd.size() + 2;
      t.calls.push_back("lseek " + args.substr(from, args.find(',', from) - from));
    } else {
      t.calls.push_back(call);
    }
  }
  return t;
}

TEST_F(RealImages, AFiftyGibibyteImageCostsAFewDozenSectors) {
  REQUIRE_TOOL("strace");
  const std::string path = dir_.path("big.img");
  ASSERT_TRUE(mkudffs(path, 26214400, {"--media-type=hd", "--label=Big"}));
  const std::string log = dir_.path("strace.log");
  const RunResult r =
      run({"strace", "-o", log, "-e", "trace=openat,read,pread64,write,pwrite64,lseek,fsync",
           TARNWICK_EXE, path, "Huge"});
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'Huge'\nDone!\n");
  std::ifstream in(log);
  const ImageTrace trace = trace_of(
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), path);
  std::string calls;
  for (const std::string& call : trace.calls) calls += call + "; ";
  SCOPED_TRACE("calls on the image: " + calls);
  // Recognition (10), anchor (1), two sequence chunks (16 each), the File Set Descriptor (1).
  EXPECT_EQ(trace.bytes_read, 44u * 2048);
  // The reserve sequence lies beyond 4 GiB; both copies and the File Set Descriptor changed.
  EXPECT_EQ(udfinfo(path)["lvid"], "Huge");
  EXPECT_EQ(read_label(path), "Huge");
  const Image reserve_lvd = [&] {
    std::ifstream f(path, std::ios::binary);
    f.seekg(std::streamoff{26214241} * 2048);
    Image s(2048);
    f.read(reinterpret_cast<char*>(s.data()), 2048);
    return s;
  }();
  EXPECT_EQ(std::vector<std::uint8_t>(reserve_lvd.begin() + 84, reserve_lvd.begin() + 212),
            dstring8("Huge", 128));
  // The main copy reaches storage before the reserve copy is written, the rest at the end.
  const auto at = [&](const std::string& call) {
    return std::find(trace.calls.begin(), trace.calls.end(), call) - trace.calls.begin();
  };
  const auto first_sync = at("fsync");
  EXPECT_LT(at("lseek " + std::to_string(96 * 2048)), first_sync);
  EXPECT_LT(first_sync, at("lseek " + std::to_string(26214240ull * 2048)));
  EXPECT_EQ(trace.calls.back(), "fsync");
  EXPECT_EQ(std::count(trace.calls.begin(), trace.calls.end(), "write"), 7);
}

}  // namespace
}  // namespace tarnwick::testing
