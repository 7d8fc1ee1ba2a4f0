// Label text: the two d-strings of a new label and its ISO 9660 and Joliet names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "text/dstring.h"
#include "text/iso_name.h"
#include "text/unicode.h"

namespace tarnwick {
namespace {

// The d-string forms and cuts of a new label, and its ISO 9660 primary and Joliet names.
TEST(NewLabel, FormCutAndNamesOfEachFieldWithinTheField) {
  const std::string smile = "\xF0\x9F\x98\x80", a(200, 'a'), b(40, 'b');
  // clang-format off
  const std::u16string a16(16, u'a');
  const struct { std::string label; std::uint8_t id, short_length, long_length; std::string iso; std::u16string joliet; } kCases[] = {
      {"A", 8, 2, 2, "A", u"A"}, {a, 8, 31, 127, std::string(32, 'a'), a16},
      {a.substr(0, 19) + "\xE2\x82\xAC", 16, 31, 41, std::string(19, 'a') + "_", a16},
      {a.substr(0, 126) + "\xE2\x82\xAC", 8, 31, 127, std::string(32, 'a'), a16},  // the form is decided on 126 units
      {a.substr(0, 14) + "\xF4\x8F\xBF\xBF", 16, 29, 33, std::string(14, 'a') + "_", a16.substr(0, 14) + u"_"},
      {a.substr(0, 62) + "\xF0\x90\x80\x80", 16, 31, 125, std::string(32, 'a'), a16},  // never half a pair
      {a.substr(0, 125) + smile, 8, 31, 126, std::string(32, 'a'), a16}, {"", 0, 0, 0, "", u""},  // all padding
      {"az_AZ09 ~\x1F\x7F\xC2\x9F\xC2\xA0\x01", 8, 15, 15, "az_AZ09 ~_____", u"az_AZ09 ~___\u00A0_"},
      {b.substr(0, 32), 8, 31, 33, std::string(32, 'b'), std::u16string(16, u'b')}, {b, 8, 31, 41, std::string(32, 'b'), std::u16string(16, u'b')},
      {smile + "x" "\xEF\xBF\xBF", 16, 9, 9, "_x_", u"_x\uFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 16, 9, 9, "__", u"__"},  // U+10000, U+10FFFF: one each
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    ImageSession s;
    session_init(s);
    set_new_label(s, c.label.c_str());
    EXPECT_FALSE(is_read_only(s));
    // Nothing of the label past the cut: every byte between it and the length byte is zero.
    for (const auto& [field, length] :
         {std::pair{std::span<const std::uint8_t>(s.new_label_short), c.short_length},
          {std::span<const std::uint8_t>(s.new_label_long), c.long_length}}) {
      EXPECT_EQ(field[0], c.id);
      EXPECT_EQ(field.back(), length);
      EXPECT_EQ(std::count(field.begin() + length, field.end() - 1, 0), field.size() - 1 - length);
    }
    EXPECT_EQ(std::string(s.new_iso_name.begin(), s.new_iso_name.end()),
              c.iso + std::string(32 - c.iso.size(), ' '));
    std::u16string written;  // big-endian UTF-16
    for (std::size_t i = 0; i < 32; i += 2)
      written += static_cast<char16_t>(s.new_joliet_name[i] << 8 | s.new_joliet_name[i + 1]);
    EXPECT_EQ(written, c.joliet + std::u16string(16 - c.joliet.size(), u' '));
  }
  // A label is refused (before anything is opened) for a stray or missing continuation byte, an
  // overlong form, a surrogate, anything past U+10FFFF:
  // clang-format off
  for (const char* bad : {"\xFF\xFE\x80" "abc", "\x80", "\xC3", "\xE2\x82", "A\xF0\x9F\x98", "\xC3\x41", "\xE2\x82\xC0",
                          "\xF0\x9F\x98\x41", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                          "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF9\x80\x80\x80", "A\xF8\x88\x80\x80\x80"})
    // clang-format on
    EXPECT_FALSE(is_valid_utf8(reinterpret_cast<const std::uint8_t*>(bad), std::strlen(bad)))
        << bad;
  // A character that does not fit the conversion's room ends it with nothing to show.
  std::uint16_t room[2];
  for (const auto& [text, units, result] :
       {std::tuple{"abc", 2u, 0}, {"a\xF0\x9F\x98\x80", 2u, 0}, {smile.c_str(), 2u, 2}})
    EXPECT_EQ(utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(text),
                            static_cast<std::uint32_t>(std::strlen(text)), room, units),
              result)
        << text;
  // A surrogate alone (only a caller that skips validation can give one) is one character.
  const std::uint16_t lone[] = {0xDFFF, 'a', 0xD800, 0};
  // Neither name is written past its 32 bytes, padded or cut.
  const std::vector<std::uint16_t> longer(40, 'a');
  for (const auto& [label, count, iso] :
       {std::tuple{&lone[0], 4u, "_a_ "}, {longer.data(), 40u, "aaaa"}}) {
    std::uint8_t field[33];
    field[32] = 0xAA;
    iso_primary_identifier(label, count, field);
    EXPECT_EQ(std::string(field, field + 4), iso);
    EXPECT_EQ(field[32], 0xAA);
    joliet_identifier(label, count, field);
    EXPECT_EQ(std::string({char(field[1]), char(field[3]), char(field[5])}), std::string(iso, 3));
    EXPECT_EQ(field[32], 0xAA);
  }
}

}  // namespace
}  // namespace tarnwick
