#!/usr/bin/env bash
# Builds the extension for one interpreter and drops it into src/ for PYTHONPATH=src test runs.
# usage: tools/devbuild.sh [python] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}; shift || true
tag=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
build=build/dev-$tag${DEVBUILD_SUFFIX:-}
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "$py")" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$build"
for so in "$build"/merge_ipynb*.so "$build"/merge_core*.so; do
    dest=src/corvane_git/scripts/merge_driver/$(basename "$so")
    cp "$so" "$dest.tmp.$$" && mv "$dest.tmp.$$" "$dest"
    echo "built $dest"
done
