// Running the built tool, authoring tools and independent readers, and capturing what library
// calls print.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct RunResult {
  int status = -1;  // exit status; -1 when the process did not exit normally
  std::string out;  // standard output and standard error
  // The output and the exit status, to compare both at once.
  std::string told() const { return out + "exit " + std::to_string(status); }
};

// Runs `argv` (searched on PATH and in /sbin, /usr/sbin), ended after 60 seconds.
RunResult run(const std::vector<std::string>& argv);
RunResult run_tool(std::vector<std::string> args);
// The Windows build, cross-compiled beside the tests where mingw-w64 is installed; empty when
// there is none or no Wine to run it. run_windows runs it under Wine.
std::string windows_exe();
RunResult run_windows(std::vector<std::string> args);
// The tool's run on `args` under strace: `calls` holds the lines strace prints for the system
// calls `trace` names ("openat,pwrite64"); `inject` ("pread64:error=EIO:when=3"), when given,
// makes a call fail.
struct Traced : RunResult {
  std::vector<std::string> calls;
  std::size_t count(const std::string& call) const;  // the calls of that name
  // The calls after the openat of `path`: those on the image, without the calls a dynamically
  // linked tool's loader makes on its libraries before.
  Traced on(const std::string& path) const;
};
Traced run_traced(const std::vector<std::string>& args, const std::string& trace,
                  const std::string& inject = "");
// A dry run's output taken apart: the sectors of its "Would write sector N: KIND 'NAME'" lines
// in order of sector, each line's "KIND 'NAME'", and every other line.
struct DryRun {
  std::vector<std::uint32_t> sectors;
  std::vector<std::string> writes;
  std::string said;
};
DryRun dry_run_of(const std::string& out);
// Runs the tool with `args` on `path`, and the Windows build likewise on the image as it was:
// the output, the exit status and the image's bytes must be equal.
RunResult run_both(const std::string& path, const std::vector<std::string>& args = {});
// The label that `tarnwick PATH` prints, or the whole output in <> when it prints no label.
std::string label_of(const std::string& path);

// A program on PATH, a file for an absolute path, or for "pycdlib" the Python module.
bool have_tool(const std::string& name);
std::string capture_stdout(const std::function<void()>& fn);
// udfinfo's key=value lines, told the block size; its warnings and errors under "warnings".
std::map<std::string, std::string> udfinfo(const std::string& path, std::uint32_t block = 2048);
// blkid's value of `tag` for the file system it finds first, or for `type` alone.
std::string blkid(const std::string& path, const std::string& tag, const std::string& type = "");
// A loop device over a file, with the given logical sector size (and marked read-only by the
// kernel when `read_only`), detached again however the
// test ends; `node` is empty when none could be made.
struct LoopDevice {
  LoopDevice(const std::string& file, std::uint32_t sector_size, bool read_only = false);
  ~LoopDevice();
  std::string node;
};

}  // namespace tarnwick::testing

#define REQUIRE_TOOL(name)                   \
  if (!::tarnwick::testing::have_tool(name)) \
  GTEST_SKIP() << name << " is not installed (apt-get install udftools genisoimage strace)"
