#!/usr/bin/env bash
# Installs the package into a virtual environment and runs the example that
# writes a trajectory with rux.open, reopens it read-only and analyses it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/pip install -q --upgrade pip
.venv/bin/pip install -q .
cd examples && ../.venv/bin/python trajectory.py "${1:-/tmp/rux-example.rux}"
