#include "text/unicode.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tarnwick {
namespace {

using Units = std::vector<std::uint16_t>;
using Bytes = std::vector<std::uint8_t>;

TEST(Utf8ToUtf16, ConvertsByTheFixedArithmetic) {
  struct Case {
    const char* what;
    Bytes in;
    Units out;
    std::int32_t result;
  };
  const Case kCases[] = {
      {"latin-1", {0x43, 0x61, 0x66, 0xC3, 0xA9}, {0x43, 0x61, 0x66, 0xE9}, 4},
      {"astral", {0xF0, 0x9F, 0x98, 0x80}, {0xD83D, 0xDE00}, 2},
      {"euro", {0xE2, 0x82, 0xAC}, {0x20AC}, 1},
      {"empty", {}, {}, 0},
      {"zero ends it", {0x41, 0x00, 0x42}, {0x41, 0x00}, 2},
      {"seven-bit continuation mask", {0xC3, 0xC3}, {0x0103}, 1},
      {"stray continuation byte", {0x80, 0x41}, {0x0041}, 1},
      {"overlong four-byte form", {0xF0, 0x80, 0x80, 0x80}, {0xD7C0, 0xDC00}, 2},
      {"cut short by the end", {0x41, 0xE2, 0x82}, {0x41, 0x2080}, 2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Units target(8, 0);
    EXPECT_EQ(utf8_to_utf16(c.in.data(), static_cast<std::uint32_t>(c.in.size()), target.data(), 8),
              c.result);
    EXPECT_EQ(Units(target.begin(), target.begin() + static_cast<long>(c.out.size())), c.out);
    for (std::size_t i = c.out.size(); i < target.size(); ++i) EXPECT_EQ(target[i], 0);
  }
}

TEST(Utf8ToUtf16, StopsWhenTheTargetIsFull) {
  Bytes letters(128, 'x');
  Units target(128, 0);
  EXPECT_EQ(utf8_to_utf16(letters.data(), 128, target.data(), 128), 128);
  letters.push_back('y');
  EXPECT_EQ(utf8_to_utf16(letters.data(), 129, target.data(), 128), 0);
  EXPECT_EQ(target[127], 'x');

  // A pair with one unit of room left: neither unit is written.
  const Bytes pair = {0x41, 0xF0, 0x9F, 0x98, 0x80};
  Units two(3, 0);
  EXPECT_EQ(utf8_to_utf16(pair.data(), 5, two.data(), 2), 0);
  EXPECT_EQ(two, (Units{0x41, 0, 0}));
}

TEST(Utf16ToUtf8, ConvertsAndPairsEverySurrogate) {
  struct Case {
    const char* what;
    Units in;
    Bytes out;
  };
  const Case kCases[] = {
      {"latin-1", {0xE9}, {0xC3, 0xA9}},
      {"euro", {0x20AC}, {0xE2, 0x82, 0xAC}},
      {"pair", {0xD83D, 0xDE00}, {0xF0, 0x9F, 0x98, 0x80}},
      {"lone high surrogate last", {0xD83D}, {0xF0, 0x9F, 0x90, 0x80}},
      {"low surrogate first", {0xDC00, 0x41}, {0xF0, 0x90, 0x81, 0x81}},
      {"zero ends it", {0x41, 0x00, 0x42}, {0x41, 0x00}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Bytes target(16, 0);
    EXPECT_EQ(
        utf16_to_utf8(c.in.data(), static_cast<std::uint32_t>(c.in.size()), target.data(), 16),
        static_cast<std::int32_t>(c.out.size()));
    EXPECT_EQ(Bytes(target.begin(), target.begin() + static_cast<long>(c.out.size())), c.out);
  }
  const Units euro = {0x41, 0x20AC};
  Bytes small(3, 0);
  EXPECT_EQ(utf16_to_utf8(euro.data(), 2, small.data(), 3), 0);
  EXPECT_EQ(small, (Bytes{0x41, 0, 0}));
}

TEST(Utf16Length, CountsUpToTheFirstZeroWithinTheBuffer) {
  Units units(128, 0);
  EXPECT_EQ(utf16_length(units.data()), 0);
  units.assign(128, 0x41);
  EXPECT_EQ(utf16_length(units.data()), 128);
  units[5] = 0;
  EXPECT_EQ(utf16_length(units.data()), 5);
}

// Arbitrary bytes never make a conversion write outside its target or read past its input
// (the sanitizer build checks the buffers are exact).
TEST(UnicodeConversion, SurvivesArbitraryInput) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t size = random() % 12;
    auto in = std::make_unique<std::uint8_t[]>(size + 1);
    for (std::size_t i = 0; i < size; ++i) in[i] = static_cast<std::uint8_t>(random());
    const std::uint32_t room = random() % 6;
    auto units = std::make_unique<std::uint16_t[]>(room + 1);
    const std::int32_t n =
        utf8_to_utf16(in.get(), static_cast<std::uint32_t>(size), units.get(), room);
    ASSERT_LE(n, static_cast<std::int32_t>(room));
    auto bytes = std::make_unique<std::uint8_t[]>(room * 4 + 1);
    const std::int32_t m = utf16_to_utf8(units.get(), room, bytes.get(), room * 4);
    ASSERT_LE(m, static_cast<std::int32_t>(room * 4));
  }
}

}  // namespace
}  // namespace tarnwick
