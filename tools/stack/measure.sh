#!/usr/bin/env bash
# Stack bytes per nesting level of the parser and the tree walks: the C++
# probe built as the extension is (g++ -O3) and under AddressSanitizer (as
# the sanitizer build and the fuzzer run it), then the whole Python path,
# parse and conversion, on threads of a chosen stack size.
#
#   tools/stack/measure.sh [BUILD_DIR]     (default build/stack)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$ROOT/scripts/lib.sh"
OUT="${1:-$ROOT/build/stack}"
mkdir -p "$OUT"
srcs=("$ROOT"/src/syntax/*.cpp "$ROOT/tools/stack/stack_depth.cpp")
flags=(-std=c++20 -I"$ROOT/src" -DNDEBUG)
libs=(-licuuc -licudata -lpthread)

log "g++ -O3"
nice g++ "${flags[@]}" -O3 "${srcs[@]}" "${libs[@]}" -o "$OUT/stack_depth"
"$OUT/stack_depth"

log "g++ -O2 -fsanitize=address,undefined (as -DQUORBIN_SANITIZE=ON)"
nice g++ "${flags[@]}" -O2 -g -fsanitize=address,undefined -fno-omit-frame-pointer "${srcs[@]}" "${libs[@]}" \
  -o "$OUT/stack_depth_asan"
ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=0 "$OUT/stack_depth_asan"

log "clang++-14 -O2 -fsanitize=address,undefined (as the fuzz target)"
nice clang++-14 "${flags[@]}" -O2 -g -fsanitize=address,undefined -fno-omit-frame-pointer "${srcs[@]}" "${libs[@]}" \
  -o "$OUT/stack_depth_clang_asan"
ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=0 "$OUT/stack_depth_clang_asan"

log "threads of the Python path (parse, then conversion)"
"${PYTHON:-$ROOT/.venv/bin/python}" "$ROOT/tools/stack/thread_stack.py"
