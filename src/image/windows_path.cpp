#include "image/windows_path.h"

#include <algorithm>

namespace tarnwick {

bool names_a_windows_device(std::string_view path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() < 4 || !separator(path[0]) || !separator(path[1]) ||
      (path[2] != '.' && path[2] != '?') || !separator(path[3])) {
    return false;
  }
  const std::string_view name = path.substr(4);
  return std::none_of(name.begin(), name.end(), separator);
}

}  // namespace tarnwick
