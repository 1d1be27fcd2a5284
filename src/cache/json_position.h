// Where a JSON parse stopped, as line and column, and the text of a failed
// RapidJSON parse.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <rapidjson/error/error.h>

#include "runtime/error.h"

namespace brivane {

struct JsonPosition {
  std::size_t line;    // 1-based
  std::size_t column;  // 1-based column of the last byte read; 0 when none was read
};

// The position after the first `consumed` bytes of `text` were read.
JsonPosition json_position(std::string_view text, std::size_t consumed);

// "{message} at line {line} column {column}".
std::string with_json_position(std::string_view message, std::string_view text, std::size_t consumed);

// A handler that stops a RapidJSON parse records why and how far it had read.
struct JsonHandlerFailure {
  std::string message;
  std::size_t consumed = 0;
  bool failed() const { return !message.empty(); }
};

// The Json failure of a parse that ended with `code` at RapidJSON's error
// offset `offset` (kParseErrorTermination takes the handler's own failure).
ModuleError json_parse_failure(std::string_view text, rapidjson::ParseErrorCode code, std::size_t offset,
                               const JsonHandlerFailure& handler_failure);

}  // namespace brivane
