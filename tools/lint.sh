#!/usr/bin/env bash
# The package's checks, as configured in pyproject.toml ([tool.ruff], [tool.mypy]) and
# .clang-format: ruff's lint, ruff's format check, mypy (against Python 3.7), and clang-format
# over the C++ (a dry run: nothing is rewritten). Each runs to the end; the status is 1 when any
# of them found something.
# The tools come from the test extra (pip install ".[test]"); LINT_BIN names the directory that
# holds them (default: the one of the python3 on PATH, then PATH itself). tools/test.sh runs this
# once per test run, with the default host's environment.
set -uo pipefail
cd "$(dirname "$0")/.."
bin=${LINT_BIN:-}
tool() {
    if [ -n "$bin" ] && [ -x "$bin/$1" ]; then printf '%s\n' "$bin/$1"; else command -v "$1"; fi
}
status=0
run() {
    local name=$1
    shift
    echo "--- $name"
    "$@" || status=1
}
ruff=$(tool ruff) || { echo "ruff not found (pip install ruff)" >&2; exit 2; }
mypy=$(tool mypy) || { echo "mypy not found (pip install mypy)" >&2; exit 2; }
clang_format=$(tool clang-format) || { echo "clang-format not found (pip install clang-format)" >&2; exit 2; }
run "ruff check" "$ruff" check --no-cache --output-format concise src
run "ruff format --check" "$ruff" format --no-cache --check --output-format concise src
run "mypy" "$mypy" --no-incremental --cache-dir=/dev/null
mapfile -t cpp < <(find src \( -name '*.cpp' -o -name '*.hpp' \) -type f | sort)
# One line per place that differs (clang-format --dry-run -Werror itself also shows the code).
echo "--- clang-format --dry-run"
"$clang_format" --dry-run -Werror "${cpp[@]}" 2>&1 | grep -F ': error: '
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
exit $status
