"""The snippets that the reference interpreter's test suite compiles (see
tools/harvest_snippets.py), parsed natively: the same verdict as the
reference's ast.parse for every one, and the same tree for those it accepts."""

import json
import sys
from pathlib import Path

import pytest

from ast_compare import REPORTED, compare, reference_tree, report

pytestmark = [
    pytest.mark.ast312,
    pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse"),
]

SNIPPETS = Path(__file__).resolve().parent / "data" / "snippets.json"


def load():
    with open(SNIPPETS, encoding="utf-8") as f:
        return json.load(f)


def test_snippet_file_is_current():
    # The labels are the reference's verdicts; on the version that made them
    # they must still hold, or the file is stale and must be regenerated.
    if sys.version_info[:3] != (3, 12, 1):
        pytest.skip("labels were made with 3.12.1")
    snippets = load()
    assert len(snippets) > 2000
    stale = []
    for s in snippets:
        accepts = reference_tree(s["source"]) is not None
        if accepts != s["accepts"]:
            stale.append((s["origin"], f"labelled accepts={s['accepts']}"))
    assert not stale, report(stale, len(snippets), "labels")
    # Both verdicts are well represented, so neither half can pass vacuously.
    assert sum(s["accepts"] for s in snippets) > 1000
    assert sum(not s["accepts"] for s in snippets) > 500


def test_snippets_parse_like_reference():
    snippets = load()
    differences = []
    for s in snippets:
        reference = reference_tree(s["source"], "<snippet>") if s["accepts"] else None
        if s["accepts"] and reference is None:
            differences.append((s["origin"], "stale label: the reference refuses it now"))
            continue
        # Only line feeds start lines in the native positions, so with bare CR
        # line ends only the trees' shapes and values are compared.
        source = s["source"]
        with_positions = "\r" not in source.replace("\r\n", "")
        problem = compare(source, "<snippet>", reference, with_positions, len(differences) < REPORTED)
        if problem:
            differences.append((f"{s['origin']} {s['source'][:60]!r}", problem))
    assert not differences, report(differences, len(snippets), "snippets")
