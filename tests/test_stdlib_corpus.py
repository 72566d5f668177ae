"""Every module of the reference interpreter's standard library, its test
package included, parsed natively and by ast.parse: the same trees, positions
included, and the same refusals."""

import gc
import os
import sys
import tokenize
from pathlib import Path

import pytest

from ast_compare import REPORTED, compare, reference_tree, report

pytestmark = [
    pytest.mark.ast312,
    pytest.mark.slow,
    pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse"),
]

STDLIB = Path(os.__file__).resolve().parent

# What the 3.12.1 standard library holds: files, and how they end.
EXPECTED_3121 = {"files": 1740, "parsed": 1731, "syntax_errors": 6, "undecodable": 3}


def stdlib_files():
    files = []
    for path in STDLIB.rglob("*.py"):
        parts = path.relative_to(STDLIB).parts
        if "site-packages" in parts or "dist-packages" in parts:
            continue
        files.append(path)
    return sorted(files)


def read_as_interpreter(path):
    """The text the interpreter compiles for a file: decoded by its coding
    cookie (UTF-8 by default), BOM dropped, line ends translated; None when
    the file does not decode."""
    try:
        with tokenize.open(path) as f:
            return f.read()
    except (SyntaxError, UnicodeDecodeError, LookupError):
        return None


def read_keeping_line_ends(path):
    """Decoded like read_as_interpreter, but with CR and CRLF left in place."""
    with open(path, "rb") as f:
        encoding, _ = tokenize.detect_encoding(f.readline)
        f.seek(0)
        return f.read().decode(encoding)


def has_bare_cr(text):
    return "\r" in text.replace("\r\n", "")


def test_stdlib_parses_like_reference():
    assert (STDLIB / "test" / "__init__.py").is_file(), f"the test package is missing from {STDLIB}"
    counts = dict.fromkeys(EXPECTED_3121, 0)
    differences = []
    with_cr = []
    gc_was_enabled = gc.isenabled()
    gc.disable()  # trees are acyclic; collecting while thousands are built only costs time
    try:
        for path in stdlib_files():
            counts["files"] += 1
            name = str(path.relative_to(STDLIB))
            source = read_as_interpreter(path)
            if source is None:
                counts["undecodable"] += 1
                continue
            reference = reference_tree(source, str(path))
            counts["syntax_errors" if reference is None else "parsed"] += 1
            # Only line feeds start lines in the native positions, so with bare
            # CR line ends only the trees' shapes and values are compared.
            problem = compare(source, str(path), reference, not has_bare_cr(source), len(differences) < REPORTED)
            del reference
            if problem:
                differences.append((name, problem))
            if b"\r" in path.read_bytes():
                with_cr.append((path, name))
    finally:
        if gc_was_enabled:
            gc.enable()

    # The files written with CR line ends again, as they are on disk: line
    # ends inside literals and between tokens must come out as the
    # interpreter's newline translation makes them.
    for path, name in with_cr:
        source = read_keeping_line_ends(path)
        reference = reference_tree(source, str(path))
        problem = compare(source, str(path), reference, not has_bare_cr(source), len(differences) < REPORTED)
        if problem:
            differences.append((name + " (CR line ends kept)", problem))

    if sys.version_info[:3] == (3, 12, 1):
        assert counts == EXPECTED_3121
    assert not differences, report(differences, counts["files"] + len(with_cr), "files")
