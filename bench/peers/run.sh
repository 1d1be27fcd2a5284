#!/usr/bin/env bash
# Benchmarks brivane against MosaicML Streaming, WebDataset, Hugging Face
# datasets and LitData; writes bench/RESULTS.md.
#
#   bash bench/peers/run.sh [harness options]     e.g. --runs 3, --scale 0.1
#
# The first run creates bench/peers/.venv with the peers from PyPI and brivane
# built from this checkout; later runs reuse it (PEERS_REINSTALL=1 rebuilds
# brivane after source changes).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
venv="$here/.venv"
python="${PYTHON:-python3}"

if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
    "$venv/bin/pip" install -q -r "$here/requirements.txt"
    PEERS_REINSTALL=1
fi
if [[ -n "${PEERS_REINSTALL:-}" ]] || ! "$venv/bin/python" -c "import brivane" 2>/dev/null; then
    # Own build directory, so the project's usual build tree is left alone.
    (cd "$repo" && "$venv/bin/pip" install -q --no-build-isolation --no-deps \
        -C build-dir="bench/peers/.build/{wheel_tag}" .)
fi
# The workloads draw their random bytes with numpy, whose OpenBLAS thread pool
# would otherwise start spinning on the cores the libraries under test need.
export OPENBLAS_NUM_THREADS=1
exec "$venv/bin/python" "$here/harness.py" "$@"
