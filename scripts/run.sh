#!/usr/bin/env bash
# Set up a fresh machine (scripts/setup.sh), then run the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec "${BRIVANE_VENV:-.venv}/bin/python" -m brivane.demo "$@"
