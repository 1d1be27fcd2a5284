// The one error model of the module: every failure is a ModuleError value that
// travels up unchanged to the Python entry point, which raises it once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brivane {

enum class ErrorKind : std::uint8_t {
  InvalidArgument,  // ValueError, message unchanged
  InvalidCache,     // ValueError, message unchanged
  Io,               // RuntimeError "I/O error: {error}"
  Json,             // RuntimeError "JSON error: {error}"
  Arrow,            // RuntimeError "Arrow error: {error}"
  PythonError,      // RuntimeError "Python error: {text}"
  PythonInterrupt,  // KeyboardInterrupt, text unchanged
  PythonExit,       // SystemExit, text unchanged
  WorkerFailed,     // RuntimeError "runtime worker failed"
  InternalFault,    // InternalFault (a BaseException): a broken invariant
};

class ModuleError {
 public:
  ModuleError(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  static ModuleError invalid_argument(std::string message) { return {ErrorKind::InvalidArgument, std::move(message)}; }
  static ModuleError invalid_cache(std::string message) { return {ErrorKind::InvalidCache, std::move(message)}; }
  static ModuleError io(std::string error) { return {ErrorKind::Io, std::move(error)}; }
  // An I/O failure described by an errno value, rendered as the OS describes it.
  static ModuleError io_errno(int errnum);
  static ModuleError json(std::string error) { return {ErrorKind::Json, std::move(error)}; }
  static ModuleError arrow(std::string error) { return {ErrorKind::Arrow, std::move(error)}; }
  static ModuleError worker_failed() { return {ErrorKind::WorkerFailed, {}}; }
  static ModuleError internal_fault(std::string message) { return {ErrorKind::InternalFault, std::move(message)}; }

  ErrorKind kind() const { return kind_; }
  // The kind's payload: a message, an OS error text, a Python exception text.
  const std::string& payload() const { return payload_; }
  // What str() of the raised exception shows.
  std::string text() const;

 private:
  ErrorKind kind_;
  std::string payload_;
};

// The "{error} (os error {n})" text of an errno value.
std::string os_error_text(int errnum);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(ModuleError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }

  const ModuleError& error() const& { return std::get<1>(v_); }
  ModuleError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, ModuleError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ModuleError error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const ModuleError& error() const& { return error_; }
  ModuleError&& error() && { return std::move(error_); }

 private:
  ModuleError error_{ErrorKind::InternalFault, {}};
  bool failed_ = false;
};

using Status = Result<void>;
inline Status ok_status() { return {}; }

}  // namespace brivane

#define BRV_CONCAT_INNER(a, b) a##b
#define BRV_CONCAT(a, b) BRV_CONCAT_INNER(a, b)

// Return the failure of a Result/Status expression from the enclosing function.
#define BRV_TRY(expr)                                        \
  do {                                                       \
    auto&& brv_try_result = (expr);                          \
    if (!brv_try_result.ok()) return std::move(brv_try_result).error(); \
  } while (0)

// `lhs` = the value of a Result expression, or return its failure.
#define BRV_ASSIGN_OR_RETURN(lhs, expr) BRV_ASSIGN_OR_RETURN_IMPL(BRV_CONCAT(brv_result_, __LINE__), lhs, expr)
#define BRV_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()
