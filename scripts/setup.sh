#!/usr/bin/env bash
# Everything a fresh machine needs: Debian packages, a virtualenv in .venv with
# the pinned Python dependencies, and brivane itself built and installed into it.
# Safe to run again: each step is skipped or cheap when already done.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${BRIVANE_VENV:-.venv}
# clang-14 and its sanitizer/libFuzzer runtimes serve scripts/sanitize.sh and
# scripts/fuzz_smoke.sh.
DEB_PACKAGES=(g++ make rapidjson-dev libssl-dev libgtest-dev clang-14 libclang-rt-14-dev)

missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "==> installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  echo "==> creating virtualenv $VENV"
  "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"

echo "==> installing Python dependencies"
"$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt

echo "==> building and installing brivane"
# Build against the venv's own pyarrow (the pinned release) instead of a second
# copy in an isolated build environment.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
"$PY" -c "import _brivane" >/dev/null
echo "==> ready: $VENV"
