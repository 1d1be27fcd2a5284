// A unit of work for the worker pool: a type-erased, move-only callable that
// runs exactly once and then drops everything it captured.
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace brivane {

class Job {
 public:
  // An empty job; running it does nothing.
  Job() noexcept = default;

  // `run` is called once with no arguments; its result is ignored.
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Job>>>
  Job(F run) : followed_promptly_(followed_promptly<std::decay_t<F>>()) {  // NOLINT: implicit for lambdas
    emplace<Plain<std::decay_t<F>>>(std::move(run));
  }

  // As above; if `run` throws, `on_fault` is called instead, so the job can
  // still report a failure to whoever waits for its result.
  template <class F, class G>
  Job(F run, G on_fault) : followed_promptly_(followed_promptly<std::decay_t<F>>()) {
    emplace<Guarded<std::decay_t<F>, std::decay_t<G>>>(std::move(run), std::move(on_fault));
  }

  Job(Job&& other) noexcept : followed_promptly_(other.followed_promptly_) { take(other); }
  Job& operator=(Job&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
      followed_promptly_ = other.followed_promptly_;
    }
    return *this;
  }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }

  // Whether the submitter usually sends the next job within microseconds (a
  // callable says so with `static constexpr bool kFollowedPromptly = true`),
  // so that the worker that ran it should wait patiently for the next one.
  bool followed_promptly() const noexcept { return followed_promptly_; }

  // Runs the job (or its fault handler if it throws) and then destroys its
  // captures, leaving the job empty. Nothing escapes: a worker thread must
  // survive whatever a job does.
  void operator()() noexcept {
    if (ops_ == nullptr) return;
    try {
      ops_->run(payload());
    } catch (...) {
      try {
        ops_->fault(payload());
      } catch (...) {
        // A failing fault handler has nobody left to tell.
      }
    }
    reset();
  }

  // Destroys the captures without running anything.
  void reset() noexcept {
    if (ops_ != nullptr) {
      ops_->destroy(payload());
      ops_ = nullptr;
    }
  }

 private:
  // Callables up to this size live inside the job, so that a typical job
  // (a few shared references, a channel end and some indices) costs no
  // allocation on the submitting thread and no cross-thread free on the worker.
  // The writer's relay job (channel end, sequence number and one moved sample
  // with its metadata map) is the largest of them, at up to 96 bytes.
  static constexpr std::size_t kInlineSize = 96;
  static constexpr std::size_t kInlineAlign = alignof(std::max_align_t);

  struct Ops {
    void (*run)(void* self);
    void (*fault)(void* self);
    void (*relocate)(void* from, void* to) noexcept;  // move-construct into `to`, destroy `from`
    void (*destroy)(void* self) noexcept;
  };

  template <class F>
  struct Plain {
    F run;
    explicit Plain(F f) : run(std::move(f)) {}
    void invoke() { std::invoke(std::move(run)); }
    void fault() {}
  };

  template <class F, class G>
  struct Guarded {
    F run;
    G on_fault;
    Guarded(F f, G g) : run(std::move(f)), on_fault(std::move(g)) {}
    void invoke() { std::invoke(std::move(run)); }
    void fault() { std::invoke(std::move(on_fault)); }
  };

  template <class P>
  static constexpr bool kFitsInline = sizeof(P) <= kInlineSize && alignof(P) <= kInlineAlign &&
                                      std::is_nothrow_move_constructible_v<P>;

  template <class P>
  static const Ops* ops_for() {
    if constexpr (kFitsInline<P>) {
      static constexpr Ops ops{
          [](void* self) { static_cast<P*>(self)->invoke(); },
          [](void* self) { static_cast<P*>(self)->fault(); },
          [](void* from, void* to) noexcept {
            P* src = static_cast<P*>(from);
            ::new (to) P(std::move(*src));
            src->~P();
          },
          [](void* self) noexcept { static_cast<P*>(self)->~P(); },
      };
      return &ops;
    } else {
      static constexpr Ops ops{
          [](void* self) { (*static_cast<P**>(self))->invoke(); },
          [](void* self) { (*static_cast<P**>(self))->fault(); },
          [](void* from, void* to) noexcept { *static_cast<P**>(to) = *static_cast<P**>(from); },
          [](void* self) noexcept { delete *static_cast<P**>(self); },
      };
      return &ops;
    }
  }

  template <class P, class... Args>
  void emplace(Args&&... args) {
    if constexpr (kFitsInline<P>) {
      ::new (payload()) P(std::forward<Args>(args)...);
    } else {
      *static_cast<P**>(payload()) = new P(std::forward<Args>(args)...);
    }
    ops_ = ops_for<P>();
  }

  void take(Job& other) noexcept {
    if (other.ops_ != nullptr) {
      other.ops_->relocate(other.payload(), payload());
      ops_ = other.ops_;
      other.ops_ = nullptr;
    }
  }

  template <class F>
  static constexpr bool followed_promptly() {
    if constexpr (requires { F::kFollowedPromptly; }) {
      return F::kFollowedPromptly;
    } else {
      return false;
    }
  }

  void* payload() noexcept { return storage_; }

  alignas(kInlineAlign) unsigned char storage_[kInlineSize];
  const Ops* ops_ = nullptr;
  bool followed_promptly_ = false;
};

}  // namespace brivane
