"""The least stack on which the Python path succeeds, for two depths of the
same construct, on a `threading` thread (its stack set by
threading.stack_size) and on the main thread (its stack set by the stack
rlimit the process starts with): compile_composable (the parse alone) and
parse_module (the parse, then the conversion to ast objects). Each try runs
in a child process, since too small a stack is a crash. The extension is the
one on PYTHONPATH, or the installed one.

    python tools/stack/thread_stack.py [DEPTH_A DEPTH_B]
"""

import os
import resource
import subprocess
import sys

SHAPES = {
    "unary minus": "'-' * n + 'x'",
    "lambdas": "'lambda:' * n + 'x'",
    "conditional expressions": "'a if b else ' * n + 'x'",
    "lambda defaults": "'lambda a=' * n + 'x' + ':0' * n",
    "elif clauses": "'if a: pass\\n' + 'elif a: pass\\n' * n",
    "attributes (no parser recursion)": "'a' + '.b' * n",
}

THREAD = """
import sys, threading
import _quorbin_native_engine as native
n = {n}
source = {shape}
threading.stack_size({size})
box = []
t = threading.Thread(target=lambda: box.append(native.{function}(source)))
t.start(); t.join()
sys.exit(0 if box else 3)
"""

MAIN = """
import _quorbin_native_engine as native
n = {n}
native.{function}({shape})
"""


def succeeds(where, function, shape, n, size):
    if where == "thread":
        code, limit = THREAD.format(n=n, shape=shape, size=size, function=function), None
    else:
        code, limit = MAIN.format(n=n, shape=shape, function=function), size

    def set_limit():
        if limit:
            resource.setrlimit(resource.RLIMIT_STACK, (limit, limit))

    return subprocess.run([sys.executable, "-c", code], capture_output=True, env=os.environ,
                          preexec_fn=set_limit).returncode == 0


def least_stack(where, function, shape, n):
    lo, hi = 32 * 1024, 64 * 2**20  # threading's minimum; a stack surely large enough
    if not succeeds(where, function, shape, n, hi):
        return None
    while hi - lo > 4096:
        mid = (lo + hi) // 2 // 4096 * 4096
        if succeeds(where, function, shape, n, mid):
            hi = mid
        else:
            lo = mid
    return hi


def main():
    a, b = (int(x) for x in sys.argv[1:3]) if len(sys.argv) > 2 else (1000, 2000)
    print(f"{'construct':34} {'where':7} {'function':20} {'stack@A':>10} {'stack@B':>10} {'bytes/level':>12}")
    for name, shape in SHAPES.items():
        for where in ("thread", "main"):
            for function in ("compile_composable", "parse_module"):
                sa, sb = least_stack(where, function, shape, a), least_stack(where, function, shape, b)
                if sa is None or sb is None:
                    print(f"{name:34} {where:7} {function:20} refused or crashed on a 64 MB stack")
                    continue
                print(f"{name:34} {where:7} {function:20} {sa:>10} {sb:>10} {(sb - sa) / (b - a):>12.1f}",
                      flush=True)


if __name__ == "__main__":
    main()
