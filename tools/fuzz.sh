#!/usr/bin/env bash
# Fuzzes merge_files for a bounded time: atheris drives tools/fuzz_merge.py, coverage comes from the
# extension itself, built with clang for libFuzzer's counters and with AddressSanitizer and
# UndefinedBehaviorSanitizer.
# usage: tools/fuzz.sh [seconds] [--driver] [--structured] [libFuzzer options...]  (default: 60 s)
#        --structured: the input chooses three notebooks rather than being the files (fuzz_merge.py)
#        tools/fuzz.sh 0 [--driver] FILE...       runs the inputs in FILE... once (a finding to replay)
# Needs clang++ with its runtime libraries (Debian: clang, libclang-rt-14-dev) and atheris for
# python3 (pip install atheris). The corpus grows in build/fuzz-corpus across runs; a finding is
# written to build/fuzz-findings/ and makes the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}; shift || true
py=$(python3 -c 'import sys; print(sys.executable)')   # the interpreter itself, not a wrapper script
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }
"$py" -c 'import atheris' 2>/dev/null || { echo "fuzz.sh: atheris is needed ($py -m pip install atheris)" >&2; exit 2; }

tag=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
build=build/fuzz-$tag
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
      >/dev/null
cmake --build "$build" >/dev/null

# libFuzzer as a library of its own, preloaded before the sanitizer runtime so that the extension's
# coverage counters reach it (the runtime has do-nothing stand-ins for the same functions).
fuzzer_archive=$(clang++ -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)
asan_runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
[ -f "$fuzzer_archive" ] && [ -f "$asan_runtime" ] || {
    echo "fuzz.sh: clang's runtime libraries are missing (apt-get install libclang-rt-14-dev)" >&2; exit 2; }
libfuzzer=$build/libfuzzer_no_main.so
[ "$libfuzzer" -nt "$fuzzer_archive" ] || clang++ -shared -fPIC -o "$libfuzzer" \
    -Wl,--whole-archive "$fuzzer_archive" -Wl,--no-whole-archive -lpthread

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cp -r src/corvane_git "$tree/"
find "$tree" \( -name 'merge_ipynb*.so' -o -name 'merge_core*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$build"/merge_ipynb*.so "$build"/merge_core*.so "$tree/corvane_git/scripts/merge_driver/"

corpus=build/fuzz-corpus
findings=build/fuzz-findings
case " $* " in *" --structured "*) corpus=build/fuzz-corpus-structured ;; esac
mkdir -p "$corpus" "$findings"
[ "$corpus" != build/fuzz-corpus ] || "$py" tools/fuzz_merge.py seeds "$corpus"
dict=$build/notebook.dict
printf '%s\n' '"\"cells\""' '"\"metadata\""' '"\"canvas\""' '"\"id\""' '"\"name\""' '"\"parents\""' \
    '"\"comments\""' '"\"source\""' '"\"outputs\""' '"\"execution_count\""' '"\"parameters\""' \
    '"\"headerColor\""' '"null"' '"true"' '"NaN"' '"\"<<< \""' '"\">>> \""' '"\"\\u00e9\""' \
    '"\\x00"' '"[{"' '"}]"' '"\\n"' > "$dict"

export PYTHONPATH=$tree PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:quarantine_size_mb=64
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run() { LD_PRELOAD="$PWD/$libfuzzer $asan_runtime" "$py" tools/fuzz_merge.py "$@"; }
for arg in "$@"; do
    if [ -f "$arg" ]; then   # inputs given: run just those (a finding to replay)
        run "$@"
        exit
    fi
done
echo "fuzzing merge_files for $seconds s (corpus $corpus)" >&2
run "$@" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -timeout=60 \
    -print_final_stats=1 -dict="$dict" -artifact_prefix="$findings/" "$corpus"
