// The tool as a user runs it: arguments, messages, exit statuses, files left untouched.
#include <gtest/gtest.h>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const std::string kSample = std::string(TARNWICK_SOURCE_DIR) + "/sample/sample.udf";

TEST(CommandLine, UsageLabelsAndEveryArgumentForm) {
  const RunResult usage = run_tool({});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(
      usage.out,
      "tarnwick 1.0 (x86)    Built on 2025-12-13\nUsage:\n\ttarnwick [ISO File] [Volume Label]\n\n"
      "Example:\n\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
      "\ttarnwick d:\\bd.iso \"The Monkey\"\n\n\t# print the volume label of "
      "d:\\bd.iso\n\ttarnwick d:\\bd.iso\n");
  EXPECT_EQ(run_tool({kSample}).out, "Volume label of " + kSample + ": Sample\n");
  TempDir dir;
  const std::string path = dir.path("-dash.udf");
  write_file(path, read_file(kSample));
  const RunResult change = run_tool({path, "Caf\xC3\xA9", "third"});
  EXPECT_EQ(change.status, 0);
  EXPECT_EQ(change.out, "Changing " + path + " volume label to 'Caf\xC3\xA9'\nDone!\n");
  EXPECT_EQ(label_of(path), "Caf\xC3\xA9");
  EXPECT_EQ(run_tool({path, ""}).out, "Changing " + path + " volume label to ''\nDone!\n");
  EXPECT_EQ(label_of(path), "");
}

TEST(CommandLine, EveryFailureGivesItsMessageAndLeavesTheFileAlone) {
  TempDir dir;
  const Image sample = read_file(kSample);
  Image bad_anchor = sample;
  bad_anchor[256 * 2048 + 4] ^= 1;
  bad_anchor.resize(bad_anchor.size() - 2048);  // and no anchor at the end
  const struct {
    Image image;
    std::string message;
  } kCases[] = {
      {Image(40 * 2048, 0), "UDF file system not found in: "},
      {Image(sample.begin(), sample.begin() + 25 * 2048), "UDF file system not found in: "},
      {Image(sample.begin(), sample.begin() + 256 * 2048), "Failed to read ADVP!\n"},
      {bad_anchor, "Failed to read ADVP!\n"},
  };
  const std::string path = dir.path("bad.img");
  for (const auto& c : kCases) {
    write_file(path, c.image);
    const std::string message = c.message.back() == ' ' ? c.message + path + "\n" : c.message;
    EXPECT_EQ(run_tool({path}).out, message);
    const RunResult r = run_tool({path, "New"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n" + message);
    EXPECT_EQ(read_file(path), c.image);
  }
  const RunResult missing = run_tool({dir.path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Error opening file: " + dir.path("missing") + "\n");
  const RunResult directory = run_tool({dir.path("."), "New"});
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.out,
            "Changing " + dir.path(".") +
                " volume label to 'New'\nError opening file for writing: " + dir.path(".") + "\n");
  write_file(path, sample);
  if (run({"chattr", "+i", path}).status == 0) {
    EXPECT_EQ(run_tool({path, "New"}).out,
              "Changing " + path +
                  " volume label to 'New'\nError opening file for writing: " + path + "\n");
    run({"chattr", "-i", path});
    EXPECT_EQ(read_file(path), sample);
  }
}

TEST(CommandLine, FailedWritesFailTheRun) {
  TempDir dir;
  const std::string path = dir.path("full.udf");
  write_file(path, read_file(kSample));
  // Writes reaching past 100 bytes into the reserve sequence (sector 48) fail or fall short.
  const RunResult r = run_tool({path, "New"}, 48 * 2048 + 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Changing " + path +
                " volume label to 'New'\n"
                "fwrite to sector 48 failed, result=100!\nfwrite to sector 49 failed, result=0!\n"
                "fwrite to sector 51 failed, result=0!\nfwrite to sector 259 failed, result=0!\n"
                "fwrite to sector 263 failed, result=0!\n");
}

}  // namespace
}  // namespace tarnwick::testing
