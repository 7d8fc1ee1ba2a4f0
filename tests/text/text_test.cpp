#include <gtest/gtest.h>

#include <cstring>

#include "text/dstring.h"
#include "text/unicode.h"

namespace tarnwick {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Units = std::vector<std::uint16_t>;

TEST(Unicode, ConvertsByTheFixedArithmetic) {
  const struct {
    Bytes utf8;
    Units utf16;
    std::int32_t result;
  } kCases[] = {
      {{0x43, 0x61, 0x66, 0xC3, 0xA9}, {0x43, 0x61, 0x66, 0xE9}, 4},
      {{0xF0, 0x9F, 0x98, 0x80}, {0xD83D, 0xDE00}, 2},
      {{0xE2, 0x82, 0xAC}, {0x20AC}, 1},
      {{0x41, 0x00, 0x42}, {0x41, 0x00}, 2},
      {{0xC3, 0xC3}, {0x0103}, 1},                      // seven-bit continuation mask
      {{0xF0, 0x80, 0x80, 0x80}, {0xD7C0, 0xDC00}, 2},  // overlong: arithmetic shift
      {{0x41, 0xE2, 0x82}, {0x41, 0x2080}, 2},          // cut short: nothing read past it
      {{}, {}, 0},
  };
  for (const auto& c : kCases) {
    Units units(8, 0);
    EXPECT_EQ(
        utf8_to_utf16(c.utf8.data(), static_cast<std::uint32_t>(c.utf8.size()), units.data(), 8),
        c.result);
    units.resize(c.utf16.size());
    EXPECT_EQ(units, c.utf16);
  }
  const struct {
    Units utf16;
    Bytes utf8;
  } kBack[] = {
      {{0xE9}, {0xC3, 0xA9}},
      {{0x20AC}, {0xE2, 0x82, 0xAC}},
      {{0xD83D, 0xDE00}, {0xF0, 0x9F, 0x98, 0x80}},
      {{0xD83D}, {0xF0, 0x9F, 0x90, 0x80}},  // a last surrogate pairs with a zero unit
      {{0xDC00, 0x41}, {0xF0, 0x90, 0x81, 0x81}},
      {{0x41, 0x00, 0x42}, {0x41, 0x00}},
  };
  for (const auto& c : kBack) {
    Bytes bytes(16, 0);
    EXPECT_EQ(
        utf16_to_utf8(c.utf16.data(), static_cast<std::uint32_t>(c.utf16.size()), bytes.data(), 16),
        static_cast<std::int32_t>(c.utf8.size()));
    bytes.resize(c.utf8.size());
    EXPECT_EQ(bytes, c.utf8);
  }
  // Full targets: the characters before the one that did not fit stay, nothing after.
  const Bytes pair = {0x41, 0xF0, 0x9F, 0x98, 0x80};
  Units two(3, 0);
  EXPECT_EQ(utf8_to_utf16(pair.data(), 5, two.data(), 2), 0);
  EXPECT_EQ(two, (Units{0x41, 0, 0}));
  Bytes small(3, 0);
  EXPECT_EQ(utf16_to_utf8(Units{0x41, 0x20AC}.data(), 2, small.data(), 3), 0);
  EXPECT_EQ(small, (Bytes{0x41, 0, 0}));
  Units full(128, 'x');
  EXPECT_EQ(utf16_length(full.data()), 128);
}

TEST(Unicode, OnlyWellFormedUtf8IsValid) {
  const struct {
    Bytes bytes;
    bool valid;
  } kCases[] = {
      {{0x41, 0x7F}, true},                          // U+007F, the last one-byte form
      {{0xC2, 0x80, 0xDF, 0xBF}, true},              // U+0080 and U+07FF
      {{0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}, true},  // U+0800 and U+FFFF
      {{0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}, true},  // U+D7FF and U+E000 around the surrogates
      {{0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}, true},  // U+10000 and U+10FFFF
      {{0x80}, false},                                           // a continuation byte first
      {{0xC3}, false},                                           // cut short at the end
      {{0xE2, 0x82}, false},
      {{0xF0, 0x9F, 0x98}, false},
      {{0xC3, 0x41}, false},  // not followed by a continuation byte
      {{0xE2, 0x82, 0xC0}, false},
      {{0xF0, 0x9F, 0x98, 0x41}, false},
      {{0xC0, 0x80}, false},  // overlong forms
      {{0xC1, 0xBF}, false},
      {{0xE0, 0x9F, 0xBF}, false},
      {{0xF0, 0x8F, 0xBF, 0xBF}, false},
      {{0xED, 0xA0, 0x80}, false},  // U+D800 and U+DFFF
      {{0xED, 0xBF, 0xBF}, false},
      {{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
      {{0xF5, 0x80, 0x80, 0x80}, false},
      {{0xFF, 0xFE}, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid)
        << ::testing::PrintToString(c.bytes);
  }
}

TEST(NewLabel, FormAndCutOfEachField) {
  const std::string smile = "\xF0\x9F\x98\x80";
  const struct {
    std::string label;
    std::uint8_t id, short_length, long_length;
  } kCases[] = {
      {"A", 8, 2, 2},
      {std::string(40, 'a'), 8, 31, 41},
      {std::string(200, 'a'), 8, 31, 127},
      {std::string(19, 'a') + "\xE2\x82\xAC", 16, 31, 41},
      {std::string(126, 'a') + "\xE2\x82\xAC", 8, 31, 127},  // the form is decided on 126 units
      // No field ends in half a surrogate pair.
      {std::string(14, 'a') + smile, 16, 29, 33},
      {std::string(62, 'a') + smile, 16, 31, 125},
      {std::string(125, 'a') + smile, 8, 31, 126},
      {"", 0, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    ImageSession s;
    session_init(s);
    set_new_label(s, c.label.c_str());
    EXPECT_FALSE(is_read_only(s));
    EXPECT_EQ(s.new_label_short[0], c.id);
    EXPECT_EQ(s.new_label_long[0], c.id);
    EXPECT_EQ(s.new_label_short[31], c.short_length);
    EXPECT_EQ(s.new_label_long[127], c.long_length);
  }
  ImageSession s;
  session_init(s);
  set_new_label(s,
                "\xE2\x82\xAC"
                "A\xC3\xA9");
  EXPECT_EQ(Bytes(s.new_label_long.begin(), s.new_label_long.begin() + 8),
            (Bytes{16, 0x20, 0xAC, 0, 0x41, 0, 0xE9, 0}));
  set_new_label(s, "A\xC3\xA9");
  EXPECT_EQ(Bytes(s.new_label_short.begin(), s.new_label_short.begin() + 4),
            (Bytes{8, 0x41, 0xE9, 0}));
}

TEST(DstringText, DecodesAsUtf8WithinTheField) {
  const auto text_of = [](Bytes content, std::uint8_t length, std::size_t size = 128,
                          std::int32_t room = 255) {
    content.resize(size, 0);
    content.back() = length;
    std::string out(256, '\0');
    dstring_to_text(content.data(), static_cast<std::int32_t>(size),
                    reinterpret_cast<std::uint8_t*>(out.data()), room);
    return std::string(out.c_str());
  };
  EXPECT_EQ(text_of({8, 0x41, 0xE9}, 3), "A\xC3\xA9") << "8-bit characters are U+0000-U+00FF";
  EXPECT_EQ(text_of({8, 0x41, 0, 0x42}, 4), "A");
  EXPECT_EQ(text_of({16, 0, 0x41, 0, 0xE9}, 5), "A\xC3\xA9");
  EXPECT_EQ(text_of({16, 0, 0x41, 0}, 4), "A");
  EXPECT_EQ(text_of({16, 0xD8, 0x3D, 0xDE, 0x00}, 5), "\xF0\x9F\x98\x80");
  EXPECT_EQ(text_of({8, 0x41}, 1), "");
  EXPECT_EQ(text_of({0, 0x41}, 2), "");
  // Length bytes past the field count only to its end; the text always stays terminated.
  EXPECT_EQ(text_of(
                [] {
                  Bytes b(127, 0x41);
                  b[0] = 16;
                  return b;
                }(),
                255)
                .size(),
            63u * 3);
  EXPECT_EQ(text_of(
                [] {
                  Bytes b(31, 0xE9);
                  b[0] = 8;
                  return b;
                }(),
                200, 32)
                .size(),
            60u);
  EXPECT_EQ(text_of({8, 0xE9, 0xE9}, 3, 32, 3), "\xC3\xA9");
}

}  // namespace
}  // namespace tarnwick
