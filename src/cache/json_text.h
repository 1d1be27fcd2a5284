// The exact JSON text this system writes: string escaping, shortest
// round-trip floats, integers and a pretty (two-space) layout.
//
// Every write_* function writes exactly the matching *_size bytes at `dst`
// and returns the end; append_* functions add the same text to a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// A JSON string literal: '"' and '\\' escaped, U+0000-U+001F as \b \t \n \f \r
// or \u00xx (lowercase hex), every other byte written unchanged.
std::size_t json_string_size(std::string_view text);
char* write_json_string(char* dst, std::string_view text);
void append_json_string(std::string& out, std::string_view text);

// The shortest decimal that reads back as the same double: plain notation with
// a fractional part for 1e-5 <= |x| < 1e16 (and zero), else the exponent form
// such as 1e16 or 1.5e-7. Always contains '.' or 'e'. Not finite: null.
inline constexpr std::size_t kMaxJsonFloatSize = 32;
std::size_t json_float_size(double x);
char* write_json_float(char* dst, double x);
void append_json_float(std::string& out, double x);

std::size_t json_int_size(std::int64_t x);
char* write_json_int(char* dst, std::int64_t x);
void append_json_uint(std::string& out, std::uint64_t x);

// Pretty JSON: one member or element per line, two spaces per level, "key": value,
// "[]" / "{}" for empty containers, no newline after the last bracket.
// The caller keeps the calls balanced; the text accumulates in `out`.
class PrettyJsonWriter {
 public:
  explicit PrettyJsonWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name);
  void string_value(std::string_view text);
  void uint_value(std::uint64_t x);
  void float_value(double x);
  // A number already in JSON form, such as an integer wider than 64 bits.
  void raw_number(std::string_view digits) {
    before_value();
    out_ += digits;
  }

 private:
  void before_value();
  void open(char bracket);
  void close(char bracket);
  void new_line(std::size_t depth);

  std::string& out_;
  std::vector<std::size_t> counts_;  // members written so far, per open container
  bool after_key_ = false;
};

}  // namespace brivane
