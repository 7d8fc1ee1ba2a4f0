#include "text/dstring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Labelled {
  ImageSession session;
  explicit Labelled(const std::string& label) {
    session_init(session);
    set_new_label(session, label.c_str());
  }
  ~Labelled() { session_close(session); }
  std::uint8_t short_length() const { return session.new_label_short[31]; }
  std::uint8_t long_length() const { return session.new_label_long[127]; }
};

TEST(NewLabel, TakesTheFormAndCutsOfEachField) {
  struct Case {
    const char* what;
    std::string label;
    std::uint8_t id;
    std::uint8_t short_length;
    std::uint8_t long_length;
  };
  const std::string smile = "\xF0\x9F\x98\x80";
  const Case kCases[] = {
      {"one letter", "A", 8, 2, 2},
      {"40 letters", std::string(40, 'a'), 8, 31, 41},
      {"200 letters", std::string(200, 'a'), 8, 31, 127},
      {"latin-1", "Caf\xC3\xA9", 8, 5, 5},
      {"euro after 19 letters", std::string(19, 'a') + "\xE2\x82\xAC", 16, 31, 41},
      {"BMP beyond 63 units", std::string(70, 'a') + "\xE2\x82\xAC", 16, 31, 127},
      {"126 latin then euro", std::string(126, 'a') + "\xE2\x82\xAC", 8, 31, 127},
      // A cut never leaves half a surrogate pair as a field's last unit.
      {"astral after 14 letters", std::string(14, 'a') + smile, 16, 29, 33},
      {"astral across the long cut", std::string(62, 'a') + smile, 16, 31, 125},
      {"astral across the 126 cut", std::string(125, 'a') + smile, 8, 31, 126},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Labelled l(c.label);
    EXPECT_FALSE(is_read_only(l.session));
    EXPECT_EQ(l.session.new_label_short[0], c.id);
    EXPECT_EQ(l.session.new_label_long[0], c.id);
    EXPECT_EQ(l.short_length(), c.short_length);
    EXPECT_EQ(l.long_length(), c.long_length);
    for (std::size_t i = c.short_length; i < 31; ++i) EXPECT_EQ(l.session.new_label_short[i], 0);
    for (std::size_t i = c.long_length; i < 127; ++i) EXPECT_EQ(l.session.new_label_long[i], 0);
  }
}

TEST(NewLabel, StoresCharactersExactly) {
  Labelled latin("A\xC3\xA9");
  EXPECT_EQ(Bytes(latin.session.new_label_short.begin(), latin.session.new_label_short.begin() + 3),
            (Bytes{8, 0x41, 0xE9}));
  Labelled wide(
      "\xE2\x82\xAC"
      "A");
  EXPECT_EQ(Bytes(wide.session.new_label_long.begin(), wide.session.new_label_long.begin() + 5),
            (Bytes{16, 0x20, 0xAC, 0x00, 0x41}));
  Labelled empty("");
  EXPECT_FALSE(is_read_only(empty.session));
  for (std::uint8_t b : empty.session.new_label_short) EXPECT_EQ(b, 0);
  for (std::uint8_t b : empty.session.new_label_long) EXPECT_EQ(b, 0);
}

std::string text_of(Bytes field, std::size_t target_size = 255) {
  std::vector<std::uint8_t> target(target_size + 1, 0);
  dstring_to_text(field.data(), static_cast<std::int32_t>(field.size()), target.data(),
                  static_cast<std::int32_t>(target_size));
  return reinterpret_cast<const char*>(target.data());
}

Bytes field(std::size_t size, Bytes content, std::uint8_t length) {
  Bytes f(size, 0);
  std::copy(content.begin(), content.end(), f.begin());
  f.back() = length;
  return f;
}

TEST(DstringText, DecodesBothFormsAsUtf8) {
  EXPECT_EQ(text_of(field(128, {8, 0x41, 0xE9}, 3)), "A\xC3\xA9");
  EXPECT_EQ(text_of(field(128, {8, 0x41, 0x00, 0x42}, 4)), "A");
  EXPECT_EQ(text_of(field(128, {16, 0x00, 0x41, 0x00, 0xE9}, 5)), "A\xC3\xA9");
  EXPECT_EQ(text_of(field(128, {16, 0x00, 0x41, 0x00}, 4)), "A");
  EXPECT_EQ(text_of(field(128, {16, 0xD8, 0x3D, 0xDE, 0x00}, 5)), "\xF0\x9F\x98\x80");
  EXPECT_EQ(text_of(field(128, {8, 0x41}, 1)), "");
  EXPECT_EQ(text_of(field(128, {8, 0x41}, 0)), "");
  EXPECT_EQ(text_of(field(128, {0, 0x41}, 2)), "");
}

TEST(DstringText, NeverReadsPastTheFieldAndAlwaysTerminates) {
  // Length bytes beyond the field are taken as the field's own size.
  Bytes wide(128, 0x41);
  wide[0] = 16;
  wide[127] = 255;
  const std::string text = text_of(wide);
  EXPECT_EQ(text.size(), 63u * 3) << "63 units of U+4141, three bytes each";
  Bytes narrow(32, 0xE9);
  narrow[0] = 8;
  narrow[31] = 200;
  EXPECT_EQ(text_of(narrow).size(), 30u * 2);
  // A target too small for every character keeps the ones that fit.
  EXPECT_EQ(text_of(field(32, {8, 0xE9, 0xE9}, 3), 3), "\xC3\xA9");
}

TEST(DstringText, RoundTripsTheNewLabel) {
  for (const std::string label : {"Caf\xC3\xA9", "\xE2\x82\xAC uro", "plain"}) {
    Labelled l(label);
    Bytes f(l.session.new_label_long.begin(), l.session.new_label_long.end());
    EXPECT_EQ(text_of(f), label);
  }
}

}  // namespace
}  // namespace tarnwick
