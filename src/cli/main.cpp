#include "cli/command.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

// Windows hands the arguments over as UTF-16: they become UTF-8 before anything else sees
// them, so labels and paths outside the ANSI code page reach the tool whole. Output is the
// same UTF-8 bytes as on Linux: no newline translation, and a console shows it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), size, nullptr, nullptr);
    arg.pop_back();
    args.push_back(std::move(arg));
  }
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const UINT code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
  const int status = tarnwick::run_command(argc, pointers.data());
  SetConsoleOutputCP(code_page);
  return status;
}
#else
int main(int argc, char** argv) { return tarnwick::run_command(argc, argv); }
#endif
