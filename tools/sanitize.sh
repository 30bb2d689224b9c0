#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests against it.
# usage: tools/sanitize.sh [python] [pytest args...]        (defaults: python3, tests)
# The sanitized library goes into a temporary copy of the package, never into src/. Tests that build
# the extension again are left out (-m "not slow"). CPython's own allocations at exit look like leaks to
# ASan, so leak detection is off; PYTHONMALLOC=malloc routes host objects through ASan's allocator so
# that use-after-free and overflows of host objects are seen too.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(command -v "${1:-python3}"); shift || true
tag=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
build=build/asan-$tag${DEVBUILD_SUFFIX:-}
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_BUILD_TYPE=Debug -DMERGE_IPYNB_SANITIZE=ON >/dev/null
cmake --build "$build"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cp -r src/corvane_git "$tree/"
find "$tree" \( -name 'merge_ipynb*.so' -o -name 'merge_core*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$build"/merge_ipynb*.so "$build"/merge_core*.so "$tree/corvane_git/scripts/merge_driver/"

# libstdc++ is preloaded too: the host is C, and ASan resolves the real __cxa_throw only at start-up.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export PYTHONPATH=$tree
"$py" - "$tree" <<'EOF'
import sys
from corvane_git.scripts.merge_driver import merge_ipynb
assert merge_ipynb.__file__.startswith(sys.argv[1]), merge_ipynb.__file__
print("testing", merge_ipynb.__file__)
EOF
[ $# -gt 0 ] || set -- tests
# The page tests are left out too: the browser they start would inherit the preloaded runtime
# (and fail to start), and they run no code of the extension.
"$py" -m pytest -p no:cacheprovider -m "not slow" --ignore=tests/test_pages.py "$@"
