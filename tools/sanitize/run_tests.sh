#!/usr/bin/env bash
# Builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (-DQUORBIN_SANITIZE=ON, the system g++) and runs
# the C++ tests, then the pytest suite (or the pytest arguments given) on
# that build. scripts/test.sh runs it after the release tests, so CI runs
# the suite under the sanitizers on every change.
#
#   tools/sanitize/run_tests.sh [pytest arguments...]
#
# SANITIZE_BUILD (default build/asan) is the build directory,
# CMAKE_BUILD_PARALLEL_LEVEL (default 1) the number of compile jobs.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/lib.sh"
BUILD="${SANITIZE_BUILD:-$ROOT/build/asan}"

# The project environment (interpreter, pytest, cmake, ninja), made here if
# this runs on a fresh clone before anything else; a no-op once it exists.
ensure_debian_packages g++ libicu-dev libssl-dev pkg-config libgtest-dev
py312="$(find_python 3.12)" || { echo "no Python 3.12 found (set PYTHON)" >&2; exit 1; }
make_venv "$py312" "$ROOT/.venv"
PY="$ROOT/.venv/bin/python"
export PATH="$ROOT/.venv/bin:$PATH"

# -Og -g1 rather than RelWithDebInfo's -O2 -g: with the sanitizers'
# instrumentation, -O2 and full debug information make a translation unit
# about four times dearer to compile, for code that runs only about a tenth
# faster; -O1 compiles a fifth slower than -Og and runs barely faster.
# -g1 keeps the line tables, so reports still name file and line; the frame
# pointer (QUORBIN_SANITIZE adds it) keeps the stack traces whole. NDEBUG
# stays, as in the release build, so the code checked is the code shipped.
log "building with ASan and UBSan in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DQUORBIN_DEV=ON -DQUORBIN_SANITIZE=ON -DPython_EXECUTABLE="$PY" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-Og -g1 -DNDEBUG" >/dev/null
# Only what the runs below load: the developer probe is not built.
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-1}" --target _quorbin_native_engine quorbin_cpp_tests

status=0
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
log "C++ tests"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" "$BUILD/quorbin_cpp_tests" --gtest_brief=1 || status=$?

# The interpreter is not built with ASan, so its runtime must be loaded
# first; libstdc++ is loaded with it, or ASan's __cxa_throw interceptor finds
# no real function and every C++ exception aborts the process. Leak
# detection is off: the interpreter leaves most of its memory to the exit.
log "pytest"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" \
ASAN_OPTIONS="${PY_ASAN_OPTIONS:-detect_leaks=0}" PYTHONPATH="$BUILD" \
  "$PY" -m pytest -q -p no:cacheprovider "${@:-$ROOT/tests}" || status=$?
exit $status
