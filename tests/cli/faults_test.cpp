// The tool when the medium fails under it: each read, write and sync of a run made to fail in
// turn (strace injects the error; the tool is not changed), and the states an interrupted
// relabel can leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

const std::string kSample = std::string(TARNWICK_SOURCE_DIR) + "/sample/sample.udf";

// The tool's run on `args` under strace, with the `when`th call of `fail` failing with EIO (none
// for 0); `calls` receives its pread64, pwrite64 and fdatasync calls in order, as "name=result",
// and `offsets` the byte position of each pwrite64.
RunResult traced(const std::vector<std::string>& args, const std::string& fail, int when,
                 std::vector<std::string>& calls, std::vector<std::size_t>* offsets = nullptr) {
  TempDir dir;
  std::vector<std::string> argv = {
      "env", "ASAN_OPTIONS=detect_leaks=0",     "strace", "-qq", "-o", dir.path("trace"),
      "-e",  "trace=pread64,pwrite64,fdatasync"};
  if (when > 0)
    argv.insert(argv.end(), {"-e", "inject=" + fail + ":error=EIO:when=" + std::to_string(when)});
  argv.push_back(TARNWICK_EXE);
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult result = run(argv);
  calls.clear();
  std::ifstream trace(dir.path("trace"));
  for (std::string line; std::getline(trace, line);) {
    const std::size_t eq = line.rfind(" = ");
    if (offsets != nullptr && line.rfind("pwrite64", 0) == 0)
      offsets->push_back(std::stoull(line.substr(line.rfind(", ", eq) + 2)));
    calls.push_back(line.substr(0, line.find('(')) + "=" +
                    line.substr(eq + 3, line.find(' ', eq + 3) - eq - 3));
  }
  return result;
}

std::size_t count(const std::vector<std::string>& calls, const std::string& name) {
  std::size_t n = 0;
  for (const std::string& c : calls) n += c.rfind(name + "=", 0) == 0;
  return n;
}

struct Volume {
  std::string name, make;  // a shell command that writes $IMG, or empty for the sample
};

// clang-format off
const Volume kVolumes[] = {
    {"512-byte volume", "mkudffs --new-file -b 512 --label=Old \"$IMG\" 8192"},
    {"UDF 2.50 with metadata and mirror", ""},
    {"write-once", "mkudffs --new-file --media-type=cdr --label=Old \"$IMG\" 300"},
    {"bridge", "genisoimage -quiet -udf -J -V Old -o \"$IMG\" \"$DIR\""},
    {"ISO 9660 with El Torito", "cp /bin/true \"$DIR/b.img\" && genisoimage -quiet -J -R -V Old -b b.img -no-emul-boot -o \"$IMG\" \"$DIR\""},
};
// clang-format on

TEST(Faults, EveryReadWriteAndSyncFailingInTurnEndsTheRunAndWritesNothingAfterIt) {
  for (const char* tool : {"strace", "mkudffs", "genisoimage"}) REQUIRE_TOOL(tool);
  for (const Volume& v : kVolumes) {
    SCOPED_TRACE(v.name);
    TempDir work;
    const std::string path = work.path("image");
    const RunResult made = run({"sh", "-c",
                                "IMG='" + path + "' DIR='" + work.dir +
                                    "/files'; mkdir \"$DIR\" && echo x >\"$DIR/a.txt\" && " +
                                    (v.make.empty() ? "cp '" + kSample + "' \"$IMG\"" : v.make)});
    ASSERT_EQ(made.status, 0) << made.out;
    const Image before = read_file(path);
    std::vector<std::string> calls;
    for (const bool writing : {false, true}) {
      std::vector<std::string> args = {path};
      if (writing) args.push_back("New");
      const std::string changing = writing ? "Changing " + path + " volume label to 'New'\n" : "";
      ASSERT_EQ(traced(args, "", 0, calls).status, 0);
      const std::size_t reads = count(calls, "pread64");
      ASSERT_GT(reads, 2u);
      write_file(path, before);
      for (int n = 1; n <= static_cast<int>(reads); ++n) {
        EXPECT_EQ(traced(args, "pread64", n, calls).told(),
                  changing + "Error reading file: " + path + "\nexit 1")
            << "read " << n;
        EXPECT_EQ(count(calls, "pwrite64"), 0u) << "read " << n;
      }
      EXPECT_TRUE(read_file(path) == before);
    }
    // Writes and syncs: the run stops at the first that fails.
    traced({path, "New"}, "", 0, calls);
    const std::size_t writes = count(calls, "pwrite64"), syncs = count(calls, "fdatasync");
    EXPECT_EQ(syncs, v.name.rfind("ISO", 0) == 0 ? 1u : 2u);
    for (const std::string fail : {"pwrite64", "fdatasync"}) {
      for (int n = 1; n <= static_cast<int>(fail == "pwrite64" ? writes : syncs); ++n) {
        SCOPED_TRACE(fail + " " + std::to_string(n));
        write_file(path, before);
        const RunResult r = traced({path, "New"}, fail, n, calls);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.find("Done!"), std::string::npos);
        EXPECT_NE(
            r.out.find(fail == "pwrite64" ? "fwrite to sector" : "Error writing file: " + path),
            std::string::npos)
            << r.out;
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), fail + "=-1") << "nothing after the failing call";
      }
    }
  }
}

// A relabel interrupted at any moment has made some of its writes: any of those before its
// first sync (the main sequence), or all of them and any of the rest. Each such state is a
// volume every reader reads, under the old name or the new one in each place, and relabelling
// it again makes it whole.
TEST(Faults, EveryStateAnInterruptedRelabelCanLeaveIsReadAndRepaired) {
  for (const char* tool : {"strace", "genisoimage", "udfinfo", "blkid"}) REQUIRE_TOOL(tool);
  TempDir work;
  const std::string path = work.path("bridge.iso");
  ASSERT_EQ(run({"sh", "-c",
                 "mkdir \"$1/f\" && echo x >\"$1/f/a\" && genisoimage -quiet -udf -J -V Old -o "
                 "\"$2\" \"$1/f\"",
                 "sh", work.dir, path})
                .status,
            0);
  const Image before = read_file(path);
  const std::string warnings = udfinfo(path)["warnings"];
  std::vector<std::string> calls;
  std::vector<std::size_t> offsets;
  traced({path, "New"}, "", 0, calls, &offsets);
  const Image after = read_file(path);
  const auto first_sync = std::find(calls.begin(), calls.end(), "fdatasync=0");
  const auto main = static_cast<std::size_t>(std::count_if(
      calls.begin(), first_sync, [](const std::string& c) { return c.rfind("pwrite64", 0) == 0; }));
  ASSERT_EQ(offsets.size(), 9u)
      << "both sequences' three descriptors, two ISO 9660 names, the file set";
  ASSERT_EQ(main, 3u);
  // Each state: the writes of `made`, a bit each.
  std::vector<std::uint32_t> states;
  for (std::uint32_t made = 0; made < 1u << main; ++made) states.push_back(made);
  for (std::uint32_t rest = 1; rest < 1u << (offsets.size() - main); ++rest)
    states.push_back(((1u << main) - 1) | rest << main);
  const auto either = [](const std::string& name) {
    return name == "Old" || name == "New" ? "a name" : name;
  };
  for (const std::uint32_t made : states) {
    SCOPED_TRACE(made);
    Image state = before;
    for (std::size_t w = 0; w < offsets.size(); ++w)
      if ((made >> w & 1) != 0)
        std::copy_n(after.begin() + offsets[w], 2048, state.begin() + offsets[w]);
    write_file(path, state);
    EXPECT_EQ(either(label_of(path)), "a name");
    auto info = udfinfo(path);
    EXPECT_EQ(either(info["lvid"]) + either(info["fsid"]) + info["warnings"],
              "a namea name" + warnings);
    EXPECT_EQ(either(blkid(path, "LABEL")) + either(blkid(path, "LABEL", "iso9660")),
              "a namea name");
    EXPECT_EQ(run_tool({path, "New"}).out, "Changing " + path + " volume label to 'New'\nDone!\n");
    EXPECT_TRUE(read_file(path) == after) << "relabelled again, it is whole";
  }
}

}  // namespace
}  // namespace tarnwick::testing
