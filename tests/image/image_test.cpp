#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli/command.h"
#include "image/session.h"
#include "support/image_builder.h"
#include "support/run.h"

namespace {

int nothrow_allocations = 0, failing_allocation = 0;  // which one fails, counting from 1

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return ++nothrow_allocations == failing_allocation ? nullptr : ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ++nothrow_allocations == failing_allocation ? nullptr : ::operator new[](size);
}

namespace tarnwick::testing {
namespace {

struct Session {
  ImageSession s;
  explicit Session(FileHandle image = kNoFile) {
    session_init(s);
    s.image = image;
    s.block_size = 2048;
  }
  ~Session() { session_close(s); }
};

TEST(ImageSession, PositionsPast4GiBAndFailedAllocationsAreReported) {
  TempDir dir;
  std::uint8_t sector[2048] = {7}, back[2048] = {};
  Session far(open(dir.path("far").c_str(), O_RDWR | O_CREAT, 0600));  // sparse, 4 GiB + 4 KiB
  plan_write(far.s, 0x200001, 2048, sector, WriteKind::kFileSet);
  EXPECT_TRUE(commit_plan(far.s));
  EXPECT_EQ(read_sectors(far.s, 0x200001, 1, back), 1u);
  EXPECT_EQ(back[0], 7);
  EXPECT_EQ(std::filesystem::file_size(dir.path("far")), 0x200002ull * 2048);
  // A failed allocation ends the command with a failure, before the image is opened.
  char tool[] = "tarnwick", path[] = "/nonexistent", *argv[] = {tool, path};
  for (int failing : {1, 2}) {  // the buffer's record, then its bytes
    nothrow_allocations = 0, failing_allocation = failing;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(run_command(2, argv), 1); }), "");
    failing_allocation = 0;
  }
}

}  // namespace
}  // namespace tarnwick::testing
