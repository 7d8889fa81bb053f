#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own environment (.venv-asan, build directory build-asan), then runs the
# test suite and the long differential fuzz run under them. Prints the counts
# and exits non-zero on any failure or sanitizer report.
#
#   bash scripts/run-sanitizers.sh [--fuzz-seconds N] [--seed S] [--skip-build]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

fuzz_seconds=120
seed=1
build=1
while [ $# -gt 0 ]; do
    case "$1" in
        --fuzz-seconds) fuzz_seconds="$2"; shift 2 ;;
        --seed) seed="$2"; shift 2 ;;
        --skip-build) build=0; shift ;;
        *) echo "usage: $0 [--fuzz-seconds N] [--seed S] [--skip-build]" >&2; exit 2 ;;
    esac
done

venv=.venv-asan
libasan="$(${CXX:-g++} -print-file-name=libasan.so)"
libstdcxx="$(${CXX:-g++} -print-file-name=libstdc++.so.6)"
[ -e "$libasan" ] || { echo "error: libasan.so not found (looked for $libasan)" >&2; exit 1; }
python_ok() { "$1" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; }

if [ "$build" = 1 ]; then
    if [ ! -x "$venv/bin/python" ] || ! python_ok "$venv/bin/python"; then
        base=""
        for candidate in "$(command -v python3.13 || true)" \
                "$( [ -x .venv/bin/python ] && .venv/bin/python -c 'import sys; print(sys._base_executable)' )" \
                "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
            if [ -n "$candidate" ] && [ -x "$candidate" ] && python_ok "$candidate"; then
                base="$candidate"; break
            fi
        done
        [ -n "$base" ] || { echo "error: no CPython 3.13 interpreter found" >&2; exit 1; }
        rm -rf "$venv"
        "$base" -m venv "$venv" || exit 1
    fi
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        "nanobind==2.9.2" "scikit-build-core==0.11.6" || exit 1
    sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        -Cbuild-dir=build-asan \
        -Ccmake.build-type=RelWithDebInfo \
        "-Ccmake.define.CMAKE_CXX_FLAGS=$sanitize" \
        "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
        "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
        "-Ccmake.define.CORVANE_STUB_ENV=LD_PRELOAD=$libasan:$libstdcxx;ASAN_OPTIONS=detect_leaks=0" \
        ".[test]" || { echo "error: the sanitizer build failed" >&2; exit 1; }
fi

# The interpreter itself is not instrumented: the ASan runtime must be loaded
# first, and the C++ runtime with it so that ASan's exception interceptors
# find it (the interpreter does not link it). CPython does not free
# everything at exit, so leaks are not reported; PYTHONMALLOC=malloc lets
# ASan see every object allocation.
export LD_PRELOAD="$libasan $libstdcxx"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
# Instrumented frames are several times larger: the host's recursion limit,
# which keeps an ordinary build well inside the default 8 MiB stack, does not
# keep an instrumented one inside it.
ulimit -s 262144 2>/dev/null || ulimit -s unlimited 2>/dev/null || true

status=0
log=$(mktemp)
summary() { grep -E '[0-9]+ (passed|failed|error)' "$log" | tail -1; }
# Tests that measure traced memory assume the host's own small-object
# allocator; they run in a second pass with it.
memory_tests="memory_flat"
"$venv/bin/python" -m pytest -q -p no:cacheprovider -k "not $memory_tests" tests 2>&1 | tee "$log"
tests_status=${PIPESTATUS[0]}
tests_summary=$(summary)
PYTHONMALLOC= "$venv/bin/python" -m pytest -q -p no:cacheprovider -k "$memory_tests" tests 2>&1 | tee "$log"
memory_status=${PIPESTATUS[0]}
tests_summary="$tests_summary; with the host's allocator: $(summary)"
[ "$tests_status" = 0 ] && [ "$memory_status" = 0 ] || status=1

"$venv/bin/python" scripts/long_fuzz.py --seconds "$fuzz_seconds" --seed "$seed" 2>&1 | tee "$log"
fuzz_status=${PIPESTATUS[0]}
fuzz_summary=$(grep -E '^total:' "$log" | tail -1)
[ "$fuzz_status" = 0 ] || status=1
rm -f "$log"

echo
echo "sanitizers: address, undefined ($libasan)"
echo "test suite: ${tests_summary:-no summary} (exit $tests_status, $memory_status)"
echo "long fuzz:  ${fuzz_summary:-no summary} (exit $fuzz_status)"
if [ "$status" = 0 ]; then echo "result: OK"; else echo "result: FAILED"; fi
exit "$status"
