"""Template extraction, registration and source validation."""

import hashlib
import re

import pytest

import _quorbin_native_engine as qe


SCHEMA_PREFIX = "native schema error: "
STALE_PREFIX = "native stale handle: "




def records_of(snapshot):
    """(kind, resource, path, owner, line) per record, the line read from its locator."""
    out = []
    for record, locator in zip(snapshot["records"], snapshot["locators"], strict=True):
        name, _, line = locator["authored_summary"].rpartition(" at line ")
        assert name == record["resource_name"]
        out.append(
            (
                record["inventory_kind"],
                record["resource_name"],
                locator["ast_path"],
                tuple(record["code_owner"]),
                int(line),
            )
        )
    return out


def B(line=1):
    """The block production every block template ends with."""
    return ("production.block", "__block__", ".", (), line)


def E(index=0, line=1):
    """The expression production of an expression template."""
    return ("production.expression", "__expr__", f"body[{index}]/value", (), line)


# (source, line_number, expected records in order)
RECORD_CASES = [
    # the template productions on their own
    ("", 1, [B()]),
    ("", 7, [B(7)]),
    ("x = 1", 1, [B()]),
    ("\n\nx = 1", 5, [B(3)]),
    ("\n\nfor i in x:\n    pass", 5, [B(5)]),  # a loop reports line 1, hence the caller's line
    ("\n\nraise E", 4, [B(4)]),
    ("f(x)", 1, [E(), B()]),
    ("quorbin_keep(x)\n\nf(x)", 1, [E(1, 3), B(3)]),
    ("f(x)\ng(y)", 1, [B()]),  # two meaningful statements: no expression production
    ("quorbin_funcargs(a, *b, k=c)", 1, [("production.funcargs", "__funcargs__", "body[0]/value", (), 1)]),
    (
        'quorbin_pyimport(module="m")\nquorbin_funcargs(a)',
        1,
        [("production.funcargs", "__funcargs__", "body[1]/value", (), 2)],
    ),
    ("quorbin_funcargs(a)\nx = 1", 1, [B()]),
    (
        "quorbin_funcargs(a, k=v, __quorbin_ph_0__=quorbin_import(x), __quorbin_ph_1__=quorbin_export(y))",
        1,
        [
            ("identifier.demand", "x", "body[0]/value/keywords[1]/value", (), 1),
            ("identifier.supply", "y", "body[0]/value/keywords[2]/value", (), 1),
            ("production.funcargs", "__funcargs__", "body[0]/value", (), 1),
        ],
    ),
    # quorbin_hole in each of the five contexts
    ("quorbin_hole(x)", 1, [("hole.block", "x", "body[0]/value", (), 1), E(), B()]),
    ("y = quorbin_hole(x)", 1, [("hole.expr", "x", "body[0]/value", (), 1), B()]),
    ("quorbin_hole(x) + 1", 1, [("hole.expr", "x", "body[0]/value/left", (), 1), E(), B()]),
    (
        "f(quorbin_hole(x), k=quorbin_hole(y))",
        1,
        [
            ("hole.expr", "x", "body[0]/value/args[0]", (), 1),
            ("hole.expr", "y", "body[0]/value/keywords[0]/value", (), 1),
            E(),
            B(),
        ],
    ),
    ("f(*quorbin_hole(x))", 1, [("hole.positional_variadic", "x", "body[0]/value/args[0]/value", (), 1), E(), B()]),
    ("y = [*quorbin_hole(x)]", 1, [("hole.positional_variadic", "x", "body[0]/value/elts[0]/value", (), 1), B()]),
    ("f(*[quorbin_hole(x)])", 1, [("hole.expr", "x", "body[0]/value/args[0]/value/elts[0]", (), 1), E(), B()]),
    ("f(**quorbin_hole(x))", 1, [("hole.named_variadic", "x", "body[0]/value/keywords[0]/value", (), 1), E(), B()]),
    # A spread class keyword is an expression position, unlike a spread call keyword.
    (
        "class C(**quorbin_hole(x)):\n    pass\nf(**quorbin_hole(y))",
        1,
        [
            ("hole.expr", "x", "body[0]/keywords[0]/value", ("C",), 1),
            ("hole.named_variadic", "y", "body[1]/value/keywords[0]/value", (), 3),
            B(),
        ],
    ),
    (
        'y = {**quorbin_hole(x), "k": quorbin_hole(v)}',
        1,
        [
            ("hole.named_variadic", "x", "body[0]/value/values[0]", (), 1),
            ("hole.expr", "v", "body[0]/value/values[1]", (), 1),
            B(),
        ],
    ),
    (
        # every present key first, then the values
        "y = {quorbin_hole(k1): quorbin_hole(v1), quorbin_hole(k2): quorbin_hole(v2)}",
        1,
        [
            ("hole.expr", "k1", "body[0]/value/keys[0]", (), 1),
            ("hole.expr", "k2", "body[0]/value/keys[1]", (), 1),
            ("hole.expr", "v1", "body[0]/value/values[0]", (), 1),
            ("hole.expr", "v2", "body[0]/value/values[1]", (), 1),
            B(),
        ],
    ),
    ("quorbin_hole(f)(x)", 1, [("hole.expr", "f", "body[0]/value/func", (), 1), E(), B()]),
    (
        "y = (\n    quorbin_hole(a),\n    quorbin_hole(b),\n)",
        1,
        [("hole.expr", "a", "body[0]/value/elts[0]", (), 2), ("hole.expr", "b", "body[0]/value/elts[1]", (), 3), B()],
    ),
    # expression-form quorbin_insert: a hole only where a call argument stands
    ("quorbin_insert(n, p)", 1, [("production.supply", "n", "body[0]/value", (), 1), B()]),
    (
        "f(quorbin_insert(n, p, order=3))",
        1,
        [
            ("hole.expr", "n", "body[0]/value/args[0]", (), 1),
            ("production.supply", "n", "body[0]/value/args[0]", (), 1),
            E(),
            B(),
        ],
    ),
    (
        "f(*quorbin_insert(n, p))",
        1,
        [
            ("hole.positional_variadic", "n", "body[0]/value/args[0]/value", (), 1),
            ("production.supply", "n", "body[0]/value/args[0]/value", (), 1),
            E(),
            B(),
        ],
    ),
    (
        'f(**quorbin_insert(n, p, pyimport=(quorbin_pyimport(module="m"),)))',
        1,
        [
            ("hole.named_variadic", "n", "body[0]/value/keywords[0]/value", (), 1),
            ("production.supply", "n", "body[0]/value/keywords[0]/value", (), 1),
            E(),
            B(),
        ],
    ),
    (
        "y = quorbin_insert(n, quorbin_hole(h))",
        1,
        [("production.supply", "n", "body[0]/value", (), 1), ("hole.expr", "h", "body[0]/value/args[1]", (), 1), B()],
    ),
    # external bindings
    ("y = quorbin_ref(external=e)", 1, [("external.bind", "e", "body[0]/value/args[0]", (), 1), B()]),
    ('y = base.quorbin_ref("a.b", external=e)', 1, [("external.bind", "e", "body[0]/value/args[0]", (), 1), B()]),
    ('y = quorbin_ref("a.b")', 1, [B()]),
    ('y = base.other(external=e)', 1, [B()]),
    ("y = quorbin_bind_external(e)", 1, [("external.bind", "e", "body[0]/value", (), 1), B()]),
    # names demanded and supplied
    (
        "quorbin_import(x)\nquorbin_keep(x)\nquorbin_export(y)\nquorbin_keep(y)\nz = 1",
        1,
        [
            ("identifier.demand", "x", "body[0]/value", (), 1),
            ("identifier.demand", "x", "body[1]/value", (), 2),
            ("identifier.supply", "y", "body[2]/value", (), 3),
            ("identifier.supply", "y", "body[3]/value", (), 4),
            B(5),
        ],
    ),
    ("quorbin_keep(x)", 1, [B()]),
    ("quorbin_export(x)\ny = quorbin_keep(x)", 1, [("identifier.supply", "x", "body[0]/value", (), 1), B(2)]),
    (
        "quorbin_import(__quorbin_assign__v)",
        1,
        [
            ("identifier.demand", "__quorbin_assign__v", "body[0]/value", (), 1),
            ("identifier.supply", "__quorbin_assign__v", "body[0]/value", (), 1),
            B(),
        ],
    ),
    (
        "quorbin_pass(__quorbin_assign__v)\nquorbin_export(__quorbin_assign__v)\nquorbin_pass(__quorbin_assign__v)",
        1,
        [
            ("identifier.demand", "__quorbin_assign__v", "body[0]/value", (), 1),
            ("identifier.demand", "__quorbin_assign__v", "body[1]/value", (), 2),
            ("identifier.supply", "__quorbin_assign__v", "body[1]/value", (), 2),
            ("identifier.demand", "__quorbin_assign__v", "body[2]/value", (), 3),
            ("identifier.supply", "__quorbin_assign__v", "body[2]/value", (), 3),
            B(),
        ],
    ),
    (
        "quorbin_export(__quorbin_assign__v)\nquorbin_keep(__quorbin_assign__v)",
        1,
        [
            ("identifier.demand", "__quorbin_assign__v", "body[0]/value", (), 1),
            ("identifier.supply", "__quorbin_assign__v", "body[0]/value", (), 1),
            ("identifier.demand", "__quorbin_assign__v", "body[1]/value", (), 2),
            ("identifier.supply", "__quorbin_assign__v", "body[1]/value", (), 2),
            B(),
        ],
    ),
    ("quorbin_import(__quorbin_assign__v)\nquorbin_keep(__quorbin_assign__v)", 1, [
        ("identifier.demand", "__quorbin_assign__v", "body[0]/value", (), 1),
        ("identifier.supply", "__quorbin_assign__v", "body[0]/value", (), 1),
        ("identifier.demand", "__quorbin_assign__v", "body[1]/value", (), 2),
        B(),
    ]),
    (
        # the marker strips the suffix; the argument, walked as a name, demands it again
        "quorbin_pass(a__quorbin_arg__)",
        1,
        [
            ("identifier.demand", "a", "body[0]/value", (), 1),
            ("identifier.demand", "a", "body[0]/value/args[0]", (), 1),
            E(),
            B(),
        ],
    ),
    ("y = x__quorbin_arg__ + z", 1, [("identifier.demand", "x", "body[0]/value/left", (), 1), B()]),
    ("y = x__quorbin_keep__.a__quorbin_arg__", 1, [B()]),
    ("f(k__quorbin_arg__=1)", 1, [("identifier.demand", "k", "body[0]/value/keywords[0]", (), 1), E(), B()]),
    (
        "import m__quorbin_arg__ as n__quorbin_arg__, o\nfrom p__quorbin_arg__ import q__quorbin_arg__",
        1,
        [
            ("identifier.demand", "m", "body[0]/names[0]", (), 1),
            ("identifier.demand", "n", "body[0]/names[0]", (), 1),
            ("identifier.demand", "p", "body[1]", (), 2),
            ("identifier.demand", "q", "body[1]/names[0]", (), 2),
            B(),
        ],
    ),
    ("from . import x__quorbin_arg__", 1, [("identifier.demand", "x", "body[0]/names[0]", (), 1), B()]),
    # definitions, scopes and suffixes
    (
        "def f__quorbin_arg__(a__quorbin_arg__): pass",
        1,
        [("identifier.demand", "f", "body[0]", (), 1), ("identifier.demand", "a", "body[0]/args/args[0]", ("f",), 1), B()],
    ),
    (
        "def quorbin_params(a, b__quorbin_param_hole__): pass",
        1,
        [
            ("production.supply", "quorbin_params", "body[0]", (), 1),
            ("hole.params", "b", "body[0]/args/args[1]", ("quorbin_params",), 1),
        ],
    ),
    (
        "@deco(quorbin_hole(ignored))\nasync def quorbin_params(*, k__quorbin_param_hole__=quorbin_hole(d)):\n    quorbin_hole(ignored)",
        1,
        [
            ("production.supply", "quorbin_params", "body[0]", (), 2),
            ("hole.params", "k", "body[0]/args/kwonlyargs[0]", ("quorbin_params",), 2),
            ("hole.expr", "d", "body[0]/args/kw_defaults[0]", ("quorbin_params",), 2),
        ],
    ),
    (
        "def quorbin_elif(x):\n    quorbin_hole(b)",
        1,
        [
            ("production.elif", "quorbin_elif", "body[0]", (), 1),
            ("hole.block", "b", "body[0]/body[0]/value", ("quorbin_elif",), 2),
            B(),
        ],
    ),
    (
        "class K__quorbin_keep__:\n    def m__quorbin_param_hole__(self):\n        quorbin_hole(b)",
        1,
        [("hole.block", "b", "body[0]/body[0]/body[0]/value", ("K", "m"), 3), B()],
    ),
    (
        "def f__quorbin_arg__x(): quorbin_hole(b)",
        1,
        [("hole.block", "b", "body[0]/body[0]/value", ("f__quorbin_arg__x",), 1), B()],
    ),
    (
        "def f(a=quorbin_hole(p), /, b=quorbin_hole(q), *c__quorbin_arg__, d, e=quorbin_hole(r),"
        " **g__quorbin_param_hole__): pass",
        1,
        [
            ("hole.expr", "p", "body[0]/args/defaults[0]", ("f",), 1),
            ("hole.expr", "q", "body[0]/args/defaults[1]", ("f",), 1),
            ("hole.expr", "r", "body[0]/args/kw_defaults[1]", ("f",), 1),
            ("identifier.demand", "c", "body[0]/args/vararg", ("f",), 1),
            ("hole.params", "g", "body[0]/args/kwarg", ("f",), 1),
            B(),
        ],
    ),
    ("def f(a, /, b=quorbin_hole(x)): pass", 1, [("hole.expr", "x", "body[0]/args/defaults[0]", ("f",), 1), B()]),
    ("def f(a=1, /, b=quorbin_hole(x)): pass", 1, [("hole.expr", "x", "body[0]/args/defaults[1]", ("f",), 1), B()]),
    (
        "def f(a, b: quorbin_hole(t)) -> quorbin_hole(r): pass",
        1,
        [("hole.expr", "t", "body[0]/args/args[1]/annotation", ("f",), 1), B()],
    ),
    (
        "y = lambda a__quorbin_arg__=quorbin_hole(d): quorbin_hole(b)",
        1,
        [
            ("identifier.demand", "a", "body[0]/value/args/args[0]", (), 1),
            ("hole.expr", "d", "body[0]/value/args/defaults[0]", (), 1),
            ("hole.expr", "b", "body[0]/value/body", (), 1),
            B(),
        ],
    ),
    (
        # insert shells first (none matches yet), then the body, then other decorators
        "@deco(quorbin_hole(x))\n@quorbin_insert(b)\ndef f():\n    with quorbin_hole(b) as quorbin_fallback:\n        pass",
        1,
        [
            ("hole.block", "b", "body[0]/body[0]", ("f",), 4),
            ("hole.expr", "x", "body[0]/decorator_list[0]/args[0]", ("f",), 1),
            B(3),
        ],
    ),
    (
        'with quorbin_hole(b) as quorbin_fallback:\n    pass\n@quorbin_insert(b, kind="block", ref=r, order=1)\nclass C: pass',
        1,
        [("hole.block", "b", "body[0]", (), 1), ("hole.block", "b", "body[1]/decorator_list[0]", ("C",), 3), B()],
    ),
    (
        'if c:\n    pass\nelse:\n    if quorbin_elif(e):\n        pass\n@quorbin_insert(e, kind="elif")\ndef quorbin_elif(): pass',
        1,
        [
            ("hole.elif", "e", "body[0]/orelse[0]/test", (), 4),
            ("production.elif", "quorbin_elif", "body[1]", (), 7),
            ("hole.elif", "e", "body[1]/decorator_list[0]", ("quorbin_elif",), 6),
            B(),
        ],
    ),
    (
        "def f(p__quorbin_param_hole__): pass\n@quorbin_insert(p)\ndef g(): pass\n@quorbin_insert(q)\ndef h(): pass",
        1,
        [
            ("hole.params", "p", "body[0]/args/args[0]", ("f",), 1),
            ("hole.params", "p", "body[1]/decorator_list[0]", ("g",), 2),
            B(),
        ],
    ),
    (
        "class C__quorbin_arg__(quorbin_hole(b), *quorbin_hole(s), k__quorbin_arg__=quorbin_hole(v), **quorbin_hole(m)):\n    pass",
        1,
        [
            ("identifier.demand", "C", "body[0]", (), 1),
            ("hole.expr", "b", "body[0]/bases[0]", ("C",), 1),
            ("hole.positional_variadic", "s", "body[0]/bases[1]/value", ("C",), 1),
            ("identifier.demand", "k", "body[0]/keywords[0]", ("C",), 1),
            ("hole.expr", "v", "body[0]/keywords[0]/value", ("C",), 1),
            ("hole.expr", "m", "body[0]/keywords[1]/value", ("C",), 1),
            B(),
        ],
    ),
    # elif targets
    (
        "if c: pass\nelse:\n    if quorbin_elif(x): pass",
        1,
        [("hole.elif", "x", "body[0]/orelse[0]/test", (), 3), B()],
    ),
    (
        "if c:\n    pass\nelif d:\n    pass\nelse:\n    if quorbin_elif(x):\n        quorbin_comment('c')\n        pass",
        1,
        [("hole.elif", "x", "body[0]/orelse[0]/orelse[0]/test", (), 6), B()],
    ),
    # loops are not checked for elif placement, but the walk still sees the target
    ("for i in x:\n    if quorbin_elif(e):\n        y = 1", 1, [("hole.elif", "e", "body[0]/body[0]/test", (), 2), B()]),
    # statements and the children walked in them
    (
        "for t in quorbin_hole(b):\n    quorbin_hole(c)\nelse:\n    quorbin_hole(d)",
        1,
        [
            ("hole.expr", "b", "body[0]/iter", (), 1),
            ("hole.block", "c", "body[0]/body[0]/value", (), 2),
            ("hole.block", "d", "body[0]/orelse[0]/value", (), 4),
            B(),
        ],
    ),
    (
        "while quorbin_hole(t):\n    quorbin_hole(b)",
        1,
        [("hole.expr", "t", "body[0]/test", (), 1), ("hole.block", "b", "body[0]/body[0]/value", (), 2), B()],
    ),
    (
        "async def f():\n    async with quorbin_hole(m) as quorbin_fallback:\n        quorbin_hole(b)\n"
        "    async for i in quorbin_hole(s):\n        pass\n    await quorbin_hole(w)",
        1,
        [
            ("hole.block", "b", "body[0]/body[0]/body[0]/value", ("f",), 3),
            ("hole.expr", "s", "body[0]/body[1]/iter", ("f",), 4),
            ("hole.expr", "w", "body[0]/body[2]/value/value", ("f",), 6),
            B(),
        ],
    ),
    (
        "match quorbin_hole(v):\n    case [1] if quorbin_hole(g):\n        quorbin_hole(b)",
        1,
        [("hole.block", "b", "body[0]/cases[0]/body[0]/value", (), 3), B()],
    ),
    (
        "try:\n    quorbin_hole(a)\nexcept quorbin_hole(t):\n    pass\nexcept E:\n    quorbin_hole(h)\n"
        "else:\n    quorbin_hole(o)\nfinally:\n    quorbin_hole(f)",
        1,
        [
            ("hole.block", "a", "body[0]/body[0]/value", (), 2),
            ("hole.expr", "t", "body[0]/handlers[0]/type", (), 3),
            ("hole.block", "h", "body[0]/handlers[1]/body[0]/value", (), 6),
            ("hole.block", "o", "body[0]/orelse[0]/value", (), 8),
            ("hole.block", "f", "body[0]/finalbody[0]/value", (), 10),
            B(),
        ],
    ),
    (
        "try:\n    pass\nexcept* E:\n    quorbin_hole(h)",
        3,
        [("hole.block", "h", "body[0]/handlers[0]/body[0]/value", (), 4), B(3)],
    ),
    (
        "raise quorbin_hole(e) from quorbin_hole(c)",
        1,
        [("hole.expr", "e", "body[0]/exc", (), 1), ("hole.expr", "c", "body[0]/cause", (), 1), B()],
    ),
    (
        "assert quorbin_hole(t), quorbin_hole(m)",
        1,
        [("hole.expr", "t", "body[0]/test", (), 1), ("hole.expr", "m", "body[0]/msg", (), 1), B()],
    ),
    ("del x[quorbin_hole(i)]", 1, [("hole.expr", "i", "body[0]/targets[0]/slice", (), 1), B()]),
    (
        "x += quorbin_hole(v)\nx: quorbin_hole(t) = quorbin_hole(w)",
        1,
        [
            ("hole.expr", "v", "body[0]/value", (), 1),
            ("hole.expr", "t", "body[1]/annotation", (), 2),
            ("hole.expr", "w", "body[1]/value", (), 2),
            B(),
        ],
    ),
    ("def f():\n    return quorbin_hole(r)", 1, [("hole.expr", "r", "body[0]/body[0]/value", ("f",), 2), B()]),
    (
        "with open(quorbin_hole(p)) as f:\n    quorbin_hole(b)",
        1,
        [("hole.block", "b", "body[0]/body[0]/value", (), 2), B()],
    ),
    (
        "with quorbin_hole(b) as quorbin_fallback, open(quorbin_hole(p)) as other:\n    pass",
        1,
        [("hole.block", "b", "body[0]", (), 1), B()],
    ),
    ("with (quorbin_hole(b) as quorbin_fallback):\n    pass", 1, [("hole.block", "b", "body[0]", (), 1), B()]),
    ("type T = quorbin_hole(t)\nglobal g\npass", 1, [B()]),
    (
        "y = [quorbin_hole(e) for t in quorbin_hole(i) if quorbin_hole(c)]",
        1,
        [
            ("hole.expr", "e", "body[0]/value/elt", (), 1),
            ("hole.expr", "i", "body[0]/value/generators[0]/iter", (), 1),
            ("hole.expr", "c", "body[0]/value/generators[0]/ifs[0]", (), 1),
            B(),
        ],
    ),
    (
        "y = {quorbin_hole(k): quorbin_hole(v) for t in s for u in quorbin_hole(w)}",
        1,
        [
            ("hole.expr", "k", "body[0]/value/key", (), 1),
            ("hole.expr", "v", "body[0]/value/value", (), 1),
            ("hole.expr", "w", "body[0]/value/generators[1]/iter", (), 1),
            B(),
        ],
    ),
    (
        'y = f"{quorbin_hole(v):{quorbin_hole(s)}}"',
        1,
        [
            ("hole.expr", "v", "body[0]/value/values[0]/value", (), 1),
            ("hole.expr", "s", "body[0]/value/values[0]/format_spec/values[0]/value", (), 1),
            B(),
        ],
    ),
    (
        "y = (n := quorbin_hole(a)) if not quorbin_hole(b) else x[quorbin_hole(c):] or quorbin_hole(d).attr",
        1,
        [
            ("hole.expr", "b", "body[0]/value/test/operand", (), 1),
            ("hole.expr", "a", "body[0]/value/body/value", (), 1),
            ("hole.expr", "c", "body[0]/value/orelse/values[0]/slice/lower", (), 1),
            ("hole.expr", "d", "body[0]/value/orelse/values[1]/value", (), 1),
            B(),
        ],
    ),
    (
        "y = quorbin_hole(a) < quorbin_hole(b)",
        1,
        [("hole.expr", "a", "body[0]/value/left", (), 1), ("hole.expr", "b", "body[0]/value/comparators[0]", (), 1), B()],
    ),
    ("def g():\n    yield quorbin_hole(v)", 1, [("hole.expr", "v", "body[0]/body[0]/value/value", ("g",), 2), B()]),
    # markers that make no record here
    ('quorbin_comment("note")\nfor t in quorbin_for(d):\n    pass', 1, [B()]),
    ("@quorbin_foo\ndef f(): pass", 1, [B(2)]),  # a definition starts at `def`
    ("y = m.quorbin_foo(x)", 1, [B()]),
    # the root function decides the block production's line
    (
        "import os\ndef __quorbin_root__main():\n    quorbin_keep(x)\n    y = quorbin_hole(v)",
        1,
        [("hole.expr", "v", "body[1]/body[1]/value", ("__quorbin_root__main",), 4), B(4)],
    ),
    ("def __quorbin_root__main():\n    quorbin_keep(x)", 9, [B(2)]),
    ("\ndef __quorbin_root__a(): pass\ndef __quorbin_root__b():\n\n    x = 1", 9, [B(2)]),
    ("x = 1\nasync def __quorbin_root__a():\n\n    y = 2", 9, [B(9)]),
    ("\n\nclass C: pass", 9, [B(3)]),
]


@pytest.mark.parametrize(("source", "line_number", "expected"), RECORD_CASES)
def test_extracted_records(registered_engine, source, line_number, expected):
    snapshot = qe.extract_template_snapshot(registered_engine, source, line_number=line_number)
    assert records_of(snapshot) == expected
    assert snapshot["templates"][0]["record_count"] == len(expected)
    assert snapshot["templates"][0]["source_summary"] == f"compile line={line_number} records={len(expected)}"


# What every inventory kind is materialized by and which surface it fills.
KINDS = {
    ("hole.block", "splice-body-at-marker"): "quorbin.surface.block.hole",
    ("hole.expr", "replace-expression"): "quorbin.surface.expression.hole",
    ("hole.positional_variadic", "splice-call-arguments"): "quorbin.surface.funcargs.hole",
    ("hole.named_variadic", "splice-call-arguments"): "quorbin.surface.funcargs.hole",
    ("hole.params", "splice-parameters"): "quorbin.surface.parameter.hole",
    ("hole.elif", "append-clause"): "quorbin.surface.elif.target",
    ("identifier.demand", "rewrite-identifier"): "quorbin.surface.identifier.demand",
    ("identifier.supply", "rewrite-identifier"): "quorbin.surface.identifier.supply",
    ("external.bind", "bind-external"): "quorbin.surface.external.demand",
    ("production.supply", "copy-expression"): "quorbin.surface.expression.production",
    ("production.supply", "copy-parameters"): "quorbin.surface.parameter.production",
    ("production.elif", "copy-clause"): "quorbin.surface.elif.production",
    ("production.funcargs", "copy-call-arguments"): "quorbin.surface.funcargs.production",
    ("production.expression", "copy-expression"): "quorbin.surface.expression.production",
    ("production.block", "copy-block"): "quorbin.surface.block.production",
}


def test_record_fields_follow_their_kind(registered_engine):
    seen = set()
    for source, line_number, _ in RECORD_CASES:
        snapshot = qe.extract_template_snapshot(registered_engine, source, line_number=line_number)
        for index, (record, locator) in enumerate(zip(snapshot["records"], snapshot["locators"])):
            kind = record["inventory_kind"]
            anchor = locator["materialization_anchor"]
            seen.add((kind, anchor))
            assert record["surface_key"] == KINDS[(kind, anchor)]
            assert locator["role_key"] == kind
            owner = "/".join(record["code_owner"]) or "."
            assert record["semantic_summary"] == f"{kind} name={record['resource_name']} owner={owner} build_path=."
            assert record["locator_id"] == record["template_record_id"] == locator["locator_id"] == index
            assert record["record_id"] == [0, index]
    assert seen == set(KINDS)


def test_supply_productions_are_told_apart_by_anchor(registered_engine):
    snap = qe.extract_template_snapshot(registered_engine, "def quorbin_params(a): pass\ny = quorbin_insert(n, p)")
    assert [(l["materialization_anchor"], r["surface_key"]) for r, l in zip(snap["records"], snap["locators"])] == [
        ("copy-parameters", "quorbin.surface.parameter.production"),
        ("copy-expression", "quorbin.surface.expression.production"),
        ("copy-block", "quorbin.surface.block.production"),
    ]


LONG_PLACEHOLDER = "__quorbin_ph_18446744073709551615__"

# (source, detail of the schema error)
REFUSAL_CASES = [
    # name arguments
    ("quorbin_hole()", "quorbin_hole requires a name argument"),
    ('quorbin_hole("x")', "quorbin_hole name argument must be a bare identifier"),
    ("y = f(quorbin_hole(a.b))", "quorbin_hole name argument must be a bare identifier"),
    ("f(*quorbin_hole(*x))", "quorbin_hole name argument must be a bare identifier"),
    ("quorbin_hole(name=x)", "quorbin_hole requires a name argument"),
    ("y = quorbin_bind_external()", "quorbin_bind_external requires a name argument"),
    ("quorbin_keep(1)", "quorbin_keep name argument must be a bare identifier"),
    ("y = quorbin_keep()", "quorbin_keep requires a name argument"),
    ("quorbin_export(a.b)", "quorbin_export name argument must be a bare identifier"),
    ("quorbin_import()", "quorbin_import requires a name argument"),
    ("quorbin_pass(*x)", "quorbin_pass name argument must be a bare identifier"),
    ("with quorbin_hole() as quorbin_fallback:\n    pass", "quorbin_hole requires a name argument"),
    ("if c:\n    pass\nelse:\n    if quorbin_elif():\n        pass", "quorbin_elif requires a name argument"),
    # quorbin_insert in both forms
    ("quorbin_insert(a)", "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)"),
    ("y = quorbin_insert(a, b, c)", "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)"),
    ("@quorbin_insert(a, b)\ndef f(): pass", "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)"),
    ("@quorbin_insert()\nclass C: pass", "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)"),
    ('y = quorbin_insert("a", p)', "quorbin_insert name argument must be a bare identifier"),
    ("@quorbin_insert(a.b)\ndef f(): pass", "quorbin_insert name argument must be a bare identifier"),
    ("y = quorbin_insert(a, p, **k)", "quorbin_insert does not accept **kwargs"),
    ("@quorbin_insert(a, **k)\ndef f(): pass", "quorbin_insert does not accept **kwargs"),
    ("y = quorbin_insert(a, p, ref=r)", "quorbin_insert ref= is only valid on decorator-form shells"),
    ('y = quorbin_insert(a, p, kind="block")', "quorbin_insert kind= is only valid on decorator-form shells"),
    ("@quorbin_insert(a, kind=1)\ndef f(): pass", "quorbin_insert kind= must be a string constant"),
    ('@quorbin_insert(a, kind=f"block")\ndef f(): pass', "quorbin_insert kind= must be a string constant"),
    ('@quorbin_insert(a, kind=b"block")\ndef f(): pass', "quorbin_insert kind= must be a string constant"),
    ('@quorbin_insert(a, kind="x")\ndef f(): pass', "quorbin_insert kind= must be the literal string 'block', 'elif', or 'params'"),
    ('@quorbin_insert(a, kind="Block")\ndef f(): pass', "quorbin_insert kind= must be the literal string 'block', 'elif', or 'params'"),
    ("@quorbin_insert(a, order=-1)\ndef f(): pass", "quorbin_insert order must be an integer constant"),
    ("@quorbin_insert(a, order=True)\ndef f(): pass", "quorbin_insert order must be an integer constant"),
    ("@quorbin_insert(a, order=1.0)\ndef f(): pass", "quorbin_insert order must be an integer constant"),
    ("y = quorbin_insert(a, p, order=n)", "quorbin_insert order must be an integer constant"),
    ("@quorbin_insert(a, pyimport=())\ndef f(): pass", "quorbin_insert pyimport= is only valid on expression-form inserts"),
    ('y = quorbin_insert(a, p, pyimport=[quorbin_pyimport(module="m")])', "quorbin_insert pyimport= must be a tuple"),
    ("y = quorbin_insert(a, p, pyimport=(m.quorbin_pyimport(),))", "quorbin_insert pyimport= entries must be quorbin_pyimport(...) calls"),
    ("y = quorbin_insert(a, p, pyimport=(quorbin_pyimport(), x))", "quorbin_insert pyimport= entries must be quorbin_pyimport(...) calls"),
    ("y = quorbin_insert(a, p, bogus=1)", "quorbin_insert does not accept keyword `bogus`"),
    ("y = quorbin_insert(a, p, bogus=1, ref=r)", "quorbin_insert does not accept keyword `bogus`"),
    ("@quorbin_insert(a, order=1, ref=r, kind='params', pyimport=1)\ndef f(): pass",
     "quorbin_insert pyimport= is only valid on expression-form inserts"),
    # quorbin_funcargs directives
    ("quorbin_funcargs(quorbin_import(x))",
     "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside quorbin_funcargs(...)"),
    ("quorbin_funcargs(f(g=[quorbin_export(x)]))",
     "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside quorbin_funcargs(...)"),
    ("quorbin_funcargs(**quorbin_import(x))",
     "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside quorbin_funcargs(...)"),
    ("y = quorbin_funcargs(k=lambda: quorbin_import(x))",
     "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside quorbin_funcargs(...)"),
    ("quorbin_funcargs(_=1)",
     "keyword `_` is reserved inside quorbin_funcargs(...); use __quorbin_ph_{N}__=quorbin_import/export(...) for payload-local directives"),
    ("quorbin_funcargs(__quorbin_ph_01__=quorbin_import(x))", "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__"),
    ("quorbin_funcargs(__quorbin_ph___=quorbin_import(x))", "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__"),
    ("quorbin_funcargs(__quorbin_ph_0=quorbin_import(x))", "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__"),
    ("quorbin_funcargs(__quorbin_ph_1x__=quorbin_import(x))", "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__"),
    ("quorbin_funcargs(__quorbin_ph_18446744073709551616__=quorbin_import(x))",
     "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__"),
    (f"quorbin_funcargs({LONG_PLACEHOLDER}=quorbin_import(x))",
     "quorbin_funcargs directive placeholders must be contiguous and ordered from __quorbin_ph_0__"),
    ("quorbin_funcargs(__quorbin_ph_0__=x)",
     "quorbin_funcargs directive placeholders may only carry direct quorbin_import(...) or quorbin_export(...) calls"),
    ("quorbin_funcargs(__quorbin_ph_0__=m.quorbin_import(x))",
     "quorbin_funcargs directive placeholders may only carry direct quorbin_import(...) or quorbin_export(...) calls"),
    ("quorbin_funcargs(__quorbin_ph_0__=(quorbin_import(x)).y)",
     "quorbin_funcargs directive placeholders may only carry direct quorbin_import(...) or quorbin_export(...) calls"),
    ("quorbin_funcargs(__quorbin_ph_1__=quorbin_import(x), __quorbin_ph_0__=quorbin_import(y))",
     "quorbin_funcargs directive placeholders must be contiguous and ordered from __quorbin_ph_0__"),
    ("quorbin_funcargs(__quorbin_ph_1__=quorbin_import(x))",
     "quorbin_funcargs directive placeholders must be contiguous and ordered from __quorbin_ph_0__"),
    ("quorbin_funcargs(__quorbin_ph_0__=quorbin_import(x), __quorbin_ph_2__=quorbin_import(y))",
     "quorbin_funcargs directive placeholders must be contiguous and ordered from __quorbin_ph_0__"),
    # contiguity is judged only once every keyword passed
    ("quorbin_funcargs(__quorbin_ph_1__=quorbin_import(x), _=1)",
     "keyword `_` is reserved inside quorbin_funcargs(...); use __quorbin_ph_{N}__=quorbin_import/export(...) for payload-local directives"),
    # the directive check comes before the carriers are walked
    ("quorbin_funcargs(__quorbin_ph_0__=quorbin_import(), __quorbin_ph_1__=quorbin_import(y), z=quorbin_export(q))",
     "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside quorbin_funcargs(...)"),
    ("quorbin_funcargs(__quorbin_ph_0__=quorbin_import())", "quorbin_import requires a name argument"),
    # unknown markers
    ("quorbin_foo(x)", "unsupported native direct call marker: quorbin_foo"),
    ("quorbin_(x)", "unsupported native direct call marker: quorbin_"),
    ("y = quorbin_params(x)", "unsupported native direct call marker: quorbin_params"),
    ("y = quorbin_elif(x)", "unsupported native direct call marker: quorbin_elif"),
    ("with quorbin_fallback(x):\n    pass\ny = quorbin_fallback(x)", "unsupported native direct call marker: quorbin_fallback"),
    ("while quorbin_elif(x):\n    pass", "unsupported native direct call marker: quorbin_elif"),
    ("f(g(h=quorbin_holes(x)))", "unsupported native direct call marker: quorbin_holes"),
    ("@quorbin_foo()\ndef f(): pass", "unsupported native direct call marker: quorbin_foo"),
    ("def f(a=quorbin_default()): pass", "unsupported native direct call marker: quorbin_default"),
    # defaulted block holes
    ("with quorbin_hole(b):\n    pass", "defaulted block holes require `as quorbin_fallback`"),
    ("with quorbin_hole(b) as other:\n    pass", "defaulted block holes require `as quorbin_fallback`"),
    ("with quorbin_hole(b) as x.quorbin_fallback:\n    pass", "defaulted block holes require `as quorbin_fallback`"),
    ('with quorbin_hole("b") as other:\n    pass', "defaulted block holes require `as quorbin_fallback`"),
    # external references
    ("y = quorbin_ref(external=e.x)", "quorbin_ref external argument must be a bare identifier"),
    ('y = m.quorbin_ref(external="e")', "quorbin_ref external argument must be a bare identifier"),
    # the quorbin_pyimport prefix of each statement list
    ('x = 1\nquorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 2 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ('def f():\n    x = 1\n    quorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 3 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ('if c:\n    pass\nelse:\n    y = 1\n    quorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 5 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ('x = 1\nfrom __future__ import annotations\nquorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 3 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ('f"doc"\nquorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 2 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ('with a as b:\n    pass\n    quorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 3 must appear in the contiguous top-of-Quorbin-scope prefix"),
    # a `try` has its else and finally lists checked before its handlers
    ('try:\n    pass\nexcept E:\n    y = 1\n    quorbin_pyimport(module="a")\nfinally:\n    y = 1\n    quorbin_pyimport(module="b")',
     "quorbin_pyimport(...) at line 8 must appear in the contiguous top-of-Quorbin-scope prefix"),
    # nested lists are checked before the rest of their own list
    ('def f():\n    y = 1\n    quorbin_pyimport(module="a")\nquorbin_pyimport(module="b")',
     "quorbin_pyimport(...) at line 3 must appear in the contiguous top-of-Quorbin-scope prefix"),
    # elif placement and bodies
    ("if quorbin_elif(x): pass", "quorbin_elif(...) at line 1 is valid only in real elif position"),
    ("def f():\n    if quorbin_elif(x):\n        pass", "quorbin_elif(...) at line 2 is valid only in real elif position"),
    ("if c:\n    pass\nelse:\n    x = 1\n    if quorbin_elif(e):\n        pass",
     "quorbin_elif(...) at line 5 is valid only in real elif position"),
    ("try:\n    pass\nexcept E:\n    pass\nelse:\n    if quorbin_elif(e):\n        pass",
     "quorbin_elif(...) at line 6 is valid only in real elif position"),
    ("if c:\n    if quorbin_elif(e):\n        pass", "quorbin_elif(...) at line 2 is valid only in real elif position"),
    ("if c: pass\nelse:\n    if quorbin_elif(x):\n        y = 1", "quorbin_elif marker body at line 4 must be empty-equivalent"),
    ("if c: pass\nelse:\n    if quorbin_elif(x):\n        pass\n        'doc'",
     "quorbin_elif marker body at line 5 must be empty-equivalent"),
    # a loop's statement line is 1, in messages as well
    ("if c: pass\nelse:\n    if quorbin_elif(x):\n        for i in y: pass",
     "quorbin_elif marker body at line 1 must be empty-equivalent"),
    # placement comes before the walk, the pyimport rule before the elif rule
    ('if quorbin_elif(e):\n    pass\nx = 1\nquorbin_pyimport(module="m")',
     "quorbin_pyimport(...) at line 4 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ("quorbin_hole()\nif quorbin_elif(e):\n    pass", "quorbin_elif(...) at line 2 is valid only in real elif position"),
    # the first refusal in walk order
    ("quorbin_foo()\nquorbin_hole()", "unsupported native direct call marker: quorbin_foo"),
    ("@quorbin_insert(a, b)\ndef f():\n    quorbin_hole()",
     "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)"),
    ("@quorbin_foo()\ndef f():\n    quorbin_hole()", "quorbin_hole requires a name argument"),
    ("def f(a=quorbin_hole()):\n    quorbin_foo()", "quorbin_hole requires a name argument"),
]


@pytest.mark.parametrize(("source", "detail"), REFUSAL_CASES)
def test_marker_refusals(registered_engine, source, detail):
    with pytest.raises(ValueError) as info:
        qe.extract_template_snapshot(registered_engine, source)
    assert type(info.value) is ValueError
    assert str(info.value) == SCHEMA_PREFIX + detail
    assert info.value.args == (SCHEMA_PREFIX + detail,)


@pytest.mark.parametrize(
    "source",
    [
        '"""doc"""\nfrom __future__ import annotations\nquorbin_keep(x)\nquorbin_pyimport(module="a")',
        'class C:\n    """doc"""\n    quorbin_comment("c")\n    quorbin_bind_external(e)\n    quorbin_pyimport(module="m")',
        'for i in x:\n    y = 1\n    quorbin_pyimport(module="m")',
        'while x:\n    y = 1\n    quorbin_pyimport(module="m")',
        'match x:\n    case _:\n        y = 1\n        quorbin_pyimport(module="m")',
        'try:\n    pass\nexcept* E:\n    y = 1\n    quorbin_pyimport(module="m")',
        "async def f():\n    async with a:\n        y = 1\n        quorbin_pyimport(module='m')",
        'quorbin_import(a)\nquorbin_export(b)\nquorbin_pyimport(module="m")\nquorbin_pyimport(module="n")\nx = 1',
        "if c:\n    pass\nelse:\n    if quorbin_elif(e):\n        pass\n    else:\n        if quorbin_elif(f):\n            pass",
        "while c:\n    if quorbin_elif(e):\n        y = 1",
        "y = quorbin_ref(other=1, external=e, external2=f(), **{'external': 1})",
        "with quorbin_fallback(x), quorbin_oops():\n    pass",
    ],
)
def test_sources_that_are_accepted(registered_engine, source):
    qe.extract_template_snapshot(registered_engine, source)


def test_snapshot_shape(registered_engine):
    source = "y = quorbin_hole(x)\n"
    snapshot = qe.extract_template_snapshot(registered_engine, source, "t.py", 4)
    assert list(snapshot) == [
        "schema",
        "surface_bundle",
        "templates",
        "locators",
        "occurrences",
        "records",
        "edges",
        "overlays",
        "materialization",
        "diagnostics",
    ]
    assert snapshot["schema"] == "quorbin.structural-inventory.v1"
    assert snapshot["surface_bundle"] == qe.surface_bundle_snapshot(registered_engine)
    key = "template:" + hashlib.sha256(source.encode()).hexdigest()[:16]
    assert snapshot["templates"] == [
        {"record_count": 2, "source_summary": "compile line=4 records=2", "template_id": 0, "template_key": key}
    ]
    assert [list(t) for t in snapshot["templates"]] == [["record_count", "source_summary", "template_id", "template_key"]]
    assert snapshot["locators"][0] == {
        "ast_path": "body[0]/value",
        "authored_summary": "x at line 1",
        "locator_id": 0,
        "materialization_anchor": "replace-expression",
        "parent_locator_id": None,
        "role_key": "hole.expr",
        "template_id": 0,
    }
    assert list(snapshot["locators"][1]) == list(snapshot["locators"][0])
    assert snapshot["locators"][1]["authored_summary"] == "__block__ at line 4"
    assert snapshot["occurrences"] == [
        {"build_path": ["Template"], "occurrence_id": 0, "parent_occurrence_id": None, "template_id": 0}
    ]
    assert list(snapshot["occurrences"][0]) == ["build_path", "occurrence_id", "parent_occurrence_id", "template_id"]
    assert snapshot["records"][0] == {
        "code_owner": [],
        "inventory_kind": "hole.expr",
        "locator_id": 0,
        "occurrence_id": 0,
        "record_id": [0, 0],
        "resource_name": "x",
        "semantic_summary": "hole.expr name=x owner=. build_path=.",
        "state": {"satisfied": False, "visible": True},
        "surface_key": "quorbin.surface.expression.hole",
        "template_record_id": 0,
    }
    assert [list(r) for r in snapshot["records"]] == [list(snapshot["records"][0])] * 2
    assert list(snapshot["records"][0]["state"]) == ["satisfied", "visible"]
    assert snapshot["edges"] == [] and snapshot["overlays"] == [] and snapshot["diagnostics"] == []
    assert snapshot["materialization"] == {
        "artifact_requests": [],
        "debug_views": {},
        "hygiene_stream": [],
        "operation_stream": [],
        "root_occurrence_id": None,
    }
    assert list(snapshot["materialization"]) == [
        "artifact_requests",
        "debug_views",
        "hygiene_stream",
        "operation_stream",
        "root_occurrence_id",
    ]


def test_snapshots_are_new_objects(registered_engine):
    first = qe.extract_template_snapshot(registered_engine, "quorbin_hole(x)")
    second = qe.extract_template_snapshot(registered_engine, "quorbin_hole(x)")
    assert first == second
    assert first is not second
    assert first["records"][0]["code_owner"] is not second["records"][0]["code_owner"]
    assert first["surface_bundle"] is not second["surface_bundle"]


@pytest.mark.parametrize(
    ("source", "other"),
    [
        ("x = 1", "x = 2"),
        ("", " "),
        ("y = 'é'", "y = 'è'"),
        ("x = 1\n", "x = 1\r\n"),
    ],
)
def test_template_key(registered_engine, source, other):
    key = qe.extract_template_snapshot(registered_engine, source)["templates"][0]["template_key"]
    assert key == "template:" + hashlib.sha256(source.encode("utf-8")).hexdigest()[:16]
    assert re.fullmatch(r"template:[0-9a-f]{16}", key)
    assert qe.extract_template_snapshot(registered_engine, source, "other.py", 9)["templates"][0]["template_key"] == key
    assert qe.extract_template_snapshot(registered_engine, other)["templates"][0]["template_key"] != key


@pytest.mark.parametrize(
    ("filename", "shown"),
    [(None, "<quorbin-native>"), ("tmpl.py", "tmpl.py"), ("", "")],
)
def test_syntax_error_names_the_file(registered_engine, filename, shown):
    with pytest.raises(SyntaxError) as info:
        qe.extract_template_snapshot(registered_engine, "x = = 1", filename)
    assert type(info.value) is SyntaxError
    assert re.fullmatch(r".+ at byte offset \d+ in " + re.escape(shown), str(info.value))


def test_engine_checks_come_before_parsing(builtin_bundle):
    bare = qe.engine_create()
    with pytest.raises(ValueError, match="^native schema error: surface bundle has not been registered$"):
        qe.extract_template_snapshot(bare, "def (")
    qe.register_surface_bundle(bare, builtin_bundle)
    qe.engine_close(bare)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        qe.extract_template_snapshot(bare, "def (")
    closed_without_bundle = qe.engine_create()
    qe.engine_close(closed_without_bundle)
    with pytest.raises(RuntimeError, match="already closed"):
        qe.extract_template_snapshot(closed_without_bundle, "x = 1")


def test_extraction_changes_nothing(registered_engine):
    before = qe.engine_snapshot(registered_engine)
    qe.extract_template_snapshot(registered_engine, "quorbin_hole(x)")
    with pytest.raises(ValueError):
        qe.extract_template_snapshot(registered_engine, "quorbin_hole()")
    assert qe.engine_snapshot(registered_engine) == before
    handle = qe.register_template_snapshot(registered_engine, qe.extract_template_snapshot(registered_engine, "x = 1"))
    assert handle.index == 0


@pytest.mark.parametrize(
    ("kwargs", "error", "parameter"),
    [
        ({"source": 5}, TypeError, "source"),
        ({"source": b"x = 1"}, TypeError, "source"),
        ({"source": "\ud800"}, UnicodeEncodeError, "source"),
        ({"source": "x", "filename": 3}, TypeError, "filename"),
        ({"source": "x", "line_number": -1}, OverflowError, "line_number"),
        ({"source": "x", "line_number": 2**32}, OverflowError, "line_number"),
        ({"source": "x", "line_number": 2**64}, OverflowError, "line_number"),
        ({"source": "x", "line_number": "1"}, TypeError, "line_number"),
        ({"source": "x", "line_number": 1.0}, TypeError, "line_number"),
    ],
)
def test_extraction_argument_errors(registered_engine, kwargs, error, parameter):
    with pytest.raises(error) as info:
        qe.extract_template_snapshot(registered_engine, **kwargs)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_extraction_line_number_bounds(registered_engine):
    snap = qe.extract_template_snapshot(registered_engine, "", line_number=2**32 - 1)
    assert snap["templates"][0]["source_summary"] == f"compile line={2**32 - 1} records=1"
    assert snap["locators"][0]["authored_summary"] == f"__block__ at line {2**32 - 1}"
    assert qe.extract_template_snapshot(registered_engine, "", line_number=0)["locators"][0]["authored_summary"] == "__block__ at line 0"


def test_extraction_signature():
    import inspect

    assert str(inspect.signature(qe.extract_template_snapshot)) == "(engine, source, filename=None, line_number=1)"
    assert str(inspect.signature(qe.register_template_snapshot)) == "(engine, snapshot)"
    assert str(inspect.signature(qe.compile_validate_source)) == "(source, filename=None)"


@pytest.mark.parametrize("in_thread", [False, True])
def test_deep_expressions_do_not_exhaust_the_stack(registered_engine, in_thread):
    # A chain of `+` nests as deeply as it is long. Whatever depth the parser
    # accepts, the walk must handle without recursion (here also from a
    # thread, whose stack may be smaller than the main one's).
    import threading

    source = "y = quorbin_hole(a) + " + " + ".join(["x__quorbin_keep__"] * 100_000) + " + quorbin_hole(b)"
    outcome = {}

    def run():
        try:
            outcome["snapshot"] = qe.extract_template_snapshot(registered_engine, source)
        except SyntaxError as exc:  # a parser may refuse such depth, but only as a syntax error
            outcome["error"] = exc

    if in_thread:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    else:
        run()
    if "error" in outcome:
        assert "nest" in str(outcome["error"])
        return
    records = records_of(outcome["snapshot"])
    assert [r[:2] for r in records] == [("hole.expr", "a"), ("hole.expr", "b"), ("production.block", "__block__")]
    assert records[0][2] == "body[0]/value" + "/left" * 100_001
    assert records[1][2] == "body[0]/value/right"
