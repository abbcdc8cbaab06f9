#!/usr/bin/env bash
# Development build of one or more extension modules, placed beside the
# package sources so that `PYTHONPATH=src` imports them.
#   tools/devbuild.sh secret                # Release build of one module
#   ZV_SANITIZE=ON tools/devbuild.sh all    # ASan/UBSan build of all three
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
san=${ZV_SANITIZE:-OFF}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(all)
[ "${targets[0]}" = all ] && targets=(zorvane_robj_d zorvane_robj_p secret)
for t in "${targets[@]}"; do
  bdir="build/dev-$t-$san"
  cmake -S . -B "$bdir" -G Ninja -DPython_EXECUTABLE="$(realpath "$py")" \
        -DCMAKE_BUILD_TYPE=Release -DZV_SANITIZE="$san" >/dev/null
  cmake --build "$bdir" --target "$t"
  cp "$bdir"/"$t".*.so src/zorvane_road_objects/
done
