#include "support/run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tarnwick::testing {

namespace {

std::string read_all(int fd) {
  std::string out;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<std::size_t>(n));
  return out;
}

std::map<std::string, std::string> key_values(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && values.count(line.substr(0, eq)) == 0) {
      values[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return values;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv) { return run_with_file_limit(argv, 0); }

RunResult run_with_file_limit(const std::vector<std::string>& argv, std::uint64_t file_limit) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {};
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    close(pipefd[1]);
    if (file_limit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{file_limit, file_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    setenv("PATH", (std::string(getenv("PATH") ? getenv("PATH") : "") + ":/sbin:/usr/sbin").c_str(),
           1);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipefd[1]);
  RunResult result;
  result.out = read_all(pipefd[0]);
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult run_tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TARNWICK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

bool have_tool(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
    if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string capture_stdout(const std::function<void()>& fn) {
  std::fflush(stdout);
  std::FILE* sink = std::tmpfile();
  const int saved = dup(1);
  dup2(fileno(sink), 1);
  fn();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::rewind(sink);
  std::string out;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) out.append(chunk, n);
  std::fclose(sink);
  return out;
}

std::map<std::string, std::string> udfinfo(const std::string& path) {
  return key_values(run({"udfinfo", "--utf8", path}).out);
}

std::string blkid(const std::string& path, const std::string& tag) {
  std::string value = run({"blkid", "-p", "-o", "value", "-s", tag, path}).out;
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

bool mkudffs(const std::string& path, std::uint32_t blocks, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"mkudffs", "--new-file", "--blocksize=2048"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(path);
  argv.push_back(std::to_string(blocks));
  return run(argv).status == 0;
}

}  // namespace tarnwick::testing
