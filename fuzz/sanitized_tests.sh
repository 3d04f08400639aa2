#!/bin/bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# whole test suite against that build.
#
#   fuzz/sanitized_tests.sh [PYTEST ARGS...]
#
# Environment: PYTHON (the base interpreter for the venv; default the first CPython 3.13 or
# later among python3.13, python3.14, python3 and pyenv's installed versions),
# ZPR_ASAN_VENV (default /tmp/zpr-asan-venv), ZPR_ASAN_BUILD (default /tmp/asan-build).
# The first run creates the venv and builds from scratch (a few minutes); later runs reuse
# both and rebuild only what changed.
#
# CPython keeps objects alive until exit by design, so leak detection is off; every other
# ASan report and every UBSan report aborts the test process and fails the run. The ASan
# runtime must be the first library loaded into the interpreter, hence LD_PRELOAD; the test
# subprocesses inherit it through the environment. Output is captured at the Python level
# only (--capture=sys), so a sanitizer report, written straight to file descriptor 2, shows
# even when it ends the process in the middle of a test (pytest-xdist then names the test
# whose worker died).
#
# The pure-Python package zyn_pulse_tools is taken from the source tree. The Arrow consumers
# (pyarrow, Polars, DuckDB) are installed, so that the streams' callbacks run here on the
# consumers' own threads; the tests that need the other extras (Dask, matplotlib), not
# installed here, are skipped.
#
# The build leaves out the AVX2 versions of the pulse-building loops, so that this run
# covers their baseline x86-64 versions, which the installed module skips on a processor
# with AVX2.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
venv=${ZPR_ASAN_VENV:-/tmp/zpr-asan-venv}
build=${ZPR_ASAN_BUILD:-/tmp/asan-build}

find_python() {
    local candidate
    for candidate in python3.13 python3.14 python3 /root/.pyenv/versions/3.1[3-9]*/bin/python3; do
        if "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    echo "no CPython 3.13 or later found; set PYTHON" >&2
    exit 2
}
base_python=${PYTHON:-$(find_python)}

if [[ ! -x $venv/bin/python ]]; then
    "$base_python" -m venv "$venv"
fi
# tqdm is a dependency of zyn_pulse_tools itself (its progress bars), not an optional extra.
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    numpy pandas tqdm pytest pytest-xdist hypothesis nlohmann-json cmake ninja pyarrow polars duckdb

# The sanitizer runtimes are the compiler's: build with the same gcc whose libasan is preloaded.
export CC=${CC:-gcc} CXX=${CXX:-g++}
"$venv/bin/cmake" -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZPR_SANITIZE=ON -DZPR_AVX2_CLONES=OFF -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
"$venv/bin/cmake" --build "$build"
# Install into a staging directory: the module beside its stubs, as a wheel lays them out.
"$venv/bin/cmake" --install "$build" --prefix "$build/staging" >/dev/null

asan_runtime=$("$CXX" -print-file-name=libasan.so)
[[ -f $asan_runtime ]] || { echo "ASan runtime not found: $asan_runtime" >&2; exit 2; }
# The interpreter itself has no C++ runtime; unless it is loaded from the start, ASan cannot
# find the real __cxa_throw and stops at the first C++ exception ("CHECK failed").
cxx_runtime=$("$CXX" -print-file-name=libstdc++.so.6)

cd "$repo"
start=$SECONDS
status=0
LD_PRELOAD="$asan_runtime $cxx_runtime" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONPATH="$build/staging:$repo/src" PYTHONDONTWRITEBYTECODE=1 \
    "$venv/bin/python" -m pytest -q -n auto -p no:cacheprovider --capture=sys "${@:-tests}" || status=$?
echo "sanitized test run: $((SECONDS - start))s, exit status $status"
exit $status
