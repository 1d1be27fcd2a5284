#!/usr/bin/env bash
# Builds the fuzz targets (build/asan, clang with address,undefined), writes
# their seed corpora from freshly written caches, replays every saved
# regression input and fuzzes each target briefly. A harness that no longer
# builds or a reader that regressed fails here.
#
#   scripts/fuzz_smoke.sh [SECONDS_PER_TARGET]   (default 3)
#
# Long runs: see fuzz/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${BRIVANE_VENV:-.venv}
SECONDS_PER_TARGET=${1:-3}
BUILD=build/asan
TARGETS=(manifest embedded_metadata record metadata_table update_table)

"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
  -DCMAKE_CXX_COMPILER="${BRIVANE_SANITIZE_CXX:-clang++-14}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$PWD/$VENV/bin/python" -DBRIVANE_BUILD_MODULE=OFF -DBRIVANE_BUILD_TESTS=ON \
  -DBRIVANE_BUILD_FUZZ=ON -DBRIVANE_SANITIZE=address,undefined >/dev/null
"$VENV/bin/cmake" --build "$BUILD" -j "${BRIVANE_JOBS:-2}" --target "${TARGETS[@]/#/fuzz_}"

CORPUS=build/fuzz-corpus
"$VENV/bin/python" fuzz/make_corpus.py "$CORPUS" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions="$PWD/fuzz/ubsan.supp"
for target in "${TARGETS[@]}"; do
  binary="$BUILD/fuzz/fuzz_$target"
  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    "$binary" "${regressions[@]}" >/dev/null 2>"$BUILD/fuzz/$target.regressions.log" ||
      { cat "$BUILD/fuzz/$target.regressions.log" >&2; echo "fuzz_$target: a regression input fails" >&2; exit 1; }
  fi
  work="build/fuzz-smoke/$target"
  rm -rf "$work" && mkdir -p "$work"
  log="$BUILD/fuzz/$target.smoke.log"
  if ! "$binary" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work" "$CORPUS/$target" >/dev/null 2>"$log"; then
    tail -n 40 "$log" >&2
    echo "fuzz_$target: finding, input saved under $work" >&2
    exit 1
  fi
  echo "fuzz_$target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$') executions, clean"
done
