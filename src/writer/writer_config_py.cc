#include "module/errors.h"
#include "writer/python_inputs.h"
#include "writer/python_values.h"

namespace brivane {

namespace {

Result<std::uint64_t> read_u64(PyObject* object, const char* name) {
  BRV_ASSIGN_OR_RETURN(PyRef value, get_attribute(object, name));
  return to_u64(value.get());
}

Result<bool> read_bool(PyObject* object, const char* name) {
  BRV_ASSIGN_OR_RETURN(PyRef value, get_attribute(object, name));
  return to_bool(value.get());
}

Result<ShardCompression> read_shard_compression(PyObject* compression) {
  BRV_ASSIGN_OR_RETURN(PyRef algo_object, get_attribute(compression, "algo"));
  BRV_ASSIGN_OR_RETURN(std::string algo, to_utf8(algo_object.get()));
  BRV_ASSIGN_OR_RETURN(PyRef ratio_object, get_attribute(compression, "ratio"));
  double ratio = PyFloat_AsDouble(ratio_object.get());
  if (ratio == -1.0 && PyErr_Occurred()) return python_failure();
  return parse_shard_compression(algo, ratio);
}

// The report path when profiling is on. An unreadable `profiler` attribute
// turns profiling off; once it is readable, both of its attributes must be.
Result<std::optional<std::string>> read_profiler(PyObject* writer_config) {
  PyRef profiler = PyRef::steal(PyObject_GetAttrString(writer_config, "profiler"));
  if (!profiler) {
    PyErr_Clear();
    return std::optional<std::string>();
  }
  BRV_ASSIGN_OR_RETURN(bool enabled, read_bool(profiler.get(), "enabled"));
  BRV_ASSIGN_OR_RETURN(PyRef path_object, get_attribute(profiler.get(), "path"));
  PyRef path_text = PyRef::steal(PyObject_Str(path_object.get()));
  if (!path_text) return python_failure();
  BRV_ASSIGN_OR_RETURN(std::string path, to_utf8(path_text.get()));
  if (!enabled) return std::optional<std::string>();
  return std::optional<std::string>(std::move(path));
}

}  // namespace

Result<WriterConfig> read_writer_config(PyObject* writer_config) {
  WriterConfig config;
  BRV_ASSIGN_OR_RETURN(config.max_shard_bytes, read_u64(writer_config, "max_shard_bytes"));
  BRV_ASSIGN_OR_RETURN(config.prefetch_size, read_u64(writer_config, "prefetch_size"));
  BRV_ASSIGN_OR_RETURN(PyRef compression, get_attribute(writer_config, "shard_compression"));
  BRV_ASSIGN_OR_RETURN(config.show_progress, read_bool(writer_config, "show_progress"));
  BRV_ASSIGN_OR_RETURN(config.validate_cache, read_bool(writer_config, "validate_cache"));
  BRV_TRY(check_sizes(config));
  BRV_ASSIGN_OR_RETURN(config.shard_compression, read_shard_compression(compression.get()));
  BRV_ASSIGN_OR_RETURN(config.profile_path, read_profiler(writer_config));
  return config;
}

}  // namespace brivane
