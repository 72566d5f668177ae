"""Size stress: single lines of 10 MB and modules of up to 100 MB of simple
statements, through the native parser. Prints, per input, the time, the
throughput and the peak resident memory of a child process that did nothing
else, so memory can be read against the input size (it should be linear).

    python bench/bench_stress.py                 # every case
    python bench/bench_stress.py --max-mb 25     # the module sizes up to 25 MB only
    python bench/bench_stress.py --with-ast      # also parse_module and ast.parse where they fit

compile_composable keeps the tree native, so it is the function measured at
every size; building the interpreter's ast objects for 100 MB would need
about 20 GB, so parse_module and ast.parse run only on the single lines
(with --with-ast).
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, resource, sys, time
import _quorbin_native_engine as native
kind, size = sys.argv[1], int(sys.argv[2])
function = sys.argv[3]

def simple_module(size):
    lines, n, i = [], 0, 0
    forms = ("x{i} = {i}\n", "y = x{i} + 1\n", "f(x{i}, 'text')\n", "pass\n", "import m{i}\n", "a.b = c[{i}]\n")
    while n < size:
        line = forms[i % len(forms)].format(i=i)
        lines.append(line)
        n += len(line)
        i += 1
    return "".join(lines)

def list_line(size):  # one line: a list display of small integers
    parts, n, i = ["x = ["], 5, 0
    while n < size:
        p = f"{i % 1000}, "
        parts.append(p)
        n += len(p)
        i += 1
    return "".join(parts) + "]\n"

def string_line(size):  # one line: a single string literal
    return "x = '" + "abc\\n" * (size // 5) + "'\n"

def statements_line(size):  # one line: statements separated by semicolons
    parts, n, i = [], 0, 0
    while n < size:
        p = f"x{i} = {i}; "
        parts.append(p)
        n += len(p)
        i += 1
    return "".join(parts) + "pass\n"

source = {"module": simple_module, "list_line": list_line, "string_line": string_line,
          "statements_line": statements_line}[kind](size)
nbytes = len(source.encode("utf-8"))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
if function == "compile_composable":
    result = native.compile_composable(source)
    nodes = sum(result.node_counts().values())
elif function == "parse_module":
    result = native.parse_module(source)
    nodes = None
else:
    import ast
    result = ast.parse(source)
    nodes = None
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"bytes": nbytes, "seconds": seconds, "baseline": before, "peak": peak, "nodes": nodes}))
"""


def run(kind, size, function):
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(size), function], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]}
    return json.loads(proc.stdout)


def show(label, function, r):
    if "error" in r:
        print(f"{label:26} {function:19} failed: {r['error']}")
        return
    grown = r["peak"] - r["baseline"]
    line = (f"{label:26} {function:19} {r['bytes'] / 1e6:7.1f} MB {r['seconds']:7.2f} s "
            f"{r['bytes'] / r['seconds'] / 1e6:7.1f} MB/s  peak RSS {r['peak'] / 2**20:7.0f} MiB "
            f"(+{grown / 2**20:.0f} MiB over the source, {grown / r['bytes']:.1f} bytes per source byte)")
    if r["nodes"]:
        line += f"  {r['nodes']:,} nodes"
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-mb", type=float, default=100)
    parser.add_argument("--with-ast", action="store_true")
    args = parser.parse_args()
    mb = 1_000_000
    print(f"Python {sys.version.split()[0]}; peak RSS is the child's ru_maxrss, the baseline the same "
          "after the source string was built")
    single = ["compile_composable"] + (["parse_module", "ast.parse"] if args.with_ast else [])
    for kind in ("list_line", "string_line", "statements_line"):
        for function in single:
            show(f"10 MB line: {kind}", function, run(kind, 10 * mb, function))
    for size in (s for s in (12.5, 25, 50, 100) if s <= args.max_mb):
        show(f"{size:g} MB module", "compile_composable", run("module", int(size * mb), "compile_composable"))


if __name__ == "__main__":
    main()
