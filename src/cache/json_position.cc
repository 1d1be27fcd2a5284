#include "cache/json_position.h"

#include <algorithm>

namespace brivane {

JsonPosition json_position(std::string_view text, std::size_t consumed) {
  consumed = std::min(consumed, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  // A newline belongs to the line it ends, so one that was read last is
  // reported there, not as column 0 of the next line.
  for (std::size_t i = 0; i + 1 < consumed; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, consumed - line_start};
}

std::string with_json_position(std::string_view message, std::string_view text, std::size_t consumed) {
  JsonPosition at = json_position(text, consumed);
  std::string out(message);
  out += " at line ";
  out += std::to_string(at.line);
  out += " column ";
  out += std::to_string(at.column);
  return out;
}

namespace {

// What was being read when the input ran out.
const char* eof_context(rapidjson::ParseErrorCode code) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorObjectMissName:
    case kParseErrorObjectMissColon:
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return "EOF while parsing an object";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return "EOF while parsing a list";
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringUnicodeSurrogateInvalid:
    case kParseErrorStringInvalidEncoding:
      return "EOF while parsing a string";
    default:
      return "EOF while parsing a value";
  }
}

const char* syntax_text(rapidjson::ParseErrorCode code) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty: return "EOF while parsing a value";
    case kParseErrorDocumentRootNotSingular: return "trailing characters";
    case kParseErrorValueInvalid: return "expected value";
    case kParseErrorObjectMissName: return "key must be a string";
    case kParseErrorObjectMissColon: return "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket: return "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket: return "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex: return "invalid \\u escape";
    case kParseErrorStringUnicodeSurrogateInvalid: return "invalid surrogate pair in \\u escape";
    case kParseErrorStringEscapeInvalid: return "invalid escape";
    case kParseErrorStringMissQuotationMark: return "EOF while parsing a string";
    case kParseErrorStringInvalidEncoding: return "invalid UTF-8 or unescaped control character in string";
    case kParseErrorNumberTooBig: return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return "invalid number";
    default: return "invalid JSON";
  }
}

}  // namespace

ModuleError json_parse_failure(std::string_view text, rapidjson::ParseErrorCode code, std::size_t offset,
                               const JsonHandlerFailure& handler_failure) {
  if (code == rapidjson::kParseErrorTermination && handler_failure.failed()) {
    return ModuleError::json(with_json_position(handler_failure.message, text, handler_failure.consumed));
  }
  // RapidJSON points at the offending byte; count it as read, as a reader
  // that stops on it would.
  if (offset >= text.size() || text[offset] == '\0') {
    if (offset < text.size()) return ModuleError::json(with_json_position("unexpected NUL byte", text, offset + 1));
    const char* what = code == rapidjson::kParseErrorDocumentRootNotSingular ? syntax_text(code) : eof_context(code);
    return ModuleError::json(with_json_position(what, text, text.size()));
  }
  return ModuleError::json(with_json_position(syntax_text(code), text, offset + 1));
}

}  // namespace brivane

