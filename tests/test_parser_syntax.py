"""The native parser against the reference interpreter's ast.parse, case by
case: grammar corners and position quirks that the corpora may not pin down,
the sources both must refuse, the nesting limits, and the few inputs where
the reference's own tree is wrong and ours is the sound one."""

import ast
import sys
import threading

import pytest

import _quorbin_native_engine as native
from ast_compare import compare, reference_tree

on_312 = pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse")

ACCEPTED = [
    # positions that follow the last token, not the last child
    "not (a)", "(a) + b", "(a).b(c)[d]", "-(x) ** (y)", "a if (b) else (c)", "(a) or (b) and (c)",
    "x = 1, 2,", "a[1:2, *b]", "a[:]", "a[::]", "a[x:=1]", "a[*b]", "f(x for x in y)",
    "@d\ndef f(): pass", "@d\nasync def f(): pass", "if x: a; b;\n", "if x:\n  pass;\nelif y: pass\nelse: z",
    "try:\n  pass\nexcept E as e: pass\nelse: pass\nfinally: pass", "try:\n  pass\nexcept* E: pass",
    # statements and soft keywords
    "type X = int", "type X[T: int, *Ts, **P] = list[T]", "type(x)", "type = 1", "match = 1", "match(x)",
    "match[x]: int = 1", "case = 1", "_ = 1", "x: int", "(x): int = 1", "a.b: int = yield",
    "a = b = yield c", "x += 1", "del (a, b), c", "del (a), [b]", "del a,", "*a, = b", "*a = b",
    "for x, in y: pass\nelse: pass", "async def f():\n async for a in b: await c\n async with d as e: pass",
    "with (a, b): pass", "with (a, b) as c: pass", "with (a as b, c): pass", "with (yield): pass",
    "with (a): pass", "with a as (b, c), d: pass", "from . import x", "from ... import (a as b, c,)",
    "from .a.b import *", "import a.b as c, d", "global a, b", "raise a from b", "assert x, y",
    "def f(a, /, b=1, *c, d, e=2, **g): pass", "def f(*args: *Ts): pass", "def f[T](x: T) -> T: pass",
    "class C[T](B, metaclass=M, *a, **k): pass", "lambda a, /, b=1, *c, d, **e: 0", "lambda *, a: 0",
    "match x:\n case [1, *r] | {'a': 1, **k} | C(1, a=2) as z if z: pass\n case -1 | 1+2j | -1-2j: pass",
    "match a, *b:\n case (1|2) as y, {1: _, x.y: [*_]}: pass\n case (): pass\n case None | True: pass",
    "match x:\n case a.b.c(): pass\n case {**r}: pass\n case 'a' 'b': pass\n case (x,): pass",
    "match x:\n case f'{y}': pass\n case {f'a': 1}: pass",  # refused later, by the compiler
    # expressions
    "f(a, *b, c=1, **d, e=2)", "f(*a, b=1, *c)", "(x := 1, y)", "[*a, *b]", "{**a, 'b': 1}", "{*a, b}",
    "{k: v for k, v in x if k if v}", "[x async for x in y]", "(yield)", "await x", "a not in b is not c < d",
    "x = ~-+x", "a @ b // c % d << e >> f & g ^ h | i", "1if x else y", "0x_ff", "1_000.5e-3j", ".5", "0e0",
    "2 ** -1", "print(*a, sep='')", "x[a, b:c]", "x[()]", "...", "f(a)(b)(c)",
    # strings and f-strings
    "u'a' 'b'", "U'a'", "b'a' B'b'", "rb'\\d' Rb'\\x'", "'\\N{BULLET}'", "f'\\N{BULLET} {x}'",
    "'''a\\\nb'''", "f'a{x!r:>{w}.3}b{{c}}d' 'e'", "'zz' f'a{x=}b'", "f'{x:}'", "f'{x:{y}}'",
    "f'{x:a{y}}'", "f'{x=!r:^20}' f'{ x = }'", "f'{x=:}'", "f'{\"a\"}'", "f'{f\"{f'{1}'}\"}'",
    "f'{x:{y:{z}}}'", "f'{x:=1}'", "f'{(x:=1)}'", "f'{*x,}'", "f'{yield}'", "f'{x, y}'", "f'{a!=b}'",
    "f'{(lambda: 0):x}'", "f'\\{x}'", "f'a\\\nb{x}'", "f'''{x # comment\n=}'''", "f'''{1 +\n2}'''",
    "f'{1 +\n2}'", "x = f'{a}' \\\n  'b'", "f'{a}{b}' 'c'", "'' f''", "f'{x:\\n}'", "rf'{x:\\n}'",
    "f'''a\n{x:\n  >10}\nzz'''", "'''ab\ncd''' f'''x\ny{z}'''", "f'''a\"b'''", "f'{x}' f'{y}'",
    # identifiers, line ends, indentation
    "ﬁ = 1", "ｉｆ = 1", "é = 1", "x = 1\r\nif x:\r\n    y = '''a\r\nb'''\r\n", "if x:\n\tif y:\n\t\tpass\n",
    "if x:\n  \x0c  pass\n", "x = 1 + \\\n  2", "if x:\n    pass\n  # comment\n", "", "# only a comment",
    "\n\n", "x", "pass\n\n\n",
]


@on_312
@pytest.mark.ast312
@pytest.mark.parametrize("source", ACCEPTED)
def test_accepted_sources_match_the_reference(source):
    reference = reference_tree(source)
    assert reference is not None, "the table lists sources the reference accepts"
    assert compare(source, "<unknown>", reference) is None


REJECTED = [
    # (source, a fragment of our message)
    ("x = (", "never closed"),
    ("x = 1 <> 2", "expected"),
    ("(a, b) += 1", "augmented assignment"),
    ("a + 1 = 2", "cannot assign to expression"),
    ("del f()", "cannot delete function call"),
    ("del *a", "found '*'"),
    ("del (*a,)", "cannot delete starred"),
    ("for f() in x: pass", "cannot assign to function call"),
    ("[x for f() in y]", "cannot assign"),
    ("with a as f(): pass", "cannot assign"),
    ("f(**a, *b)", "iterable argument unpacking follows keyword argument unpacking"),
    ("f(a=1, b)", "positional argument follows keyword argument"),
    ("f(x for x in y, 1)", "Generator expression must be parenthesized"),
    ("class C(x for x in y): pass", "Generator expression must be parenthesized"),
    ("f((a)=1)", "expression cannot contain assignment"),
    ("def f(a=1, b): pass", "parameter without a default"),
    ("def f(*): pass", "named arguments must follow bare *"),
    ("def f(**k, a): pass", "arguments cannot follow var-keyword argument"),
    ("def f[*Ts: int](): pass", "cannot use bound with TypeVarTuple"),
    ("a, b: int", "only single target"),
    ("(*a)", "cannot use starred expression here"),
    ("a if b", "'else'"),
    ("await await x", "expected expression"),
    ("x = yield = 1", "cannot assign to yield expression"),
    ("a[b:=1:2]", "named expression"),
    ("{x := 1: 2}", "named expression"),
    ("try:\n  pass\nexcept* E: pass\nexcept F: pass", "both 'except' and 'except*'"),
    ("try:\n  pass\nexcept a, b: pass", "multiple exception types must be parenthesized"),
    ("try:\n  pass", "'except' or 'finally'"),
    ("match x:\n case _.y: pass", "expected"),
    ("match x:\n case 1 + 2: pass", "imaginary number required"),
    ("match x:\n case 1j + 2j: pass", "real number required"),
    ("match x:\n case C(a=1, b): pass", "positional patterns follow keyword patterns"),
    ("match x:\n case {y: 1}: pass", "mapping pattern keys"),
    ("match x:\n case *a: pass", "starred pattern"),
    ("match x:\n case y as _: pass", "cannot use '_' as a target"),
    ("b'a' 'b'", "cannot mix bytes and nonbytes literals"),
    ("b'\u00e9'", "ASCII"),
    ("f'{}'", "valid expression required"),
    ("f'{x!}'", "missing conversion character"),
    ("f'{x! r}'", "conversion type must come right after"),
    ("f'{x!z}'", "invalid conversion character"),
    ("f'{x}}'", "single '}' is not allowed"),
    ("f'{lambda x: 1}'", "lambda expressions are not allowed without parentheses"),
    ("f'{x:{y:{z:{w}}}}'", "nested too deeply"),
    ("f'{x!r=}'", "expected"),
    ("f'abc", "unterminated f-string literal"),
    ("'abc", "unterminated string literal"),
    ("'''abc", "unterminated triple-quoted string literal"),
    ("0_7", "leading zeros"),
    ("09", "leading zeros"),
    ("1__0", "invalid decimal literal"),
    ("1abc", "invalid decimal literal"),
    ("0x1j", "invalid hexadecimal literal"),
    ("0o8", "invalid digit '8' in octal literal"),
    ("x = $", "invalid character"),
    ("\ufeffx = 1", "U+FEFF"),
    ("x = \u20ac", "invalid character"),
    ("\\\n", "line continuation"),
    ("x = 1 \\ 2", "after line continuation character"),
    ("if x:\npass", "an indented block"),
    ("  x = 1", "unexpected indent"),
    ("if x:\n    a\n  b", "unindent does not match any outer indentation level"),
    ("if x:\n\tpass\n        pass", "inconsistent use of tabs and spaces"),
    ("(]", "does not match"),
    (")", "unmatched ')'"),
    ("print 'x'", "expected"),
    ("x = 1\0", "null bytes"),
    ("def f(:", "expected"),
]


@on_312
@pytest.mark.ast312
@pytest.mark.parametrize("source, message", REJECTED)
def test_rejected_sources_fail_with_a_useful_message(source, message):
    assert reference_tree(source) is None, "the table lists sources the reference refuses"
    with pytest.raises(SyntaxError) as info:
        native.parse_module(source)
    assert message in str(info.value)
    assert " at byte offset " in str(info.value)


@pytest.mark.parametrize(
    "source, message, offset",
    [
        ("x = (", "end of input", 4),  # the bracket left open
        ("x = 1\0", "source code string cannot contain null bytes", 5),
        ("a = 1 +", "expected expression, found end of line", 7),
        ("def f(:", "expected parameter name, found ':'", 6),
        ("x = 1; x y", "found name 'y'", 9),
        ("\ufeffx = 1", "invalid non-printable character U+FEFF", 0),
        # a long token is shortened in the message, never inside a character
        ("x '" + "\u00e9" * 40 + "'", "found string ''\u00e9\u00e9", 2),
    ],
)
def test_error_offsets_point_at_the_offending_token(source, message, offset):
    with pytest.raises(SyntaxError) as info:
        native.parse_module(source)
    assert message in str(info.value)
    assert f" at byte offset {offset} in " in str(info.value)


DEPTHS = [
    # (prefix, suffix, depth the reference accepts, node class, its count)
    ("-", "", 2990, "UnaryOp", 2990),
    ("not ", "", 2990, "UnaryOp", 2990),
    ("a if b else ", "", 2990, "IfExp", 2990),
    ("lambda:", "", 2980, "Lambda", 2980),
    ("a**", "", 1990, "BinOp", 1990),
    ("(", ")", 200, "Name", 1),
    ("[", "]", 200, "List", 200),
    ("f(", ")", 200, "Call", 200),
    ("{", "}", 200, "Set", 200),
]


@pytest.mark.parametrize("prefix, suffix, depth, kind, count", DEPTHS)
def test_nesting_the_reference_accepts_is_accepted(prefix, suffix, depth, kind, count):
    # The reference's own tree for these exceeds the interpreter's recursion
    # limit under pytest, so the shape is checked by its counts.
    source = prefix * depth + "x" + suffix * depth
    assert native.compile_composable(source).node_counts()[kind] == count


@pytest.mark.parametrize("prefix, suffix", [d[:2] for d in DEPTHS])
def test_deeper_nesting_is_a_clean_syntax_error(prefix, suffix):
    source = prefix * 100_000 + "x" + suffix * 100_000
    with pytest.raises(SyntaxError) as info:
        native.compile_composable(source)
    assert "too deeply nested" in str(info.value) or "too many nested parentheses" in str(info.value)


def test_bracket_and_indentation_limits_are_the_reference_ones():
    with pytest.raises(SyntaxError, match="too many nested parentheses"):
        native.compile_composable("(" * 201 + ")" * 201)
    nested = lambda n: "".join(" " * i + "if x:\n" for i in range(n)) + " " * n + "pass\n"  # noqa: E731
    native.compile_composable(nested(99))
    with pytest.raises(SyntaxError, match="too many levels of indentation"):
        native.compile_composable(nested(100))


def test_the_deepest_accepted_source_parses_on_a_default_thread():
    # The whole budget spent on the most stack-hungry construct, on a thread
    # with the platform's default stack, next to other parsing threads.
    sources = ["lambda:" * 4990 + "x", "-" * 4990 + "x", "x if y else lambda: " * 2490 + "z",
               "(" * 199 + "-" * 4500 + "x" + ")" * 199]
    results = []

    def work(source):
        try:
            results.append(native.compile_composable(source) is not None)
        except SyntaxError as e:
            results.append(str(e))

    threads = [threading.Thread(target=work, args=(s,)) for s in sources]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * len(sources)


def test_width_is_no_limit():
    statements = "x = 1\n" * 100_000
    assert native.compile_composable(statements).node_counts()["Assign"] == 100_000
    call = "f(" + "a, " * 100_000 + ")"
    assert native.compile_composable(call).node_counts()["Name"] == 100_001


def debug_texts(tree):
    return [n.value for n in ast.walk(tree) if isinstance(n, ast.Constant) and isinstance(n.value, str)]


@pytest.mark.parametrize(
    "source, texts",
    [
        # The reference cuts "debug" text at any '#', even inside a string,
        # giving '"'; only real comments are dropped here.
        ("f'{\"#\" = }'", ['"#" = ', "#"]),
        ("f'''{x # note\n=}'''", ["x \n="]),
        # The reference cannot build a tree for a debug field inside a format
        # spec (ValueError); here its text and value join the spec's parts.
        ("f'{x:{y=}}'", ["y=", ""]),
    ],
)
def test_debug_text_is_the_expression_as_written(source, texts):
    tree = native.parse_module(source)
    assert debug_texts(tree) == texts
    compile(tree, "<test>", "exec")  # the tree is one the compiler takes
