// What the source walk hands to the list-mode write pipeline. Per-source
// events are boxed so that a relayed sample stays small.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "writer/sample_input.h"
#include "writer/source_result.h"

namespace brivane {

// A source decided before writing (name failure, reuse, refusal).
struct ResultReady {
  std::uint64_t position;
  SourceResult result;
};

// A source about to be pulled.
struct BeginSource {
  std::uint64_t position;
  std::string name;
  std::filesystem::path destination;
  std::filesystem::path staging;
};

// The current source's iterator is exhausted.
struct EndSource {};

// Pulling the current source failed.
struct FailSource {
  std::string text;
};

using WriteEvent =
    std::variant<std::unique_ptr<ResultReady>, std::unique_ptr<BeginSource>, SampleInput, EndSource, FailSource>;

}  // namespace brivane
