// The texts of the writer's progress display, as pure functions of counters
// and elapsed time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace brivane {

inline constexpr std::string_view kEtaUnknown = "ETA --";

// Seconds in `elapsed` as a double, never below 0.001 so rates stay finite.
double progress_elapsed_seconds(std::chrono::steady_clock::duration elapsed);

// "writing {name}"
std::string writing_message(std::string_view name);

// "{items} items | {items/s} items/s | {MB/s} MB/s", rates with one decimal.
std::string throughput_message(std::uint64_t items, std::uint64_t bytes, double elapsed_seconds);
// The same text into `out`, reusing its storage.
void format_throughput_message(std::string& out, std::uint64_t items, std::uint64_t bytes, double elapsed_seconds);

// "ETA --" before the first finished source, else "{rate} sources/s | ETA {eta}".
std::string eta_message(std::uint64_t completed, std::uint64_t total, double elapsed_seconds);

// "42s", "5m 07s", "2h 05m".
std::string eta_text(std::uint64_t seconds);

// `value` with exactly one digit after the decimal point, whatever the locale.
void append_one_decimal(std::string& out, double value);

std::uint64_t saturating_increment(std::uint64_t value, std::uint64_t by);

}  // namespace brivane
