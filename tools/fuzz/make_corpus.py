"""Writes the fuzzer's seed corpus: the running interpreter's standard library
cut into pieces of at most --max-bytes (whole top-level statements, so the
pieces still parse), and every snippet of tests/data/snippets.json, accepted
or not. The corpus is generated, never committed.

    python tools/fuzz/make_corpus.py OUT_DIR [--max-bytes 8192]
"""

import argparse
import ast
import hashlib
import json
import pathlib
import sys
import sysconfig
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[2]


def pieces(text, max_bytes):
    """The text itself when small enough, else runs of consecutive top-level
    statements that fit, each cut at its statements' line boundaries."""
    data = text.encode("utf-8")
    if len(data) <= max_bytes:
        yield data
        return
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(text)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return
    lines = text.splitlines(keepends=True)
    chunk = []
    size = 0
    for stmt in tree.body:
        first = min([stmt.lineno] + [d.lineno for d in getattr(stmt, "decorator_list", [])]) - 1
        part = "".join(lines[first:stmt.end_lineno]).encode("utf-8")
        if len(part) > max_bytes:
            continue
        if size + len(part) > max_bytes and chunk:
            yield b"".join(chunk)
            chunk, size = [], 0
        chunk.append(part)
        size += len(part)
    if chunk:
        yield b"".join(chunk)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--max-bytes", type=int, default=8192)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    written = 0

    def write(data):
        nonlocal written
        name = hashlib.sha1(data).hexdigest()
        path = args.out / name
        if not path.exists():
            path.write_bytes(data)
            written += 1

    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    for path in sorted(stdlib.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            text = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        for data in pieces(text, args.max_bytes):
            write(data)

    snippets = ROOT / "tests" / "data" / "snippets.json"
    if snippets.exists():
        for entry in json.loads(snippets.read_text(encoding="utf-8")):
            data = entry["source"].encode("utf-8", "surrogatepass")
            if len(data) <= args.max_bytes:
                write(data)

    print(f"{written} new seed files in {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
