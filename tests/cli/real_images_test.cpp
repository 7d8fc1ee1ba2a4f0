// Images made by real authoring tools and block devices, read back by independent readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <span>
#include <sstream>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const char* const kEveryRowNeeds[] = {"mkudffs", "udfinfo", "blkid", "losetup", "strace"};

// One producer of images: a shell command that writes $IMG (files to put on it are in $DIR),
// or the builder's options when `make` is empty.
struct Producer {
  std::string name;
  std::uint32_t block = 2048;
  std::string make;
  std::vector<std::string> tools;  // beyond mkudffs: the row is skipped where one is missing
  std::string old = "Old";
  BuildOptions built{};
  // The ISO 9660 side: "" none, "-" a pure ISO 9660 image (no UDF); J Joliet, R Rock Ridge.
  std::string iso;
  bool restores = true;  // relabelling with `old` gives back the original bytes
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

// genisoimage brings isoinfo; pycdlib is Debian's python3-pycdlib; GRUB's view is grub-common's.
const std::vector<std::string> kIsoReaders = {"genisoimage", "pycdlib", "xorriso", "grub-fstest"};
std::string genisoimage(const std::string& options) {
  return "genisoimage -quiet -V 'Old Name' " + options + " -o \"$IMG\" \"$DIR\"";
}
// A live image as the distributions make them: isolinux for BIOS, an EFI boot image, an MBR and
// a GPT that let the image boot from a USB stick.
const std::string kHybrid =
    "cd \"$DIR\" && mkdir -p isolinux boot && cp /usr/lib/ISOLINUX/isolinux.bin "
    "/usr/lib/syslinux/modules/bios/ldlinux.c32 isolinux && mkfs.vfat -C boot/efi.img 1440 "
    ">/dev/null && mmd -i boot/efi.img ::/EFI ::/EFI/BOOT && mcopy -i boot/efi.img a.txt "
    "::/EFI/BOOT/BOOTX64.EFI && xorriso -as mkisofs -quiet -o \"$IMG\" -V 'Old Name' -J -R "
    "-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -b isolinux/isolinux.bin -c isolinux/boot.cat "
    "-no-emul-boot -boot-load-size 4 -boot-info-table -eltorito-alt-boot -e boot/efi.img "
    "-no-emul-boot -isohybrid-gpt-basdat .";
// clang-format off
const std::vector<std::string> kHybridTools = {"genisoimage", "pycdlib", "xorriso", "grub-fstest", "mkfs.vfat", "mcopy",
                                               "/usr/lib/ISOLINUX/isohdpfx.bin", "/usr/lib/syslinux/modules/bios/ldlinux.c32"};
// clang-format on
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
    // clang-format off
    {"genisoimage -udf", 2048, "genisoimage -quiet -udf -V Old -o \"$IMG\" \"$DIR\"", kIsoReaders, "Old", {}, "P"},
    {"genisoimage -udf -J", 2048, "genisoimage -quiet -udf -J -V Old -o \"$IMG\" \"$DIR\"", kIsoReaders, "Old", {}, "J"},
    {"pycdlib", 2048, kPycdlib, kIsoReaders, "CDROM", {}, "J", false},
    {"DVD-Video", 2048, kDvdVideo, {"genisoimage", "pycdlib", "xorriso", "grub-fstest", "ffmpeg", "dvdauthor", "lsdvd"}, "OLD_TITLE", {}, "P"},
    // Pure ISO 9660 images.
    {"genisoimage", 2048, genisoimage(""), kIsoReaders, "Old Name", {}, "-"},
    {"genisoimage -J", 2048, genisoimage("-J"), kIsoReaders, "Old Name", {}, "-J"},
    {"genisoimage -R", 2048, genisoimage("-R"), kIsoReaders, "Old Name", {}, "-R"},
    {"genisoimage -J -R", 2048, genisoimage("-J -R"), kIsoReaders, "Old Name", {}, "-JR"},
    {"genisoimage -iso-level 4 -J", 2048, genisoimage("-iso-level 4 -J"), kIsoReaders, "Old Name", {}, "-J"},
    {"xorriso, bootable hybrid", 2048, kHybrid, kHybridTools, "Old Name", {}, "-JR"},
    {"xorriso, two sessions", 2048, "for f in a b; do xorriso -dev \"$IMG\" -volid 'Old Name' -joliet on -map \"$DIR/a.txt\" /$f -commit; done >/dev/null 2>&1", kIsoReaders, "Old Name", {}, "-JR"},
    {"pycdlib, level 4", 2048, "python3 -c 'import io, sys, pycdlib; i = pycdlib.PyCdlib(); i.new(interchange_level=4, joliet=3, vol_ident=\"Old Name\"); i.add_fp(io.BytesIO(b\"x\"), 1, \"/a.txt\", joliet_path=\"/a.txt\"); i.write(sys.argv[1])' \"$IMG\"", kIsoReaders, "Old Name", {}, "-J"},
    {"builder, metadata and mirror", 2048, "", {}, "Sample", {.metadata = true}},
    {"builder, metadata file in two extents", 4096, "", {}, "Sample", {.metadata = true, .main_extents = {{2, 2}, {12, 2}}, .block = 4096}},
    // clang-format on
};

// A label and what each kind of field then holds: the UDF 32-byte fields (30 characters), the
// ISO 9660 primary name (printable ASCII as typed), the Joliet name (16 characters) and the
// name blkid shows (the two merged).
struct Label {
  std::string label, udf_short, iso, joliet, blkid;
};
// clang-format off
const std::string kCafe = "Caf\xC3\xA9 \xC3\x86" "ble", kGreek = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x82\xAC ";
const Label kLabels[] = {
    {"Archive 2026 of the long project name", "Archive 2026 of the long proje", "Archive 2026 of the long project", "Archive 2026 of", "Archive 2026 of the long project"},
    {"Archive 2026 of the project", "Archive 2026 of the project", "Archive 2026 of the project", "Archive 2026 of", "Archive 2026 of the project"},
    {kCafe, kCafe, "Caf_ _ble", kCafe, kCafe}, {"", "", "", "", ""},
    {kGreek + "\xF0\x9F\x98\x80", kGreek + "\xF0\x9F\x98\x80", "_____ __ _ _", kGreek + "_", kGreek + "_"}};
// clang-format on

// What follows `key` in `out` up to `end`, trailing spaces dropped; empty when `key` is not there.
std::string line_after(const std::string& out, const std::string& key, char end = '\n') {
  const std::size_t at = out.find(key);
  if (at == std::string::npos) return "";
  const std::string value =
      out.substr(at + key.size(), out.find(end, at + key.size()) - at - key.size());
  return value.substr(0, value.find_last_not_of(' ') + 1);
}

// The names ISO 9660 readers show: isoinfo's, xorriso's and pycdlib's primary name, pycdlib's
// Joliet name (pycdlib re-reads the whole ISO 9660 side strictly), blkid's, GRUB's and lsdvd's.
std::string iso_names(const std::string& path, bool dvd) {
  const std::string pycdlib =
      run({"python3", "-c",
           "import sys, pycdlib; i = pycdlib.PyCdlib(); i.open(sys.argv[1]); "
           "print(i.pvd.volume_identifier.decode().rstrip(), end='|'); "
           "print(i.joliet_vd.volume_identifier.decode('utf-16-be').rstrip() if i.joliet_vd "
           "else '-', end='')",
           path})
          .out;
  // Appended one by one: GCC 12 takes "|" + a temporary for an overlapping copy
  // (-Wrestrict, a false positive that fails the optimised build).
  std::string names = line_after(run({"isoinfo", "-d", "-i", path}).out, "Volume id: ");
  names.append("|").append(
      line_after(run({"xorriso", "-indev", path, "-pvd_info"}).out, "Volume Id    : "));
  names.append("|").append(pycdlib).append("|").append(blkid(path, "LABEL", "iso9660"));
  names.append("|").append(
      line_after(run({"grub-fstest", path, "ls", "--", "-l", "(loop0)"}).out, "Label `", '\''));
  if (dvd) names.append("|").append(line_after(run({"lsdvd", path}).out, "Disc Title: "));
  return names;
}

// Relabels the image with each label (the last only, for other block sizes than 2048); every
// reader must show it, and only label fields (and the VAT's) change, sealed. Then the old label
// gives the old bytes back.
void expect_relabelled(const std::string& path, const Producer& p) {
  const bool udf = p.iso.find('-') == std::string::npos;
  const bool joliet = p.iso.find('J') != std::string::npos;
  const Image original = read_file(path, p.block);
  EXPECT_EQ(run_both(path).out, "Volume label of " + path + ": " + p.old + "\n");
  if (!udf) EXPECT_EQ(blkid(path, "LABEL", "iso9660"), p.old);
  const std::string warnings = udf ? udfinfo(path, p.block)["warnings"] : "";
  for (const Label& l : std::span(kLabels).subspan(p.block == 2048 ? 0 : 4)) {
    SCOPED_TRACE(l.label);
    const Image before = read_file(path, p.block);
    // Read mode prints what blkid shows: the UDF label, or on a pure ISO 9660 image the merge;
    // the relabel says so first where that is not the label as typed.
    const std::string iso = l.iso.substr(0, l.iso.find_last_not_of(' ') + 1);
    const std::string shown = udf ? l.label : joliet ? l.blkid : iso;
    const std::string stored =
        shown == l.label ? "" : "Warning: the label is stored as '" + shown + "'\n";
    // A dry run opens the image read-only and writes nothing; it lists the blocks the relabel
    // then changes, each with the name the readers below then show in that field.
    // clang-format off
    const std::map<std::string, std::string> names = {{"Primary Volume Descriptor", l.udf_short}, {"Joliet descriptor", l.joliet},
                                                      {"ISO 9660 primary descriptor", iso}, {"ISO 9660:1999 descriptor", iso}};
    // clang-format on
    const Traced traced = run_traced({"-n", path, l.label}, "openat,pwrite64,fdatasync");
    EXPECT_EQ(traced.calls.back().substr(0, traced.calls.back().find("O_RDONLY|") + 9),
              "openat(AT_FDCWD, \"" + path + "\", O_RDONLY|")
        << "the image opened read-only, and nothing written";
    const DryRun dry = dry_run_of(traced.out);
    for (const std::string& write : dry.writes) {
      const std::string kind = write.substr(0, write.find(" '"));
      EXPECT_EQ(write, kind + " '" + (names.count(kind) ? names.at(kind) : l.label) + "'");
    }
    EXPECT_EQ(dry.said, "Would change " + path + " volume label to '" + l.label + "'\n" + stored +
                            "Dry run: nothing written\n");
    EXPECT_TRUE(read_file(path, p.block) == before);
    EXPECT_EQ(run_both(path, {l.label}).out,
              "Changing " + path + " volume label to '" + l.label + "'\n" + stored + "Done!\n");
    EXPECT_EQ(dry.sectors, changed_sectors(before, read_file(path, p.block)));
    EXPECT_EQ(unexpected_changes(before, read_file(path, p.block)), std::vector<std::string>{});
    if (udf) {
      auto info = udfinfo(path, p.block);
      EXPECT_EQ(info["lvid"] + "|" + info["vid"] + "|" + info["fsid"] + "|" + info["warnings"],
                l.label + "|" + l.udf_short + "|" + l.udf_short + "|" + warnings);
      if (p.block <= 4096)  // blkid reads no larger block size
        EXPECT_EQ(blkid(path, "LABEL") + "|" + blkid(path, "VOLUME_ID"),
                  l.label + "|" + l.udf_short);
    }
    EXPECT_EQ(label_of(path), shown);
    if (p.iso.empty()) continue;
    // GRUB shows the UDF label, else the Joliet name, but the primary one on a Rock Ridge image.
    const bool grub_joliet = joliet && p.iso.find('R') == std::string::npos;
    const bool dvd = p.name == "DVD-Video";
    std::string shown_by = iso + "|" + (iso.empty() ? "ISOIMAGE" : iso) + "|" + iso + "|" +
                           (joliet ? l.joliet : "-") + "|" + (joliet ? l.blkid : iso) + "|" +
                           (udf           ? l.label
                            : grub_joliet ? l.joliet
                                          : iso);
    if (dvd) shown_by.append("|").append(iso.substr(0, iso.find(' ')));  // see iso_names
    EXPECT_EQ(iso_names(path, dvd), shown_by);
  }
  if (p.iso.empty() || !p.restores) return;
  EXPECT_EQ(run_tool({path, "Other"}).status, 0);
  EXPECT_EQ(run_tool({path, p.old}).status, 0);
  EXPECT_TRUE(read_file(path, p.block) == original) << "the old label gives the old bytes back";
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
// for writing at once. Reading a label reads each byte once (a wider recognition spacing only
// what the first scan did not hold), no block size smaller than the device's sectors, and not
// the reserve sequence: size@offset of every read.
TEST(RealImages, BlockDevicesAreReadAndRelabelledThroughTheirNode) {
  for (const char* tool : kEveryRowNeeds) REQUIRE_TOOL(tool);
  REQUIRE_TOOL("strace");
  TempDir dir;
  // clang-format off
  for (const auto& [block, sector, read_only, reads] : {
           std::tuple{512u, 512u, false, "20480@32768 512@131072 2048@524288 1024@262144 8192@49152 512@132608 "},
           {4096u, 4096u, false, "20480@32768 20480@53248 4096@1048576 65536@393216 4096@1056768 "},
           {2048u, 512u, false, "20480@32768 512@131072 2048@524288 1024@262144 32768@196608 2048@528384 "},
           {2048u, 2048u, false, "20480@32768 2048@524288 32768@196608 2048@528384 "},
           {512u, 512u, true, ""}}) {
    // clang-format on
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
    if (read_only) continue;
    std::string read;  // size@offset of each read of the device
    for (const std::string& call : run_traced({loop.node}, "openat,pread64").on(loop.node).calls) {
      const std::size_t offset = call.rfind(", ", call.rfind(") = ")),
                        size = call.rfind(", ", offset - 1);
      read += call.substr(size + 2, offset - size - 2) + "@" +
              call.substr(offset + 2, call.rfind(") = ") - offset - 2) + " ";
    }
    EXPECT_EQ(read, reads);
  }
}

// Bootable images whose boot configuration finds the medium by its label, as the distributions
// write it: each file that names the old label as a whole word is warned of, once; nothing is
// said of a name that only contains it, of a medium found by a file, nor without El Torito.
TEST(RealImages, BootConfigurationsNamingTheOldLabelAreWarnedOf) {
  for (const char* tool : {"xorriso", "genisoimage", "implantisomd5", "checkisomd5"})
    REQUIRE_TOOL(tool);
  if (!have_tool("/usr/lib/ISOLINUX/isolinux.bin")) GTEST_SKIP() << "isolinux is not installed";
  const std::string
      fedora = "Fedora-WS-Live-39",
      xorriso = "xorriso -as mkisofs -quiet -J -R -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin";
  const std::string
      el_torito =
          " -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 "
          "-boot-info-table",
      out = " -V \"$2\" -o \"$3\" .";
  // A bridge whose UDF label (pycdlib's) is not its ISO 9660 name: a file names each.
  const std::string pycdlib =
      "python3 -c 'import io, sys, pycdlib; i = pycdlib.PyCdlib(); i.new(interchange_level=3, "
      "joliet=3, udf=\"2.60\", vol_ident=\"OLD\"); c = b\"append root=LABEL=CDROM\\n\"; "
      "i.add_fp(io.BytesIO(c), len(c), \"/BOOT.CFG;1\", joliet_path=\"/boot.cfg\", "
      "udf_path=\"/boot.cfg\"); i.add_fp(io.BytesIO(bytes(4)), 4, \"/BOOT.BIN;1\"); "
      "g = b\"search -l OLD\"; i.add_fp(io.BytesIO(g), len(g), \"/GRUB.CFG;1\"); "
      "i.add_eltorito(\"/BOOT.BIN;1\", \"/BOOT.CAT;1\"); i.write(sys.argv[1])' \"$3\"";
  const auto warning = [](const std::string& file, const std::string& label) {
    return "Warning: " + file + " names the old label '" + label +
           "'; the image may not boot until it names the new one\n";
  };
  // clang-format off
  const struct { std::string label, make; std::vector<std::pair<std::string, std::string>> files; std::string warnings; } kImages[] = {
      {fedora, xorriso + el_torito + out, {{"isolinux/isolinux.cfg", "append initrd=initrd.img root=live:CDLABEL=" + fedora + " rd.live.image"}, {"EFI/BOOT/grub.cfg", "search --no-floppy --set=root -l '" + fedora + "'"}}, warning("/EFI/BOOT/grub.cfg", fedora) + warning("/isolinux/isolinux.cfg", fedora)},
      {"ARCH_202211", xorriso + el_torito + out, {{"syslinux/archiso_sys.cfg", "APPEND archisobasedir=arch archisolabel=ARCH_202211"}, {"loader/entries/01-archiso.conf", "options archisolabel=ARCH_202211\n"}, {"a/b/c/deep.cfg", "archisolabel=ARCH_202211"}}, warning("/loader/entries/01-archiso.conf", "ARCH_202211") + warning("/syslinux/archiso_sys.cfg", "ARCH_202211")},
      {"nixos-23.05-x86_64", xorriso + el_torito + out, {{"isolinux/isolinux.cfg", "APPEND init=/nix/store/x-init root=LABEL=nixos-23.05-x86_64 boot.shell_on_fail"}}, warning("/isolinux/isolinux.cfg", "nixos-23.05-x86_64")},
      {"Fedora Live 39", xorriso + el_torito + out, {{"EFI/BOOT/grub.cfg", "linux /images/pxeboot/vmlinuz root=live:CDLABEL=Fedora\\x20Live\\x2039 quiet"}}, warning("/EFI/BOOT/grub.cfg", "Fedora Live 39")},
      {"Bridge Boot", "genisoimage -quiet -udf -J" + el_torito + out, {{"isolinux/isolinux.cfg", "append root=live:CDLABEL=Bridge\\x20Boot"}}, warning("/ISOLINUX/ISOLINUX.CFG", "Bridge Boot")},
      {"Debian 12.5.0 amd64 n", xorriso + el_torito + out, {{"isolinux/isolinux.cfg", "append boot=live components"}, {"boot/grub/grub.cfg", "search --file --set=root /.disk/id/0f4c"}}, ""},
      {"LIVE", xorriso + el_torito + out, {{"isolinux/isolinux.cfg", "append root=live:CDLABEL=LIVEBOOT ALIVE LIVEZ aLIVE LIVEz 0LIVE LIVE9 _LIVE LIVE. -LIVE"}}, ""},
      {"CDROM", pycdlib, {}, warning("/BOOT.CFG", "CDROM") + warning("/GRUB.CFG", "OLD")},
      // 1 MiB of files in the root directory are all that is read.
      {fedora, "for n in $(seq 10 25); do head -c 65536 /dev/zero >$n.bin; done && " + xorriso + el_torito + out, {{"isolinux/isolinux.cfg", "root=live:CDLABEL=" + fedora}}, ""},
      {fedora, "genisoimage -quiet -J -R" + out, {{"isolinux/isolinux.cfg", "append root=live:CDLABEL=" + fedora}}, ""}};
  // clang-format on
  for (const auto& image : kImages) {
    SCOPED_TRACE(image.label + " " + image.make);
    TempDir work;
    const std::string path = work.path("boot.iso");
    std::string files = "mkdir -p isolinux && cp /usr/lib/ISOLINUX/isolinux.bin isolinux/";
    for (const auto& [file, content] : image.files)
      files +=
          " && mkdir -p \"$(dirname " + file + ")\" && printf '%s\\n' '" + content + "' >" + file;
    const RunResult made = run({"sh", "-c",
                                "mkdir \"$1\" && cd \"$1\" && " + files + " && " + image.make +
                                    " && implantisomd5 \"$3\" >/dev/null",
                                "sh", work.path("files"), image.label, path});
    ASSERT_EQ(made.status, 0) << made.out;
    const Image before = read_file(path);
    // checkisomd5 checks images of a few hundred KiB only when padded, as hybrid images are.
    const bool checkable = run({"checkisomd5", path}).status == 0;
    EXPECT_TRUE(checkable || image.make.find("isohybrid") == std::string::npos);
    EXPECT_EQ(run_tool({path}).told(), "Volume label of " + path + ": " + image.label + "\nexit 0");
    const std::string warnings = image.warnings +
                                 "Warning: the media check checksum implanted in " + path +
                                 " no longer matches; implantisomd5 --force renews it\n";
    // A dry run says it all before anything is written.
    const std::string dry = run_tool({"-n", path, "New"}).out;
    EXPECT_EQ(dry.substr(0, dry.find("Would write")),
              "Would change " + path + " volume label to 'New'\n" + warnings);
    EXPECT_TRUE(dry.ends_with("\nDry run: nothing written\n"));
    EXPECT_TRUE(read_file(path) == before);
    EXPECT_EQ(run_both(path, {"New"}).told(),
              "Changing " + path + " volume label to 'New'\n" + warnings + "Done!\nexit 0");
    EXPECT_EQ(unexpected_changes(before, read_file(path)), std::vector<std::string>{});
    if (!checkable) continue;
    EXPECT_NE(run({"checkisomd5", path}).status, 0);
    EXPECT_EQ(run({"implantisomd5", "--force", path}).status, 0);
    EXPECT_EQ(run({"checkisomd5", path}).status, 0);
  }
}

}  // namespace
}  // namespace tarnwick::testing
