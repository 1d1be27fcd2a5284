// The outcome of one source of a write_cache call: (status, name, detail).
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace brivane {

struct SourceResult {
  bool success = false;
  std::string name;
  // The destination path on success, the failure's display text otherwise.
  std::string detail;

  std::string_view status_text() const { return success ? "success" : "error"; }

  static SourceResult succeeded(std::string name, std::string destination) {
    return {true, std::move(name), std::move(destination)};
  }
  static SourceResult failed(std::string name, std::string text) { return {false, std::move(name), std::move(text)}; }
};

}  // namespace brivane
