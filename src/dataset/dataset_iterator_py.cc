#include "dataset/dataset_iterator_py.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "dataset/prefetch_pipeline.h"
#include "dataset/sampling_state.h"
#include "module/errors.h"
#include "module/process_cell.h"
#include "module/py_ref.h"

namespace brivane {
namespace {

// What an iterator owns besides its object header.
struct IteratorState {
  // Taken by next() for the pipeline work only; the Python objects are built
  // after it is let go, so code that the allocator runs (a finaliser touching
  // this iterator) cannot find it held.
  std::mutex lock;
  bool poisoned = false;
  MetadataSchema schema;
  // The schema's field names as interned str, made once so that every item
  // only adds references to them.
  std::vector<PyRef> keys;
  // Per field, the last short string value and its str: categorical fields
  // ("train", "val") repeat, and handing out the same immutable str again
  // saves building one per sample. Never resized after creation.
  std::vector<std::pair<std::string, PyRef>> last_text;
  std::unique_ptr<PrefetchPipeline> pipeline;
};

struct IteratorObject {
  PyObject_HEAD
  IteratorState state;
};

IteratorState& state_of(PyObject* self) { return reinterpret_cast<IteratorObject*>(self)->state; }

// Strings up to this length are kept without a heap allocation of their own.
constexpr std::size_t kRememberedTextLimit = 15;

PyObject* text_value(const std::string& text, std::pair<std::string, PyRef>& last) {
  if (last.second && last.first == text) return Py_NewRef(last.second.get());
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str != nullptr && text.size() <= kRememberedTextLimit) {
    last.first = text;
    last.second = PyRef::borrow(str);
  }
  return str;
}

PyObject* metadata_value(const MetadataValue& value, std::pair<std::string, PyRef>& last_text) {
  switch (value.index()) {
    case 0:
      return Py_NewRef(std::get<bool>(value) ? Py_True : Py_False);
    case 1:
      return PyLong_FromLongLong(std::get<std::int64_t>(value));
    case 2:
      return PyFloat_FromDouble(std::get<double>(value));
    default:
      return text_value(std::get<std::string>(value), last_text);
  }
}

PyObject* metadata_dict(IteratorState& state, const MetadataRow& row) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::size_t n = std::min({row.size(), state.keys.size(), state.last_text.size()});
  for (std::size_t i = 0; i < n; ++i) {
    PyRef value = PyRef::steal(metadata_value(row[i], state.last_text[i]));
    if (!value || PyDict_SetItem(dict.get(), state.keys[i].get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* item_tuple(IteratorState& state, const LoadedSample& loaded) {
  const auto data = loaded.sample.data();
  PyRef bytes = PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
  if (!bytes) return nullptr;
  PyRef dict = PyRef::steal(metadata_dict(state, loaded.sample.metadata));
  if (!dict) return nullptr;
  PyRef cache_id = PyRef::steal(PyLong_FromUnsignedLongLong(loaded.cache_id));
  if (!cache_id) return nullptr;
  PyRef sample_id = PyRef::steal(PyLong_FromUnsignedLongLong(loaded.sample_id));
  if (!sample_id) return nullptr;
  PyObject* tuple = PyTuple_New(4);
  if (tuple == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple, 0, bytes.release());
  PyTuple_SET_ITEM(tuple, 1, dict.release());
  PyTuple_SET_ITEM(tuple, 2, cache_id.release());
  PyTuple_SET_ITEM(tuple, 3, sample_id.release());
  return tuple;
}

PyObject* iterator_next(PyObject* self) {
  return guard_entry([&]() -> PyObject* {
    IteratorState& state = state_of(self);
    std::optional<Result<std::optional<LoadedSample>>> got;
    {
      std::lock_guard<std::mutex> held(state.lock);
      if (state.poisoned || !state.pipeline) return raise_module_error(ModuleError::worker_failed());
      try {
        got.emplace(state.pipeline->next());
      } catch (...) {
        state.poisoned = true;
        throw;
      }
    }
    if (!got->ok()) return raise_module_error(got->error());
    std::optional<LoadedSample>& loaded = got->value();
    if (!loaded) return nullptr;  // no exception set: the iteration ends
    PyObject* item = item_tuple(state, *loaded);
    std::lock_guard<std::mutex> held(state.lock);
    if (!state.poisoned) state.pipeline->recycle(std::move(*loaded));
    return item;
  });
}

PyObject* iterator_self(PyObject* self) { return Py_NewRef(self); }

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Dropping the pipeline cancels its reads; it never waits for them.
  state_of(self).~IteratorState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "_brivane.PyDatasetIterator",
    static_cast<int>(sizeof(IteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iterator_slots,
};

ProcessCell iterator_type_cell;

PyTypeObject* iterator_type() {
  return reinterpret_cast<PyTypeObject*>(iterator_type_cell.get([] { return PyType_FromSpec(&iterator_spec); }));
}

bool intern_keys(const MetadataSchema& schema, std::vector<PyRef>* keys) {
  keys->reserve(schema.size());
  for (const MetadataField& field : schema) {
    PyObject* key = PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size()));
    if (key == nullptr) return false;
    PyUnicode_InternInPlace(&key);
    keys->push_back(PyRef::steal(key));
  }
  return true;
}

}  // namespace

PyObject* iterate_dataset(DatasetCore& core) {
  PyTypeObject* type = iterator_type();
  if (type == nullptr) return nullptr;
  // Everything that can fail on the Python side comes before the epoch is
  // planned, since planning moves the dataset's counters for good.
  std::vector<PyRef> keys;
  if (!intern_keys(core.schema, &keys)) return nullptr;
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  IteratorState* state = new (&state_of(self.get())) IteratorState();
  state->schema = core.schema;
  state->keys = std::move(keys);
  state->last_text.resize(state->keys.size());

  Result<EpochPlan> plan = with_sampling_state(
      core, [&](SamplingState& sampling) { return plan_epoch(sampling, core.shuffle, core.seed, core.total); });
  if (!plan.ok()) return raise_module_error(plan.error());
  Result<std::unique_ptr<PrefetchPipeline>> pipeline = PrefetchPipeline::start(
      PipelineSources{core.pool, core.caches, core.cache_offsets, core.prefetch_size, core.num_workers, {}},
      std::move(plan).value());
  if (!pipeline.ok()) return raise_module_error(pipeline.error());
  state->pipeline = std::move(pipeline).value();
  return self.release();
}

}  // namespace brivane
