#!/usr/bin/env bash
# Makes or updates a virtual environment beside the main one, with the pinned requirements and
# the package built into it: `scripts/venv.sh VENV BUILD_DIR [pip -C settings...]`. The
# interpreter is the one scripts/python314.sh prints (QUENMARK_PYDEBUG=1 for the debug one).
# Builds are niced and run BUILD_JOBS (default 2) jobs.
set -euo pipefail
venv=$1 build=$2
shift 2
cd "$(dirname "$0")/.."
[[ -x $venv/bin/python ]] || "$(scripts/python314.sh)" -m venv "$venv"
if [[ ! -f $venv/.installed || requirements-dev.txt -nt $venv/.installed ]]; then
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements-dev.txt
  touch "$venv/.installed"
fi
CMAKE_BUILD_PARALLEL_LEVEL=${BUILD_JOBS:-2} nice -n 10 "$venv/bin/python" -m pip install -q \
  --no-build-isolation --no-deps -e . -C build-dir="$build" "$@"
