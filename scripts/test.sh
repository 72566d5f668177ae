#!/usr/bin/env bash
# Runs the whole test suite: the C++ unit tests, the pytest suite on Python
# 3.12, the C++ tests and the pytest suite again on an ASan and UBSan build,
# a minute of fuzzing the parser, and on Python 3.13 the build, the import
# and the tests that do not compare with 3.12's ast.parse.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# Every build step uses both cores of the CI machine unless told otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
ensure_debian_packages libgtest-dev
setup_312

log "C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja -DQUORBIN_DEV=ON -DQUORBIN_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build/cpp" -j "$CMAKE_BUILD_PARALLEL_LEVEL"
if [ -x "$ROOT/build/cpp/quorbin_cpp_tests" ]; then
  "$ROOT/build/cpp/quorbin_cpp_tests" --gtest_brief=1
fi

status=0
log "pytest on 3.12"
"$VENV312/bin/python" -m pytest -q "$ROOT/tests" "$@" || status=$?

# The same suite once more with AddressSanitizer and UndefinedBehaviorSanitizer
# (tools/sanitize/run_tests.sh defines the build and the run). Any report
# stops the process it happens in, so it fails the run.
log "C++ tests and pytest under ASan and UBSan"
"$ROOT/tools/sanitize/run_tests.sh" "$ROOT/tests" "$@" || status=1

# A minute of fuzzing the parser under ASan and UBSan (tools/fuzz/README.md);
# the full libFuzzer log stays in build/fuzz/run.log.
log "fuzzing the parser for ${QUORBIN_FUZZ_SECONDS:-60}s"
mkdir -p "$ROOT/build/fuzz"
if "$ROOT/tools/fuzz/run.sh" "${QUORBIN_FUZZ_SECONDS:-60}" >"$ROOT/build/fuzz/run.log" 2>&1; then
  grep -E '^(Done|stat::number_of_executed_units)' "$ROOT/build/fuzz/run.log" >&2 || true
else
  status=1
  tail -n 60 "$ROOT/build/fuzz/run.log" >&2
fi

if py313="$(find_python 3.13)"; then
  VENV313="$ROOT/.venv313"
  make_venv "$py313" "$VENV313"
  build_module "$VENV313"
  log "pytest on 3.13 (tests that do not compare with 3.12's trees)"
  "$VENV313/bin/python" -m pytest -q -m "not ast312 and not slow" "$ROOT/tests" "$@" || status=$?
else
  echo "Python 3.13 not found: its build is not checked" >&2
  status=1
fi
exit $status
