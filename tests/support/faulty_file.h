// A stdio stream over a real file that fails on demand: a chosen positioning call, or every
// write that reaches past a byte offset. Lets tests drive the tool's failure paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnwick::testing {

struct FaultPlan {
  int fail_seek_number = -1;               // the Nth positioning call (from 0) fails; -1: none
  std::uint64_t write_limit = UINT64_MAX;  // bytes at or past this offset are not written
  int seeks = 0;                           // positioning calls seen so far
  int writes = 0;                          // write calls seen so far
};

// Opens `path` for update as an unbuffered stream that obeys `plan` (which must outlive it).
std::FILE* open_faulty(const std::string& path, FaultPlan& plan);

}  // namespace tarnwick::testing
