"""The parser under stress: the reference interpreter's exact syntax limits,
nesting far past anything written by hand, width, hostile text, unterminated
constructs, many threads at once, and memory over repeated cycles.

Whatever could bring the process down (deep trees through a recursive walk,
chains a million long) runs in a child process: a crash there is a failed
test, not the end of the run. Known faults are `xfail(strict=True)` with
their diagnosis, so each flips to a failure the day it is fixed."""

import ast
import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import _quorbin_native_engine as native
from ast_compare import reference_parse, same_tree

is_312 = sys.version_info[:2] == (3, 12)
DEPTH_ERROR = ("too deeply nested", "nested too deeply")


def verdict(parse, source):
    """'ok', or the exception class and its message without any location."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            parse(source)
    except (SyntaxError, RecursionError, MemoryError, ValueError) as e:
        message = e.msg if isinstance(e, SyntaxError) and e.msg else str(e)
        return type(e).__name__, message.split(" at byte offset ")[0]
    return "ok"


def error_of(parse, source):
    with pytest.raises(SyntaxError) as info:
        parse(source)
    return str(info.value)


def offset_of(message):
    return int(message.split(" at byte offset ")[1].split()[0])


# ---------------------------------------------------------------- child processes

CHILD_PRELUDE = r'''
import json, sys, threading
import _quorbin_native_engine as native

def outcome(call):
    try:
        result = call()
    except BaseException as e:
        return {"raised": type(e).__name__, "message": str(e)[:300]}
    return {"ok": type(result).__name__}

def on_thread(call):
    # threading's default stack size, as user code gets it
    box = {}
    t = threading.Thread(target=lambda: box.update(outcome(call)))
    t.start()
    t.join()
    return box

def report(**results):
    print(json.dumps(results), flush=True)
'''


def run_child(code, timeout=600):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter with this test's
    extension module; returns the dict the code passed to report(), or a dict
    with the child's exit status when it crashed."""
    env = dict(os.environ)
    module_dir = os.path.dirname(native.__file__)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    # The program goes in on stdin: a source a million levels deep is too
    # long for a command line.
    proc = subprocess.run([sys.executable, "-"], input=CHILD_PRELUDE + textwrap.dedent(code), env=env,
                          capture_output=True, text=True, timeout=timeout)
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        return {"crashed": proc.returncode, "stderr": proc.stderr[-2000:]}
    return json.loads(lines[-1])


def is_depth_error(result):
    return result.get("raised") == "SyntaxError" and any(m in result["message"] for m in DEPTH_ERROR)


# ---------------------------------------------------------------- exact limits

def brackets(open_, close):
    return lambda n: open_ * n + "x" + close * n


def fstring_nest(quote):
    return lambda n: f"f{quote}{{" * n + "x" + f"}}{quote}" * n


def indented(header, indent):
    return lambda n: "".join(indent * i + header + "\n" for i in range(n)) + indent * n + "pass\n"


LIMIT_FAMILIES = [
    # (name, source for nesting n, the reference's deepest accepted n, its message past that)
    ("parentheses", brackets("(", ")"), 200, "too many nested parentheses"),
    ("lists", brackets("[", "]"), 200, "too many nested parentheses"),
    ("sets", brackets("{", "}"), 200, "too many nested parentheses"),
    ("calls", brackets("f(", ")"), 200, "too many nested parentheses"),
    ("subscripts", brackets("a[", "]"), 200, "too many nested parentheses"),
    ("mixed brackets", lambda n: "([{" * (n // 3) + "(" * (n % 3) + "x" + ")" * (n % 3) + "}])" * (n // 3), 200,
     "too many nested parentheses"),
    # a replacement field's brace counts as a bracket level
    ("parentheses in an f-string", lambda n: "f'{" + "(" * (n - 1) + "x" + ")" * (n - 1) + "}'", 200,
     "too many nested parentheses"),
    ("parentheses in a format spec", lambda n: "f'{x:{" + "(" * (n - 2) + "y" + ")" * (n - 2) + "}}'", 200,
     "too many nested parentheses"),
    ("f-strings, one quote", fstring_nest("'"), 149, "too many nested f-strings"),
    ("f-strings, double quote", fstring_nest('"'), 149, "too many nested f-strings"),
    ("if blocks, spaces", indented("if x:", " "), 99, "too many levels of indentation"),
    ("if blocks, tabs", indented("if x:", "\t"), 99, "too many levels of indentation"),
    ("function bodies", indented("def f():", "  "), 99, "too many levels of indentation"),
    ("with blocks", indented("with a:", " "), 99, "too many levels of indentation"),
]


def limit_cases():
    for name, make, deepest, message in LIMIT_FAMILIES:
        for n in (deepest - 1, deepest, deepest + 1, deepest + 2):
            yield pytest.param(make, n, deepest, message, id=f"{name}-{n}")


@pytest.mark.parametrize("make, n, deepest, message", list(limit_cases()))
def test_syntax_limits_are_the_reference_ones(make, n, deepest, message):
    source = make(n)
    expected = "ok" if n <= deepest else message
    if is_312:  # the table is the reference interpreter's behaviour
        ref = verdict(ast.parse, source)
        assert (ref if ref == "ok" else ref[1]) == expected
    for parse in (native.compile_composable, native.parse_module):
        ours = verdict(parse, source)
        if expected == "ok":
            assert ours == "ok"
        else:
            assert ours[0] in ("SyntaxError", "IndentationError") and message in ours[1]


# ---------------------------------------------------------------- depth

PREFIX_CHAINS = [
    # (name, prefix and suffix repeated n times around "x", depth the reference accepts)
    ("unary minus", "-", "", 2990),
    ("unary plus", "+", "", 2990),
    ("invert", "~", "", 2990),
    ("not", "not ", "", 2990),
    ("conditional expressions", "a if b else ", "", 2990),
    ("lambdas", "lambda:", "", 2980),
    ("powers", "a**", "", 2980),
    ("lambda defaults", "lambda a=", ":0", 740),
    ("mixed prefixes", "lambda: not -a if b else ", "", 1490),
]

POSTFIX_CHAINS = [
    # (name, head, part repeated n times, tail, depth the reference accepts).
    # Each part is one more level of the tree, although no parser rule recurses.
    ("attributes", "a", ".b", "", 2990),
    ("calls", "f", "()", "", 2990),
    ("subscripts", "a", "[0]", "", 2990),
    ("additions", "a", "+b", "", 2990),
    ("bitwise ors", "a", "|b", "", 2990),
    ("mixed trailers", "a", ".b(c)[d]", "", 990),
    ("elif clauses", "if a: pass\n", "elif a: pass\n", "", 2990),
    ("decorator", "@a", ".b", "\ndef f(): pass\n", 2990),
    ("assignment target", "a", ".b", " = 1", 2990),
    ("value pattern", "match x:\n case a", ".b", ": pass\n", 2980),
]


def prefix_source(prefix, suffix, n):
    return prefix * n + "x" + suffix * n


def postfix_source(head, part, tail, n):
    return head + part * n + tail


DEPTH_CHILD = r'''
import ast, sys
sys.path.insert(0, TESTS)
from ast_compare import same_tree
ref = outcome(lambda: ast.parse(SOURCE))
tree = ast.parse(SOURCE) if "ok" in ref else None
def equal_to_reference():
    ours = native.parse_module(SOURCE)
    if not same_tree(ours, tree, True):
        raise AssertionError("tree differs from the reference")
    return ours
module = native.compile_composable(SOURCE)
report(reference=ref, main=outcome(equal_to_reference), thread=on_thread(equal_to_reference),
       copy=on_thread(lambda: native.copy_to_python_ast(module)))
'''


def depth_child(source):
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    return run_child(f"SOURCE = {source!r}\nTESTS = {tests_dir!r}\n" + DEPTH_CHILD)


@pytest.mark.ast312
@pytest.mark.skipif(not is_312, reason="compares with Python 3.12's ast.parse")
@pytest.mark.parametrize(
    "source",
    [pytest.param(prefix_source(p, x, n), id=name) for name, p, x, n in PREFIX_CHAINS]
    + [pytest.param(postfix_source(h, p, t, n), id=name) for name, h, p, t, n in POSTFIX_CHAINS],
)
def test_depth_the_reference_accepts_gives_its_tree_on_any_thread(source):
    # The reference runs in a fresh process, where its own recursion limit
    # has all its room (under pytest it would refuse earlier).
    result = depth_child(source)
    assert "crashed" not in result, result
    assert result["reference"] == {"ok": "Module"}, "the table lists depths the reference accepts"
    assert result["main"] == {"ok": "Module"}
    assert result["thread"] == {"ok": "Module"}
    assert result["copy"] == {"ok": "Module"}


BUDGET_CHILD = r'''
def accepted(n):
    try:
        native.compile_composable(make(n))
        return True
    except SyntaxError as e:
        if "too deeply nested" not in str(e) and "nested too deeply" not in str(e):
            raise
        return False
lo, hi = 1, 200_000
while lo < hi:  # the deepest accepted nesting
    mid = (lo + hi + 1) // 2
    lo, hi = (mid, hi) if accepted(mid) else (lo, mid - 1)
deepest = make(lo)
module = native.compile_composable(deepest)
report(deepest=lo, main=outcome(lambda: native.parse_module(deepest)),
       thread=on_thread(lambda: native.parse_module(deepest)),
       copy=on_thread(lambda: native.copy_to_python_ast(module)),
       counts=on_thread(lambda: module.node_counts()),
       parse_in_thread=on_thread(lambda: native.compile_composable(deepest)),
       deeper=outcome(lambda: native.parse_module(make(lo + 1))))
'''

BUDGET_SHAPES = [
    # (name, source for nesting n, the least deepest n to accept): the
    # constructs whose parse and conversion spend the most stack per level,
    # alone and inside the other limits spent to their ends
    ("lambdas", "lambda n: 'lambda:' * n + 'x'", 2980),
    ("unary minus", "lambda n: '-' * n + 'x'", 2990),
    ("conditional expressions", "lambda n: 'x if y else ' * n + 'z'", 2990),
    ("lambda defaults", "lambda n: 'lambda a=' * n + 'x' + ':0' * n", 740),
    ("powers of calls", "lambda n: 'f(a)**' * n + 'x'", 2980),
    ("brackets around unary", "lambda n: '(' * 199 + '-' * n + 'x' + ')' * 199", 2790),
    ("f-strings around not", "lambda n: \"f'{\" * 140 + 'not ' * n + 'x' + \"}'\" * 140", 2700),
    ("blocks around powers", "lambda n: ''.join(' ' * i + 'if x:\\n' for i in range(98)) + ' ' * 98 + 'a**' * n + 'x\\n'",
     2880),
]


@pytest.mark.parametrize("shape, least", [pytest.param(code, least, id=name) for name, code, least in BUDGET_SHAPES])
def test_the_deepest_accepted_source_converts_on_a_default_thread(shape, least):
    result = run_child(f"make = {shape}\n" + BUDGET_CHILD)
    assert "crashed" not in result, result
    assert result["deepest"] >= least
    for walk in ("main", "thread", "copy"):
        assert result[walk] == {"ok": "Module"}, (walk, result[walk])
    assert result["parse_in_thread"] == {"ok": "NativeModule"}
    assert result["counts"] == {"ok": "dict"}
    assert is_depth_error(result["deeper"]), result["deeper"]


FIX_MISSING_CHILD = r'''
import ast, sys
limit = sys.getrecursionlimit()
def fixed():
    return native.parse_module(SOURCE, location_policy="fix_missing")
def fixed_then_failing():
    # the limit goes back also when the interpreter's function fails
    real = ast.fix_missing_locations
    ast.fix_missing_locations = lambda tree: (real(tree), 1 / 0)
    try:
        return fixed()
    finally:
        ast.fix_missing_locations = real
def nested(k):  # the call made from near the limit: the room counts the frames already open
    return nested(k - 1) if k else fixed()
def concurrent():  # overlapping calls share one raise; the last one out restores the limit
    sys.setswitchinterval(1e-5)  # switch threads often, so the calls overlap
    boxes = [{} for _ in range(4)]
    threads = [threading.Thread(target=lambda box=box: box.update(outcome(fixed))) for box in boxes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return boxes
results = dict(main=outcome(fixed), thread=on_thread(fixed), nested=outcome(lambda: nested(900)),
               failing=outcome(fixed_then_failing), concurrent=concurrent())
report(limits=[limit, sys.getrecursionlimit()], **results)
'''


# ast.fix_missing_locations recurses in Python once per level: the module
# raises the recursion limit for that call, as far as the tree needs, and
# puts it back afterwards.
@pytest.mark.parametrize("source", [prefix_source("-", "", 2990), prefix_source("a if b else ", "", 2990),
                                    postfix_source("a", ".b", "", 2990), postfix_source("a", ".b", "", 4999)],
                         ids=["unary", "conditional", "attributes", "attributes at the budget"])
def test_fix_missing_locations_takes_every_depth_the_reference_accepts(source):
    result = run_child(f"SOURCE = {source!r}\n" + FIX_MISSING_CHILD)
    assert "crashed" not in result, result
    for call in ("main", "thread", "nested"):
        assert result[call] == {"ok": "Module"}, (call, result[call])
    assert result["failing"]["raised"] == "ZeroDivisionError"
    assert result["concurrent"] == [{"ok": "Module"}] * 4
    assert result["limits"] == [1000, 1000]


TO_SOURCE_CHILD = r'''
module = native.compile_composable(SOURCE)
def text():
    out = native.to_source(module, location_policy=POLICY)
    assert out == module.to_source(location_policy=POLICY)
    assert out == SOURCE.strip()  # each of these sources is its own unparsed text
    return out
report(main=outcome(text), thread=on_thread(text), limit=sys.getrecursionlimit())
'''


# ast.unparse recurses in Python three calls per level; to_source gives it
# room in the recursion limit as for fix_missing, and puts the limit back.
@pytest.mark.parametrize("policy", ["native", "fix_missing"])
@pytest.mark.parametrize("source", [prefix_source("-", "", 2990), prefix_source("lambda: ", "", 2980),
                                    postfix_source("a", ".b", "", 4999)],
                         ids=["unary", "lambdas", "attributes at the budget"])
def test_to_source_takes_every_depth_the_reference_accepts(source, policy):
    result = run_child(f"SOURCE = {source!r}\nPOLICY = {policy!r}\n" + TO_SOURCE_CHILD)
    assert "crashed" not in result, result
    assert result["main"] == {"ok": "str"} and result["thread"] == {"ok": "str"}, result
    assert result["limit"] == 1000


TEMPLATE_CHILD = r'''
sys.path.insert(0, DEMO)
from builtin_bundle import build_builtin_bundle
engine = native.engine_create()
native.register_surface_bundle(engine, build_builtin_bundle())

def walks():
    records = native.extract_template_snapshot(engine, SOURCE)["records"]
    package = native.extract_template_package_v2_snapshot(engine, SOURCE)
    template = native.register_template_package_v2_source(engine, SOURCE)
    native.template_package_v2_snapshot(engine, template)
    return [len(records), len(package["markers"])]

report(main=walks(), thread=on_thread(walks))
'''


@pytest.mark.parametrize("clauses", [2990, 4990])
def test_template_walks_take_elif_chains_as_long_as_the_parser_accepts(clauses):
    # The template walks recurse once per nested block, and an elif chain
    # nests one block per clause: a chain as long as the reference accepts,
    # and one near the budget, must walk on the main thread and on a default
    # thread, under AddressSanitizer too.
    source = "if a:\n    quorbin_hole(x)\n" + "elif a:\n    pass\n" * clauses
    demo = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "demo")
    result = run_child(f"SOURCE = {source!r}\nDEMO = {demo!r}\n" + TEMPLATE_CHILD)
    assert "crashed" not in result, result
    assert result["main"] == [2, 1]
    assert result["thread"] == {"ok": "list"}


FAR_CHILD = r'''
report(compile_main=outcome(lambda: native.compile_composable(SOURCE)),
       compile_thread=on_thread(lambda: native.compile_composable(SOURCE)),
       parse_main=outcome(lambda: native.parse_module(SOURCE)),
       parse_thread=on_thread(lambda: native.parse_module(SOURCE)))
'''

def far_cases():
    for name, prefix, suffix, _ in PREFIX_CHAINS:
        n = 1_000_000 if len(prefix + suffix) <= 4 else 100_000
        yield pytest.param(prefix_source(prefix, suffix, n), id=f"{name}-{n}")
    for name, head, part, tail, _ in POSTFIX_CHAINS:
        n = 100_000 if name in ("mixed trailers", "elif clauses") else 1_000_000
        yield pytest.param(postfix_source(head, part, tail, n), id=f"{name}-{n}")


@pytest.mark.parametrize("source", list(far_cases()))
def test_nesting_far_past_the_budget_is_the_depth_error_everywhere(source):
    # Refused before any walk, by both functions, on the main thread and on
    # a thread with the default stack: never a RecursionError, never a crash.
    result = run_child(f"SOURCE = {source!r}\n" + FAR_CHILD)
    assert "crashed" not in result, result
    for key in ("compile_main", "compile_thread", "parse_main", "parse_thread"):
        assert is_depth_error(result[key]), (key, result[key])


# ---------------------------------------------------------------- width

def wide(n):
    names = [f"a{i}" for i in range(n)]
    return [
        ("statements", "x = 1\n" * n),
        ("call arguments", "f(" + ", ".join(names) + ")"),
        ("keyword arguments", "f(" + ", ".join(f"{a}=1" for a in names) + ")"),
        ("list display", "[" + ", ".join(names) + "]"),
        ("tuple display", "x = " + ", ".join(names)),
        ("dict display", "{" + ", ".join(f"{a}: 1" for a in names) + "}"),
        ("boolean chain", " or ".join(names)),
        ("comparison chain", " < ".join(names)),
        ("string concatenation", "x = " + " ".join(["'s'"] * n)),
        ("f-string fields", "f'" + "{x}" * n + "'"),
        ("parameters", "def f(" + ", ".join(names) + "): pass"),
        ("import names", "import " + ", ".join(names)),
        ("semicolons", "; ".join(names)),
        ("match cases", "match x:\n" + "".join(f" case {i}: pass\n" for i in range(n // 10))),
        ("or-patterns", "match x:\n case " + " | ".join(str(i) for i in range(n)) + ": pass"),
    ]


@pytest.mark.ast312
@pytest.mark.skipif(not is_312, reason="compares with Python 3.12's ast.parse")
@pytest.mark.parametrize("source", [pytest.param(s, id=name) for name, s in wide(100_000)])
def test_width_is_no_limit(source):
    ours = native.parse_module(source)
    assert same_tree(ours, reference_parse(source), with_positions=True)
    assert native.compile_composable(source).node_counts() is not None


# ---------------------------------------------------------------- hostile text

NUL_SOURCES = [
    "\0", "\0x = 1", "x = 1\0", "x = '\0'", "x = b'\0'", "x = '''a\0b'''", "# \0\n", "x = 1  # \0",
    "f'{\0}'", "f'a\0b'", "if x:\n  \0pass", "x = \\\n\0", "x = = 1\0", "x = 'unterminated\0", "\ufeff\0",
    "é\0", "x = (\0",
]


@pytest.mark.parametrize("source", NUL_SOURCES)
def test_nul_bytes_anywhere_are_refused_as_the_reference_refuses_them(source):
    if is_312:
        assert verdict(ast.parse, source) == ("SyntaxError", "source code string cannot contain null bytes")
    for parse in (native.compile_composable, native.parse_module):
        message = error_of(parse, source)
        assert message.startswith("source code string cannot contain null bytes at byte offset ")
        assert offset_of(message) == source.encode("utf-8").index(b"\0")


SURROGATE_SOURCES = ["\ud800", "x = '\ud800'", "x = 1  # \udfff", "f'{x}\udc80'", "é = '\udbff\udfff'", "\udc00x = 1"]


@pytest.mark.parametrize("source", SURROGATE_SOURCES)
def test_lone_surrogates_are_the_interpreters_encoding_error(source):
    with pytest.raises(UnicodeEncodeError) as expected:
        compile(source, "<test>", "exec", ast.PyCF_ONLY_AST)
    for call in (lambda: native.compile_composable(source), lambda: native.parse_module(source),
                 lambda: native.parse_module("x = 1", filename=source)):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert info.value.reason == expected.value.reason
    with pytest.raises(UnicodeEncodeError) as info:
        native.parse_module(source)
    assert str(info.value) == str(expected.value)


BOM_SOURCES = [
    # (source, the reference's verdict)
    ("\ufeffx = 1", "invalid non-printable character U+FEFF"),
    ("\ufeff", "invalid non-printable character U+FEFF"),
    ("\ufeff\ufeffx = 1", "invalid non-printable character U+FEFF"),
    ("\ufeff# coding: utf-8\nx = 1", "invalid non-printable character U+FEFF"),
    ("x = 1\n\ufeffy = 2", "invalid non-printable character U+FEFF"),
    ("x = \ufeff1", "invalid non-printable character U+FEFF"),
    ("x = '\ufeff'", "ok"),
    ("x = f'\ufeff{y}'", "ok"),
    ("x = 1  # \ufeff", "ok"),
]


@pytest.mark.parametrize("source, expected", BOM_SOURCES)
def test_byte_order_marks_in_text_are_treated_as_the_reference_treats_them(source, expected):
    if is_312:
        ref = verdict(ast.parse, source)
        assert (ref if ref == "ok" else ref[1]) == expected
    for parse in (native.compile_composable, native.parse_module):
        ours = verdict(parse, source)
        assert ours == "ok" if expected == "ok" else expected in ours[1]
    if expected != "ok":
        message = error_of(native.parse_module, source)
        assert offset_of(message) == source.encode("utf-8").index("\ufeff".encode("utf-8"))


UNTERMINATED = [
    # (source, fragment of the message, byte offset): strings point at their
    # prefix and brackets left open at the bracket, as the reference's column
    # does; what else runs into the end of the input points there.
    ("'abc", "unterminated string literal (detected at line 1)", 0),
    ('x = "abc', "unterminated string literal (detected at line 1)", 4),
    ("x = b'abc", "unterminated string literal", 4),
    ("x = rb'abc\\'", "unterminated string literal", 4),
    ("x = u'abc", "unterminated string literal", 4),
    ("'abc\\", "unterminated string literal", 0),
    ("'abc\\\n", "unterminated string literal (detected at line 1)", 0),
    ("'abc\\\r\n", "unterminated string literal (detected at line 1)", 0),
    ("'abc\\\n\\\n", "unterminated string literal (detected at line 2)", 0),
    ("f'abc\\\n", "unterminated f-string literal (detected at line 1)", 0),
    ("'''abc\n", "unterminated triple-quoted string literal (detected at line 1)", 0),
    ("x = 'a' 'b", "unterminated string literal", 8),
    ("é = 'ü", "unterminated string literal", 5),
    ("'''abc", "unterminated triple-quoted string literal (detected at line 1)", 0),
    ('x = """a\n\nb', "unterminated triple-quoted string literal (detected at line 3)", 4),
    ("x = b'''a''", "unterminated triple-quoted string literal", 4),
    ("f'abc", "unterminated f-string literal (detected at line 1)", 0),
    ("x = rf'abc", "unterminated f-string literal", 4),
    ("x = f'{a}b", "unterminated f-string literal", 4),
    ("x = f'{a", "unterminated f-string literal", 4),
    ("x = f'{a:", "unterminated f-string literal", 4),
    ("x = f'{a!r", "unterminated f-string literal", 4),
    ("x = f'{a:{b}", "unterminated f-string literal", 4),
    ("f'''abc", "unterminated triple-quoted f-string literal", 0),
    ("f'''{x\n", "unterminated triple-quoted f-string literal", 0),
    ("x = f'{'", "unterminated string literal", 7),
    ("x = f'{f\"{'", "unterminated string literal", 10),
    ("x = (", "'(' was never closed", 4),
    ("x = [1,", "'[' was never closed", 4),
    ("x = {1:", "'{' was never closed", 4),
    ("x = (1 +\n", "'(' was never closed", 4),
    ("f(a, [b,\n", "'[' was never closed", 5),
    ("def f(", "'(' was never closed", 5),
    ("x = {\n  1: (2,\n  3),\n", "'{' was never closed", 4),
    ("x = 1 \\", "line continuation", 6),
    ("if x:", "an indented block", 5),
    ("if x:\n", "an indented block", 6),
    ("def f():\n  # only a comment\n", "an indented block", 28),
    ("class C:\n", "an indented block", 9),
    ("while x:\n", "an indented block", 9),
    ("for a in b:\n", "an indented block", 12),
    ("with a:\n", "an indented block", 8),
    ("try:\n", "an indented block", 5),
    ("try:\n  pass\nexcept:\n", "an indented block", 20),
    ("try:\n  pass\nfinally:\n", "an indented block", 21),
    ("if x:\n  pass\nelse:\n", "an indented block", 19),
    ("match x:\n", "an indented block", 9),
    ("match x:\n case 1:\n", "an indented block", 18),
    ("try:\n  pass\n", "expected 'except' or 'finally'", 12),
]


@pytest.mark.parametrize("source, message, offset", UNTERMINATED)
def test_unterminated_constructs_are_syntax_errors_at_a_sensible_offset(source, message, offset):
    if is_312:
        assert verdict(ast.parse, source) != "ok"
    for parse in (native.compile_composable, native.parse_module):
        text = error_of(parse, source)
        assert message in text
        assert offset_of(text) == offset
    assert 0 <= offset <= len(source.encode("utf-8"))


@pytest.mark.parametrize("cut", [0.1, 0.25, 0.5, 0.75, 0.9, 0.99])
def test_real_files_cut_anywhere_give_an_offset_inside_the_source(cut):
    # A module cut mid-way ends inside strings, brackets and blocks of every
    # kind; whatever the verdict, a refusal points inside the text.
    sources = []
    for name in ("ast", "argparse", "dataclasses", "typing", "string", "textwrap"):
        with open(os.path.join(os.path.dirname(ast.__file__), name + ".py"), encoding="utf-8") as f:
            text = f.read()
        sources.append(text[: int(len(text) * cut)])
    for source in sources:
        size = len(source.encode("utf-8"))
        try:
            native.compile_composable(source)
        except SyntaxError as e:
            assert 0 <= offset_of(str(e)) <= size


@pytest.mark.parametrize("source", [
    "x = 0x" + "f" * 100_000,
    "x = " + "1" * 5000 + "j",
    "x = " + "1" * 5000 + ".0",
])
def test_huge_number_literals_are_handled_as_the_reference_handles_them(source):
    ref = verdict(ast.parse, source)
    ours = verdict(native.parse_module, source)
    if ref == "ok":
        assert ours == "ok"
        assert same_tree(native.parse_module(source), reference_parse(source), with_positions=True)
    else:
        assert ours[0] == "SyntaxError" and ref[1].split(" - ")[0] in ours[1]
    native.compile_composable(source)  # the native tree keeps the digits


@pytest.mark.parametrize("source", ["x = " + "1" * 5000, "x = -" + "9" * 4301])
def test_decimal_literals_past_the_conversion_limit_fail_in_the_interpreters_int(source):
    # Decimal constants are converted through int(text), so the interpreter's
    # limit on decimal text applies, with its own error; parsing still works.
    native.compile_composable(source)
    with pytest.raises(ValueError, match="Exceeds the limit"):
        native.parse_module(source)


# ---------------------------------------------------------------- threads

def thread_sources():
    root = os.path.dirname(ast.__file__)
    sources = []
    for name in ("ast", "dataclasses", "enum", "difflib", "string", "textwrap"):
        with open(os.path.join(root, name + ".py"), encoding="utf-8") as f:
            sources.append(f.read())
    sources += ["x = (", "def f(:\n", "-" * 100_000 + "x", "x = '\0'", "f'{x!z}'", "if x:\n\tpass\n        pass"]
    return sources


def serial_result(function, source):
    try:
        result = function(source)
    except SyntaxError as e:
        return "error", str(e)
    if isinstance(result, ast.AST):
        return "tree", ast.dump(result, include_attributes=True)
    return "module", sorted(result.node_counts().items()), result.to_source()


@pytest.mark.parametrize("function", [native.compile_composable, native.parse_module],
                         ids=["compile_composable", "parse_module"])
def test_parallel_parses_give_the_serial_results(function):
    sources = thread_sources()
    expected = [serial_result(function, s) for s in sources]
    errors = []
    results = {}

    def work(worker):
        try:
            order = list(range(len(sources)))
            order = order[worker:] + order[:worker]  # every thread in its own order
            for _ in range(2):
                for i in order:
                    results.setdefault(i, []).append(serial_result(function, sources[i]))
        except BaseException as e:  # reported from the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    busy = 0
    while any(t.is_alive() for t in threads):  # the main thread keeps running Python code
        busy += sum(range(100))
    for t in threads:
        t.join()
    assert not errors
    for i, got in results.items():
        assert len(got) == 8
        assert all(r == expected[i] for r in got), f"source {i} gave a result different from the serial one"


def test_another_thread_runs_python_code_during_a_long_parse():
    source = "x = a.b(c, d) + [e, f] * 2\n" * 300_000  # 8 MB: a parse of a good fraction of a second
    span = {}
    stop = threading.Event()
    stamps = []

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            for _ in range(200):
                pass

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.05)
        span["start"] = time.perf_counter()
        native.compile_composable(source)
        span["end"] = time.perf_counter()
    finally:
        stop.set()
        spinner.join()
    # Only the parse runs without the lock; counting the nodes afterwards
    # holds it. So the middle of the call must have seen the spinner busy in
    # most of its slices: with the lock held throughout it would see none.
    start, end = span["start"], span["end"]
    middle = [t for t in stamps if start + 0.02 < t < start + (end - start) * 0.6]
    slices = 20
    width = ((end - start) * 0.6 - 0.02) / slices
    assert width > 0.002, "the parse was too quick to tell"
    busy = {int((t - start - 0.02) / width) for t in middle}
    assert len(busy) >= slices // 2, f"the other thread ran in {len(busy)} of {slices} slices of the parse"


# ---------------------------------------------------------------- memory

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


with open(os.path.join(os.path.dirname(ast.__file__), "textwrap.py"), encoding="utf-8") as _f:
    MEDIUM = _f.read()
MEDIUM = MEDIUM[: MEDIUM.index("\ndef ", 4000)]  # whole statements, about 4 KB

CYCLES = [
    ("compile", lambda: native.compile_composable(MEDIUM)),
    ("parse and convert", lambda: native.parse_module(MEDIUM)),
    ("convert with fix_missing", lambda: native.parse_module(MEDIUM, location_policy="fix_missing")),
    ("copy to ast objects", lambda: native.copy_to_python_ast(native.compile_composable(MEDIUM))),
    ("lexical error", lambda: native.parse_module(MEDIUM + "\nx = 'unterminated")),
    ("grammar error", lambda: native.parse_module(MEDIUM + "\nx = = 1")),
    ("indentation error", lambda: native.parse_module(MEDIUM + "\n  x = 1")),
    ("depth error", lambda: native.parse_module(MEDIUM + "\n" + "-" * 20_000 + "x")),
    ("bracket limit", lambda: native.parse_module(MEDIUM + "\n" + "(" * 300)),
    ("null byte", lambda: native.parse_module(MEDIUM + "\0")),
    ("surrogate", lambda: native.parse_module(MEDIUM + "\ud800")),
    ("unknown location policy", lambda: native.parse_module(MEDIUM, location_policy="bogus")),
    ("error inside an f-string", lambda: native.parse_module(MEDIUM + "\nf'{x!z}'")),
]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed memory back on purpose")
@pytest.mark.parametrize("cycle", [pytest.param(c, id=name) for name, c in CYCLES])
def test_repeated_cycles_do_not_grow_memory(cycle):
    def run(times):
        for _ in range(times):
            try:
                cycle()
            except (SyntaxError, ValueError, UnicodeEncodeError):
                pass

    run(100)  # the allocator's steady state
    before = rss_bytes()
    run(1000)
    grown = rss_bytes() - before
    # One lost tree of this source per cycle (its arena alone is 64 KB, its
    # ast objects a few tens) would be well over the bound.
    assert grown < 24 * 2**20, f"resident size grew by {grown / 2**20:.1f} MB over 1,000 cycles"
