#include "cache/json_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace brivane {

namespace {

char short_escape(unsigned char c) {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\t': return 't';
    case '\n': return 'n';
    case '\f': return 'f';
    case '\r': return 'r';
    default: return 0;
  }
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

std::size_t json_string_size(std::string_view text) {
  std::size_t size = 2 + text.size();
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (!needs_escape(c)) continue;
    size += short_escape(c) ? 1 : 5;
  }
  return size;
}

char* write_json_string(char* dst, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  *dst++ = '"';
  std::size_t run = 0;  // bytes copied in one go between escapes
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    std::memcpy(dst, text.data() + run, i - run);
    dst += i - run;
    run = i + 1;
    *dst++ = '\\';
    if (char e = short_escape(c)) {
      *dst++ = e;
    } else {
      *dst++ = 'u';
      *dst++ = '0';
      *dst++ = '0';
      *dst++ = kHex[c >> 4];
      *dst++ = kHex[c & 0xF];
    }
  }
  std::memcpy(dst, text.data() + run, text.size() - run);
  dst += text.size() - run;
  *dst++ = '"';
  return dst;
}

void append_json_string(std::string& out, std::string_view text) {
  std::size_t at = out.size();
  out.resize(at + json_string_size(text));
  write_json_string(out.data() + at, text);
}

char* write_json_float(char* dst, double x) {
  if (!std::isfinite(x)) {
    std::memcpy(dst, "null", 4);
    return dst + 4;
  }
  if (std::signbit(x)) *dst++ = '-';
  x = std::fabs(x);
  if (x == 0.0) {
    std::memcpy(dst, "0.0", 3);
    return dst + 3;
  }
  // to_chars gives the shortest round-trip digits; only the layout is ours.
  char sci[kMaxJsonFloatSize];
  auto [end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  (void)ec;  // cannot fail: the buffer holds any double
  char digits[20];
  std::size_t ndigits = 0;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  ++p;  // 'e'
  bool negative_exp = *p == '-';
  ++p;  // sign
  int exp = 0;
  std::from_chars(p, end, exp);
  if (negative_exp) exp = -exp;

  if (exp >= -5 && exp <= 15) {
    if (exp >= 0) {
      auto int_digits = static_cast<std::size_t>(exp) + 1;
      if (ndigits <= int_digits) {
        std::memcpy(dst, digits, ndigits);
        dst += ndigits;
        std::memset(dst, '0', int_digits - ndigits);
        dst += int_digits - ndigits;
        std::memcpy(dst, ".0", 2);
        return dst + 2;
      }
      std::memcpy(dst, digits, int_digits);
      dst += int_digits;
      *dst++ = '.';
      std::memcpy(dst, digits + int_digits, ndigits - int_digits);
      return dst + (ndigits - int_digits);
    }
    auto zeros = static_cast<std::size_t>(-exp - 1);
    std::memcpy(dst, "0.", 2);
    dst += 2;
    std::memset(dst, '0', zeros);
    dst += zeros;
    std::memcpy(dst, digits, ndigits);
    return dst + ndigits;
  }
  *dst++ = digits[0];
  if (ndigits > 1) {
    *dst++ = '.';
    std::memcpy(dst, digits + 1, ndigits - 1);
    dst += ndigits - 1;
  }
  *dst++ = 'e';
  return std::to_chars(dst, dst + 8, exp).ptr;
}

std::size_t json_float_size(double x) {
  char buf[kMaxJsonFloatSize];
  return static_cast<std::size_t>(write_json_float(buf, x) - buf);
}

void append_json_float(std::string& out, double x) {
  char buf[kMaxJsonFloatSize];
  out.append(buf, write_json_float(buf, x));
}

std::size_t json_int_size(std::int64_t x) {
  char buf[24];
  return static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, x).ptr - buf);
}

char* write_json_int(char* dst, std::int64_t x) { return std::to_chars(dst, dst + 24, x).ptr; }

void append_json_uint(std::string& out, std::uint64_t x) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
}

void PrettyJsonWriter::new_line(std::size_t depth) {
  out_ += '\n';
  out_.append(2 * depth, ' ');
}

void PrettyJsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (counts_.empty()) return;
  if (counts_.back()++ > 0) out_ += ',';
  new_line(counts_.size());
}

void PrettyJsonWriter::open(char bracket) {
  before_value();
  out_ += bracket;
  counts_.push_back(0);
}

void PrettyJsonWriter::close(char bracket) {
  std::size_t members = counts_.back();
  counts_.pop_back();
  if (members > 0) new_line(counts_.size());
  out_ += bracket;
}

void PrettyJsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_ += ": ";
  after_key_ = true;
}

void PrettyJsonWriter::string_value(std::string_view text) {
  before_value();
  append_json_string(out_, text);
}

void PrettyJsonWriter::uint_value(std::uint64_t x) {
  before_value();
  append_json_uint(out_, x);
}

void PrettyJsonWriter::float_value(double x) {
  before_value();
  append_json_float(out_, x);
}

}  // namespace brivane
