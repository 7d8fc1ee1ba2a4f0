// UTF-8 <-> UTF-16 conversion over fixed caller buffers, with fixed arithmetic for malformed
// input: nothing is validated or refused, nothing is allocated, nothing is reported.
//
// UTF-16 units are in host order. Targets are not cleared: callers zero-fill them, and that
// fill terminates the converted text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Converts `byte_count` bytes of UTF-8. A zero byte writes a zero unit and ends the
// conversion. Continuation bytes of two- and three-byte forms contribute seven bits, of
// four-byte forms six; an overlong four-byte form gives a high unit below 0xD800. No byte at or
// beyond `byte_count` is read: a sequence cut short by the end takes zeros for missing bytes.
// Returns the units written, or 0 when a character did not fit (the units before it stay).
std::int32_t utf8_to_utf16(const std::uint8_t* source, std::uint32_t byte_count,
                           std::uint16_t* target, std::uint32_t target_units);

// Converts `unit_count` units to UTF-8, without a terminator: the caller's zero fill ends the
// text. A zero unit ends the conversion. Every surrogate opens a pair with the next unit, whatever
// it holds (a zero unit when it is the last). Returns the bytes written, or 0 when a character did
// not fit.
std::int32_t utf16_to_utf8(const std::uint16_t* units, std::uint32_t unit_count,
                           std::uint8_t* target, std::uint32_t target_size);

// True when the `byte_count` bytes are well-formed UTF-8: no stray or missing continuation
// byte, no overlong form, no surrogate code point, nothing above U+10FFFF.
bool is_valid_utf8(const std::uint8_t* bytes, std::size_t byte_count);

// Units before the first zero unit of a 128-unit buffer; 128 when none is zero.
std::int32_t utf16_length(const std::uint16_t* units);

}  // namespace tarnwick
