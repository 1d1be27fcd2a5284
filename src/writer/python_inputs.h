// What the writer reads out of Python objects, on the calling thread with the
// GIL held. Every failure is a ModuleError; no Python exception is left set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "runtime/error.h"
#include "writer/sample_input.h"
#include "writer/writer_config.h"

namespace brivane {

// All five plain attributes are read and converted before any value is
// checked; the optional `profiler` last.
Result<WriterConfig> read_writer_config(PyObject* writer_config);

// source.name, checked to be one plain path segment.
Result<std::string> read_source_name(PyObject* source);

// A (data, metadata) tuple: data converted as bytearray(data) would, metadata
// a dict of str to bool, int, float or str.
Result<SampleInput> extract_sample(PyObject* item);

// Fails on the first list entry whose destination repeats an earlier one;
// entries without a usable name are skipped.
Status check_destinations(PyObject* list, const std::string& base_cache_dir);

}  // namespace brivane
