"""NativeModule and the parser-facing functions: compile_composable,
parse_module, copy_to_python_ast, to_source, bench_parse_convert."""

import ast
import sys
import inspect
import threading

import pytest

import _quorbin_native_engine as native

LABEL = native.parser_backend()
QUOTED_LABEL = '"' + LABEL.replace("\\", "\\\\").replace('"', '\\"') + '"'


def positions(node):
    return (node.lineno, node.col_offset, node.end_lineno, node.end_col_offset)


def located_nodes(tree):
    return [n for n in ast.walk(tree) if hasattr(n, "lineno")]


# ---------------------------------------------------------------------------
# compile_composable and NativeModule


@pytest.mark.parametrize(
    "source, counts",
    [
        ("", {"Module": 1}),
        ("x = 1", {"Assign": 1, "Constant": 1, "Module": 1, "Name": 1}),
        ("f(a, b=1)", {"Call": 1, "Constant": 1, "Expr": 1, "Module": 1, "Name": 2, "keyword": 1}),
        ("def f(a, *b, c, **d): pass", {"FunctionDef": 1, "Module": 1, "Pass": 1, "arg": 4, "arguments": 1}),
        ("{**m, 1: 2}", {"Constant": 2, "Dict": 1, "Expr": 1, "Module": 1, "Name": 1}),
        ("a < b", {"Compare": 1, "Expr": 1, "Module": 1, "Name": 2}),
    ],
)
def test_node_counts(source, counts):
    module = native.compile_composable(source)
    result = module.node_counts()
    assert result == counts
    assert list(result) == sorted(counts)  # byte order of the class names
    assert module.node_counts() is not result


def test_filename_and_defaults():
    assert native.compile_composable("x = 1", "t.py").filename == "t.py"
    assert native.compile_composable("x = 1").filename == "<quorbin-native>"
    assert native.compile_composable("x = 1", None).filename == "<quorbin-native>"
    assert native.compile_composable(source="x", filename="k.py").filename == "k.py"
    module = native.compile_composable("")
    assert module.parser_backend == LABEL
    with pytest.raises(AttributeError):
        module.filename = "other"


@pytest.mark.parametrize(
    "source, filename, expected",
    [
        ("", None, f'NativeModule(filename="<quorbin-native>", backend={QUOTED_LABEL}, nodes=1)'),
        ("x = 1", "t.py", f'NativeModule(filename="t.py", backend={QUOTED_LABEL}, nodes=4)'),
        ("", 'a"b', f'NativeModule(filename="a\\"b", backend={QUOTED_LABEL}, nodes=1)'),
        ("", "c:\\d\te\n\0", f'NativeModule(filename="c:\\\\d\\te\\n\\0", backend={QUOTED_LABEL}, nodes=1)'),
        ("", "\x1b\u200b\xa0é", f'NativeModule(filename="\\u{{1b}}\\u{{200b}}\\u{{a0}}é", backend={QUOTED_LABEL}, nodes=1)'),
    ],
)
def test_repr(source, filename, expected):
    assert repr(native.compile_composable(source, filename)) == expected


def test_native_module_members():
    cls = native.NativeModule
    assert {a for a in dir(cls) if not a.startswith("_")} == {
        "filename",
        "parser_backend",
        "node_counts",
        "copy_to_python_ast",
        "to_source",
    }
    module = native.compile_composable("x = 1")
    assert str(inspect.signature(module.copy_to_python_ast)) == "(location_policy='native')"
    assert str(inspect.signature(module.to_source)) == "(location_policy='native')"
    assert str(inspect.signature(module.node_counts)) == "()"


@pytest.mark.parametrize(
    "call, kind, message, note",
    [
        (
            lambda m: m.copy_to_python_ast("native", 2),
            TypeError,
            "NativeModule.copy_to_python_ast() takes from 0 to 1 positional arguments but 2 were given",
            None,
        ),
        (
            lambda m: m.to_source(policy="native"),
            TypeError,
            "NativeModule.to_source() got an unexpected keyword argument 'policy'",
            None,
        ),
        (
            lambda m: m.to_source("native", location_policy="native"),
            TypeError,
            "NativeModule.to_source() got multiple values for argument 'location_policy'",
            None,
        ),
        (lambda m: m.copy_to_python_ast(5), TypeError, "'int' object is not an instance of 'str'", "location_policy"),
        (lambda m: m.node_counts(1), TypeError, None, None),
    ],
)
def test_method_binding_and_conversion(call, kind, message, note):
    module = native.compile_composable("x = 1")
    with pytest.raises(kind) as info:
        call(module)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


@pytest.mark.parametrize(
    "source, filename, tail",
    [
        ("x = (", None, " at byte offset 4 in <quorbin-native>"),
        ("x = (", "my.py", " at byte offset 4 in my.py"),
        ("def f(:\n", 'q"', ' in q"'),
    ],
)
@pytest.mark.parametrize("function", [native.compile_composable, native.parse_module])
def test_syntax_errors(function, source, filename, tail):
    with pytest.raises(SyntaxError) as info:
        function(source, filename)
    error = info.value
    assert type(error) is SyntaxError
    assert len(error.args) == 1
    assert error.args[0].endswith(tail)
    assert len(error.args[0]) > len(tail)  # the parser's own description comes first
    assert (error.filename, error.lineno, error.offset) == (None, None, None)


# ---------------------------------------------------------------------------
# Conversion


def test_x_equals_1_native_positions():
    tree = native.parse_module("x = 1")
    assert isinstance(tree, ast.Module)
    assign = tree.body[0]
    assert positions(assign) == (1, 0, 1, 5)
    assert positions(assign.targets[0]) == (1, 0, 1, 1)
    assert positions(assign.value) == (1, 4, 1, 5)


def test_fix_missing_positions():
    for tree in (
        native.parse_module("x = 1\nif y:\n    z = 2\n", location_policy="fix_missing"),
        native.compile_composable("x = 1\nif y:\n    z = 2\n").copy_to_python_ast("fix_missing"),
    ):
        assert {positions(n) for n in located_nodes(tree)} == {(1, 0, 1, 0)}


def test_columns_count_utf8_bytes():
    constant = native.parse_module("s = 'é'").body[0].value
    assert (constant.col_offset, constant.end_col_offset) == (4, 8)


def test_line_ends():
    crlf = native.parse_module("a = 1\r\nb = 2\r\nc = 3\r\n")
    assert [(s.lineno, s.col_offset) for s in crlf.body] == [(1, 0), (2, 0), (3, 0)]
    cr = native.parse_module("a = 1\rb = 2\rc = 3\r")
    assert [s.lineno for s in cr.body] == [1, 1, 1]


def test_empty_module():
    tree = native.parse_module("")
    assert type(tree) is ast.Module
    assert (tree.body, tree.type_ignores) == ([], [])


def test_constants_convert_exactly():
    big = 2**200 + 12345
    tree = native.parse_module(f"a = {big}\nb = 1j\nc = -{big}\nd = 0x{big:x}")
    values = [s.value for s in tree.body]
    assert values[0].value == big
    assert values[1].value == complex(0.0, 1.0)
    assert values[2].operand.value == big
    assert values[3].value == big


CONSTRUCTION_SOURCE = """\
def f(a, /, b=1, *c, d, **e) -> int:
    return [x + 1 for x in c if not x] or {k: v for k, v in e.items()}
x = f(1, *y, z=-2)[1:2, ::3] if a < b <= c else lambda q: q ** 2
match p:
    case [1, *r] | {"k": _} if r:
        pass
with open(n) as h, g():
    del h.attr
try:
    pass
except* E as err:
    raise
f"{x!r:>{w}}"
"""


def post_order(node):
    """Class names in the order a recursive conversion constructs them:
    fields in order, children before their parent."""
    for name in node._fields:
        value = getattr(node, name, None)
        for item in value if isinstance(value, list) else [value]:
            if isinstance(item, ast.AST):
                yield from post_order(item)
    yield type(node).__name__


class Recorder:
    """Replaces the ast classes a conversion looks up by subclasses that log
    each construction, can fail the n-th one, and count the live objects."""

    def __init__(self, monkeypatch, names, fail_at=None):
        self.events, self.live, self.fail_at = [], 0, fail_at
        self.error = LookupError("constructor failed")
        for name in names:
            monkeypatch.setattr(ast, name, self.subclass(getattr(ast, name)))

    def subclass(self, base):
        recorder = self

        def __init__(self, *args, **kwargs):
            recorder.events.append(base.__name__)
            if len(recorder.events) == recorder.fail_at:
                raise recorder.error
            base.__init__(self, *args, **kwargs)
            self._counted = True
            recorder.live += 1

        def __del__(self):
            if self.__dict__.get("_counted"):
                recorder.live -= 1

        return type(base.__name__, (base,), {"__init__": __init__, "__del__": __del__})


def class_names(tree):
    return sorted({type(n).__name__ for n in ast.walk(tree)})


@pytest.mark.ast312  # the expected order is a walk of 3.12's own tree
@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse")
def test_conversion_constructs_in_field_order_children_first(monkeypatch):
    reference = ast.parse(CONSTRUCTION_SOURCE)
    recorder = Recorder(monkeypatch, class_names(reference))
    tree = native.parse_module(CONSTRUCTION_SOURCE)
    assert recorder.events == list(post_order(reference))
    del tree
    assert recorder.live == 0


@pytest.mark.parametrize("source, fail_at", [
    (CONSTRUCTION_SOURCE, 1),
    (CONSTRUCTION_SOURCE, 40),
    (CONSTRUCTION_SOURCE, len(list(post_order(ast.parse(CONSTRUCTION_SOURCE))))),  # the Module itself
    ("a" + ".b" * 3000, 3000),  # inside a tree deeper than the interpreter's recursion limit
], ids=["first", "middle", "module", "deep"])
def test_a_failing_constructor_ends_the_conversion_and_releases_what_was_built(monkeypatch, source, fail_at):
    module = native.compile_composable(source)
    recorder = Recorder(monkeypatch, class_names(native.parse_module(source)), fail_at)
    for convert in (lambda: native.parse_module(source), lambda: module.copy_to_python_ast("fix_missing")):
        recorder.events.clear()
        with pytest.raises(LookupError) as info:
            convert()
        assert info.value is recorder.error
        assert len(recorder.events) == fail_at
        # the failing __init__'s frame, kept by the traceback, holds its arguments
        del info
        recorder.error.__traceback__ = None
        assert recorder.live == 0
    recorder.fail_at = None
    assert native.parse_module(source).body


def test_copies_are_fresh_and_agree():
    module = native.compile_composable("def f(x):\n    return x + 1\n", "f.py")
    first = native.copy_to_python_ast(module)
    second = module.copy_to_python_ast()
    assert first is not second and first.body[0] is not second.body[0]
    reference = ast.dump(native.parse_module("def f(x):\n    return x + 1\n"), include_attributes=True)
    assert ast.dump(first, include_attributes=True) == ast.dump(second, include_attributes=True) == reference
    assert native.copy_to_python_ast(composable=module, location_policy="fix_missing").body[0].lineno == 1


def test_to_source_is_the_same_under_both_policies():
    source = "if a:\n    b = [1, 2]\nelse:\n    c = f(*d, **e)\n"
    module = native.compile_composable(source)
    text = native.to_source(module)
    assert type(text) is str
    assert text == native.to_source(module, "fix_missing") == module.to_source() == module.to_source("fix_missing")
    assert text == ast.unparse(ast.parse(source))


POLICY_ERRORS = [
    ("Native", 'unknown location_policy "Native"; expected \'native\' or \'fix_missing\''),
    ("", 'unknown location_policy ""; expected \'native\' or \'fix_missing\''),
    ("native ", 'unknown location_policy "native "; expected \'native\' or \'fix_missing\''),
    ('a"b\n', 'unknown location_policy "a\\"b\\n"; expected \'native\' or \'fix_missing\''),
]


@pytest.mark.parametrize("policy, message", POLICY_ERRORS)
def test_unknown_location_policy(policy, message):
    module = native.compile_composable("x = 1")
    calls = [
        lambda: native.parse_module("x = 1", None, policy),
        lambda: native.copy_to_python_ast(module, policy),
        lambda: native.to_source(module, policy),
        lambda: module.copy_to_python_ast(policy),
        lambda: module.to_source(policy),
        lambda: native.bench_parse_convert("x = 1", 1, None, policy),
    ]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError
        assert info.value.args == (message,)
        assert getattr(info.value, "__notes__", []) == []


def test_syntax_error_wins_over_an_unknown_policy():
    with pytest.raises(SyntaxError):
        native.parse_module("x = (", None, "Native")
    with pytest.raises(SyntaxError):
        native.bench_parse_convert("x = (", 2, None, "Native")


def test_unparse_must_return_str(monkeypatch):
    module = native.compile_composable("x = 1")
    monkeypatch.setattr(ast, "unparse", lambda tree: 5)
    with pytest.raises(TypeError) as info:
        native.to_source(module)
    assert str(info.value) == "'int' object is not an instance of 'str'"

    class Text(str):
        pass

    monkeypatch.setattr(ast, "unparse", lambda tree: Text("x = 1"))
    result = module.to_source()
    assert type(result) is str and result == "x = 1"


def test_errors_of_the_ast_module_pass_through(monkeypatch):
    module = native.compile_composable("x = 1")

    def broken(tree):
        raise LookupError("unparse failed")

    monkeypatch.setattr(ast, "unparse", broken)
    with pytest.raises(LookupError, match="unparse failed"):
        module.to_source()
    monkeypatch.delattr(ast, "fix_missing_locations")
    with pytest.raises(AttributeError):
        module.copy_to_python_ast("fix_missing")


def test_reentrant_reads_during_a_method_are_allowed(monkeypatch):
    module = native.compile_composable("x = 1")
    seen = []

    def unparse(tree):
        seen.append(module.node_counts())
        seen.append(repr(module))
        return "reentered"

    monkeypatch.setattr(ast, "unparse", unparse)
    assert module.to_source() == "reentered"
    assert seen[0] == {"Assign": 1, "Constant": 1, "Module": 1, "Name": 1}


def test_parsing_releases_the_interpreter_lock():
    # A thread counting in Python makes progress only while the lock is free;
    # a long parse that held it would let the counter move by a step or two.
    source = "value = [1, 2, 3] + other(4, key=5)\n" * 200_000
    count = 0
    stop = threading.Event()

    def counter():
        nonlocal count
        while not stop.is_set():
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        progress = []
        for _ in range(3):
            before = count
            native.compile_composable(source)
            progress.append(count - before)
    finally:
        stop.set()
        thread.join()
    assert max(progress) > 1000


def test_parses_in_threads_agree():
    sources = [f"def f{i}(a, b={i}):\n    return a * {i}\n" * 50 for i in range(8)]
    expected = [ast.dump(native.parse_module(s), include_attributes=True) for s in sources]
    results = [None] * len(sources)

    def work(i):
        for _ in range(5):
            results[i] = ast.dump(native.parse_module(sources[i]), include_attributes=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(sources))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


# ---------------------------------------------------------------------------
# bench_parse_convert

BENCH_KEYS = [
    "parser_backend",
    "iterations",
    "native_parse_seconds",
    "native_ast_or_ir_count_seconds",
    "artifact_copy_seconds",
    "cpython_ast_construction_seconds",
    "emit_stats",
    "node_counts",
    "source_bytes",
    "gil_notes",
]
EMIT_KEYS = [
    "nodes_constructed",
    "required_default_fields",
    "location_fields",
    "constructor_seconds",
    "required_default_field_population_seconds",
    "location_population_seconds",
]


@pytest.mark.parametrize(
    "source, policy, counters",
    [
        ("", "native", (1, 2, 0)),
        ("x = 1", "native", (5, 3, 12)),
        ("x = 1", "fix_missing", (5, 3, 0)),
    ],
)
def test_bench_counters(source, policy, counters):
    result = native.bench_parse_convert(source, 1, location_policy=policy)
    stats = result["emit_stats"]
    assert (stats["nodes_constructed"], stats["required_default_fields"], stats["location_fields"]) == counters


def test_bench_result_shape():
    result = native.bench_parse_convert("x = 1\n", 3, "b.py")
    assert list(result) == BENCH_KEYS
    assert list(result["emit_stats"]) == EMIT_KEYS
    assert result["parser_backend"] == LABEL
    assert result["iterations"] == 3
    assert result["node_counts"] == {"Assign": 1, "Constant": 1, "Module": 1, "Name": 1}
    assert result["source_bytes"] == 6
    assert result["artifact_copy_seconds"] == result["cpython_ast_construction_seconds"]
    for key in ("native_parse_seconds", "native_ast_or_ir_count_seconds", "artifact_copy_seconds"):
        assert isinstance(result[key], float) and result[key] >= 0.0
    for key in EMIT_KEYS[3:]:
        assert isinstance(result["emit_stats"][key], float) and result["emit_stats"][key] >= 0.0
    assert isinstance(result["gil_notes"], str) and result["gil_notes"].count(".") == 1
    # The counters are those of one conversion, not of all iterations.
    assert result["emit_stats"]["nodes_constructed"] == 5


def test_bench_source_bytes_counts_utf8():
    assert native.bench_parse_convert("# é", 1)["source_bytes"] == 4
    assert native.bench_parse_convert("", 1)["node_counts"] == {"Module": 1}


def test_bench_iterations():
    with pytest.raises(ValueError) as zero:
        native.bench_parse_convert("x = 1", 0)
    assert zero.value.args == ("iterations must be greater than zero",)
    with pytest.raises(OverflowError) as negative:
        native.bench_parse_convert("x = 1", -1)
    assert negative.value.__notes__ == ["while processing 'iterations'"]
    assert native.bench_parse_convert("x = 1", True)["iterations"] == 1


def test_bench_syntax_error():
    with pytest.raises(SyntaxError) as info:
        native.bench_parse_convert("x = (", 1000, "bad.py")
    assert info.value.args[0].endswith(" at byte offset 4 in bad.py")
