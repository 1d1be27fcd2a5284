// Turning the text of one JSON number into its value.
//
// The readers take numbers from RapidJSON as text (kParseNumbersAsStringsFlag)
// and convert them here. RapidJSON 1.1's own full-precision conversion reads
// past its table of powers of ten for long mantissas with large exponents
// (988...8e195) and mis-reads zero with a large exponent (0e74 came back as
// -1e-53), so it must never run on untrusted text. RapidJSON still checks the
// number's grammar and refuses exponents beyond the double range.
#pragma once

#include <cstdint>
#include <string_view>

namespace brivane {

struct JsonNumber {
  // Negative and Unsigned: an integer (no fraction, no exponent) that fits
  // int64 / uint64. Float: everything else, correctly rounded; a magnitude
  // beyond the double range is infinite, one below it is zero.
  enum class Kind : std::uint8_t { Negative, Unsigned, Float };
  Kind kind = Kind::Float;
  std::int64_t negative = 0;
  std::uint64_t unsigned_value = 0;
  double value = 0;
};

// `text` is a number RapidJSON accepted.
JsonNumber read_json_number(std::string_view text);

// Hands the number to a RapidJSON-style handler as Int64, Uint64 or Double.
template <typename Handler>
bool dispatch_json_number(Handler& handler, std::string_view text) {
  const JsonNumber number = read_json_number(text);
  switch (number.kind) {
    case JsonNumber::Kind::Negative: return handler.Int64(number.negative);
    case JsonNumber::Kind::Unsigned: return handler.Uint64(number.unsigned_value);
    case JsonNumber::Kind::Float: break;
  }
  return handler.Double(number.value);
}

}  // namespace brivane
