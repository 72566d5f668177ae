#!/usr/bin/env bash
# Builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (-DQUORBIN_SANITIZE=ON, the system g++) and runs
# the C++ tests, then the pytest suite (or the pytest arguments given) on
# that build.
#
#   tools/sanitize/run_tests.sh [pytest arguments...]
#
# SANITIZE_BUILD (default build/asan) is the build directory.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/lib.sh"
BUILD="${SANITIZE_BUILD:-$ROOT/build/asan}"
PY="$ROOT/.venv/bin/python"
export PATH="$ROOT/.venv/bin:$PATH"

log "building with ASan and UBSan in $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DQUORBIN_DEV=ON -DQUORBIN_SANITIZE=ON -DPython_EXECUTABLE="$PY" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-1}"

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
