"""Template packages: extraction into interned tables, the package dictionary,
registration from source, and the refusals that only packages make."""

import hashlib

import pytest

import _quorbin_native_engine as qe


def package(engine, source, **kwargs):
    return qe.extract_template_package_v2_snapshot(engine, source, **kwargs)


def markers(pkg):
    """Marker rows as (kind, source_name, ast_path, statement_path, resource, flags, scope_id)."""
    return [
        (m["marker_kind"], m["source_name"], m["ast_path"], m["statement_path"], m["resource_name"], m["flags"],
         m["scope_id"])
        for m in pkg["markers"]
    ]


def marker_of(pkg, row):
    """The marker row a sub-row belongs to."""
    return pkg["markers"][row["marker_id"]]


CALL = ["call_context"]
STMT_CALL = ["call_context", "is_statement_marker"]
DEF_ARG = ["definitional_context", "is_statement_marker", "is_metadata_marker"]
ARG = ["identifier_context", "is_metadata_marker"]


MARKER_CASES = [
    ("no_markers", "x = 1\ndef f(a):\n    return a\n", []),
    ("keep_statement", "quorbin_keep(x)\n",
     [("keep", "quorbin_keep", "body[0]/value", "body[0]", "x", ["call_context", "is_metadata_marker"], 0)]),
    ("with_block_hole_is_the_statement",
     "with quorbin_hole(x) as quorbin_fallback:\n    quorbin_keep(z)\n    y__quorbin_arg__ = 1\n",
     [("hole", "quorbin_hole", "body[0]", "body[0]", "x", STMT_CALL, 0)]),
    ("hole_contexts", "quorbin_hole(a)\ny = quorbin_hole(b)\nf(*quorbin_hole(c), **quorbin_hole(d))\n",
     [("hole", "quorbin_hole", "body[0]/value", "body[0]", "a", CALL, 0),
      ("hole", "quorbin_hole", "body[1]/value", "body[1]", "b", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/value/args[0]/value", "body[2]", "c", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/value/keywords[0]/value", "body[2]", "d", CALL, 0)]),
    ("suffixed_definition_and_parameter", "def f__quorbin_arg__(a__quorbin_param_hole__):\n    pass\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]", "body[0]", "f", DEF_ARG, 1),
      ("param_hole_identifier", "quorbin_param_hole_identifier", "body[0]/args/args[0]", "body[0]", "a",
       ["identifier_context"], 1)]),
    ("identifier_base_must_be_ascii",
     "__quorbin_arg__ = 1\né__quorbin_arg__ = 2\nv__quorbin_param_hole__ = 3\nok__quorbin_keep__ = 4\n",
     [("keep_identifier", "quorbin_keep_identifier", "body[3]/targets[0]", "body[3]", "ok",
       ["identifier_context", "is_metadata_marker"], 0)]),
    ("keep_suffix_on_parameter", "def f(p__quorbin_keep__, *r__quorbin_arg__):\n    pass\n",
     [("keep_identifier", "quorbin_keep_identifier", "body[0]/args/args[0]", "body[0]", "p",
       ["identifier_context", "is_metadata_marker"], 1),
      ("arg_identifier", "quorbin_arg_identifier", "body[0]/args/vararg", "body[0]", "r", ARG, 1)]),
    ("one_identifier_makes_one_row", "x__quorbin_keep____quorbin_arg__ = 1\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]/targets[0]", "body[0]", "x__quorbin_keep__", ARG, 0)]),
    ("insert_decorator_on_definition", "@quorbin_insert(x)\ndef g():\n    pass\n",
     [("insert", "quorbin_insert", "body[0]/decorator_list[0]", "body[0]", "x", ["decorator_context"], 1)]),
    ("insert_call_needs_two_positionals",
     "y = quorbin_insert(a, b)\nwith quorbin_insert(x):\n    pass\nwith quorbin_insert(c, d):\n    pass\n",
     [("insert", "quorbin_insert", "body[0]/value", "body[0]", "a", CALL, 0),
      ("insert", "quorbin_insert", "body[2]/items[0]/context_expr", "body[2]", "c", CALL, 0)]),
    ("boundary_flags_in_fixed_order",
     "quorbin_import(x, outer_bind=True, bound=True)\nquorbin_pass(y, bound=False)\nquorbin_import(z, outer_bind=True)\n",
     [("import", "quorbin_import", "body[0]/value", "body[0]", "x",
       ["call_context", "explicit_bind_enabled", "outer_bind_enabled"], 0),
      ("pass", "quorbin_pass", "body[1]/value", "body[1]", "y", CALL, 0),
      ("import", "quorbin_import", "body[2]/value", "body[2]", "z", ["call_context", "outer_bind_enabled"], 0)]),
    ("resource_only_for_naming_markers",
     "quorbin_export(e)\nquorbin_bind_external(b)\nquorbin_comment(c)\nquorbin_funcargs(f)\n"
     "def g() -> quorbin_export(\"s\"):\n    pass\ny = quorbin_ref(r)\n",
     [("export", "quorbin_export", "body[0]/value", "body[0]", "e", CALL, 0),
      ("bind_external", "quorbin_bind_external", "body[1]/value", "body[1]", "b", CALL, 0),
      ("comment", "quorbin_comment", "body[2]/value", "body[2]", "", CALL, 0),
      ("funcargs", "quorbin_funcargs", "body[3]/value", "body[3]", "", CALL, 0),
      ("export", "quorbin_export", "body[4]/returns", "body[4]", "", CALL, 1),
      ("ref", "quorbin_ref", "body[5]/value", "body[5]", "", CALL, 0)]),
    ("external_keyword_row_after_its_value", "y = quorbin_ref(a, external=v__quorbin_arg__)\n",
     [("ref", "quorbin_ref", "body[0]/value", "body[0]", "", CALL, 0),
      ("arg_identifier", "quorbin_arg_identifier", "body[0]/value/keywords[0]/value", "body[0]", "v", ARG, 0),
      ("bind_external", "quorbin_bind_external", "body[0]/value/args[0]", "body[0]", "v__quorbin_arg__", CALL, 0)]),
    ("external_keyword_of_attribute_reference", "y = obj.quorbin_ref(\"a.b\")\nz = obj.quorbin_ref(external=v)\n",
     [("bind_external", "quorbin_bind_external", "body[1]/value/args[0]", "body[1]", "v", CALL, 0)]),
    ("elif_target_and_definitions",
     "if c:\n    pass\nelse:\n    if quorbin_elif(x):\n        pass\n"
     "def quorbin_elif():\n    pass\n"
     "def quorbin_params(a, b__quorbin_param_hole__):\n    pass\n",
     [("elif", "quorbin_elif", "body[0]/orelse[0]/test", "body[0]/orelse[0]", "x", CALL, 0),
      ("elif", "quorbin_elif", "body[1]", "body[1]", "quorbin_elif", ["definitional_context", "is_statement_marker"], 1),
      ("params", "quorbin_params", "body[2]", "body[2]", "quorbin_params",
       ["definitional_context", "is_statement_marker"], 2),
      ("param_hole_identifier", "quorbin_param_hole_identifier", "body[2]/args/args[1]", "body[2]", "b",
       ["identifier_context"], 2)]),
    ("parameter_order_defaults_and_return_annotation",
     "def f(a, /, b=quorbin_hole(x), *c, d=quorbin_hole(y), **e) -> quorbin_hole(z):\n    pass\n",
     [("hole", "quorbin_hole", "body[0]/args/defaults[0]", "body[0]", "x", CALL, 1),
      ("hole", "quorbin_hole", "body[0]/args/kw_defaults[0]", "body[0]", "y", CALL, 1),
      ("hole", "quorbin_hole", "body[0]/returns", "body[0]", "z", CALL, 1)]),
    ("lambda_parameters_count_as_parameters", "y = lambda p__quorbin_param_hole__: p__quorbin_param_hole__\n",
     [("param_hole_identifier", "quorbin_param_hole_identifier", "body[0]/value/args/args[0]", "body[0]", "p",
       ["identifier_context"], 0)]),
    ("class_name_keywords_body_then_decorators",
     "@deco(d__quorbin_arg__)\nclass C__quorbin_arg__(B, metaclass=M, k__quorbin_arg__=1):\n"
     "    def m(self):\n        quorbin_keep(x)\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]", "body[0]", "C", DEF_ARG, 1),
      ("arg_identifier", "quorbin_arg_identifier", "body[0]/keywords[1]", "body[0]", "k", ARG, 1),
      ("keep", "quorbin_keep", "body[0]/body[0]/body[0]/value", "body[0]/body[0]/body[0]", "x",
       ["call_context", "is_metadata_marker"], 2),
      ("arg_identifier", "quorbin_arg_identifier", "body[0]/decorator_list[0]/args[0]", "body[0]", "d", ARG, 1)]),
    ("call_keyword_names", "f(a__quorbin_arg__=1, **kw)\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]/value/keywords[0]", "body[0]", "a", ARG, 0)]),
    ("imports",
     "import x__quorbin_arg__ as y__quorbin_keep__, p.q__quorbin_arg__\n"
     "from a__quorbin_arg__.b__quorbin_arg__ import c__quorbin_arg__\n"
     "from .m import n\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]/names[0]", "body[0]", "x", ARG, 0),
      ("keep_identifier", "quorbin_keep_identifier", "body[0]/names[0]", "body[0]", "y", ARG, 0),
      ("arg_identifier", "quorbin_arg_identifier", "body[1]", "body[1]", "a",
       ["identifier_context", "is_statement_marker", "is_metadata_marker"], 0),
      ("arg_identifier", "quorbin_arg_identifier", "body[1]/names[0]", "body[1]", "c", ARG, 0)]),
    ("unentered_statements",
     "async def f():\n    async for x in quorbin_for(y):\n        quorbin_keep(a)\n"
     "    async with quorbin_hole(z) as quorbin_fallback:\n        quorbin_keep(b)\n"
     "match v:\n    case 1:\n        quorbin_keep(c)\n"
     "try:\n    pass\nexcept* E:\n    quorbin_keep(d)\n"
     "type T = quorbin_hole(t)\n"
     "global g__quorbin_arg__\n",
     []),
    ("expression_children",
     "y = {k__quorbin_arg__: quorbin_hole(a), **quorbin_hole(b)}[quorbin_hole(c):]\n"
     "z = [quorbin_hole(d) for i in quorbin_hole(e) if quorbin_hole(f)]\n"
     "w = f\"{quorbin_hole(g)!r:{quorbin_hole(h)}}\"\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]/value/value/keys[0]", "body[0]", "k", ARG, 0),
      ("hole", "quorbin_hole", "body[0]/value/value/values[0]", "body[0]", "a", CALL, 0),
      ("hole", "quorbin_hole", "body[0]/value/value/values[1]", "body[0]", "b", CALL, 0),
      ("hole", "quorbin_hole", "body[0]/value/slice/lower", "body[0]", "c", CALL, 0),
      ("hole", "quorbin_hole", "body[1]/value/elt", "body[1]", "d", CALL, 0),
      ("hole", "quorbin_hole", "body[1]/value/generators[0]/iter", "body[1]", "e", CALL, 0),
      ("hole", "quorbin_hole", "body[1]/value/generators[0]/ifs[0]", "body[1]", "f", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/value/values[0]/value", "body[2]", "g", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/value/values[0]/format_spec/values[0]/value", "body[2]", "h", CALL, 0)]),
    ("statement_children",
     "for t__quorbin_arg__ in r:\n    quorbin_hole(a)\nelse:\n    quorbin_hole(b)\n"
     "while quorbin_hole(c):\n    pass\n"
     "try:\n    quorbin_hole(d)\nexcept quorbin_hole(e):\n    quorbin_hole(f)\nfinally:\n    quorbin_hole(g)\n"
     "assert quorbin_hole(h), quorbin_hole(i)\n"
     "raise quorbin_hole(j) from quorbin_hole(k)\n"
     "with open(quorbin_hole(l)) as m__quorbin_arg__:\n    quorbin_hole(n)\n",
     [("arg_identifier", "quorbin_arg_identifier", "body[0]/target", "body[0]", "t", ARG, 0),
      ("hole", "quorbin_hole", "body[0]/body[0]/value", "body[0]/body[0]", "a", CALL, 0),
      ("hole", "quorbin_hole", "body[0]/orelse[0]/value", "body[0]/orelse[0]", "b", CALL, 0),
      ("hole", "quorbin_hole", "body[1]/test", "body[1]", "c", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/body[0]/value", "body[2]/body[0]", "d", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/handlers[0]/type", "body[2]", "e", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/handlers[0]/body[0]/value", "body[2]/handlers[0]/body[0]", "f", CALL, 0),
      ("hole", "quorbin_hole", "body[2]/finalbody[0]/value", "body[2]/finalbody[0]", "g", CALL, 0),
      ("hole", "quorbin_hole", "body[3]/test", "body[3]", "h", CALL, 0),
      ("hole", "quorbin_hole", "body[3]/msg", "body[3]", "i", CALL, 0),
      ("hole", "quorbin_hole", "body[4]/exc", "body[4]", "j", CALL, 0),
      ("hole", "quorbin_hole", "body[4]/cause", "body[4]", "k", CALL, 0),
      ("hole", "quorbin_hole", "body[5]/items[0]/context_expr/args[0]", "body[5]", "l", CALL, 0),
      ("arg_identifier", "quorbin_arg_identifier", "body[5]/items[0]/optional_vars", "body[5]", "m", ARG, 0),
      ("hole", "quorbin_hole", "body[5]/body[0]/value", "body[5]/body[0]", "n", CALL, 0)]),
]


@pytest.mark.parametrize("source,expected", [c[1:] for c in MARKER_CASES], ids=[c[0] for c in MARKER_CASES])
def test_marker_rows(registered_engine, source, expected):
    pkg = package(registered_engine, source)
    assert markers(pkg) == expected
    for i, m in enumerate(pkg["markers"]):
        assert m["marker_id"] == m["source_order"] == i
        assert m["operation_key"] == m["source_name"]
        assert m["owner_path"] == pkg["scopes"][m["scope_id"]]["owner_path"]


def test_starred_parameter_order_of_rows_and_of_records(registered_engine):
    # The marker rows keep the written order of the parameters; the records of
    # the extraction put the `*` parameter after the keyword-only ones.
    pkg = package(registered_engine,
                  "def f(a__quorbin_arg__, *v__quorbin_arg__, k__quorbin_arg__, **w__quorbin_arg__):\n    pass\n")
    params = ["body[0]/args/args[0]", "body[0]/args/vararg", "body[0]/args/kwonlyargs[0]", "body[0]/args/kwarg"]
    assert [m["ast_path"] for m in pkg["markers"]] == params
    assert [l["ast_path"] for l in pkg["locators"]] == [params[0], params[2], params[1], params[3], "."]


def scopes(pkg):
    return [
        (s["scope_kind"], s["ast_path"], s["owner_path"], s["local_bindings"], s["arguments"], s["parent_scope_id"],
         s["start_line"])
        for s in pkg["scopes"]
    ]


SCOPE_CASES = [
    ("empty_module", "", 1, [("module", "", [], [], [], None, 1)]),
    ("line_number_shifts_only_the_module", "x = 1\n\ndef f():\n    pass\n", 10,
     [("module", "", [], ["f", "x"], [], None, 10), ("function", "body[1]", ["f"], [], [], 0, 3)]),
    ("bound_names",
     "import os.path, sys as system\nfrom m import a as b, c\nfrom n import *\nx, (y, *z) = 1\nw += 1\nv: int = 2\n"
     "o.attr = 3\n"
     "p[0] = 4\nfor i in r:\n    q = 1\nwith open() as (f1, f2), g:\n    pass\n"
     "def f(a, /, b, *c, d, **e):\n    g = 1\n    class K:\n        h = 2\n"
     "@deco\nasync def af():\n    pass\n",
     1,
     [("module", "", [], ["af", "b", "c", "f", "f1", "f2", "i", "os", "system", "v", "w", "x", "y", "z"], [], None, 1),
      ("function", "body[10]", ["f"], ["K", "a", "b", "c", "d", "e", "g"], ["a", "b", "c", "d", "e"], 0, 13),
      ("class", "body[10]/body[1]", ["f", "K"], ["h"], [], 1, 15),
      ("async_function", "body[11]", ["af"], [], [], 0, 18)]),
    ("entered_blocks",
     "if c:\n    def a(): pass\nelse:\n    def b(): pass\n"
     "while c:\n    def w(): pass\nelse:\n    def we(): pass\n"
     "for i in c:\n    def fo(): pass\n"
     "try:\n    def t(): pass\nexcept E:\n    def h(): pass\nelse:\n    def te(): pass\nfinally:\n    def fin(): pass\n"
     "with quorbin_hole(x) as quorbin_fallback:\n    def inside(): pass\n",
     1,
     [("module", "", [], ["i", "quorbin_fallback"], [], None, 1),
      ("function", "body[0]/body[0]", ["a"], [], [], 0, 2),
      ("function", "body[0]/orelse[0]", ["b"], [], [], 0, 4),
      ("function", "body[1]/body[0]", ["w"], [], [], 0, 6),
      ("function", "body[1]/orelse[0]", ["we"], [], [], 0, 8),
      ("function", "body[2]/body[0]", ["fo"], [], [], 0, 10),
      ("function", "body[3]/body[0]", ["t"], [], [], 0, 12),
      ("function", "body[3]/handlers[0]/body[0]", ["h"], [], [], 0, 14),
      ("function", "body[3]/orelse[0]", ["te"], [], [], 0, 16),
      ("function", "body[3]/finalbody[0]", ["fin"], [], [], 0, 18),
      ("function", "body[4]/body[0]", ["inside"], [], [], 0, 20)]),
    ("unentered_blocks",
     "async def f():\n    async for x in y:\n        def a(): pass\n    async with y:\n        def b(): pass\n"
     "match v:\n    case 1:\n        def c(): pass\n"
     "try:\n    def d(): pass\nexcept* E:\n    pass\n"
     "y = lambda: 0\nz = [i for i in ()]\n",
     1,
     [("module", "", [], ["f", "y", "z"], [], None, 1), ("async_function", "body[0]", ["f"], [], [], 0, 1)]),
    ("owner_path_keeps_the_written_name", "class C__quorbin_keep__:\n    def m__quorbin_arg__(self):\n        pass\n", 1,
     [("module", "", [], ["C__quorbin_keep__"], [], None, 1),
      ("class", "body[0]", ["C__quorbin_keep__"], ["m__quorbin_arg__"], [], 0, 1),
      ("function", "body[0]/body[0]", ["C__quorbin_keep__", "m__quorbin_arg__"], ["self"], ["self"], 1, 2)]),
]


@pytest.mark.parametrize("source,line_number,expected", [c[1:] for c in SCOPE_CASES], ids=[c[0] for c in SCOPE_CASES])
def test_scope_rows(registered_engine, source, line_number, expected):
    pkg = package(registered_engine, source, line_number=line_number)
    assert scopes(pkg) == expected
    assert [s["scope_id"] for s in pkg["scopes"]] == list(range(len(expected)))


PYIMPORT_CASES = [
    ("from_import", "quorbin_pyimport(module=a.b, names=(c, d))\n",
     [("", ["from_import"], ["a", "b"], ["c", "d"])],
     [("c", "c", ["a", "b"]), ("d", "d", ["a", "b"])]),
    ("dotted_plain_import_manages_nothing", "quorbin_pyimport(module=a.b)\n",
     [("", ["plain_import"], ["a", "b"], [])], []),
    ("single_name_module", "quorbin_pyimport(module=a)\n",
     [("", ["plain_import"], ["a"], [])], [("a", None, ["a"])]),
    ("alias", "quorbin_pyimport(module=a.b, as_=ab)\n",
     [("ab", ["plain_import"], ["a", "b"], [])], [("ab", None, ["a", "b"])]),
    ("names_are_a_sorted_set_but_managed_in_order", "quorbin_pyimport(module=m, names=[z, a])\n",
     [("", ["from_import"], ["m"], ["a", "z"])], [("z", "z", ["m"]), ("a", "a", ["m"])]),
    ("no_module", "quorbin_pyimport(names=(x,))\nquorbin_pyimport()\nquorbin_pyimport(module=\"os\")\n",
     [("", ["from_import", "dynamic_module"], None, ["x"]), ("", ["plain_import", "dynamic_module"], None, []),
      ("", ["plain_import", "dynamic_module"], None, [])],
     [("x", "x", None)]),
]


@pytest.mark.parametrize("source,rows,managed", [c[1:] for c in PYIMPORT_CASES], ids=[c[0] for c in PYIMPORT_CASES])
def test_pyimport_rows(registered_engine, source, rows, managed):
    pkg = package(registered_engine, source)
    assert [(r["as_name"], r["flags"], r["module_path"], r["names"]) for r in pkg["pyimport_markers"]] == rows
    assert [(m["final_local_name"], m["original_symbol"], m["module_path"]) for m in pkg["managed_imports"]] == managed
    for i, row in enumerate(pkg["pyimport_markers"]):
        assert row["pyimport_marker_id"] == i
        assert marker_of(pkg, row)["marker_kind"] == "pyimport"
    for i, m in enumerate(pkg["managed_imports"]):
        assert m["managed_import_id"] == i and m["flags"] == []


def test_managed_imports_take_scope_and_order_of_their_marker(registered_engine):
    pkg = package(registered_engine, "def f__quorbin_arg__():\n    quorbin_pyimport(module=os, names=(path,))\n")
    (m,) = pkg["managed_imports"]
    assert (m["marker_id"], m["scope_id"], m["source_order"]) == (1, 1, 1)
    assert pkg["markers"][1]["owner_path"] == ["f__quorbin_arg__"]


def test_comment_rows(registered_engine):
    source = "quorbin_comment(\"one\")\nquorbin_comment(two)\nquorbin_comment(b\"x\")\nquorbin_comment(\"\\ud800\")\n"
    pkg = package(registered_engine, source)
    assert [(c["comment_marker_id"], c["marker_id"], c["payload"], c["flags"]) for c in pkg["comment_markers"]] == [
        (0, 0, "one", []),
        (1, 3, "\ud800", []),
    ]


REF_CASES = [
    ("value_form", "y = quorbin_ref(\"a.b\")\n", [("body[0]/value", "value", "load", "", ["a", "b"], ["value_form"])]),
    ("sentinel_store", "quorbin_ref(\"a\")._ = 1\n",
     [("body[0]/targets[0]/value", "sentinel_attribute", "store", "_", ["a"], ["sentinel_attribute"])]),
    ("sentinel_delete", "del quorbin_ref(\"a\").quorbin_v\n",
     [("body[0]/targets[0]/value", "sentinel_attribute", "delete", "quorbin_v", ["a"], ["sentinel_attribute"])]),
    ("sentinel_load", "y = quorbin_ref(\"a\")._\n",
     [("body[0]/value/value", "sentinel_attribute", "load", "_", ["a"], ["sentinel_attribute"])]),
    ("other_attribute_is_value_form", "y = quorbin_ref(\"a\").other\n",
     [("body[0]/value/value", "value", "load", "", ["a"], ["value_form"])]),
    ("literal_path_needs_identifiers",
     "y = [quorbin_ref(n), quorbin_ref(\"a..b\"), quorbin_ref(\"1a\"), quorbin_ref(\"\"), quorbin_ref(\"a. b\"),"
     " quorbin_ref(\"ä.b\")]\n",
     [("body[0]/value/elts[0]", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/elts[1]", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/elts[2]", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/elts[3]", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/elts[4]", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/elts[5]", "value", "load", "", ["ä", "b"], ["value_form"])]),
    ("literal_path_needs_the_only_argument", "y = quorbin_ref(\"a\", \"b\")\nz = quorbin_ref(\"a\", external=v)\n",
     [("body[0]/value", "value", "load", "", None, ["value_form"]),
      ("body[1]/value", "value", "load", "", None, ["value_form"])]),
    ("nested_in_walk_order", "y = quorbin_ref(quorbin_ref(\"a\")._)\n",
     [("body[0]/value", "value", "load", "", None, ["value_form"]),
      ("body[0]/value/args[0]/value", "sentinel_attribute", "load", "_", ["a"], ["sentinel_attribute"])]),
    # A reference written as a method of another object has no marker row;
    # materialization lowers it, so the package neither records nor refuses it.
    ("attribute_form_is_not_a_site", "y = obj.quorbin_ref(\"a.b\")\nobj.quorbin_ref(\"c\")\nobj.quorbin_ref(\"d\")._ = 1\n",
     []),
]


@pytest.mark.parametrize("source,expected", [c[1:] for c in REF_CASES], ids=[c[0] for c in REF_CASES])
def test_ref_rows(registered_engine, source, expected):
    pkg = package(registered_engine, source)
    rows = pkg["ref_markers"]
    assert [
        (marker_of(pkg, r)["ast_path"], r["ref_kind"], r["context"], r["sentinel_attr"], r["literal_path"], r["flags"])
        for r in rows
    ] == expected
    assert [r["ref_marker_id"] for r in rows] == list(range(len(rows)))
    assert all(marker_of(pkg, r)["source_name"] == "quorbin_ref" for r in rows)


def test_attribute_form_references_register(registered_engine):
    source = "def f():\n    return obj.quorbin_ref(\"a.b\")\n"
    handle = qe.register_template_package_v2_source(registered_engine, source)
    assert qe.template_package_v2_snapshot(registered_engine, handle)["ref_markers"] == []


UNROLL_BASE = ["statement_context", "for_statement"]

UNROLL_CASES = [
    ("name_domain", "for i in quorbin_for(items):\n    pass\n",
     dict(statement_path="body[0]", target_ast_path="body[0]/target", iter_ast_path="body[0]/iter",
          domain_ast_path="body[0]/iter/args[0]", body_path="body[0]/body", orelse_path=None, target_bindings=["i"],
          domain_shape="name", flags=UNROLL_BASE + ["simple_target", "external_domain_candidate"])),
    ("list_domain_with_else", "for b, a in quorbin_for([1, 2]):\n    pass\nelse:\n    pass\n",
     dict(orelse_path="body[0]/orelse", target_bindings=["a", "b"], domain_shape="list",
          flags=UNROLL_BASE + ["has_else", "simple_target", "literal_domain"])),
    ("range_with_unsupported_target", "for x.y in quorbin_for(range(3)):\n    pass\n",
     dict(target_bindings=[], domain_shape="range", flags=UNROLL_BASE + ["unsupported_target", "literal_domain"])),
    ("attribute_range", "for i in quorbin_for(np.range(3)):\n    pass\n",
     dict(domain_shape="range", flags=UNROLL_BASE + ["simple_target", "literal_domain"])),
    ("tuple", "for i in quorbin_for((1, 2)):\n    pass\n",
     dict(domain_shape="tuple", flags=UNROLL_BASE + ["simple_target", "literal_domain"])),
    ("other_call", "for i in quorbin_for(f(3)):\n    pass\n",
     dict(domain_shape="call", flags=UNROLL_BASE + ["simple_target"])),
    ("other_expressions", "for i in quorbin_for(1 + 2):\n    pass\nfor j in quorbin_for([x for x in y]):\n    pass\n",
     dict(domain_shape="BinOp"), dict(domain_shape="ListComp")),
    ("no_domain", "for i in quorbin_for():\n    pass\n",
     dict(domain_ast_path="", domain_shape="", flags=UNROLL_BASE + ["invalid_signature", "simple_target"])),
    ("two_domains", "for i in quorbin_for(a, b):\n    pass\n",
     dict(domain_ast_path="", domain_shape="", flags=UNROLL_BASE + ["invalid_signature", "simple_target"])),
    ("keywords_make_it_invalid_but_keep_the_domain", "for i in quorbin_for(a, k=1):\n    pass\n",
     dict(domain_ast_path="body[0]/iter/args[0]", domain_shape="name",
          flags=UNROLL_BASE + ["invalid_signature", "simple_target", "external_domain_candidate"])),
    ("nested_in_function", "def f():\n    for i in quorbin_for(d):\n        for j in quorbin_for(e):\n            pass\n",
     dict(statement_path="body[0]/body[0]", body_path="body[0]/body[0]/body"),
     dict(statement_path="body[0]/body[0]/body[0]", iter_ast_path="body[0]/body[0]/body[0]/iter")),
]


@pytest.mark.parametrize("source,expected", [(c[1], c[2:]) for c in UNROLL_CASES], ids=[c[0] for c in UNROLL_CASES])
def test_unroll_rows(registered_engine, source, expected):
    pkg = package(registered_engine, source)
    rows = pkg["unroll_markers"]
    assert len(rows) == len(expected)
    for i, (row, want) in enumerate(zip(rows, expected)):
        assert row["unroll_marker_id"] == i
        assert {key: row[key] for key in want} == want
        marker = marker_of(pkg, row)
        assert (marker["marker_kind"], marker["ast_path"]) == ("unroll", row["iter_ast_path"])


def test_unroll_only_for_loops_over_the_marker(registered_engine):
    pkg = package(registered_engine, "for i in wrap(quorbin_for(a)):\n    pass\ny = quorbin_for(b)\n")
    assert pkg["unroll_markers"] == []
    assert [m["marker_kind"] for m in pkg["markers"]] == ["unroll", "unroll"]


SCHEMA = "native schema error: "

ERROR_CASES = [
    ("bound_not_literal", "quorbin_import(x, bound=1)\n", ValueError,
     SCHEMA + "boundary keyword `bound` must be a literal True/False"),
    ("outer_bind_not_literal", "def f():\n    quorbin_pass(x, outer_bind=None)\n", ValueError,
     SCHEMA + "boundary keyword `outer_bind` must be a literal True/False"),
    ("first_bad_keyword_wins", "quorbin_pass(x, outer_bind=0, bound=0)\n", ValueError,
     SCHEMA + "boundary keyword `outer_bind` must be a literal True/False"),
    ("ref_as_statement", "quorbin_ref(x)\n", ValueError, SCHEMA + "unsupported quorbin_ref statement context"),
    ("ref_sentinel_as_statement", "if c:\n    quorbin_ref(\"a\")._\n", ValueError,
     SCHEMA + "unsupported quorbin_ref statement context"),
    ("ref_value_attribute_as_statement", "quorbin_ref(\"a\").quorbin_v\n", ValueError,
     SCHEMA + "unsupported quorbin_ref statement context"),
    ("ref_inside_block_hole_default", "with quorbin_hole(x) as quorbin_fallback:\n    y = quorbin_ref(x)\n",
     ValueError, SCHEMA + "native package marker row is missing for quorbin_ref at body[0]/body[0]/value"),
    ("ref_in_block_hole_items", "with quorbin_hole(x, quorbin_ref(\"a\")) as quorbin_fallback:\n    pass\n",
     ValueError, SCHEMA + "native package marker row is missing for quorbin_ref at body[0]/items[0]/context_expr/args[1]"),
    ("loop_inside_block_hole_default",
     "with quorbin_hole(x) as quorbin_fallback:\n    for i in quorbin_for(d):\n        pass\n",
     ValueError, SCHEMA + "native package marker row is missing for quorbin_for at body[0]/body[0]/iter"),
    ("ref_statement_inside_block_hole", "with quorbin_hole(x) as quorbin_fallback:\n    quorbin_ref(x)\n",
     ValueError, SCHEMA + "unsupported quorbin_ref statement context"),
    ("extraction_errors_come_first", "quorbin_hole()\nquorbin_import(x, bound=1)\n", ValueError,
     SCHEMA + "quorbin_hole requires a name argument"),
    ("placement_errors", "x = 1\nquorbin_pyimport(module=os)\n", ValueError,
     SCHEMA + "quorbin_pyimport(...) at line 2 must appear in the contiguous top-of-Quorbin-scope prefix"),
    ("syntax_error", "x = (\n", SyntaxError, None),
]


@pytest.mark.parametrize("source,error,message", [c[1:] for c in ERROR_CASES], ids=[c[0] for c in ERROR_CASES])
@pytest.mark.parametrize("function", [qe.extract_template_package_v2_snapshot, qe.register_template_package_v2_source])
def test_refusals_register_nothing(registered_engine, function, source, error, message):
    with pytest.raises(error) as info:
        function(registered_engine, source)
    if message is not None:
        assert str(info.value) == message
    assert qe.register_template_package_v2_source(registered_engine, "").index == 0


def test_attribute_form_references_inside_block_hole_default_register(registered_engine):
    source = "with quorbin_hole(x) as quorbin_fallback:\n    y = obj.quorbin_ref(\"a\")\n    obj.quorbin_ref(\"b\")._\n"
    assert qe.register_template_package_v2_source(registered_engine, source).index == 0


def test_syntax_error_names_the_file(registered_engine):
    with pytest.raises(SyntaxError) as default:
        package(registered_engine, "x = (\n")
    assert str(default.value).endswith(" in <quorbin-native>")
    with pytest.raises(SyntaxError) as named:
        package(registered_engine, "x = (\n", filename="t.py")
    assert str(named.value).endswith(" in t.py")


@pytest.mark.parametrize("function", [qe.extract_template_package_v2_snapshot, qe.register_template_package_v2_source])
def test_engine_checks_come_before_parsing(engine, builtin_bundle, function):
    with pytest.raises(ValueError, match="^native schema error: surface bundle has not been registered$"):
        function(engine, "x = (")
    qe.register_surface_bundle(engine, builtin_bundle)
    qe.engine_close(engine)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        function(engine, "x = (")


@pytest.mark.parametrize("value,error", [(2**32, OverflowError), (-1, OverflowError), ("1", TypeError)])
@pytest.mark.parametrize("function", [qe.extract_template_package_v2_snapshot, qe.register_template_package_v2_source])
def test_line_number_conversion(registered_engine, function, value, error):
    with pytest.raises(error) as info:
        function(registered_engine, "", line_number=value)
    assert info.value.__notes__ == ["while processing 'line_number'"]


def test_header_and_empty_tables(registered_engine, builtin_bundle):
    pkg = package(registered_engine, "", line_number=0)
    key = "template:" + hashlib.sha256(b"").hexdigest()[:16]
    signature = builtin_bundle["bundle_signature"]
    assert list(pkg)[:4] == ["schema", "surface_bundle_signature", "template_key", "source_summary"]
    assert pkg["schema"] == "quorbin.lower-template-package.v2"
    assert (pkg["surface_bundle_signature"], pkg["template_key"], pkg["source_summary"]) == (
        signature, key, "compile line=0 records=1")
    assert pkg["string_table"][:3] == [signature, key, "compile line=0 records=1"]
    for table in ("markers", "pyimport_markers", "managed_imports", "comment_markers", "ref_markers", "unroll_markers"):
        assert pkg[table] == []
    assert len(pkg["scopes"]) == 1


@pytest.mark.parametrize("equal_to", ["template_key", "source_summary"])
def test_header_strings_keep_their_entries_when_equal(engine, builtin_bundle, equal_to):
    source = "x = 1\n"
    header = {"template_key": "template:" + hashlib.sha256(source.encode()).hexdigest()[:16],
              "source_summary": "compile line=1 records=1"}
    qe.register_surface_bundle(engine, dict(builtin_bundle, bundle_signature=header[equal_to]))
    handle = qe.register_template_package_v2_source(engine, source)
    pkg = qe.template_package_v2_snapshot(engine, handle)
    assert pkg["string_table"][:3] == [header[equal_to], header["template_key"], header["source_summary"]]
    assert (pkg["surface_bundle_signature"], pkg["template_key"], pkg["source_summary"]) == tuple(
        pkg["string_table"][:3])
    # The repeated string is interned once: nothing after the header repeats it.
    assert header[equal_to] not in pkg["string_table"][3:]


ROW_KEYS = {
    "binding_sets": ["binding_set_id", "names"],
    "locators": ["ast_path", "authored_summary", "locator_id", "materialization_anchor", "parent_locator_id",
                 "role_key"],
    "records": ["flags", "inventory_kind", "locator_id", "operation_key", "owner_path", "resource_name",
                "semantic_summary", "surface_key", "template_record_id"],
    "scopes": ["arguments", "ast_path", "local_bindings", "owner_path", "parent_scope_id", "scope_id", "scope_kind",
               "start_line"],
    "markers": ["ast_path", "flags", "marker_id", "marker_kind", "operation_key", "owner_path", "resource_name",
                "scope_id", "source_name", "source_order", "statement_path"],
    "pyimport_markers": ["as_name", "flags", "marker_id", "module_path", "names", "pyimport_marker_id"],
    "managed_imports": ["final_local_name", "flags", "managed_import_id", "marker_id", "module_path",
                        "original_symbol", "scope_id", "source_order"],
    "comment_markers": ["comment_marker_id", "flags", "marker_id", "payload"],
    "ref_markers": ["context", "flags", "literal_path", "marker_id", "ref_kind", "ref_marker_id", "sentinel_attr"],
    "unroll_markers": ["body_path", "domain_ast_path", "domain_shape", "flags", "iter_ast_path", "marker_id",
                       "orelse_path", "statement_path", "target_ast_path", "target_bindings", "unroll_marker_id"],
}

RICH_SOURCE = (
    "quorbin_pyimport(module=os.path, names=(join, exists))\n"
    "quorbin_comment(\"header\")\n"
    "def f__quorbin_arg__(a, b__quorbin_param_hole__, *, c=quorbin_hole(d)):\n"
    "    x = quorbin_ref(\"pkg.mod\")\n"
    "    quorbin_ref(\"pkg.val\")._ = a\n"
    "    for i, j in quorbin_for([(1, 2)]):\n"
    "        quorbin_hole(body)\n"
    "    else:\n"
    "        pass\n"
    "    return quorbin_import(join, bound=True)\n"
    "class K:\n"
    "    x = quorbin_bind_external(ext)\n"
)


def test_package_dictionary_shape(registered_engine):
    pkg = package(registered_engine, RICH_SOURCE)
    assert list(pkg) == ["schema", "surface_bundle_signature", "template_key", "source_summary", "string_table",
                         "path_table", "ast_path_table", *ROW_KEYS]
    for table, keys in ROW_KEYS.items():
        assert pkg[table], table
        for row in pkg[table]:
            assert list(row) == keys, table
    for record in pkg["records"]:
        assert record["flags"] == [] and record["operation_key"] == ""
    assert [r["locator_id"] for r in pkg["locators"]] == list(range(len(pkg["locators"])))
    assert all(l["parent_locator_id"] is None for l in pkg["locators"])


def test_interning(registered_engine):
    pkg = package(registered_engine, RICH_SOURCE)
    strings = pkg["string_table"]
    assert len(set(strings)) == len(strings)
    assert len(set(pkg["ast_path_table"])) == len(pkg["ast_path_table"])
    assert len({tuple(p) for p in pkg["path_table"]}) == len(pkg["path_table"])
    sets = [tuple(b["names"]) for b in pkg["binding_sets"]]
    assert [b["binding_set_id"] for b in pkg["binding_sets"]] == list(range(len(sets)))
    assert len(set(sets)) == len(sets)
    assert all(list(s) == sorted(set(s)) for s in sets)
    # `x` is bound in the function and in the class: one string, two sets.
    assert strings.count("x") == 1
    assert sum("x" in s for s in sets) == 2
    # Every resolved value comes from its table.
    for m in pkg["markers"]:
        assert m["ast_path"] in pkg["ast_path_table"] and m["statement_path"] in pkg["ast_path_table"]
        assert m["owner_path"] in pkg["path_table"]
        assert all(flag in strings for flag in m["flags"])
    for s in pkg["scopes"]:
        assert tuple(s["local_bindings"]) in sets and tuple(s["arguments"]) in sets


def test_records_and_locators_follow_the_extraction(registered_engine):
    source = "def f(a__quorbin_arg__):\n    quorbin_hole(b)\n"
    inventory = qe.extract_template_snapshot(registered_engine, source, line_number=4)
    pkg = package(registered_engine, source, line_number=4)
    assert pkg["template_key"] == inventory["templates"][0]["template_key"]
    assert pkg["source_summary"] == inventory["templates"][0]["source_summary"] == "compile line=4 records=3"
    assert [{k: l[k] for k in ROW_KEYS["locators"]} for l in inventory["locators"]] == pkg["locators"]
    assert [
        (r["code_owner"], r["inventory_kind"], r["locator_id"], r["resource_name"], r["semantic_summary"],
         r["surface_key"], r["template_record_id"])
        for r in inventory["records"]
    ] == [
        (r["owner_path"], r["inventory_kind"], r["locator_id"], r["resource_name"], r["semantic_summary"],
         r["surface_key"], r["template_record_id"])
        for r in pkg["records"]
    ]


def test_registration_and_the_registered_package(registered_engine):
    first = qe.register_template_package_v2_source(registered_engine, RICH_SOURCE, "a.py", 3)
    second = qe.register_template_package_v2_source(registered_engine, "quorbin_hole(x)\nquorbin_hole(y)\n")
    assert type(first) is qe.NativeTemplateHandle
    assert (first.index, second.index) == (0, 1)
    assert first.snapshot()["generation"] == 0
    assert qe.template_package_v2_snapshot(registered_engine, first) == package(
        registered_engine, RICH_SOURCE, filename="b.py", line_number=3)
    # Each call builds new objects.
    assert qe.template_package_v2_snapshot(registered_engine, second) is not qe.template_package_v2_snapshot(
        registered_engine, second)


def test_locator_numbering_stays_dense(registered_engine):
    sources = ["quorbin_hole(x)\nquorbin_hole(y)\n", "x = 1\n", "quorbin_hole(z)\n"]
    handles = [qe.register_template_package_v2_source(registered_engine, s) for s in sources]
    snapshot_registered = qe.register_template_snapshot(
        registered_engine, qe.extract_template_snapshot(registered_engine, "y = 2\n"))
    state = qe.assembly_state_create(registered_engine)
    for h in [*handles, snapshot_registered]:
        qe.assembly_state_append_occurrence(registered_engine, state, h, ["T"])
    locators = qe.assembly_state_snapshot(registered_engine, state)["locators"]
    # 3, 1, 3 and 1 locators: every template starts where the previous one ended.
    assert [(l["template_id"], l["locator_id"]) for l in locators] == [
        (0, 0), (0, 1), (0, 2), (1, 3), (2, 4), (2, 5), (2, 6), (3, 7)]


def test_registered_records_resolve_the_package(registered_engine):
    source = "class C:\n    def m(self):\n        quorbin_hole(x)\n"
    handle = qe.register_template_package_v2_source(registered_engine, source)
    state = qe.assembly_state_create(registered_engine)
    qe.assembly_state_append_occurrence(registered_engine, state, handle, ["T"])
    records = qe.assembly_state_snapshot(registered_engine, state)["records"]
    pkg = qe.template_package_v2_snapshot(registered_engine, handle)
    assert [(r["code_owner"], r["resource_name"], r["inventory_kind"]) for r in records] == [
        (r["owner_path"], r["resource_name"], r["inventory_kind"]) for r in pkg["records"]]
    assert records[0]["code_owner"] == ["C", "m"]


def test_template_package_snapshot_checks(registered_engine, builtin_bundle):
    plain = qe.register_template_snapshot(registered_engine, qe.extract_template_snapshot(registered_engine, "x = 1"))
    with pytest.raises(ValueError, match="^native schema error: native template does not carry package-v2 rows$"):
        qe.template_package_v2_snapshot(registered_engine, plain)

    other = qe.engine_create()
    qe.register_surface_bundle(other, builtin_bundle)
    foreign = qe.register_template_package_v2_source(other, "x = 1")
    with pytest.raises(RuntimeError, match="^native stale handle: handle belongs to another native engine$"):
        qe.template_package_v2_snapshot(registered_engine, foreign)

    with pytest.raises(TypeError) as info:
        qe.template_package_v2_snapshot(registered_engine, registered_engine)
    assert info.value.__notes__ == ["while processing 'template'"]

    qe.engine_close(other)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        qe.template_package_v2_snapshot(other, foreign)


# Close to the parser's nesting budget: the deepest chains a template can hold.
DEEP = 4_900

DEEP_CASES = [
    ("operator_chain", "x = " + " + ".join(["a"] * DEEP) + " + quorbin_hole(h)\n", ["hole"]),
    ("call_chain", "x = quorbin_keep(k)" + "()" * DEEP + "\n", ["keep"]),
    ("attribute_chain", "quorbin_pyimport(module=" + ".".join(["m"] * DEEP) + ")\n", ["pyimport"]),
    ("sentinel_chain", "y = quorbin_ref(\"a\")" + "._" * DEEP + "\n", ["ref"]),
]


@pytest.mark.parametrize("source,kinds", [c[1:] for c in DEEP_CASES], ids=[c[0] for c in DEEP_CASES])
def test_deep_expressions_are_walked_without_recursion(registered_engine, source, kinds):
    # On a thread with a small stack, where a walk that recursed once per
    # level of these chains would overflow.
    import threading

    result = {}

    def run():
        try:
            handle = qe.register_template_package_v2_source(registered_engine, source)
            result["pkg"] = qe.template_package_v2_snapshot(registered_engine, handle)
        except BaseException as e:  # reported below, on the test's thread
            result["error"] = e

    previous = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    if "error" in result:
        raise result["error"]
    pkg = result["pkg"]
    assert [m["marker_kind"] for m in pkg["markers"]] == kinds
    if kinds == ["pyimport"]:
        assert len(pkg["pyimport_markers"][0]["module_path"]) == DEEP
    if kinds == ["ref"]:
        assert [(r["ref_kind"], r["literal_path"]) for r in pkg["ref_markers"]] == [("sentinel_attribute", ["a"])]
