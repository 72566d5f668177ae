"""Parsing throughput on the reference interpreter's standard library.

Times, over the same files in one process, ast.parse, the native
compile_composable (parse into the engine's own tree) and the native
parse_module (parse and convert to ast objects). The rounds are interleaved:
round k runs ast.parse over all files, then compile_composable, then
parse_module, so that a change in the machine's load during the run falls on
all three alike rather than on whichever ran last. The figure for each is its
median round, and the ratios are against ast.parse's median in the same run.
gc stays off while timing; it collects between passes only.

    python bench/bench_parse.py [--runs 5]
"""

import argparse
import ast
import gc
import os
import statistics
import sys
import time
import tokenize
import warnings
from pathlib import Path

import _quorbin_native_engine as native


def corpus(stdlib):
    """(name, text) of every standard library file that decodes and that
    ast.parse accepts: the corpus test's 'parsed' files."""
    files = []
    for path in sorted(stdlib.rglob("*.py")):
        parts = path.relative_to(stdlib).parts
        if "site-packages" in parts or "dist-packages" in parts:
            continue
        try:
            with tokenize.open(path) as f:
                text = f.read()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ast.parse(text, str(path))
        except (SyntaxError, UnicodeDecodeError, LookupError):
            continue
        files.append((str(path), text))
    return files


def one_round(function, files):
    start = time.perf_counter()
    for name, text in files:
        function(text, name)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="interleaved rounds (default 5); each parser's median round is reported")
    parser.add_argument("--stdlib", type=Path, default=Path(os.__file__).resolve().parent,
                        help="directory of .py files (default: this interpreter's standard library)")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    files = corpus(args.stdlib)
    total = sum(len(text.encode("utf-8")) for _, text in files)
    print(f"Python {sys.version.split()[0]}, {len(files)} files, {total / 1e6:.1f} MB of source, "
          f"median of {args.runs} interleaved rounds")

    def reference(text, name):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ast.parse(text, name)

    contenders = [
        ("ast.parse", reference),
        ("compile_composable", lambda text, name: native.compile_composable(text, filename=name)),
        ("parse_module", lambda text, name: native.parse_module(text, filename=name)),
    ]
    gc.disable()
    try:
        measured = []
        for label, function in contenders:
            try:
                one_round(function, files[:5])  # warm up, and fail early if it cannot parse
            except Exception as e:
                print(f"{label:>20}: not measured ({type(e).__name__}: {e})")
                continue
            measured.append((label, function))
        gc.collect()
        rounds = {label: [] for label, _ in measured}
        for _ in range(args.runs):
            for label, function in measured:
                rounds[label].append(one_round(function, files))
                gc.collect()  # between passes only, never inside one
    finally:
        gc.enable()
    medians = {label: statistics.median(times) for label, times in rounds.items()}

    base = medians.get("ast.parse")
    for label, seconds in medians.items():
        line = f"{label:>20}: {seconds:7.3f} s  {total / seconds / 1e6:7.2f} MB/s"
        if base and label != "ast.parse":
            line += f"  {base / seconds:5.2f}x ast.parse's speed"
        print(line)


if __name__ == "__main__":
    main()
