// The tool as a user runs it: arguments, messages, exit statuses, and images left untouched
// by every failure.
#include "cli/command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const std::string kSample = std::string(TARNWICK_SOURCE_DIR) + "/sample/sample.udf";

TEST(CommandLine, NoArgumentPrintsTheUsageText) {
  const RunResult r = run_tool({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "tarnwick 1.0 (x86)    Built on 2025-12-13\nUsage:\n"
            "\ttarnwick [ISO File] [Volume Label]\n\nExample:\n"
            "\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
            "\ttarnwick d:\\bd.iso \"The Monkey\"\n\n"
            "\t# print the volume label of d:\\bd.iso\n\ttarnwick d:\\bd.iso\n");
}

TEST(CommandLine, PrintsAndChangesTheLabel) {
  TempDir dir;
  const std::string path = dir.path("-dash.udf");
  write_file(path, read_file(kSample));
  EXPECT_EQ(run_tool({kSample}).out, "Volume label of " + kSample + ": Sample Disc\n");

  const RunResult change = run_tool({path, "Caf\xC3\xA9", "ignored third argument"});
  EXPECT_EQ(change.status, 0);
  EXPECT_EQ(change.out, "Changing " + path + " volume label to 'Caf\xC3\xA9'\nDone!\n");
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": Caf\xC3\xA9\n");

  const RunResult empty = run_tool({path, ""});
  EXPECT_EQ(empty.out, "Changing " + path + " volume label to ''\nDone!\n");
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": \n");
}

TEST(CommandLine, FailuresGiveTheirMessageAndLeaveTheFileAlone) {
  TempDir dir;
  const Image sample = read_file(kSample);
  struct Case {
    const char* what;
    Image image;
    std::string message;  // %s is the path
  };
  Image no_anchor = sample;
  no_anchor[256 * 2048 + 4] ^= 1;
  std::fill(no_anchor.end() - 2048, no_anchor.end(), 0);
  const Case kCases[] = {
      {"not UDF", Image(40 * 2048, 0), "UDF file system not found in: %s\n"},
      {"shorter than 26 sectors", Image(sample.begin(), sample.begin() + 25 * 2048),
       "UDF file system not found in: %s\n"},
      {"shorter than 257 sectors", Image(sample.begin(), sample.begin() + 256 * 2048),
       "Failed to read ADVP!\n"},
      {"anchor does not verify", no_anchor, "Failed to read ADVP!\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.path("bad.img");
    write_file(path, c.image);
    std::string message = c.message;
    if (const auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, path);
    const RunResult read = run_tool({path});
    EXPECT_EQ(read.status, 1);
    EXPECT_EQ(read.out, message);
    const RunResult write = run_tool({path, "New"});
    EXPECT_EQ(write.status, 1);
    EXPECT_EQ(write.out, "Changing " + path + " volume label to 'New'\n" + message);
    EXPECT_EQ(read_file(path), c.image);
  }

  const std::string missing = dir.path("missing.img");
  const RunResult absent = run_tool({missing});
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.out, "Error opening file: " + missing + "\n");
  const RunResult directory = run_tool({dir.path(""), "New"});
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.out, "Changing " + dir.path("") +
                               " volume label to 'New'\n"
                               "Error opening file for writing: " +
                               dir.path("") + "\n");
}

TEST(CommandLine, AnImmutableImageCannotBeOpenedForUpdate) {
  TempDir dir;
  const std::string path = dir.path("immutable.udf");
  write_file(path, read_file(kSample));
  if (run({"chattr", "+i", path}).status != 0) GTEST_SKIP() << "chattr +i is not supported here";
  const RunResult r = run_tool({path, "New"});
  run({"chattr", "-i", path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Changing " + path +
                       " volume label to 'New'\nError opening file for writing: " + path + "\n");
  EXPECT_EQ(read_file(path), read_file(kSample));
}

TEST(CommandLine, AWriteFailureInTheReserveSequenceFailsTheRun) {
  TempDir dir;
  const std::string path = dir.path("limited.udf");
  write_file(path, read_file(kSample));
  // Writes at or past the reserve sequence (sector 48) fail as on a full or limited file.
  const RunResult r = run_with_file_limit({TARNWICK_EXE, path, "New"}, 48 * 2048);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Changing " + path +
                       " volume label to 'New'\n"
                       "fwrite to sector 48 failed, result=0!\n"
                       "fwrite to sector 49 failed, result=0!\n"
                       "fwrite to sector 51 failed, result=0!\n"
                       "fwrite to sector 259 failed, result=0!\n"
                       "fwrite to sector 263 failed, result=0!\n");
}

}  // namespace
}  // namespace tarnwick::testing
