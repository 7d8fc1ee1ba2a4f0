#include "cli/command.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "image/session.h"
#include "text/dstring.h"
#include "text/unicode.h"
#include "volume/pass.h"

namespace tarnwick {

void print_usage() {
  std::fputs(
      "tarnwick 1.0 (x86)    Built on 2025-12-13\n"
      "Usage:\n"
      "\ttarnwick [ISO File] [Volume Label]\n\n"
      "Example:\n"
      "\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
      "\ttarnwick d:\\bd.iso \"The Monkey\"\n\n"
      "\t# print the volume label of d:\\bd.iso\n"
      "\ttarnwick d:\\bd.iso\n",
      stdout);
}

int run_command(int argc, char** argv) {
  const std::string_view only = argc == 2 ? argv[1] : "";
  if (argc < 2 || only == "--help" || only == "-h") {
    print_usage();
    return 0;
  }
  if (only == "--version" || only == "-V") {
    std::puts("tarnwick 1.0");
    return 0;
  }
  const char* path = argv[1];
  const char* label = argc > 2 ? argv[2] : nullptr;
  // A label that is not UTF-8 would be stored as neither what was typed nor readable text.
  if (label != nullptr &&
      !is_valid_utf8(reinterpret_cast<const std::uint8_t*>(label), std::strlen(label))) {
    std::puts("Label is not valid UTF-8");
    return 1;
  }
  VolumeSession session;
  if (!session_init(session)) return 1;
  if (label != nullptr) {
    set_new_label(session, label);
    std::printf("Changing %s volume label to '%s'\n", path, label);
  }
  const bool ok = process_volume(session, path);
  if (ok && label == nullptr) {
    std::printf("Volume label of %s: %s\n", path,
                reinterpret_cast<const char*>(session.current_label.data()));
  }
  session_close(session);
  std::fflush(stdout);
  return ok ? 0 : 1;
}

}  // namespace tarnwick
