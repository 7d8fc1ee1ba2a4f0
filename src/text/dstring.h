// OSTA CS0 d-strings: the fixed-size identifier fields that carry the volume's name, and the
// new label in the two forms the tool writes.
//
// A d-string field of S bytes (S = 32 or 128 here):
//   pos       content
//   0         compression id: 8 = one byte per character (code points U+0000-U+00FF),
//             16 = one UTF-16 unit per two bytes, high byte first
//   1..L-1    the characters
//   L..S-2    zero
//   S-1       length byte L: bytes in use from byte 0, the compression id included
// An all-zero field is the empty d-string.
#pragma once

#include <cstdint>

#include "image/session.h"

namespace tarnwick {

// Fills the whole field with an 8-bit d-string of the first min(char_count, field_size - 2)
// characters.
void dstring_from_bytes(std::uint8_t* field, std::uint32_t field_size, const std::uint8_t* chars,
                        std::uint32_t char_count);

// Fills the whole field with a 16-bit d-string of the first min(byte_count, field_size - 2) / 2
// units (`byte_count` is twice the units offered).
void dstring_from_utf16(std::uint8_t* field, std::uint32_t field_size, const std::uint16_t* units,
                        std::uint32_t byte_count);

// Writes the field's text into `target` as UTF-8, without a terminator: the caller's zero fill
// ends it. A length byte above field_size - 1 is taken as field_size - 1, so nothing outside
// the field is read. Characters of an 8-bit d-string are code points U+0000-U+00FF and are
// written as UTF-8; a zero character ends the text. Length byte 0 or a compression id other
// than 8 and 16 writes nothing. Stops before a character that does not fit.
void dstring_to_text(const std::uint8_t* field, std::int32_t field_size, std::uint8_t* target,
                     std::int32_t target_size);

// Fills `new_label_short` and `new_label_long` from a 128-unit buffer ended by a zero unit
// unless full, which switches the run into write mode. The label is cut to 126 units, then to
// each field's capacity (15 or 63 units in 16-bit form); a cut never keeps a high surrogate
// as the last unit. Both fields take the 8-bit form when every kept unit is below 256. The
// ISO 9660 and Joliet Volume Identifiers are made from the label as given (text/iso_name.h).
void set_new_label_utf16(ImageSession& session, const std::uint16_t* units);

// Converts the zero-terminated UTF-8 `label` and stores it with set_new_label_utf16; keeps
// `label` itself, which must outlive the session, as typed.
void set_new_label(ImageSession& session, const char* label);

}  // namespace tarnwick
