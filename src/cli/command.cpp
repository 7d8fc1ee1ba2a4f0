#include "cli/command.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "image/session.h"
#include "text/dstring.h"
#include "text/unicode.h"
#include "volume/pass.h"

namespace tarnwick {

namespace {

struct Arguments {
  bool dry_run = false;
  bool help = false;
  bool version = false;
  const char* operands[2] = {};
  int operand_count = 0;  // every operand counted, also past the two kept
};

// The options: what dispatches them and what --help says of them, in one place.
struct Option {
  std::string_view short_name, long_name;
  bool Arguments::*flag;
  const char* help;
};
constexpr Option kOptions[] = {
    {"-n", "--dry-run", &Arguments::dry_run, "list the writes a relabel would make, make none"},
    {"-h", "--help", &Arguments::help, "print this text"},
    {"-V", "--version", &Arguments::version, "print the version"},
};

// Reads the arguments in order. Returns the first one that begins with "-" and is no option
// (nor "-" alone, nor after "--"), or null.
const char* parse(int argc, char** argv, Arguments& args) {
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!operands_only && arg == "--") {
      operands_only = true;
      continue;
    }
    if (operands_only || arg.size() < 2 || arg[0] != '-') {
      if (args.operand_count < 2) args.operands[args.operand_count] = argv[i];
      ++args.operand_count;
      continue;
    }
    const Option* option = nullptr;
    for (const Option& o : kOptions) {
      if (arg == o.short_name || arg == o.long_name) option = &o;
    }
    if (option == nullptr) return argv[i];
    args.*option->flag = true;
  }
  return nullptr;
}

void print_help() {
  print_usage();
  std::fputs("\nOptions:\n", stdout);
  for (const Option& o : kOptions) {
    std::printf("\t%s, %-10s %s\n", o.short_name.data(), o.long_name.data(), o.help);
  }
  std::fputs(
      "\t--             every argument after it is a path or a label\n\n"
      "\t# list what changing the label of d:\\live.iso to 'My Live' would write\n"
      "\ttarnwick -n d:\\live.iso \"My Live\"\n",
      stdout);
}

}  // namespace

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
  if (argc < 2) {
    print_usage();
    return 0;
  }
  // A flag typed in the wrong place must never become a label: every argument is read first.
  Arguments args;
  if (const char* unknown = parse(argc, argv, args)) {
    std::printf("Unknown option: %s\n", unknown);
    return 1;
  }
  if (args.help) {
    print_help();
    return 0;
  }
  if (args.version) {
    std::puts("tarnwick 1.0");
    return 0;
  }
  if (args.operand_count > 2) {
    std::puts("Too many arguments: a label with spaces goes in quotes");
    return 1;
  }
  if (args.operand_count == 0) {
    print_usage();
    return 1;
  }
  const char* path = args.operands[0];
  const char* label = args.operands[1];
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
    session.dry_run = args.dry_run;
    std::printf(args.dry_run ? "Would change %s volume label to '%s'\n"
                             : "Changing %s volume label to '%s'\n",
                path, label);
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
