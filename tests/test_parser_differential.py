"""The native parser against the reference's ast.parse on programs nobody
wrote by hand: programs generated from a Python grammar, programs generated
from our own strategy for the constructs that grammar lacks (patterns, type
parameters, nested f-strings, `except*`), and token-level mutants of standard
library files. Each source must get the same verdict from both, and when both
accept it, the same tree with the same positions.

The runs are seeded and keep no example database, so CI sees the same inputs
every time. QUORBIN_DIFF_EXAMPLES sets the number of examples of each
generator and of mutants (a long local hunt: 100000), QUORBIN_DIFF_SEED picks
another sequence. Every disagreement found that way becomes a row of
FIXTURES, which runs always."""

import io
import os
import random
import sys
import tokenize
import warnings
from pathlib import Path

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from ast_compare import REPORTED, compare, reference_parse, report  # noqa: E402

pytestmark = [
    pytest.mark.ast312,
    # Generated programs call literals and compare with `is`: warnings both
    # parsers may give, and no part of the comparison.
    pytest.mark.filterwarnings("ignore::SyntaxWarning"),
    pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse"),
]

EXAMPLES = int(os.environ.get("QUORBIN_DIFF_EXAMPLES", "0"))
SEED = int(os.environ.get("QUORBIN_DIFF_SEED", "0"))


def differential(source, explain=True):
    """None when the native parser agrees with the reference on `source`,
    else what differs."""
    try:
        reference = reference_parse(source)
    except (SyntaxError, ValueError):
        reference = None
    except (RecursionError, MemoryError):
        # The reference gives no verdict on input this deep; the stress tests
        # hold the native parser to its own depth budget there.
        return None
    # Only line feeds start lines in the native positions, so with bare CR
    # line ends only the shapes and values are compared.
    with_positions = "\r" not in source.replace("\r\n", "")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        problem = compare(source, "<unknown>", reference, with_positions, explain)
    if problem and reference is None and problem.startswith("raised ValueError: Exceeds the limit"):
        # A decimal literal past the conversion limit: the interpreter's own
        # ValueError by design, where ast.parse gives a SyntaxError.
        return None
    return problem


def settings_for(ci_examples):
    return settings(
        max_examples=EXAMPLES or ci_examples,
        database=None,
        deadline=None,
        derandomize=SEED == 0,
        print_blob=False,
        suppress_health_check=list(HealthCheck),
    )


def seeded(test):
    return hypothesis.seed(SEED)(test) if SEED else test


# ---------------------------------------------------------------- fixtures

# Disagreements the generators and mutations found, each cut down to the
# smallest source that still shows it.
FIXTURES = [
    # A starred subscript element is a whole expression, not only an operand.
    ("subscript_starred_conditional", "x[*a if b else c]\n"),
    ("subscript_starred_or", "x[*a or b]\n"),
    ("subscript_starred_lambda", "x[*lambda: 1]\n"),
    ("subscript_starred_mixed", "x[*a, *b if c else d, e:f]\n"),
    # A debug field's text is decoded as the literal text around it is.
    ("fstring_debug_escape", r"f'''{('\n')=!r}'''" "\n"),
    ("fstring_debug_backslash", r"""f'{"\\"=}'""" "\n"),
    ("fstring_debug_named_escape", r"""f'{"\N{BULLET}"=!r:>3}'""" "\n"),
    ("fstring_debug_line_continuation", "f'''{x+\\\ny=}'''\n"),
    ("fstring_debug_raw_kept", "rf'{\"\\n\"=}' fr'''{x+\\\ny=}'''\n"),
    ("fstring_debug_bad_named_escape", r"""f'{r"\N{nope}"=}'""" "\n"),
]


@pytest.mark.parametrize("source", [s for _, s in FIXTURES], ids=[name for name, _ in FIXTURES])
def test_fixture_parses_like_reference(source):
    assert differential(source) is None, differential(source)


# ---------------------------------------------------------------- programs from a grammar

try:
    import hypothesmith
except ImportError:  # scripts/requirements.txt installs it; elsewhere the test is skipped
    hypothesmith = None


@pytest.mark.skipif(hypothesmith is None, reason="needs hypothesmith")
@seeded
@settings_for(150)
@given(hypothesmith.from_grammar() if hypothesmith else st.nothing())
def test_grammar_programs_parse_like_reference(source):
    assert differential(source) is None, f"{source!r}: {differential(source)}"


# ---------------------------------------------------------------- programs from our own strategy

# A recursive writer driven by hypothesis' choices: every decision is one
# draw, so failures shrink to short programs, and the strategy object stays
# small (combinator trees this deep are slow to build and to describe).

NAMES = ["x", "y", "z", "ab", "_", "match", "case", "type", "é", "λ_1", "print", "self"]
PLAIN_NAMES = ["x", "y", "z", "ab", "f", "T", "é"]
NUMBERS = ["0", "1", "42", "1_000", "0x1F", "0o17", "0b101", "1.5", ".5", "1e10", "1.5e-3", "3j", "1.5J", "0_0",
           "00", "1E+5", "9" * 30, "1.", "0xff_ff"]
STRING_BODIES = ["", "a", "abc def", "é", "\\n", "\\x41", "\\N{BULLET}", "\\u00e9", "{{", "}}", "a{{b}}c",
                 "\\\\", "日本", "\\\n", "x\\'"]
BINARY = ["+", "-", "*", "/", "//", "%", "**", "@", "<<", ">>", "&", "|", "^", "and", "or", "<", ">", "==", ">=",
          "<=", "!=", "in", "not in", "is", "is not"]
SPECS = [">10", "0.3f", "", "x", "{w}", ">{w}.{p}", "%H:%M", "{y!r:>3}", " <5", "{w}{{"[:3]]
TYPE_PARAMS = ["T", "U: int", "V: (int, str)", "*Ts", "**P", "W: 'x'"]
PARAMS = ["", "x", "x, y", "x: int = 1, *args: str, **kw", "a, /, b, *, c", "*, k: 'v' = 2", "self, *a",
          "a=1, /", "x,", "*args: *Ts"]
TARGETS = ["x", "x.y", "x[0]", "(a, b)", "[a, *b]", "a, b", "*a, b", "x[1:2]", "(x)", "x[*a]", "[]"]
SIMPLE = ["pass", "break", "continue", "return", "global x, y", "nonlocal x", "del x, y[0]", "import a.b as c, d",
          "from . import x", "from ..a import (b as c, d,)", "from a import *", "raise", "yield", "del (x), [y]",
          "from .... import x", "import a.b.c"]
PATTERN_LEAVES = ["_", "x", "1", "-1", "1 + 2j", "-1 - 2.5j", "'s'", "b'b'", "None", "True", "a.b", "a.b.c", "-0.5",
                  "'a' 'b'", "f", "case", "match"]


class Writer:
    """`choose(low, high)` makes every decision: hypothesis' draws in the
    tests, a seeded random generator where only the programs matter."""

    def __init__(self, choose):
        self.choose = choose

    def pick(self, options):
        return options[self.choose(0, len(options) - 1)]

    def chance(self, n):
        return self.choose(0, n - 1) == 0

    def many(self, make, low, high):
        return [make() for _ in range(self.choose(low, high))]

    def space(self):
        return self.pick(["", "", "", " ", "  "])

    # -------------------------------------------------- expressions

    def string(self):
        body = self.pick(STRING_BODIES)
        prefix = self.pick(["", "", "r", "b", "rb", "u", "R", "Br"])
        quote = self.pick(["'", '"', "'''", '"""'])
        raw, data = "r" in prefix.lower(), "b" in prefix.lower()
        if quote[0] in body or body.endswith(quote[0]) or (data and not body.isascii()) \
                or (data and "N{" in body) or (raw and body.endswith("\\")) or (len(quote) == 1 and "\n" in body):
            body = "ok"
        return f"{prefix}{quote}{body}{quote}"

    def fstring(self, depth):
        prefix = self.pick(["f", "F", "rf", "fR"])
        quote = self.pick(["'", '"', "'''", '"""'])
        parts = []
        for _ in range(self.choose(0, 3)):
            if self.chance(2):
                text = self.pick(["a", " ", "{{", "}}", "é", "x y", "\\n", "\\N{EM DASH}", "%"])
                if "N{" in text and "r" in prefix.lower():
                    text = "b"
                parts.append(text)
                continue
            inner = self.expr(depth + 1)
            if inner.startswith(("{", "lambda")) or any(c in inner for c in ":!=\\") \
                    or (len(quote) == 1 and "\n" in inner):
                inner = f"({inner})"
            if len(quote) == 1 and ("\n" in inner or "\\" in inner):
                inner = "x"
            field = self.space() + inner + self.space()
            if self.chance(5):
                field += "=" + self.space()
            if self.chance(2):
                field += self.pick(["!r", "!s", "!a"])
            if self.chance(2):
                field += ":" + self.pick(SPECS)
            parts.append("{" + field + "}")
        return prefix + quote + "".join(parts) + quote

    def strings(self, depth):
        first = self.pick([self.string, lambda: self.fstring(depth)])()
        data = first.lstrip("rR")[:1] in "bB" and first[0] not in "'\""
        more = []
        for _ in range(self.choose(0, 2)):
            nxt = self.string() if data or self.chance(2) else self.fstring(depth)
            if (nxt.lstrip("rR")[:1] in "bB" and nxt[0] not in "'\"") == data:
                more.append(nxt)
        glue = self.pick([" ", "", "\n"]) if not more else " "
        return " ".join([first] + more) if glue != "\n" else f"({first}\n{' '.join(more)})"

    def atom(self):
        return self.pick([lambda: self.pick(NAMES), lambda: self.pick(NUMBERS), self.string,
                          lambda: self.pick(["True", "False", "None", "...", "f''", "(x)", "()"])])()

    def expr(self, depth=0):
        if depth > 3 or self.chance(3):
            return self.atom()
        d = depth + 1
        e = self.operand
        kind = self.choose(0, 19)
        if kind == 0:
            base = e(d)
            return (base if base.isidentifier() else f"({base})") + f".{self.space()}{self.pick(['ab', 'real', '__x'])}"
        if kind == 1:
            op = self.pick(BINARY)
            pad = " " if op[0].isalpha() else self.space()
            return f"{e(d)}{pad}{op}{pad}{e(d)}"
        if kind == 2:
            return self.pick(["-", "+", "~", "not ", "await ", "- "]) + e(d)
        if kind == 3:
            args = self.many(lambda: self.pick([
                lambda: e(d), lambda: f"{self.pick(PLAIN_NAMES)}={e(d)}", lambda: f"*{e(d)}",
                lambda: f"**{e(d)}"])(), 0, 3)
            kw = [a for a in args if a.startswith("**") or "=" in a.split("(")[0] and not a.startswith("*")]
            args = [a for a in args if a not in kw] + kw
            if any(a.startswith("**") for a in args):
                args = [a for a in args if not a.startswith("*") or a.startswith("**")]
            tail = self.pick(["", ",", "\n "]) if args else ""
            return f"({e(d)}){self.space()}({', '.join(args)}{tail})"
        if kind == 4:
            return f"f({e(d)} for {self.pick(PLAIN_NAMES)} in {e(d)})"
        if kind == 5:
            def element():
                c = self.choose(0, 3)
                if c == 0:
                    return f"*{e(d)}"
                if c == 1:
                    lo = e(d) if self.chance(2) else ""
                    hi = e(d) if self.chance(2) else ""
                    return f"{lo}:{hi}" + self.pick(["", ":", f":{self.atom()}"])
                return e(d)
            items = self.many(element, 1, 3)
            return f"({e(d)})[{', '.join(items)}{',' if self.chance(3) else ''}]"
        if kind == 6:
            items = self.many(lambda: e(d) if self.chance(3) == 0 else f"*{e(d)}", 0, 3)
            return self.pick(["[{}]", "({},)" if len(items) == 1 else "({})", "{{{}}}" if items else "[{}]"]).format(
                ", ".join(items))
        if kind == 7:
            pairs = self.many(lambda: f"{e(d)}: {e(d)}" if self.chance(4) else f"**{e(d)}", 0, 3)
            return "{" + ", ".join(pairs) + "}"
        if kind == 8:
            opener = self.pick(["[", "{", "(", "{k: "])
            body = opener + e(d)
            for _ in range(self.choose(1, 2)):
                body += (" async" if self.chance(4) else "") + f" for {self.pick(TARGETS[:6])} in {e(d)}"
                body += "".join(f" if {e(d)}" for _ in range(self.choose(0, 2)))
            return body + {"[": "]", "{": "}", "(": ")", "{k: ": "}"}[opener]
        if kind == 9:
            return f"{e(d)} if {e(d)} else {e(d)}"
        if kind == 10:
            params = self.pick(["", "x", "x, y=1", "*a, **k", "x, /, y", "*, k=2", "a=(1)"])
            return f"(lambda {params}: {e(d)})" if params else f"(lambda: {e(d)})"
        if kind == 11:
            return f"({self.pick(PLAIN_NAMES)} := {e(d)})"
        if kind == 12:
            return f"({self.pick(['yield', 'yield from', 'await'])} {e(d)})"
        if kind == 13:
            gap = self.pick(["", "\n", " # c\n", "\\\n"])
            return f"({gap}{e(d)}{gap if gap != chr(92) + chr(10) else ''})"
        if kind in (14, 15, 16):
            return self.strings(d)
        if kind == 17:
            return " ".join(f"{e(d)} {self.pick(['<', '==', 'is not', 'not in', '>='])}" for _ in range(2)) + " " + e(d)
        if kind == 18:
            return f"{e(d)}{self.space()}**{self.space()}-{e(d)}"
        return f"{e(d)}, {e(d)}"[:0] + f"[{e(d)}, {e(d)}][{e(d)}]"

    def operand(self, depth):
        """An expression to place next to an operator: one that would bind
        looser than its neighbours is parenthesized (precedence among the
        operators themselves is still mixed freely)."""
        text = self.expr(depth)
        loose = (" if ", "lambda", "yield", ":=", ", ", "not ", " and ", " or ", "await", " for ")
        if text[:1] in "*-+~" or any(word in text for word in loose) or text[:1].isdigit() and "." not in text:
            return f"({text})"
        return text

    # -------------------------------------------------- patterns

    def pattern(self, depth=0):
        if depth > 2 or self.chance(3):
            return self.pick(PATTERN_LEAVES)
        p = lambda: self.pattern(depth + 1)  # noqa: E731
        kind = self.choose(0, 6)
        if kind == 0:
            return "(" + " | ".join(self.many(p, 2, 3)) + ")"
        if kind == 1:
            return f"({p()} as {self.pick(PLAIN_NAMES)})"
        if kind == 2:
            items = self.many(p, 0, 3)
            if self.chance(2):
                items.insert(self.choose(0, len(items)), self.pick(["*rest", "*_"]))
            return self.pick(["[{}]", "({},)" if len(items) == 1 else "({})"]).format(", ".join(items))
        if kind == 3:
            keys = self.many(lambda: self.pick(["1", "'k'", "a.b", "None", "-2", "b'x'"]), 0, 3)
            items = [f"{k}: {p()}" for k in dict.fromkeys(keys)]
            if self.chance(2):
                items.append("**kw")
            return "{" + ", ".join(items) + "}"
        if kind == 4:
            positional = self.many(p, 0, 2)
            keywords = [f"{k}={p()}" for k in dict.fromkeys(self.many(lambda: self.pick(["p", "q", "match"]), 0, 2))]
            return f"{self.pick(['C', 'a.B', 'int'])}({', '.join(positional + keywords)})"
        if kind == 5:
            return f"{p()} | {p()}"
        return f"([{p()}, *_] as {self.pick(PLAIN_NAMES)})"

    # -------------------------------------------------- statements

    def simple(self):
        kind = self.choose(0, 9)
        e = self.expr
        if kind == 0:
            return e()
        if kind == 1:
            return " = ".join(self.many(lambda: self.pick(TARGETS), 1, 2) + [e()])
        if kind == 2:
            return f"{self.pick(['x', 'x.y', 'x[0]'])} {self.pick(['+=', '-=', '**=', '>>=', '@=', '//=', '|='])} {e()}"
        if kind == 3:
            value = f" = {e()}" if self.chance(2) else ""
            return f"{self.pick(['x', '(x)', 'x.y', 'x[0]'])}: {e()}{value}"
        if kind == 4:
            return self.pick(SIMPLE)
        if kind == 5:
            return f"return {e()}"
        if kind == 6:
            return f"raise {e()} from {e()}" if self.chance(2) else f"raise {e()}"
        if kind == 7:
            return f"assert {e()}, {e()}"
        if kind == 8:
            params = "[" + ", ".join(dict.fromkeys(self.many(lambda: self.pick(TYPE_PARAMS), 1, 3))) + "]"
            return f"type {self.pick(['X', 'match', 'type'])}{params if self.chance(2) else ''} = {e()}"
        return f"{e()}, {e()}"

    def simple_line(self):
        line = "; ".join(self.many(self.simple, 1, 3))
        return line + (";" if self.chance(6) else "") + (" # note" if self.chance(6) else "")

    def suite(self, depth):
        if depth > 2 or self.chance(3):
            return " " + self.simple_line() + "\n"
        indent = self.pick(["    ", "\t", " ", "  "])
        body = self.many(lambda: self.statement(depth + 1), 1, 3)
        lines = [indent + line if line.strip() else line for s in body for line in s.splitlines()]
        blank = self.pick(["", "", f"{indent}# comment\n", "\n"])
        return "\n" + blank + "\n".join(lines) + "\n"

    def block(self, header, depth):
        return f"{header}{self.space()}:{self.suite(depth)}"

    def statement(self, depth=0):
        if depth > 2 or self.chance(3):
            return self.simple_line() + "\n"
        e = self.expr
        kind = self.choose(0, 7)
        if kind == 0:
            text = self.block(f"if {e()}", depth)
            text += "".join(self.block(f"elif {e()}", depth) for _ in range(self.choose(0, 2)))
            return text + (self.block("else", depth) if self.chance(2) else "")
        if kind == 1:
            header = self.pick([lambda: f"while {e()}", lambda: f"{self.pick(['', 'async '])}for "
                                f"{self.pick(TARGETS)} in {e()}"])()
            return self.block(header, depth) + (self.block("else", depth) if self.chance(3) else "")
        if kind == 2:
            items = self.many(lambda: e() + self.pick(["", " as x", " as (a, b)", " as x.y"]), 1, 3)
            listed = f"({', '.join(items)}{self.pick(['', ','])})" if self.chance(2) else ", ".join(items)
            return self.block(f"{self.pick(['', 'async '])}with {listed}", depth)
        if kind == 3:
            text = self.block("try", depth)
            star = self.pick(["except", "except*"])
            handlers = self.many(lambda: self.block(f"{star} {self.pick(['E', '(E, F)', 'E as e', 'f(x)'])}", depth),
                                 0 if star == "except" else 1, 2)
            if star == "except" and self.chance(3):
                handlers.append(self.block("except", depth))
            text += "".join(handlers)
            if handlers and self.chance(3):
                text += self.block("else", depth)
            if not handlers or self.chance(3):
                text += self.block("finally", depth)
            return text
        if kind in (4, 5):
            decorators = "".join(f"@{e()}\n" for _ in range(self.choose(0, 2)))
            params = "[" + ", ".join(dict.fromkeys(self.many(lambda: self.pick(TYPE_PARAMS), 1, 3))) + "]" \
                if self.chance(3) else ""
            if kind == 4:
                returns = f" -> {e()}" if self.chance(3) else ""
                header = f"{self.pick(['def', 'async def'])} {self.pick(PLAIN_NAMES)}{params}({self.pick(PARAMS)}){returns}"
            else:
                header = f"class {self.pick(PLAIN_NAMES)}{params}" + self.pick(
                    ["", "()", "(A)", "(A, metaclass=M)", "(*bases, **kw)"])
            return decorators + self.block(header, depth)
        subject = self.pick([e, lambda: "x, *y", lambda: "(x)"])()
        indent = self.pick(["    ", "  "])
        cases = self.many(lambda: self.block(
            f"case {self.pattern()}{', y' if self.chance(4) else ''}{f' if {e()}' if self.chance(3) else ''}",
            depth + 1), 1, 3)
        return f"match {subject}:\n" + "".join(indent + line + "\n" for c in cases for line in c.splitlines())


def program(choose):
    w = Writer(choose)
    text = "".join(w.many(w.statement, 1, 4))
    text += w.pick(["", "", "\n", "# end", "\n\n   \n"])
    # Windows line ends, inside strings and brackets too; a form feed
    # before a line resets its indentation column.
    if w.chance(6):
        text = text.replace("\n", "\r\n")
    if w.chance(10):
        text = "\f" + text
    return text


PROGRAM = st.composite(lambda draw: program(lambda low, high: draw(st.integers(low, high))))()


@seeded
@settings_for(300)
@given(PROGRAM)
def test_own_programs_parse_like_reference(source):
    assert differential(source) is None, f"{source!r}: {differential(source)}"


def test_own_strategy_writes_mostly_accepted_programs():
    # Were most of them refused, the comparison would only ever see verdicts.
    rng = random.Random(0)
    accepted = 0
    for _ in range(300):
        try:
            reference_parse(program(rng.randint))
            accepted += 1
        except (SyntaxError, ValueError, RecursionError):
            pass
    assert accepted > 300 * 0.6, f"{accepted} of 300 accepted"


# ---------------------------------------------------------------- token-level mutants of real files

STDLIB = Path(os.__file__).resolve().parent


def sample_files(count, rng):
    files = sorted(p for p in STDLIB.glob("*.py") if 1_000 <= p.stat().st_size <= 12_000)
    files += sorted(p for p in STDLIB.glob("*/*.py") if "site-packages" not in p.parts
                    and 1_000 <= p.stat().st_size <= 12_000)
    return rng.sample(files, min(count, len(files)))


def token_spans(text):
    """(start, end) character ranges of the tokens of `text`, checked against
    the text (a token whose reported range does not hold its string is left
    out: the mutations need exact spans, not every token)."""
    line_starts = [0]
    for line in text.splitlines(keepends=True):
        line_starts.append(line_starts[-1] + len(line))
    spans = []
    try:
        for tok in tokenize.generate_tokens(io.StringIO(text).readline):
            if not tok.string or tok.type in (tokenize.ENDMARKER, tokenize.DEDENT):
                continue
            start = line_starts[tok.start[0] - 1] + tok.start[1]
            end = line_starts[tok.end[0] - 1] + tok.end[1]
            if text[start:end] == tok.string:
                spans.append((start, end))
    except (tokenize.TokenError, SyntaxError, IndexError):
        pass
    return spans


MUTATIONS = ("drop", "duplicate", "swap", "replace", "insert")

# Tokens rare in the sampled files, or where the grammar is most delicate:
# soft keywords, the operators that start other constructs, f-string parts.
INSERTS = ["match", "case", "type", "_", "*", "**", ":=", "=", ":", "->", "@", "lambda", "yield", "await", "async",
           "not", "if", "else", "for", "in", "is", ",", ";", "(", ")", "[", "]", "{", "}", "...", ".", "!", "\\\n",
           "\n", "\t", "# c", "f'{x=}'", "f'{", "}'", "'", '"""', "0x", "1_", "1if", "global", "del", "return",
           "except*", "from", "import", "as", "class", "def", "with", "elif", "try", "pass", "é"]


def mutate(text, spans, rng):
    """One mutant of `text`: a token dropped, doubled, swapped with the next,
    replaced by another token of the same file, or one of INSERTS put before
    it. Returns (kind, source)."""
    kind = rng.choice(MUTATIONS)
    i = rng.randrange(len(spans))
    start, end = spans[i]
    if kind == "drop":
        return kind, text[:start] + text[end:]
    if kind == "duplicate":
        glue = rng.choice(["", " "])
        return kind, text[:end] + glue + text[start:end] + text[end:]
    if kind == "swap" and i + 1 < len(spans):
        s2, e2 = spans[i + 1]
        return kind, text[:start] + text[s2:e2] + text[end:s2] + text[start:end] + text[e2:]
    if kind == "insert":
        return kind, text[:start] + rng.choice(INSERTS) + rng.choice(["", " "]) + text[start:]
    s2, e2 = spans[rng.randrange(len(spans))]
    return "replace", text[:start] + text[s2:e2] + text[end:]


def test_token_mutants_parse_like_reference():
    rng = random.Random(SEED)
    count = EXAMPLES or 4000
    corpus = []
    for path in sample_files(40, rng):
        with tokenize.open(path) as f:
            text = f.read()
        spans = token_spans(text)
        if spans:
            corpus.append((path.relative_to(STDLIB), text, spans))
    differences = []
    kinds = dict.fromkeys(MUTATIONS, 0)
    for n in range(count):
        name, text, spans = corpus[n % len(corpus)]
        kind, source = mutate(text, spans, rng)
        kinds[kind] += 1
        problem = differential(source, explain=len(differences) < REPORTED)
        if problem:
            differences.append((f"mutant {n} ({kind}) of {name}", problem))
    assert all(kinds.values()), kinds
    assert not differences, report(differences, count, "mutants")
