#!/usr/bin/env bash
# The main job: install the package into .venv, serve the catalogue models
# from models/ on loopback, and detect road objects in the sample image with
# every catalogue model (annotated images go to out/).
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$(bash tools/setup_venv.sh | tail -n 1)
exec "$VPY" -P tools/demo.py "$@"
