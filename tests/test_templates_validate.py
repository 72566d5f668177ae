"""compile_validate_source: authored template source may not carry the insertion marker."""

import re

import pytest

import _quorbin_native_engine as qe

AUTHORED = "native schema error: quorbin_insert(...) is internal emitted-source metadata and cannot be authored directly at line "


@pytest.mark.parametrize(
    "source",
    [
        "",
        "x = 1",
        "# quorbin_insert(a, b)\nx = 1",
        "x = 'quorbin_insert(a, b)'",
        "m.quorbin_insert(a, b)",
        "f = quorbin_insert",
        "quorbin_insertx(a, b)",
        "quorbin_hole(x)\ny = quorbin_ref(external=e)",
        "quorbin_hole()",  # the marker checks of the walk are not run here
        "quorbin_unknown(x)",
    ],
)
def test_accepted(source):
    assert qe.compile_validate_source(source) is None
    assert qe.compile_validate_source(source, "t.py") is None


@pytest.mark.parametrize(
    ("source", "line"),
    [
        ("quorbin_insert()", 1),
        ("def f():\n    x = 1\n    quorbin_insert(a, b)\n", 3),
        ("x = 1\nquorbin_insert(a, b)\nquorbin_insert(c, d)", 2),
        ("f(\n  quorbin_insert(a,\n    quorbin_insert(b, c)))", 2),
        ("@quorbin_insert(a)\ndef f(): pass", 1),
        ("class C:\n    def m(self, a=quorbin_insert(x, y)):\n        pass", 2),
        ("def f(a: quorbin_insert(x, y)): pass", 1),
        ("y = [v for v in w if quorbin_insert(\nx, y)]", 1),
        ("for i in x:\n    while y:\n        match z:\n            case _:\n                quorbin_insert(a, b)", 5),
        ('y = f"{quorbin_insert(a, b)}"', 1),
        # a definition is searched in field order: its body before its decorators
        ("@quorbin_insert(a)\ndef f():\n    quorbin_insert(b, c)", 3),
        ("x = 'é'\n\nquorbin_insert(a, b)", 3),
        ("x = 1\r\nquorbin_insert(a, b)", 2),
    ],
)
def test_authored_insert_is_refused(source, line):
    with pytest.raises(ValueError) as info:
        qe.compile_validate_source(source)
    assert str(info.value) == AUTHORED + str(line)


@pytest.mark.parametrize(
    ("source", "detail"),
    [
        ('x = 1\nquorbin_pyimport(module="m")',
         "quorbin_pyimport(...) at line 2 must appear in the contiguous top-of-Quorbin-scope prefix"),
        ("if quorbin_elif(x):\n    pass", "quorbin_elif(...) at line 1 is valid only in real elif position"),
        ("if c: pass\nelse:\n    if quorbin_elif(x):\n        y = 1", "quorbin_elif marker body at line 4 must be empty-equivalent"),
        # placement is checked before the insertion marker
        ('quorbin_insert(a, b)\nquorbin_pyimport(module="m")',
         "quorbin_pyimport(...) at line 2 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ],
)
def test_placement_is_checked(source, detail):
    with pytest.raises(ValueError) as info:
        qe.compile_validate_source(source)
    assert str(info.value) == "native schema error: " + detail


@pytest.mark.parametrize(("filename", "shown"), [(None, "<quorbin>"), ("x.py", "x.py")])
def test_syntax_error_names_the_file(filename, shown):
    with pytest.raises(SyntaxError) as info:
        qe.compile_validate_source("def (:\n", filename)
    assert type(info.value) is SyntaxError
    assert re.fullmatch(r".+ at byte offset \d+ in " + re.escape(shown), str(info.value))


@pytest.mark.parametrize(
    ("args", "error", "parameter"),
    [
        ((5,), TypeError, "source"),
        ((None,), TypeError, "source"),
        (("x", 5), TypeError, "filename"),
        (("\udc80",), UnicodeEncodeError, "source"),
    ],
)
def test_argument_errors(args, error, parameter):
    with pytest.raises(error) as info:
        qe.compile_validate_source(*args)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]
