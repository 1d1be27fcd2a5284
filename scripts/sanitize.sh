#!/usr/bin/env bash
# The native unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
# (build/asan, every test) and the threaded ones under ThreadSanitizer
# (build/tsan: worker pool, channels, the prefetch pipeline and the writer
# pipeline). Needs clang-14 and libclang-rt-14-dev (scripts/setup.sh).
#
#   scripts/sanitize.sh [asan|tsan]...    (default: both)
#
# Any sanitizer report fails the run. Arrow comes from the pyarrow wheel and is
# not instrumented, so its own internals are not checked, only our use of it.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${BRIVANE_VENV:-.venv}
CXX=${BRIVANE_SANITIZE_CXX:-clang++-14}
JOBS=${BRIVANE_JOBS:-2}
# The thread-start failure test caps the address space, which TSan's shadow
# memory cannot live with; it runs in the ordinary and the ASan builds.
TSAN_FILTER='Channel*:Job*:WorkerPool*:PrefetchPipelineTest*:OpenDatasetTest*:WriterRelay*:WriterPipeline*:*WriterRelayOrder*:StageStats*'
TSAN_FILTER+='-WorkerPool.ThreadStartFailureLeavesNoWorkersBehind'

configure_and_build() {  # build_dir sanitizers extra_cmake_args...
  local dir=$1 sanitizers=$2
  shift 2
  "$VENV/bin/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PWD/$VENV/bin/python" \
    -DBRIVANE_BUILD_MODULE=OFF -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_SANITIZE="$sanitizers" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" -j "$JOBS" --target brivane_native_tests
}

run_asan() {
  echo "==> native tests under address,undefined (build/asan)"
  # Same configuration as scripts/fuzz_smoke.sh, so the two share one build.
  configure_and_build build/asan address,undefined -DBRIVANE_BUILD_FUZZ=ON
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions="$PWD/fuzz/ubsan.supp" \
    build/asan/tests/native/brivane_native_tests --gtest_brief=1
}

run_tsan() {
  echo "==> threaded native tests under thread (build/tsan)"
  configure_and_build build/tsan thread
  # Arrow (from the pyarrow wheel) is not instrumented: its IPC reader runs
  # work on Arrow's own I/O threads and locks mutexes inside the library,
  # where TSan cannot follow, so those reports are noise. Our code's races,
  # and misuse of our own mutexes, still show.
  cat >build/tsan/tsan.supp <<'SUPP'
race:arrow::internal::ThreadPool
called_from_lib:libarrow.so
mutex:std::condition_variable::wait
mutex:_dl_call_fini
SUPP
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions="$PWD/build/tsan/tsan.supp" \
    build/tsan/tests/native/brivane_native_tests --gtest_brief=1 --gtest_filter="$TSAN_FILTER"
}

modes=("$@")
((${#modes[@]})) || modes=(asan tsan)
for mode in "${modes[@]}"; do
  case "$mode" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "unknown mode: $mode (asan or tsan)" >&2; exit 2 ;;
  esac
done
echo "==> sanitizers: clean"
