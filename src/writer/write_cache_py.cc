// write_cache(runtime, sources, base_cache_dir, writer_config, reuse_existing):
// the walk over Python sources that feeds the write pipelines, on the calling
// thread with the GIL held throughout.
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "module/args.h"
#include "module/errors.h"
#include "module/registry.h"
#include "module/text_signature.h"
#include "writer/destination.h"
#include "writer/profiler.h"
#include "writer/python_inputs.h"
#include "writer/write_pipeline.h"

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;

Status run_signal_handlers() {
  if (PyErr_CheckSignals() != 0) return python_failure();
  return ok_status();
}

// Failures that end the whole call instead of failing one source.
bool ends_call(const ModuleError& error) {
  switch (error.kind()) {
    case ErrorKind::PythonInterrupt:
    case ErrorKind::PythonExit:
    case ErrorKind::InternalFault:
      return true;
    default:
      return false;
  }
}

std::string position_name(Py_ssize_t index) { return "source[" + std::to_string(index) + "]"; }

// Elapsed time for the profiler; the clock is only read when profiling.
class StageTimer {
 public:
  explicit StageTimer(const Profiler& profiler) : on_(profiler.enabled()) {
    if (on_) started_ = Clock::now();
  }
  Clock::duration elapsed() const { return on_ ? Clock::now() - started_ : Clock::duration::zero(); }

 private:
  bool on_;
  Clock::time_point started_;
};

// Pulls every sample of `iterator` and hands each over, until exhaustion
// (success) or the first failure.
template <class HandOff>
Status sample_loop(PyObject* iterator, const std::string& name, Profiler& profiler, HandOff&& hand_off) {
  for (;;) {
    BRV_TRY(run_signal_handlers());
    StageTimer next_timer(profiler);
    PyRef item = PyRef::steal(PyIter_Next(iterator));
    profiler.record(name, ProfileStage::python_next, next_timer.elapsed(), 0);
    if (!item) {
      if (PyErr_Occurred()) return python_failure();
      return ok_status();
    }
    StageTimer extract_timer(profiler);
    Result<SampleInput> sample = extract_sample(item.get());
    item.reset();
    if (!sample.ok()) return std::move(sample).error();
    profiler.record(name, ProfileStage::python_extract, extract_timer.elapsed(), sample->data.size());
    StageTimer ingress_timer(profiler);
    BRV_TRY(hand_off(std::move(sample).value()));
    profiler.record(name, ProfileStage::ingress_wait, ingress_timer.elapsed(), 0);
  }
}

Status pull_into_list(PyObject* source, const std::string& name, Profiler& profiler, ListWritePipeline& pipeline) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(source));
  if (!iterator) return python_failure();
  return sample_loop(iterator.get(), name, profiler,
                     [&](SampleInput&& sample) { return pipeline.hand_off(WriteEvent(std::move(sample))); });
}

Status walk_list(const WriteContext& context, PyObject* list, Py_ssize_t entries, const std::string& base_cache_dir,
                 bool reuse_existing, ListWritePipeline& pipeline) {
  for (Py_ssize_t i = 0; i < entries && i < PyList_GET_SIZE(list); ++i) {
    BRV_TRY(run_signal_handlers());
    // The walk runs Python code that may drop the entry from the list.
    PyRef entry = PyRef::borrow(PyList_GET_ITEM(list, i));
    const auto position = static_cast<std::uint64_t>(i);
    Result<std::string> name = read_source_name(entry.get());
    if (!name.ok()) {
      if (ends_call(name.error())) return std::move(name).error();
      BRV_TRY(pipeline.hand_off(std::make_unique<ResultReady>(
          ResultReady{position, SourceResult::failed(position_name(i), name.error().text())})));
      continue;
    }
    DestinationPlan plan =
        prepare_destination(base_cache_dir, name.value(), reuse_existing, context.config->validate_cache);
    if (auto* decided = std::get_if<SourceResult>(&plan)) {
      BRV_TRY(pipeline.hand_off(std::make_unique<ResultReady>(ResultReady{position, std::move(*decided)})));
      continue;
    }
    auto& staged = std::get<StagedDestination>(plan);
    BRV_TRY(pipeline.hand_off(std::make_unique<BeginSource>(
        BeginSource{position, name.value(), std::move(staged.destination), std::move(staged.staging)})));
    Status pulled = pull_into_list(entry.get(), name.value(), *context.profiler, pipeline);
    if (pulled.ok()) {
      BRV_TRY(pipeline.hand_off(EndSource{}));
    } else {
      if (ends_call(pulled.error())) return std::move(pulled).error();
      BRV_TRY(pipeline.hand_off(FailSource{pulled.error().text()}));
    }
  }
  return ok_status();
}

Result<std::vector<SourceResult>> list_mode(const WriteContext& context, PyObject* list,
                                            const std::string& base_cache_dir, bool reuse_existing) {
  BRV_TRY(check_destinations(list, base_cache_dir));
  const Py_ssize_t entries = PyList_GET_SIZE(list);
  ListWritePipeline pipeline(context, static_cast<std::uint64_t>(entries));
  Status walked = walk_list(context, list, entries, base_cache_dir, reuse_existing, pipeline);
  if (!walked.ok()) {
    pipeline.abandon();
    return std::move(walked).error();
  }
  return pipeline.finish();
}

Result<SourceResult> single_mode(const WriteContext& context, PyObject* source, const std::string& base_cache_dir,
                                 bool reuse_existing) {
  Result<std::string> name = read_source_name(source);
  if (!name.ok()) {
    if (ends_call(name.error())) return std::move(name).error();
    return SourceResult::failed(position_name(0), name.error().text());
  }
  DestinationPlan plan =
      prepare_destination(base_cache_dir, name.value(), reuse_existing, context.config->validate_cache);
  if (auto* decided = std::get_if<SourceResult>(&plan)) return std::move(*decided);

  Result<std::unique_ptr<SingleSourceWrite>> created =
      SingleSourceWrite::create(context, name.value(), std::move(std::get<StagedDestination>(plan)));
  if (!created.ok()) return SourceResult::failed(name.value(), created.error().text());
  SingleSourceWrite& write = *created.value();

  Result<SourceResult> outcome = ModuleError::worker_failed();
  PyRef iterator = PyRef::steal(PyObject_GetIter(source));
  if (!iterator) {
    outcome = python_failure();
  } else {
    write.start();
    Status pulled = sample_loop(iterator.get(), name.value(), *context.profiler,
                                [&](SampleInput&& sample) { return write.hand_off(std::move(sample)); });
    outcome = pulled.ok() ? write.complete() : Result<SourceResult>(std::move(pulled).error());
  }
  if (outcome.ok()) return outcome;
  ModuleError reported = write.abandon(outcome.error());
  if (ends_call(outcome.error())) return std::move(outcome).error();
  return SourceResult::failed(name.value(), reported.text());
}

PyRef result_tuple(const SourceResult& result) {
  auto text = [](std::string_view s) {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
  };
  PyRef status = text(result.status_text());
  PyRef name = text(result.name);
  PyRef detail = text(result.detail);
  if (!status || !name || !detail) return PyRef();
  return PyRef::steal(PyTuple_Pack(3, status.get(), name.get(), detail.get()));
}

PyObject* results_list(const std::vector<SourceResult>& results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyRef tuple = result_tuple(results[i]);
    if (!tuple) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

PyObject* write_cache(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<5> params(
        "write_cache", {"runtime", "sources", "base_cache_dir", "writer_config", "reuse_existing"});
    std::array<PyObject*, 5> a{};
    if (!params.match(args, kwargs, &a)) return nullptr;
    WriteContext context;
    std::string base_cache_dir;
    bool reuse_existing = false;
    if (!arg_runtime(a[0], "runtime", &context.pool, &context.num_workers)) return nullptr;
    PyObject* sources = a[1];
    if (!arg_str(a[2], "base_cache_dir", &base_cache_dir)) return nullptr;
    if (!arg_bool(a[4], "reuse_existing", &reuse_existing)) return nullptr;
    // The runtime object stays referenced for the whole call.
    PyRef runtime = PyRef::borrow(a[0]);

    Result<WriterConfig> config = read_writer_config(a[3]);
    if (!config.ok()) return raise_module_error(config.error());
    Profiler profiler(config->profile_path);
    context.config = &config.value();
    context.profiler = &profiler;
    context.check_signals = run_signal_handlers;

    Result<std::vector<SourceResult>> results = std::vector<SourceResult>();
    if (PyList_Check(sources)) {
      results = list_mode(context, sources, base_cache_dir, reuse_existing);
    } else {
      Result<SourceResult> one = single_mode(context, sources, base_cache_dir, reuse_existing);
      if (one.ok()) {
        results.value().push_back(std::move(one).value());
      } else {
        results = std::move(one).error();
      }
    }
    Status report = profiler.write_report();
    if (!results.ok()) return raise_module_error(results.error());
    if (!report.ok()) return raise_module_error(report.error());
    return results_list(results.value());
  });
}

PyMethodDef functions[] = {
    {"write_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(write_cache)),
     METH_VARARGS | METH_KEYWORDS,
     BRV_DOC("write_cache", "(runtime, sources, base_cache_dir, writer_config, reuse_existing)", "")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_write_cache(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace brivane
