#include "cache/json_number.h"

#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>

namespace brivane {
namespace {

// from_chars leaves the value alone when it is out of range; which side of
// the range decides infinity or zero. The decimal order of the first
// significant digit tells, since such numbers are near 1e308 or 1e-324.
double out_of_range_value(std::string_view text) {
  const bool minus = !text.empty() && text.front() == '-';
  std::size_t i = minus ? 1 : 0;
  long long order = 0;  // decimal exponent of the first significant digit, plus one (0.05 -> -1)
  bool seen_digit = false;
  bool in_fraction = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    const char c = text[i];
    if (c == '.') {
      in_fraction = true;
    } else if (!seen_digit && c == '0') {
      if (in_fraction) --order;
    } else {
      seen_digit = true;
      if (!in_fraction) ++order;
    }
  }
  long long exponent = 0;
  if (i < text.size()) {
    long long value = 0;
    bool exponent_minus = false;
    for (++i; i < text.size(); ++i) {
      if (text[i] == '-') exponent_minus = true;
      if (text[i] >= '0' && text[i] <= '9' && value < 100000) value = value * 10 + (text[i] - '0');
    }
    exponent = exponent_minus ? -value : value;
  }
  const bool huge = seen_digit && order + exponent > 0;
  const double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
  return minus ? -magnitude : magnitude;
}

bool is_integer_text(std::string_view text) {
  return text.find_first_of(".eE") == std::string_view::npos;
}

}  // namespace

JsonNumber read_json_number(std::string_view text) {
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  JsonNumber number;
  if (is_integer_text(text)) {
    if (!text.empty() && text.front() == '-') {
      std::int64_t v = 0;
      auto [ptr, ec] = std::from_chars(begin, end, v);
      if (ec == std::errc() && ptr == end) {
        number.kind = JsonNumber::Kind::Negative;
        number.negative = v;
        return number;
      }
    } else {
      std::uint64_t v = 0;
      auto [ptr, ec] = std::from_chars(begin, end, v);
      if (ec == std::errc() && ptr == end) {
        number.kind = JsonNumber::Kind::Unsigned;
        number.unsigned_value = v;
        return number;
      }
    }
  }
  double v = 0;
  auto [ptr, ec] = std::from_chars(begin, end, v);
  number.value = ec == std::errc::result_out_of_range ? out_of_range_value(text) : v;
  return number;
}

}  // namespace brivane
