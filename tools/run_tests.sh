#!/usr/bin/env bash
# Build the release wheel, install it into a fresh virtual environment
# outside the checkout and run the whole test suite against it.
#   bash tools/run_tests.sh [pytest args...]
# ZV_TEST_ENV names the environment's folder (default: a new temporary one,
# removed afterwards).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# First the Windows x64 compile-and-link check of the native sources (it
# prints a SKIPPED line where no cross compiler can be installed, and fails
# instead under CI).
bash "$ROOT/tools/check_windows.sh"
LOG=$(mktemp "${TMPDIR:-/tmp}/zorvane-wheel-build.XXXXXX")
if ! WHEEL=$(bash "$ROOT/tools/build_wheel.sh" 2>"$LOG" | tail -n 1); then
  cat "$LOG" >&2; exit 1
fi
rm -f "$LOG"
case "$WHEEL" in /*) ;; *) WHEEL="$ROOT/$WHEEL" ;; esac
echo "testing $WHEEL" >&2
ENV_DIR=${ZV_TEST_ENV:-}
if [ -z "$ENV_DIR" ]; then
  ENV_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zorvane-test-env.XXXXXX")
  trap 'rm -rf "$ENV_DIR"' EXIT
fi
rm -rf "$ENV_DIR"
"${PYTHON:-python3}" -m venv "$ENV_DIR"
TPY="$ENV_DIR/bin/python"
"$TPY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null 2>&1
if ! "$TPY" -m pip install -q --disable-pip-version-check "${WHEEL}[${ZV_EXTRAS:-test}]" >"$ENV_DIR/pip.log" 2>&1; then
  cat "$ENV_DIR/pip.log" >&2; exit 1
fi
# -P keeps the checkout off sys.path (and src/ never is), so the tests import
# the installed wheel; pytest exits non-zero (5) when it ran no test.
cd "$ROOT"
"$TPY" -P -m pytest -q "$@"
