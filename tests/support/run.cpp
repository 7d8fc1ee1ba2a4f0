#include "support/run.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/image_builder.h"

namespace tarnwick::testing {

RunResult run(const std::vector<std::string>& argv) {
  // A run that hangs (a fault that makes the tool loop) fails within a minute and leaves no
  // process behind: timeout ends its whole process group.
  std::string command = "PATH=/usr/sbin:/sbin:/usr/bin:/bin; exec timeout -k 1 60";
  for (const std::string& arg : argv) {
    command += " '";
    for (const char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  std::fflush(nullptr);
  std::FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
  if (pipe == nullptr) return {};
  RunResult result;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    result.out.append(chunk, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), TARNWICK_EXE);
  return run(args);
}

Traced run_traced(const std::vector<std::string>& args, const std::string& trace,
                  const std::string& inject) {
  TempDir dir;
  std::vector<std::string> argv = {"env",    "ASAN_OPTIONS=detect_leaks=0",
                                   "strace", "-qq",
                                   "-o",     dir.path("trace"),
                                   "-e",     "trace=" + trace};
  if (!inject.empty()) argv.insert(argv.end(), {"-e", "inject=" + inject});
  argv.push_back(TARNWICK_EXE);
  argv.insert(argv.end(), args.begin(), args.end());
  Traced traced{run(argv), {}};
  std::ifstream lines(dir.path("trace"));
  for (std::string line; std::getline(lines, line);) traced.calls.push_back(line);
  return traced;
}

std::size_t Traced::count(const std::string& call) const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(),
                    [&](const std::string& c) { return c.rfind(call + "(", 0) == 0; }));
}

DryRun dry_run_of(const std::string& out) {
  DryRun dry;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Would write sector ", 0) != 0) {
      dry.said += line + "\n";
      continue;
    }
    dry.sectors.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(19))));
    dry.writes.push_back(line.substr(line.find(": ") + 2));
  }
  std::sort(dry.sectors.begin(), dry.sectors.end());
  return dry;
}

Traced Traced::on(const std::string& path) const {
  Traced after = *this;
  const auto open = std::find_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.rfind("openat(", 0) == 0 && c.find("\"" + path + "\"") != std::string::npos;
  });
  after.calls.assign(open == calls.end() ? calls.end() : open + 1, calls.end());
  return after;
}

std::string windows_exe() {
  static const bool runnable =
      std::filesystem::exists(TARNWICK_WINDOWS_EXE) && have_tool("wine") && have_tool("wineserver");
  return runnable ? TARNWICK_WINDOWS_EXE : "";
}

RunResult run_windows(std::vector<std::string> args) {
  // Wine's server and services start apart from the output being read, which they would
  // otherwise hold open for seconds after each run; they end 30 seconds after the last one.
  run({"sh", "-c",
       "export WINEDEBUG=-all; wineserver -p 30 </dev/null >/dev/null 2>&1; "
       "wine cmd /c exit </dev/null >/dev/null 2>&1"});
  args.insert(args.begin(), {"env", "WINEDEBUG=-all", "wine", windows_exe()});
  return run(args);
}

RunResult run_both(const std::string& path, const std::vector<std::string>& args) {
  const bool windows = !windows_exe().empty(), image = std::filesystem::exists(path);
  const Image before = windows && image ? read_file(path) : Image();
  std::vector<std::string> all = {path};
  all.insert(all.end(), args.begin(), args.end());
  const RunResult linux_run = run_tool(all);
  if (windows) {  // on the image as it was, then left as the Linux build left it
    const Image after = image ? read_file(path) : Image();
    if (image) write_file(path, before);
    EXPECT_EQ(run_windows(all).told(), linux_run.told()) << "the Windows build";
    if (image) EXPECT_TRUE(read_file(path) == after) << "the Windows build's bytes";
  }
  return linux_run;
}

std::string label_of(const std::string& path) {
  const std::string out = run_tool({path}).out;
  const std::string prefix = "Volume label of " + path + ": ";
  if (out.rfind(prefix, 0) != 0 || out.back() != '\n') return "<" + out + ">";
  return out.substr(prefix.size(), out.size() - prefix.size() - 1);
}

bool have_tool(const std::string& name) {
  const std::string probe = name == "pycdlib" ? "python3 -c 'import pycdlib'"
                            : name[0] == '/'  ? "test -e " + name
                                              : "command -v " + name;
  return run({"sh", "-c", probe}).status == 0;
}

std::string capture_stdout(const std::function<void()>& fn) {
  ::testing::internal::CaptureStdout();
  fn();
  return ::testing::internal::GetCapturedStdout();
}

std::map<std::string, std::string> udfinfo(const std::string& path, std::uint32_t block) {
  std::map<std::string, std::string> values;
  std::istringstream lines(
      run({"udfinfo", "--blocksize=" + std::to_string(block), "--utf8", path}).out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Warning") != std::string::npos || line.find("Error") != std::string::npos)
      values["warnings"] += line + "\n";
    else if (const std::size_t eq = line.find('='); eq != std::string::npos)
      values.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return values;
}

std::string blkid(const std::string& path, const std::string& tag, const std::string& type) {
  std::vector<std::string> argv = {"blkid", "-p", "-o", "value", "-s", tag, path};
  if (!type.empty()) argv.insert(argv.begin() + 2, {"-n", type});
  std::string value = run(argv).out;
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

LoopDevice::LoopDevice(const std::string& file, std::uint32_t sector_size, bool read_only) {
  std::vector<std::string> argv = {"losetup", "-f", "--show", "-b", std::to_string(sector_size),
                                   file};
  if (read_only) argv.push_back("-r");
  const RunResult r = run(argv);
  if (r.status == 0 && r.out.rfind("/dev/", 0) == 0) node = r.out.substr(0, r.out.find('\n'));
}

LoopDevice::~LoopDevice() {
  if (!node.empty()) run({"losetup", "-d", node});
}

}  // namespace tarnwick::testing
