#!/usr/bin/env bash
# Install the package into .venv from this checkout and run the test suite
# against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$(bash tools/setup_venv.sh | tail -n 1)
# Run from tests/ parent with -P so that the checkout's src/ is never on
# sys.path: the tests import the installed package.
exec "$VPY" -P -m pytest -q "$@"
