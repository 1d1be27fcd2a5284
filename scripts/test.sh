#!/usr/bin/env bash
# Set up a fresh machine (scripts/setup.sh), then run every test: the native
# unit tests of the Python-free core under CTest and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
VENV=${BRIVANE_VENV:-.venv}
PY="$PWD/$VENV/bin/python"
BUILD=build/native-tests

echo "==> native tests"
"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
  -DPython_EXECUTABLE="$PY" -DBRIVANE_BUILD_MODULE=OFF -DBRIVANE_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$BUILD" -j "$(nproc)"
"$VENV/bin/ctest" --test-dir "$BUILD" --output-on-failure -j "$(nproc)"

echo "==> fuzz smoke (a few seconds per target)"
scripts/fuzz_smoke.sh 3

echo "==> Python tests"
"$PY" -m pytest -q tests/python "$@"
