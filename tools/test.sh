#!/usr/bin/env bash
# Installs the package with its test extra into a fresh virtual environment per host Python and
# runs the whole test suite against the installed package.
# Hosts: CPython 3.7 (from pyenv) and the default python3 (the one on PATH outside any active
# virtual environment); override with HOSTS="3.7 3.12 default".
# CORVANE_SLOW_TESTS=1 adds the slow sweeps and the large corpus notebooks (what CI runs).
# After the suite, tools/lint.sh (ruff, mypy, clang-format) runs once, with the tools that the test
# extra installed for the default host (else for the last host tested other than 3.7); LINT=0 skips it.
set -uo pipefail
cd "$(dirname "$0")/.."
command -v git >/dev/null || { echo "git must be on PATH" >&2; exit 2; }
hosts=${HOSTS:-"3.7 default"}
# The page tests run in headless Chromium: Debian's, installed here when missing (as root).
if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        { apt-get install -y -q chromium || { apt-get update -q && apt-get install -y -q chromium; }; } \
            >/dev/null 2>&1 || echo "WARNING: could not install chromium; the page tests skip" >&2
    else
        echo "WARNING: no chromium on PATH; the page tests skip (apt-get install chromium)" >&2
    fi
fi
status=0
ran=0
lint_venv=
for host in $hosts; do
    if [ "$host" = default ]; then
        # Outside an active virtual environment: drop its bin/ from PATH before looking.
        py=$(PATH=$(printf %s "$PATH" | tr ':' '\n' | grep -vxF "${VIRTUAL_ENV:-/nonexistent}/bin" | paste -sd: -) \
             command -v python3)
    else
        py=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$host".*/bin/python 2>/dev/null | sort -V | tail -n 1)
    fi
    if [ -z "$py" ] || [ ! -x "$py" ]; then
        echo "WARNING: no CPython $host found (looked under pyenv); not tested on it" >&2
        continue
    fi
    tag=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=build/venv-$tag
    echo "=== CPython $tag ($py)"
    rm -rf "$venv"
    "$py" -m venv "$venv" || { status=1; continue; }
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
    if ! "$venv/bin/python" -m pip install -q ".[test]"; then
        echo "install failed on CPython $tag" >&2
        status=1
        continue
    fi
    # Run from tests/ so that the installed package, not src/, is imported.
    (cd tests && ../"$venv"/bin/python -m pytest -q -p no:cacheprovider "$@" .)
    rc=$?
    ran=$((ran + 1))
    if [ "$host" = default ] || { [ "$tag" != 3.7 ] && [ "${lint_host:-}" != default ]; }; then
        lint_venv=$venv
        lint_host=$host
    fi
    [ $rc -eq 0 ] || status=1
done
[ $ran -gt 0 ] || { echo "no host Python found" >&2; exit 1; }
if [ "${LINT:-1}" != 0 ]; then
    if [ -n "$lint_venv" ]; then
        echo "=== lint and types ($lint_venv)"
        LINT_BIN=$lint_venv/bin bash tools/lint.sh || status=1
    else
        echo "WARNING: no host of 3.8 or later tested; lint and types not checked" >&2
    fi
fi
exit $status
