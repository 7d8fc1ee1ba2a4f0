// The tool as a user runs it: arguments, messages, exit statuses, files left untouched, and
// other programs using the same image at the same time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "image/bytes.h"
#include "image/tag.h"
#include "image/windows_path.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const std::string kSample = std::string(TARNWICK_SOURCE_DIR) + "/sample/sample.udf";
const std::string kUsage =
    "tarnwick 1.0 (x86)    Built on 2025-12-13\nUsage:\n\ttarnwick [ISO File] [Volume Label]\n\n"
    "Example:\n\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
    "\ttarnwick d:\\bd.iso \"The Monkey\"\n\n\t# print the volume label of "
    "d:\\bd.iso\n\ttarnwick d:\\bd.iso\n";

// clang-format off
const std::string kHelp = kUsage + "\nOptions:\n\t-n, --dry-run  list the writes a relabel would make, make none\n"
    "\t-h, --help     print this text\n\t-V, --version  print the version\n\t--             every argument after it is a path or a label\n\n"
    "\t# list what changing the label of d:\\live.iso to 'My Live' would write\n\ttarnwick -n d:\\live.iso \"My Live\"\n";
// clang-format on

std::string changing(const std::string& path, const std::string& label) {
  return "Changing " + path + " volume label to '" + label + "'\n";
}

// The writes a relabel of the sample makes, as a dry run lists them: each with `label`, the
// Primary Volume Descriptors with its first 30 characters.
std::string would_write(const std::string& label) {
  std::string out;
  // clang-format off
  for (const auto& [sector, kind] : {std::pair{32, "Primary Volume"}, {33, "Implementation Use Volume"}, {35, "Logical Volume"},
                                     {48, "Primary Volume"}, {49, "Implementation Use Volume"}, {51, "Logical Volume"}, {259, "File Set"}, {263, "File Set"}})
    // clang-format on
    out += "Would write sector " + std::to_string(sector) + ": " + kind + " Descriptor '" +
           label.substr(0, kind[0] == 'P' ? 30 : 126) + "'\n";
  return out;
}

// Each form of the command line (IMG: a copy of the sample): what it prints, whether it opens
// the image at all (strace sees each file opened) and the label the image then has; every other
// form leaves its bytes as they were.
TEST(CommandLine, EveryFormIsReadBeforeAnythingIsOpened) {
  REQUIRE_TOOL("strace");
  TempDir dir;
  const std::string img = dir.path("s.udf"), x130(130, 'x');
  const std::string stored = "Warning: the label is stored as '" + x130.substr(0, 126) + "'\n";
  const auto subst = [&](std::string text) {
    for (std::size_t at; (at = text.find("IMG")) != std::string::npos;) text.replace(at, 3, img);
    return text;
  };
  // clang-format off
  const struct { std::vector<std::string> args; std::string told; bool opens = false; std::string label = "Sample"; } kForms[] = {
      {{}, kUsage + "exit 0"}, {{"--help"}, kHelp + "exit 0"},
      {{"IMG", "New", "-h"}, kHelp + "exit 0"},            // anywhere, and beside operands
      {{"--version", "IMG", "--help"}, kHelp + "exit 0"},  // help wins over version
      {{"-V"}, "tarnwick 1.0\nexit 0"}, {{"IMG", "--version"}, "tarnwick 1.0\nexit 0"},
      {{"--help", "IMG", "-x", "New"}, "Unknown option: -x\nexit 1"},  // even beside --help
      {{"IMG", "--uuid=0", "-q"}, "Unknown option: --uuid=0\nexit 1"},
      {{"IMG", "My", "Label"}, "Too many arguments: a label with spaces goes in quotes\nexit 1"},
      {{"-n"}, kUsage + "exit 1"}, {{"--"}, kUsage + "exit 1"}, {{"IMG", "\xC3\x41"}, "Label is not valid UTF-8\nexit 1"},
      {{"-"}, "Error opening file: -\nexit 1"}, {{"--", "-n"}, "Error opening file: -n\nexit 1"},  // paths like any other
      {{"IMG", "-n"}, "Volume label of IMG: Sample\nexit 0", true},
      {{"-n", "IMG", "New"}, "Would change IMG volume label to 'New'\n" + would_write("New") + "Dry run: nothing written\nexit 0", true},
      {{"IMG", "--", "-label-"}, changing("IMG", "-label-") + "Done!\nexit 0", true, "-label-"},
      // A label longer than the fields is cut, and the relabel says what read mode will show.
      {{"IMG", x130, "--dry-run"}, "Would change IMG volume label to '" + x130 + "'\n" + would_write(x130) + stored + "Dry run: nothing written\nexit 0", true},
      {{"IMG", x130}, changing("IMG", x130) + stored + "Done!\nexit 0", true, x130.substr(0, 126)}};
  // clang-format on
  for (const auto& form : kForms) {
    std::vector<std::string> args;
    for (const std::string& arg : form.args) args.push_back(subst(arg));
    SCOPED_TRACE(::testing::PrintToString(args));
    write_file(img, read_file(kSample));
    const Traced r = run_traced(args, "openat");
    EXPECT_EQ(r.told(), subst(form.told));
    EXPECT_EQ(
        std::any_of(r.calls.begin(), r.calls.end(),
                    [&](const std::string& call) { return call.find(img) != std::string::npos; }),
        form.opens);
    EXPECT_EQ(label_of(img), form.label);
    if (form.label == "Sample") EXPECT_TRUE(read_file(img) == read_file(kSample));
  }
}

TEST(CommandLine, LabelsAtEachEncodingsEdgesAndOnlyImagesOpened) {
  // The tool runs on copies only: a faulty build must not rewrite the bundled sample.
  TempDir dir;
  const std::string path = dir.path("-h");
  write_file(path, read_file(kSample));
  // The first and last character of each length, and those around the surrogates; U+0001.
  const std::string edges =
      "\x01\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF"
      "\xEE"
      "\x80\x80";
  EXPECT_EQ(run_tool({path, edges}).status, 0);
  EXPECT_EQ(label_of(path), edges);
  // Only regular files and block devices are opened, and nothing else blocks the run; an image
  // is never created.
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  for (const std::string& other :
       {dir.path("missing"), dir.path("fifo"), dir.path("."), std::string("/dev/null")}) {
    EXPECT_EQ(run_tool({other}).told(), "Error opening file: " + other + "\nexit 1");
    EXPECT_EQ(run_tool({other, "New"}).told(),
              changing(other, "New") + "Error opening file for writing: " + other + "\nexit 1");
    EXPECT_EQ(run_tool({other, "New", "-n"}).told(),
              "Would change " + other + " volume label to 'New'\nError opening file: " + other +
                  "\nexit 1");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path("missing")));
}

TEST(Sharing, AnImageLockedElsewhereIsWaitedForThenLeftAlone) {
  REQUIRE_TOOL("strace");
  TempDir dir;
  const std::string path = dir.path("held.udf");
  const std::string waiting = "Waiting for " + path + ": another program is using it\n";
  write_file(path, read_file(kSample));
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_SH), 0) << "a reader of another program";
  EXPECT_EQ(label_of(path), "Sample") << "readers share";
  EXPECT_EQ(run_tool({path, "New"}).told(),
            changing(path, "New") + waiting + "Image is in use: " + path + "\nexit 1");
  close(fd);
  EXPECT_EQ(read_file(path), read_file(kSample));
  // A lock given up within the wait lets the run go on; a closed standard input is no image,
  // and the image (then descriptor 0) is synced after each sequence like any other.
  EXPECT_EQ(run({"sh", "-c",
                 "flock -s \"$2\" sleep 1 & sleep 0.3; ASAN_OPTIONS=detect_leaks=0 strace -qq "
                 "-e trace=fdatasync \"$1\" \"$2\" Later <&- 2>&1 | tr -s ' '",
                 "sh", TARNWICK_EXE, path})
                .out,
            changing(path, "Later") + waiting + "fdatasync(0) = 0\nfdatasync(0) = 0\nDone!\n");
  EXPECT_EQ(label_of(path), "Later");
}

// A partition waits for its whole disk's lock, as udev and systemd take it while they probe or
// change any partition; a device mounted or claimed exclusively by another program is not
// written, but read.
TEST(Sharing, APartitionWaitsForItsDiskAndAClaimedDeviceIsOnlyRead) {
  for (const char* tool : {"mkudffs", "udfinfo", "addpart", "delpart", "flock", "python3"})
    REQUIRE_TOOL(tool);
  TempDir dir;
  const std::string disk = dir.path("disk.img");
  ASSERT_EQ(run({"sh", "-c",
                 "mkudffs --new-file --label=Disk \"$1\" 512 >/dev/null && truncate -s 16M \"$1\" "
                 "&& mkudffs --new-file --label=Old \"$1.part\" 4096 >/dev/null && dd "
                 "if=\"$1.part\" of=\"$1\" bs=512 seek=2048 conv=notrunc status=none",
                 "sh", disk})
                .status,
            0);
  const LoopDevice loop(disk, 512);
  if (loop.node.empty()) GTEST_SKIP() << "no loop device can be made here (losetup -f failed)";
  const std::string part = loop.node + "p1";
  run({"delpart", loop.node, "1"});  // one a detached loop device may have kept
  if (run({"addpart", loop.node, "1", "2048", "8192"}).status != 0)
    GTEST_SKIP() << "no partition can be added to " << loop.node << " (addpart failed)";
  struct Partition {
    std::string disk;
    ~Partition() { run({"delpart", disk, "1"}); }
  } remove{loop.node};
  // The holder reads the label just before it lets go: the relabel has not happened yet.
  EXPECT_EQ(run({"sh", "-c",
                 "flock -x \"$2\" sh -c 'sleep 2; udfinfo \"$0\" 2>/dev/null | sed -n s/^lvid=//p' "
                 "\"$3\" & sleep 0.3; \"$1\" \"$3\" New; wait",
                 "sh", TARNWICK_EXE, loop.node, part})
                .out,
            changing(part, "New") + "Waiting for " + part +
                ": another program is using it\nOld\nDone!\n");
  EXPECT_EQ(label_of(part), "New");
  const Image before = read_file(disk);
  for (const auto& [device, label] : {std::pair{loop.node, "Disk"}, {part, "New"}}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(run({"sh", "-c",
                   "python3 -c 'import os, sys, time; os.open(sys.argv[1], os.O_RDONLY | "
                   "os.O_EXCL); open(sys.argv[2], \"w\").close(); time.sleep(9)' \"$2\" \"$3\" & "
                   "while [ ! -e \"$3\" ]; do sleep 0.05; done; \"$1\" \"$4\" Claimed; echo \"exit "
                   "$?\"; \"$1\" \"$4\"; echo \"exit $?\"; rm \"$3\"; kill $!",
                   "sh", TARNWICK_EXE, loop.node, dir.path("held"), device})
                  .out,
              changing(device, "Claimed") + "Image is in use: " + device +
                  "\nexit 1\nVolume label of " + device + ": " + label + "\nexit 0\n");
  }
  EXPECT_TRUE(read_file(disk) == before);
  // A lock the file system cannot give (NFS without a lock manager), the disk's and the
  // partition's, is gone without.
  const std::string unlocked =
      "Warning: " + part + " cannot be locked here; other programs are not kept from it\n";
  EXPECT_EQ(run_traced({part}, "flock", "flock:error=ENOLCK").told(),
            unlocked + "Volume label of " + part + ": New\nexit 0");
  EXPECT_EQ(run_traced({part, "Unlocked"}, "flock", "flock:error=ENOLCK").told(),
            changing(part, "Unlocked") + unlocked + "Done!\nexit 0");
}

TEST(Windows, UnicodePathsAndLabelsMissingFilesDevicePathsAndTheOptions) {
  if (windows_exe().empty()) GTEST_SKIP() << "no Windows build or no Wine (see .ci/run)";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--help"}, {"-V"}, {"x", "--uuid"}, {"a", "b", "c"}, {"-n"}})
    EXPECT_EQ(run_windows(args).told(), run_tool(args).told());
  TempDir dir;
  const std::string path = dir.path("\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1.udf");
  const std::string label = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xF0\x9F\x98\x80";
  write_file(path, read_file(kSample));
  EXPECT_EQ(run_both(path, {label, "-n"}).told(), "Would change " + path + " volume label to '" +
                                                      label + "'\n" + would_write(label) +
                                                      "Dry run: nothing written\nexit 0");
  EXPECT_EQ(run_both(path, {label}).told(), changing(path, label) + "Done!\nexit 0");
  EXPECT_EQ(run_both(path).told(), "Volume label of " + path + ": " + label + "\nexit 0");
  EXPECT_EQ(run_both(dir.path("missing")).told(),
            "Error opening file: " + dir.path("missing") + "\nexit 1");
  // A read that starts at the image's end meets its end, not a failure (ERROR_HANDLE_EOF).
  write_file(dir.path("short"), Image(32768));
  EXPECT_EQ(run_both(dir.path("short")).told(),
            "UDF file system not found in: " + dir.path("short") + "\nexit 1");
  // Device and volume paths are refused; a drive's path behind either prefix is a file.
  write_file(dir.path("s.udf"), read_file(kSample));
  std::string z = "\\\\?\\Z:" + dir.path("s.udf"), dot = "\\\\.\\Z:" + dir.path("s.udf");
  std::replace(z.begin(), z.end(), '/', '\\'), std::replace(dot.begin(), dot.end(), '/', '\\');
  for (const std::string device :
       {"\\\\.\\PhysicalDrive0", "\\\\.\\Z:", "\\\\?\\Z:", "\\\\?\\Volume{0}"})
    EXPECT_EQ(run_windows({device}).told(), "Error opening file: " + device + "\nexit 1");
  for (const std::string& file : {z, dot})
    EXPECT_EQ(run_windows({file}).told(), "Volume label of " + file + ": Sample\nexit 0");
  // Past 4 GiB: an image (sparse) whose only anchor is its last block.
  Image big = read_file(kSample), anchor(big.begin() + 256 * 2048, big.begin() + 257 * 2048);
  std::fill(big.begin() + 256 * 2048, big.begin() + 257 * 2048, 0), write_file(path, big);
  put_u32(anchor.data() + 12, 0x200000);
  seal_descriptor_tag(anchor.data(), get_u16(anchor.data() + 10));
  const int fd = open(path.c_str(), O_WRONLY);
  EXPECT_EQ(pwrite(fd, anchor.data(), 2048, 0x200000ll * 2048), 2048), close(fd);
  EXPECT_EQ(run_windows({path}).told(), "Volume label of " + path + ": Sample\nexit 0");
}

// A Windows path names a device only when it names the device or volume itself; everything
// under one is a file, opened like any other. Wine resolves the drive forms (above), not these.
TEST(Windows, OnlyADeviceOrVolumeItselfIsADevicePath) {
  const std::string guid = "Volume{26a21bda-a627-11d7-9931-806e6f6e6963}";
  for (const std::string& device :
       std::vector<std::string>{"\\\\.\\E:", "\\\\?\\E:", "\\\\.\\PhysicalDrive1",
                                "//?/E:", "\\\\?\\" + guid, "\\\\.\\"})
    EXPECT_TRUE(names_a_windows_device(device)) << device;
  for (const std::string& file : std::vector<std::string>{
           "\\\\?\\UNC\\server\\share\\disc.iso", "\\\\?\\" + guid + "\\images\\disc.iso",
           "\\\\?\\C:\\dir\\disc.iso", "\\\\.\\C:/disc.iso", "\\\\server\\share\\disc.iso",
           "\\\\x\\E:", "C:\\disc.iso", "\\\\?"})
    EXPECT_FALSE(names_a_windows_device(file)) << file;
}

}  // namespace
}  // namespace tarnwick::testing
