// Running things in tests: the built tool, the authoring tools and independent readers, and
// capturing what library calls print on standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;  // standard output and standard error, interleaved
};

// Runs `argv` (argv[0] searched on PATH), capturing its output.
RunResult run(const std::vector<std::string>& argv);

// Runs `argv` with writes at or past byte `file_limit` of any file failing (RLIMIT_FSIZE,
// with SIGXFSZ ignored).
RunResult run_with_file_limit(const std::vector<std::string>& argv, std::uint64_t file_limit);

// Runs the built tarnwick executable with `args`.
RunResult run_tool(const std::vector<std::string>& args);

// Whether an executable is on PATH (or /sbin, /usr/sbin).
bool have_tool(const std::string& name);

// What `fn` prints on standard output.
std::string capture_stdout(const std::function<void()>& fn);

// key=value lines of `udfinfo PATH`.
std::map<std::string, std::string> udfinfo(const std::string& path);
// The value of `tag` (LABEL, VOLUME_ID, ...) that `blkid -p` probes, unescaped.
std::string blkid(const std::string& path, const std::string& tag);

// Makes an image of `blocks` 2048-byte blocks with mkudffs; the extra arguments are passed on.
// Returns false when mkudffs refused.
bool mkudffs(const std::string& path, std::uint32_t blocks, const std::vector<std::string>& args);

}  // namespace tarnwick::testing

// Skips the current test with a clear message when an external tool is missing.
#define REQUIRE_TOOL(name)                                                                \
  do {                                                                                    \
    if (!::tarnwick::testing::have_tool(name)) {                                          \
      GTEST_SKIP() << name << " is not installed (apt-get install udftools genisoimage)"; \
    }                                                                                     \
  } while (0)
