// The tool when the medium fails under it: each read, write and sync of a run made to fail in
// turn (strace injects the error; the tool is not changed), and the states an interrupted
// relabel can leave behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/image_builder.h"
#include "support/run.h"

namespace tarnwick::testing {
namespace {

// Makes the image `make` (a shell command writing $IMG, with a file in $DIR) at `path`.
void make_image(const std::string& path, const std::string& make) {
  const RunResult made =
      run({"sh", "-c", "mkdir \"$2\" && echo x >\"$2/a.txt\" && IMG=$1 DIR=$2 && " + make, "sh",
           path, path + ".files"});
  ASSERT_EQ(made.status, 0) << made.out;
}

// clang-format off
const std::pair<const char*, std::string> kVolumes[] = {
    {"512-byte volume", "mkudffs --new-file -b 512 --label=Old \"$IMG\" 8192"},
    {"UDF 2.50 with metadata and mirror", "cp '" TARNWICK_SOURCE_DIR "/sample/sample.udf' \"$IMG\""},
    {"write-once", "mkudffs --new-file --media-type=cdr --label=Old \"$IMG\" 300"},
    {"bridge", "genisoimage -quiet -udf -J -V Old -o \"$IMG\" \"$DIR\""},
    {"ISO 9660 with El Torito", "cp /bin/true \"$DIR/b.img\" && genisoimage -quiet -J -R -V Old -b b.img -no-emul-boot -o \"$IMG\" \"$DIR\""}};

TEST(Faults, EveryReadWriteAndSyncFailingInTurnEndsTheRunAndWritesNothingAfterIt) {
  for (const char* tool : {"strace", "mkudffs", "genisoimage"}) REQUIRE_TOOL(tool);
  for (const auto& [name, make] : kVolumes) {
    SCOPED_TRACE(name);
    TempDir work;
    const std::string path = work.path("image");
    make_image(path, make);
    const Image before = read_file(path);
    for (const std::vector<std::string>& args : {std::vector<std::string>{path}, {path, "New"}}) {
      const std::string said = (args.size() > 1 ? "Changing " + path + " volume label to 'New'\n" : "") + "Error reading file: " + path + "\nexit 1, 0 writes";
      const Traced all = run_traced(args, "openat,pread64");
      const std::size_t reads = all.on(path).count("pread64"), loader = all.count("pread64") - reads;
      write_file(path, before);
      for (std::size_t n = 1; n <= reads; ++n) {
        const Traced r = run_traced(args, "pread64,pwrite64", "pread64:error=EIO:when=" + std::to_string(loader + n));
        EXPECT_EQ(r.told() + ", " + std::to_string(r.count("pwrite64")) + " writes", said) << "read " << n;
      }
      EXPECT_TRUE(read_file(path) == before);
    }
    // A write or sync that fails is the run's last call, and no "Done!" follows it.
    const Traced all = run_traced({path, "New"}, "pwrite64,fdatasync");
    EXPECT_EQ(all.count("fdatasync"), name[0] == 'I' ? 1u : 2u);
    for (const std::string fail : {"pwrite64", "fdatasync"}) {
      for (std::size_t n = 1; n <= all.count(fail); ++n) {
        write_file(path, before);
        const Traced r = run_traced({path, "New"}, "pwrite64,fdatasync", fail + ":error=EIO:when=" + std::to_string(n));
        const std::string told = fail == "pwrite64" ? "fwrite to sector " : "Error writing file: " + path + "\n";
        EXPECT_TRUE(r.told().find(told) != std::string::npos && r.told().ends_with("\nexit 1")) << r.told();
        EXPECT_EQ(r.calls.back().substr(0, fail.size()) + r.calls.back().substr(r.calls.back().find(" = ")), fail + " = -1 EIO (Input/output error) (INJECTED)") << fail << " " << n;
      }
    }
  }
}
// clang-format on

// A relabel interrupted at any moment has made some of its writes: any of those before its
// first sync (the main sequence), or all of them and any of the rest. Each such state is a
// volume every reader reads, under the old name or the new one in each place, and relabelling
// it again makes it whole.
TEST(Faults, EveryStateAnInterruptedRelabelCanLeaveIsReadAndRepaired) {
  for (const char* tool : {"strace", "genisoimage", "udfinfo", "blkid"}) REQUIRE_TOOL(tool);
  TempDir work;
  const std::string path = work.path("bridge.iso");
  make_image(path, kVolumes[3].second);
  const Image before = read_file(path);
  const std::string warnings = udfinfo(path)["warnings"];
  const Traced relabel = run_traced({path, "New"}, "pwrite64,fdatasync");
  const Image after = read_file(path);
  std::vector<std::size_t> offsets;  // of each write, in order
  std::size_t main = 0;              // the writes before the first sync
  for (const std::string& call : relabel.calls) {
    if (call.rfind("fdatasync", 0) == 0 && main == 0) main = offsets.size();
    if (call.rfind("pwrite64", 0) == 0)
      offsets.push_back(std::stoull(call.substr(call.rfind(", ", call.rfind(") = ")) + 2)));
  }
  ASSERT_EQ(offsets.size(), 9u) << "both sequences' three descriptors, two ISO names, the file set";
  ASSERT_EQ(main, 3u);
  std::vector<std::uint32_t> states;  // the writes made, a bit each
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
    auto info = udfinfo(path);
    EXPECT_EQ(either(label_of(path)) + either(info["lvid"]) + either(info["fsid"]) +
                  either(blkid(path, "LABEL")) + either(blkid(path, "LABEL", "iso9660")) +
                  info["warnings"],
              "a namea namea namea namea name" + warnings);
    EXPECT_EQ(run_tool({path, "New"}).out, "Changing " + path + " volume label to 'New'\nDone!\n");
    EXPECT_TRUE(read_file(path) == after) << "relabelled again, it is whole";
  }
}

}  // namespace
}  // namespace tarnwick::testing
