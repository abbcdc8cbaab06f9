#!/usr/bin/env bash
# Windows x64 check of the native modules: every C++ source is compiled with
# mingw-w64 for win_amd64 against the interpreter's headers (with the Windows
# configuration in tools/windows/pyconfig.h) and NumPy's headers from its
# win_amd64 wheel, and each module is linked into a .pyd against an import
# library of the Python DLL, so that POSIX-only calls and unresolved symbols
# fail here rather than on a Windows machine. No Windows program runs: this
# proves that the sources compile and link for the target, not that they work
# there.
#   bash tools/check_windows.sh
# Installs the compiler with apt-get when it is missing (root only). Where it
# cannot be had the check prints a SKIPPED line and exits 0, except under CI
# (CI=true), where that is a failure. ZV_WINDOWS_CHECK=0 skips it.
# Everything it writes (downloads included, kept between runs) is under
# build/windows/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
OUT=build/windows
CXX=${ZV_WINDOWS_CXX:-x86_64-w64-mingw32-g++-posix}
NM=x86_64-w64-mingw32-nm
DLLTOOL=x86_64-w64-mingw32-dlltool
OBJDUMP=x86_64-w64-mingw32-objdump
APT_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
# NumPy whose win_amd64 headers the modules are compiled against.
NUMPY_VERSION=${ZV_WINDOWS_NUMPY:-2.4.6}
if [ -n "${PYTHON:-}" ]; then PY=$PYTHON
elif [ -x .venv/bin/python ]; then PY=.venv/bin/python
else PY=python3; fi

say() { echo "windows check: $*"; }
unavailable() {
  if [ "${CI:-}" = true ]; then say "FAILED: $*" >&2; exit 1; fi
  say "SKIPPED: $*"; exit 0
}
[ "${ZV_WINDOWS_CHECK:-1}" = 0 ] && { say "SKIPPED: ZV_WINDOWS_CHECK=0"; exit 0; }
start=$SECONDS
mkdir -p "$OUT"

# --- The cross compiler -------------------------------------------------------
have_tools() {
  command -v "$CXX" && command -v "$NM" && command -v "$DLLTOOL" && command -v "$OBJDUMP"
} >/dev/null 2>&1
if ! have_tools; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing ${APT_PACKAGES[*]}"
    if ! { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
           && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                "${APT_PACKAGES[@]}"; } >"$OUT/apt.log" 2>&1; then
      tail -n 20 "$OUT/apt.log" >&2
      unavailable "apt-get could not install ${APT_PACKAGES[*]} (log: $OUT/apt.log)"
    fi
  else
    unavailable "no $CXX, and installing it needs root and apt-get: apt-get install ${APT_PACKAGES[*]}"
  fi
  have_tools || unavailable "$CXX or the mingw-w64 binutils are still missing after the install"
fi

# --- Interpreter headers with the Windows configuration -----------------------
read -r PYVER PYINC < <("$PY" -c 'import sys, sysconfig
print("%d%d" % sys.version_info[:2], sysconfig.get_paths()["include"])') \
  || unavailable "$PY cannot report its version and include folder"
[ -f "$PYINC/Python.h" ] || unavailable "no Python.h in $PYINC (install the interpreter's development headers)"
PYDLL=python$PYVER.dll
# Python.h includes "pyconfig.h" from its own folder, so the headers are
# copied and the copy gets the Windows configuration.
INC="$OUT/python$PYVER-include"
rm -rf "$INC"
cp -R "$PYINC" "$INC"
cp tools/windows/pyconfig.h "$INC/pyconfig.h"

# --- NumPy's headers, from its win_amd64 wheel --------------------------------
NPINC="$OUT/numpy-$NUMPY_VERSION-win_amd64/include"
if [ ! -f "$NPINC/numpy/arrayobject.h" ]; then
  mkdir -p "$OUT/wheels"
  if ! "$PY" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
        --platform win_amd64 --implementation cp --python-version "$PYVER" \
        -d "$OUT/wheels" "numpy==$NUMPY_VERSION" >"$OUT/pip.log" 2>&1; then
    tail -n 20 "$OUT/pip.log" >&2
    unavailable "could not download NumPy $NUMPY_VERSION for win_amd64 (log: $OUT/pip.log)"
  fi
  "$PY" - "$OUT/wheels" "$NUMPY_VERSION" "$NPINC" <<'EOF'
import pathlib, sys, zipfile
wheels, version, dest = pathlib.Path(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
wheel = next(wheels.glob(f"numpy-{version}-*-win_amd64.whl"))
prefix = "numpy/_core/include/"
with zipfile.ZipFile(wheel) as z:
    for name in z.namelist():
        if name.startswith(prefix) and not name.endswith("/"):
            target = dest / name[len(prefix):]
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(z.read(name))
EOF
fi

# --- The shared facts header --------------------------------------------------
FACTS=$(find src -name facts.json -path '*zorvane_road_objects*' | head -n 1)
[ -n "$FACTS" ] || { say "FAILED: no facts.json under src/" >&2; exit 1; }
mkdir -p "$OUT/generated"
"$PY" tools/gen_facts.py "$FACTS" "$OUT/generated/zv_facts.hpp"

# --- Compile every source -----------------------------------------------------
# The warnings of the Linux build, and -Wpedantic for the GNU extensions that
# the interpreter's own compiler (MSVC) would not take.
# The modules and their folders, as CMakeLists.txt declares them.
mapfile -t MODULES < <(sed -n 's/^zv_extension(\([A-Za-z0-9_]*\) \([A-Za-z0-9_]*\)).*/\1 \2/p' CMakeLists.txt)
[ ${#MODULES[@]} -gt 0 ] || { say "FAILED: no zv_extension() in CMakeLists.txt" >&2; exit 1; }
rm -rf "$OUT/obj" "$OUT/pyd"
mkdir -p "$OUT/obj" "$OUT/pyd"
jobs=()
for entry in "${MODULES[@]}"; do
  read -r name folder <<<"$entry"
  for src in src/native/"$folder"/"$name".cpp src/native/"$folder"/"$name"_*.cpp; do
    [ -f "$src" ] && jobs+=("$folder $src")
  done
done
export CXX OUT NPINC INC
compile_one() {
  local folder=${1%% *} src=${1#* } base
  base=$(basename "$src" .cpp)
  if "$CXX" -std=c++17 -O1 -c "$src" -o "$OUT/obj/$base.o" \
       -I"src/native/$folder" -Isrc/native -I"$OUT/generated" -I"$NPINC" -I"$INC" \
       -DNDEBUG -DNPY_NO_DEPRECATED_API=NPY_1_23_API_VERSION \
       -DNPY_TARGET_VERSION=NPY_1_23_API_VERSION \
       -Wall -Wextra -Wpedantic -Wno-missing-field-initializers -Wno-cast-function-type \
       >"$OUT/obj/$base.log" 2>&1; then
    touch "$OUT/obj/$base.ok"
  fi
}
export -f compile_one
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -I{} bash -c 'compile_one "$1"' _ {}

compiled=0 failed_files=()
for job in "${jobs[@]}"; do
  src=${job#* }
  base=$(basename "$src" .cpp)
  if [ -f "$OUT/obj/$base.ok" ]; then
    compiled=$((compiled + 1))
    if [ -s "$OUT/obj/$base.log" ]; then
      say "$src: compiles, with warnings:"; sed 's/^/    /' "$OUT/obj/$base.log"
    fi
  else
    failed_files+=("$src")
    say "$src: does not compile; first errors:"
    grep -A 3 -E ': (fatal )?error:' "$OUT/obj/$base.log" | head -n 24 | sed 's/^/    /'
  fi
done
say "$compiled of ${#jobs[@]} sources compile for win_amd64"

# --- Import library of the Python DLL -----------------------------------------
# The modules reach the interpreter only through what its headers declare as
# imported (__imp_ references), all of which the DLL exports; NumPy's C API
# comes through its capsule at run time and needs no import library.
{
  echo "LIBRARY $PYDLL"
  echo "EXPORTS"
  for o in "$OUT"/obj/*.o; do [ -f "$o" ] && "$NM" -u "$o"; done \
    | awk '{print $NF}' | sed -n 's/^__imp_\(_\{0,1\}Py[A-Za-z0-9_]*\)$/\1/p' | sort -u
} >"$OUT/python$PYVER.def"
"$DLLTOOL" -d "$OUT/python$PYVER.def" -l "$OUT/libpython$PYVER.a" -D "$PYDLL"

# --- Link each module into a .pyd ---------------------------------------------
# -static: the C++ runtime, libgcc and the threads library go into the .pyd
# (no mingw DLLs beside it); unresolved symbols are errors.
# Windows system DLLs a module may import besides the interpreter's.
allowed_dll='^(KERNEL32|msvcrt|ADVAPI32|WS2_32|api-ms-win-[a-z0-9-]+)\.dll$'
linked=0
for entry in "${MODULES[@]}"; do
  read -r name folder <<<"$entry"
  objs=() missing=0
  for src in src/native/"$folder"/"$name".cpp src/native/"$folder"/"$name"_*.cpp; do
    [ -f "$src" ] || continue
    base=$(basename "$src" .cpp)
    if [ -f "$OUT/obj/$base.ok" ]; then objs+=("$OUT/obj/$base.o"); else missing=1; fi
  done
  if [ "$missing" = 1 ]; then say "$name.pyd: not linked (a source does not compile)"; continue; fi
  pyd="$OUT/pyd/$name.pyd"
  if ! "$CXX" -shared -o "$pyd" "${objs[@]}" -L"$OUT" -lpython"$PYVER" \
        -static -Wl,--no-undefined >"$OUT/pyd/$name.log" 2>&1; then
    say "$name.pyd: does not link:"; head -n 20 "$OUT/pyd/$name.log" | sed 's/^/    /'
    continue
  fi
  dump=$("$OBJDUMP" -p "$pyd")
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u)
  other=$(grep -v -x -E "python$PYVER\\.dll|$allowed_dll" <<<"$dlls" || true)
  if [ -n "$other" ]; then say "$name.pyd: imports from unexpected DLLs: $(echo $other)"; continue; fi
  if ! grep -q -E "[[:space:]]PyInit_$name\$" <<<"$dump"; then
    say "$name.pyd: does not export PyInit_$name"; continue
  fi
  linked=$((linked + 1))
  say "$name.pyd: linked; imports from $(echo $dlls)"
done
say "$linked of ${#MODULES[@]} modules link into a .pyd ($((SECONDS - start)) s)"
[ ${#failed_files[@]} -eq 0 ] && [ "$linked" -eq ${#MODULES[@]} ]
