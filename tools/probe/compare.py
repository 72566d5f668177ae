"""Compare the native parser with ast.parse over files or directories.

    PYTHONPATH=build/<dir> .venv/bin/python tools/probe/compare.py [paths...] [-v]

Defaults to the running interpreter's standard library. Prints a summary and,
with -v, the first differing line of each mismatch.
"""
import ast
import os
import sys
import sysconfig
import tokenize
import warnings

import _quorbin_probe


def files(paths):
    for p in paths:
        if os.path.isdir(p):
            for root, dirs, names in os.walk(p):
                dirs[:] = sorted(d for d in dirs if d != "site-packages")
                for n in sorted(names):
                    if n.endswith(".py"):
                        yield os.path.join(root, n)
        else:
            yield p


def first_diff(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return a[max(0, i - 80):i + 120], b[max(0, i - 80):i + 120]
    return a[len(b):][:200], b[len(a):][:200]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("-")]
    verbose = "-v" in sys.argv
    paths = args or [sysconfig.get_paths()["stdlib"]]
    warnings.simplefilter("ignore")
    same = differ = wrong = undecodable = 0
    for path in files(paths):
        try:
            with tokenize.open(path) as f:
                src = f.read()
        except (SyntaxError, UnicodeDecodeError):
            undecodable += 1
            continue
        try:
            want = ast.dump(ast.parse(src), include_attributes="\r" not in src.replace("\r\n", ""))
        except SyntaxError:
            want = None
        except (RecursionError, MemoryError):
            continue
        try:
            got = ast.dump(_quorbin_probe.parse(src), include_attributes="\r" not in src.replace("\r\n", ""))
        except SyntaxError as e:
            got = None
            err = str(e)
        if want == got:
            same += 1
        elif want is None or got is None:
            wrong += 1
            if verbose:
                print(f"VERDICT {path}: cpython {'rejects' if want is None else 'accepts'}"
                      + ("" if got is not None else f"; ours: {err}"))
        else:
            differ += 1
            if verbose:
                a, b = first_diff(got, want)
                print(f"DIFF {path}\n  ours: {a}\n  want: {b}")
    print(f"identical {same}, differing {differ}, wrong verdict {wrong}, undecodable {undecodable}")


if __name__ == "__main__":
    main()
