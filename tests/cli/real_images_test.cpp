// Images made by real authoring tools and block devices, read back by independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const char* const kEveryRowNeeds[] = {"mkudffs", "udfinfo", "blkid", "losetup"};

// One producer of images: a shell command that writes $IMG (files to put on it are in $DIR),
// or the builder's options when `make` is empty.
struct Producer {
  std::string name;
  std::uint32_t block = 2048;
  std::string make;
  std::vector<std::string> tools;  // beyond mkudffs: the row is skipped where one is missing
  std::string old = "Old";
  BuildOptions built{};
};

Producer mkudffs_row(const std::string& media, const std::string& revision, std::uint32_t block,
                     const std::string& variant = "") {
  // 600 blocks of 32768 bytes still leave block 256 inside the volume.
  const std::string size = std::to_string(block);
  return {"mkudffs " + media + " " + revision + " " + size + " " + variant, block,
          "mkudffs --new-file --media-type=" + media + " --udfrev=" + revision +
              " --label=Old --blocksize=" + size + " " + variant + " \"$IMG\" " +
              (block > 4096 ? "600" : "4096")};
}

// genisoimage brings isoinfo; pycdlib is Debian's python3-pycdlib.
const std::vector<std::string> kIsoReaders = {"genisoimage", "pycdlib"};
const std::string kPycdlib =
    "python3 -c 'import io, sys, pycdlib; i = pycdlib.PyCdlib(); "
    "i.new(interchange_level=3, joliet=3, udf=\"2.60\", vol_ident=\"OLD\"); "
    "i.add_fp(io.BytesIO(b\"x\"), 1, \"/A.TXT;1\", joliet_path=\"/a.txt\", udf_path=\"/a.txt\"); "
    "i.write(sys.argv[1])' \"$IMG\"";
const std::string kDvdVideo =
    "cd \"$DIR\" && ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=720x576:rate=25 "
    "-f lavfi -i anullsrc=r=48000 -t 1 -target pal-dvd v.mpg && export VIDEO_FORMAT=PAL && "
    "dvdauthor -o dvd -t v.mpg && dvdauthor -o dvd -T && "
    "genisoimage -quiet -dvd-video -V OLD_TITLE -o \"$IMG\" dvd";

// Every path the tool takes: each partition kind and revision family, the VAT's forms, every
// block size, the bridge images' ISO 9660 and Joliet names, the builder's metadata layouts.
const Producer kProducers[] = {
    mkudffs_row("hd", "1.01", 2048),
    mkudffs_row("cdrw", "1.50", 2048),
    mkudffs_row("cdr", "1.50", 2048),
    mkudffs_row("dvdr", "2.01", 2048, "--noefe"),
    mkudffs_row("bdr", "2.60", 2048, "--closed"),
    mkudffs_row("cdr", "2.01", 512),
    mkudffs_row("dvdrw", "1.50", 512),
    mkudffs_row("hd", "1.50", 1024),
    mkudffs_row("hd", "2.01", 4096),
    mkudffs_row("bdr", "2.50", 4096),
    mkudffs_row("hd", "2.01", 32768),
    {"genisoimage -udf", 2048, "genisoimage -quiet -udf -V Old -o \"$IMG\" \"$DIR\"", kIsoReaders},
    // clang-format off
    {"genisoimage -udf -J", 2048, "genisoimage -quiet -udf -J -V Old -o \"$IMG\" \"$DIR\"", kIsoReaders},
    {"pycdlib", 2048, kPycdlib, kIsoReaders, "CDROM"},
    {"DVD-Video", 2048, kDvdVideo, {"genisoimage", "pycdlib", "ffmpeg", "dvdauthor", "lsdvd"}, "OLD_TITLE"},
    {"builder, metadata and mirror", 2048, "", {}, "Sample", {.metadata = true}},
    {"builder, metadata file in two extents", 4096, "", {}, "Sample", {.metadata = true, .main_extents = {{2, 2}, {12, 2}}, .block = 4096}},
    // clang-format on
};

// A label and what each kind of field then holds: the UDF 32-byte fields (30 characters), the
// ISO 9660 primary and Joliet names, and blkid's ISO 9660 label (the Joliet name, followed by
// the rest of the primary one where the Joliet one is cut).
struct Label {
  std::string label, udf_short, iso, joliet, blkid_joliet;
};
// clang-format off
const std::string kCafe = "Caf\xC3\xA9 \xC3\x86" "ble", kGreek = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC ";
const Label kLabels[] = {
    {"Archive 2026 of the long project name", "Archive 2026 of the long proje", "ARCHIVE_2026_OF_THE_LONG_PROJECT", "Archive 2026 of", "Archive 2026 of THE_LONG_PROJECT"},
    {kCafe, kCafe, "CAF___BLE", kCafe, kCafe},
    {kGreek + "\xF0\x9F\x98\x80", kGreek + "\xF0\x9F\x98\x80", "____________", kGreek + "_", kGreek + "_"}};
// clang-format on

std::string line_after(const std::string& out, const std::string& key) {
  const std::size_t at = out.find(key);
  return at == std::string::npos
             ? "<none>"
             : out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

// The names an ISO 9660 reader shows: isoinfo's primary, blkid's, the Joliet one as pycdlib
// reads it back (which also checks the whole ISO 9660 side strictly), and lsdvd's title.
std::string iso_names(const std::string& path, bool dvd) {
  const std::string joliet =
      run({"python3", "-c",
           "import sys, pycdlib; i = pycdlib.PyCdlib(); i.open(sys.argv[1]); "
           "print(i.joliet_vd.volume_identifier.decode('utf-16-be').rstrip() if i.joliet_vd "
           "else '-')",
           path})
          .out;
  return line_after(run({"isoinfo", "-d", "-i", path}).out, "Volume id: ") + "|" +
         blkid(path, "LABEL", "iso9660") + "|" + joliet +
         (dvd ? line_after(run({"lsdvd", path}).out, "Disc Title: ") : "");
}

// Relabels the image with each label (the last only, for other block sizes than 2048); every
// reader must show it, and only label fields (and the VAT's) change, sealed.
void expect_relabelled(const std::string& path, const Producer& p) {
  const bool iso = !p.tools.empty();  // the ISO 9660 bridges
  const bool joliet = p.make.find("-J") != std::string::npos || p.name == "pycdlib";
  EXPECT_EQ(run_both(path).out, "Volume label of " + path + ": " + p.old + "\n");
  const std::string warnings = udfinfo(path, p.block)["warnings"];
  for (const Label& l : std::span(kLabels).subspan(p.block == 2048 ? 0 : 2)) {
    SCOPED_TRACE(l.label);
    const Image before = read_file(path, p.block);
    EXPECT_EQ(run_both(path, {l.label}).out,
              "Changing " + path + " volume label to '" + l.label + "'\nDone!\n");
    EXPECT_EQ(unexpected_changes(before, read_file(path, p.block)), std::vector<std::string>{});
    auto info = udfinfo(path, p.block);
    EXPECT_EQ(info["lvid"] + "|" + info["vid"] + "|" + info["fsid"] + "|" + info["warnings"],
              l.label + "|" + l.udf_short + "|" + l.udf_short + "|" + warnings);
    if (p.block <= 4096)  // blkid reads no larger block size
      EXPECT_EQ(blkid(path, "LABEL") + "|" + blkid(path, "VOLUME_ID"), l.label + "|" + l.udf_short);
    EXPECT_EQ(label_of(path), l.label);
    if (iso) {
      EXPECT_EQ(iso_names(path, p.name == "DVD-Video"),
                l.iso + "|" + (joliet ? l.blkid_joliet + "|" + l.joliet : l.iso + "|-") + "\n" +
                    (p.name == "DVD-Video" ? l.iso : ""));
    }
  }
}

TEST(RealImages, EveryProducersImagesAreReadAndRelabelled) {
  for (const char* tool : kEveryRowNeeds) REQUIRE_TOOL(tool);
  std::vector<std::string> skipped;
  for (const Producer& p : kProducers) {
    SCOPED_TRACE(p.name);
    if (!std::all_of(p.tools.begin(), p.tools.end(), have_tool)) {
      skipped.push_back(p.name);
      continue;
    }
    TempDir work;
    const std::string path = work.path("image");
    if (p.make.empty()) {
      write_file(path, build_image(p.built));
    } else {
      const RunResult made = run({"sh", "-c",
                                  "IMG='" + path + "' DIR='" + work.path("files") +
                                      "'; mkdir \"$DIR\" && echo x >\"$DIR/a.txt\" && " + p.make});
      ASSERT_EQ(made.status, 0) << made.out;
    }
    expect_relabelled(path, p);
  }
  if (!skipped.empty()) GTEST_SKIP() << "tools missing for: " << ::testing::PrintToString(skipped);
}

// The last device is one the kernel marks read-only (a write-protected card): it is refused
// for writing at once.
TEST(RealImages, BlockDevicesAreReadAndRelabelledThroughTheirNode) {
  for (const char* tool : kEveryRowNeeds) REQUIRE_TOOL(tool);
  TempDir dir;
  for (const auto& [block, sector, read_only] : {std::tuple{512u, 512u, false},
                                                 {4096u, 4096u, false},
                                                 {2048u, 512u, false},
                                                 {512u, 512u, true}}) {
    const std::string path = dir.path("device.img"), block_size = std::to_string(block);
    ASSERT_EQ(run({"mkudffs", "--new-file", "--label=Old", "-b", block_size, path, "8192"}).status,
              0);
    const LoopDevice loop(path, sector, read_only);
    if (loop.node.empty()) GTEST_SKIP() << "no loop device can be made here (losetup -f failed)";
    SCOPED_TRACE(loop.node);
    EXPECT_EQ(run_tool({loop.node, "Device"}).told(),
              "Changing " + loop.node + " volume label to 'Device'\n" +
                  (read_only ? "Error opening file for writing: " + loop.node + "\nexit 1"
                             : "Done!\nexit 0"));
    const std::string label = read_only ? "Old" : "Device";
    EXPECT_EQ(label_of(loop.node), label);
    EXPECT_EQ(udfinfo(loop.node, block)["lvid"] + "|" + blkid(loop.node, "LABEL"),
              label + "|" + label);
  }
}

}  // namespace
}  // namespace tarnwick::testing
