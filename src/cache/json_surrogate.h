// RapidJSON 1.1 accepts a lone low surrogate escape (\udc00-\udfff) and
// writes it into the decoded string as a three-byte UTF-8 form of the
// surrogate (ED B0..BF xx), which is not UTF-8; the readers refuse such strings.
#pragma once

#include <cstddef>
#include <string_view>

namespace brivane {

inline constexpr const char* kInvalidSurrogateMessage = "invalid surrogate pair in \\u escape";

// True when `text` holds an encoded surrogate code point (ED A0..BF in UTF-8).
inline bool has_encoded_surrogate(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xED && static_cast<unsigned char>(text[i + 1]) >= 0xA0) return true;
  }
  return false;
}

}  // namespace brivane
