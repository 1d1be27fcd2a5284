#include "writer/progress_format.h"

#include <charconv>
#include <limits>

namespace brivane {

double progress_elapsed_seconds(std::chrono::steady_clock::duration elapsed) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
  const double seconds = static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
  return seconds < 0.001 ? 0.001 : seconds;
}

std::string writing_message(std::string_view name) {
  std::string out = "writing ";
  out += name;
  return out;
}

void append_one_decimal(std::string& out, double value) {
  // Fixed notation of any finite double fits in 330 characters.
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
  if (r.ec == std::errc()) out.append(buf, r.ptr);
}

std::uint64_t saturating_increment(std::uint64_t value, std::uint64_t by) {
  std::uint64_t sum;
  return __builtin_add_overflow(value, by, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

void format_throughput_message(std::string& out, std::uint64_t items, std::uint64_t bytes, double elapsed_seconds) {
  out.clear();
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, items);
  out.append(digits, r.ptr);
  out += " items | ";
  append_one_decimal(out, static_cast<double>(items) / elapsed_seconds);
  out += " items/s | ";
  append_one_decimal(out, static_cast<double>(bytes) / 1e6 / elapsed_seconds);
  out += " MB/s";
}

std::string throughput_message(std::uint64_t items, std::uint64_t bytes, double elapsed_seconds) {
  std::string out;
  format_throughput_message(out, items, bytes, elapsed_seconds);
  return out;
}

std::string eta_text(std::uint64_t seconds) {
  auto two_digits = [](std::uint64_t v) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? "0" + s : s;
  };
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m " + two_digits(seconds % 60) + "s";
  return std::to_string(seconds / 3600) + "h " + two_digits(seconds % 3600 / 60) + "m";
}

std::string eta_message(std::uint64_t completed, std::uint64_t total, double elapsed_seconds) {
  if (completed == 0) return std::string(kEtaUnknown);
  const double rate = static_cast<double>(completed) / elapsed_seconds;
  const std::uint64_t remaining = total > completed ? total - completed : 0;
  const double eta = static_cast<double>(remaining) / rate;
  // 2^64 as a double: anything at or above it would not fit the cast.
  constexpr double kLimit = 18446744073709551616.0;
  const std::uint64_t eta_seconds =
      eta >= kLimit ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(eta);
  std::string out;
  append_one_decimal(out, rate);
  out += " sources/s | ETA ";
  out += eta_text(eta_seconds);
  return out;
}

}  // namespace brivane
