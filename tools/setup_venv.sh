#!/usr/bin/env bash
# Create (or reuse) the repository's virtual environment in .venv and install
# the package into it, built from this checkout, with the extras named in
# ZV_EXTRAS (comma-separated; none by default: the demo needs none). Used by
# the demo command; prints the interpreter path as its last line.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
VPY=.venv/bin/python
"$VPY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
# Build requirements first, so that the package builds without isolation
# (faster, and the build sees the same NumPy headers every time).
"$VPY" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
"$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation ".${ZV_EXTRAS:+[$ZV_EXTRAS]}"
echo "$VPY"
