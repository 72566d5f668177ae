#!/usr/bin/env bash
# Builds the parser's libFuzzer target with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang 14) and runs it for SECONDS seconds from a
# seed corpus of standard-library pieces and the test snippets.
#
#   tools/fuzz/run.sh SECONDS [extra libFuzzer flags...]
#
# FUZZ_BUILD (default build/fuzz) holds the build and the corpus; inputs that
# break an invariant or crash are written to FUZZ_BUILD/findings/. The exit
# status is libFuzzer's: non-zero when something was found.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/lib.sh"

seconds="${1:?usage: tools/fuzz/run.sh SECONDS [libFuzzer flags...]}"
shift
BUILD="${FUZZ_BUILD:-$ROOT/build/fuzz}"
PY="${PYTHON_FOR_CORPUS:-$ROOT/.venv/bin/python}"
[ -x "$PY" ] || PY="$(find_python 3.12)"

ensure_debian_packages clang-14 libclang-rt-14-dev libicu-dev
# The project environment's cmake and ninja, as for every other build step.
[ -d "$ROOT/.venv/bin" ] && export PATH="$ROOT/.venv/bin:$PATH"

log "building the fuzz target in $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT/tools/fuzz" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-1}"

corpus="$BUILD/corpus"
if [ ! -d "$corpus" ] || [ -z "$(ls -A "$corpus" 2>/dev/null)" ]; then
  log "writing the seed corpus"
  "$PY" "$ROOT/tools/fuzz/make_corpus.py" "$corpus"
fi
mkdir -p "$BUILD/findings"
# Every run adds the inputs that found new coverage; once the corpus is
# large, keep only a minimal subset with the same coverage, so that
# replaying it does not eat a short run's whole time.
if [ "$(find "$corpus" -type f | wc -l)" -gt "${FUZZ_CORPUS_LIMIT:-20000}" ]; then
  log "minimizing the corpus"
  rm -rf "$corpus.min" && mkdir -p "$corpus.min"
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS="suppressions=$ROOT/tools/fuzz/ubsan.supp" \
    nice "$BUILD/parse_fuzzer" -merge=1 -max_len=16384 "$corpus.min" "$corpus" >/dev/null 2>&1
  rm -rf "$corpus" && mv "$corpus.min" "$corpus"
fi

log "fuzzing for ${seconds}s"
# Leaks are checked: the parser owns all its memory through the tree's arena
# and the token vector, so a leak is a real fault. The RSS limit leaves room
# for ASan's shadow and quarantine.
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$ROOT/tools/fuzz/ubsan.supp}" \
  nice "$BUILD/parse_fuzzer" "$corpus" \
    -dict="$ROOT/tools/fuzz/python.dict" -max_len=16384 -timeout=10 -rss_limit_mb=3072 \
    -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$BUILD/findings/" "$@"
