"""Request batches and candidate queries: the demand search (path selectors,
identifier bindings and effective names, surface compatibility, equivalent
demand sites), the three kinds of application, and the errors of reading and
of applying, with what each failure leaves behind."""

import random
import sys

import pytest

import _quorbin_native_engine as qe

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent / "demo"))
from builtin_bundle import build_builtin_bundle  # noqa: E402

STALE = RuntimeError
SCHEMA = ValueError

# One hole of every kind, an external binding and an identifier demand, all
# owned by ["main"] (the parameter hole by ["main", "g"]). Record indexes:
# 0 body (hole.block), 1 val (hole.expr), 2 args (hole.positional_variadic),
# 3 kw (hole.named_variadic), 4 k (external.bind), 5 w (identifier.demand),
# 6 e (hole.elif), 7 p (hole.params), 8 the block production.
HOST = (
    "def main():\n"
    "    quorbin_hole(body)\n"
    "    y = quorbin_hole(val)\n"
    "    f(*quorbin_hole(args), **quorbin_hole(kw))\n"
    "    quorbin_bind_external(k)\n"
    "    z = w__quorbin_arg__\n"
    "    if c:\n"
    "        pass\n"
    "    elif quorbin_elif(e):\n"
    "        pass\n"
    "    def g(p__quorbin_param_hole__):\n"
    "        pass\n"
)
# 0 demand f (owner []), 1 hole.block x (owner ["f"]), 2 demand x (owner ["f"]), 3 block production.
NAMED = "def f__quorbin_arg__():\n    quorbin_hole(x)\n    z = x__quorbin_arg__\n"
# A single block hole `h` at module level: 0 hole.block h, 1 block production.
SLOT = "quorbin_hole(h)\n"

PRODUCERS = {
    "block": "x = 1\n",  # 0 production.block
    "expr": "f(1)\n",  # 0 production.expression, 1 production.block
    "funcargs": "quorbin_funcargs(1, x=2)\n",  # 0 production.funcargs
    "params": "def quorbin_params(a, b=1): pass\n",  # 0 production.supply (parameter production)
    "elif": "def quorbin_elif(x):\n    pass\n",  # 0 production.elif, 1 production.block
    "none": "quorbin_hole(q)\n",  # a hole and a block production; used with its production edited away
}

HOLE_KINDS = ["hole.block", "hole.expr", "hole.params", "hole.elif", "hole.positional_variadic", "hole.named_variadic"]


def register(engine, source):
    return qe.register_template_package_v2_source(engine, source)


def composable(template, name=None, instance="c", order=0, build_match=None, owner_match=None, allow=False):
    return {"resource_kind": "composable", "source_template": template, "source_instance_name": instance,
            "operation_order": order, "name": name, "build_match": build_match, "owner_match": owner_match,
            "allow_equivalent_demand_sites": allow}


def external(name=None, token=0, build_match=None, owner_match=None, allow=False):
    return {"resource_kind": "external", "value_token": token, "name": name, "build_match": build_match,
            "owner_match": owner_match, "allow_equivalent_demand_sites": allow}


def identifier(label, name=None, build_match=None, owner_match=None, allow=False):
    return {"resource_kind": "identifier", "identifier": label, "name": name, "build_match": build_match,
            "owner_match": owner_match, "allow_equivalent_demand_sites": allow}


def demand(kinds, name=None, build_match=None, owner_match=None, bindings=None):
    return {"name": name, "build_match": build_match, "owner_match": owner_match,
            "target_inventory_kinds": kinds, "identifier_bindings": bindings}


def targets(result):
    return [c["target_record"] for c in result["candidates"]]


def frozen(engine, state):
    return qe.assembly_state_snapshot(engine, state), qe.assembly_state_index_snapshot(engine, state)


def without_handles(events):
    return [{k: v for k, v in ev.items() if k != "source_occurrence_handle"} for ev in events]


@pytest.fixture
def world(registered_engine):
    e = registered_engine
    t = {name: register(e, src) for name, src in PRODUCERS.items()}
    t["host"] = register(e, HOST)
    t["named"] = register(e, NAMED)
    t["slot"] = register(e, SLOT)
    state = qe.assembly_state_create(e)
    root = qe.assembly_state_append_occurrence(e, state, t["host"], ["Root"])
    return e, state, t, root


# ---------------------------------------------------------------------------
# Application


@pytest.mark.parametrize(
    "hole, producer, operation, marked, productions",
    [
        ("body", "block", "quorbin.operation.splice_body_at_marker", False, [0]),
        ("body", "expr", "quorbin.operation.splice_body_at_marker", False, [1]),  # its block production
        ("val", "expr", "quorbin.operation.replace_expression", True, [0]),
        ("args", "funcargs", "quorbin.operation.splice_call_arguments", False, [0]),
        ("args", "expr", "quorbin.operation.splice_call_arguments", False, [0]),  # the built-in fallback
        ("kw", "expr", "quorbin.operation.splice_call_arguments", False, [0]),
        ("p", "params", "quorbin.operation.splice_parameters", False, [0]),
        ("e", "elif", "quorbin.operation.append_clause", False, [0]),
    ],
)
def test_composable_application(world, hole, producer, operation, marked, productions):
    e, state, t, root = world
    result = qe.assembly_state_apply_request_batch(e, state, [composable(t[producer], name=hole, instance="kid",
                                                                         order=-3)])
    (event,) = result["events"]
    target = [0, ["body", "val", "args", "kw", "k", "w", "e", "p"].index(hole)]
    handle = event["source_occurrence_handle"]
    assert list(event) == ["kind", "request_index", "target_record", "production_records", "source_build_path",
                           "source_occurrence_id", "source_occurrence_handle", "edge_id", "operation_key", "order",
                           "mark_satisfied"]
    assert without_handles([event]) == [{
        "kind": "composable", "request_index": 0, "target_record": target, "production_records": productions,
        "source_build_path": ["Root", "kid"], "source_occurrence_id": 1, "edge_id": 0, "operation_key": operation,
        "order": -3, "mark_satisfied": marked}]
    assert (type(handle), handle.state_index, handle.index) == (qe.NativeOccurrenceHandle, state.index, 1)
    assert result["diagnostic_summary"] == {"candidate_count": 1, "request_count": 1}
    snap = qe.assembly_state_snapshot(e, state)
    assert snap["occurrences"][1] == {"build_path": ["Root", "kid"], "occurrence_id": 1, "parent_occurrence_id": 0,
                                      "template_id": t[producer].index}
    assert snap["edges"] == [{"edge_id": 0, "operation_key": operation, "order": -3, "source_occurrence_id": 1,
                              "target_record_id": target}]
    assert snap["records"][target[1]]["state"]["satisfied"] is marked
    # A hole that stays open takes a second production; a used expression hole does not.
    again = [composable(t[producer], name=hole, instance="kid2")]
    if marked:
        with pytest.raises(SCHEMA, match="^native schema error: expected exactly one candidate, found 0$"):
            qe.assembly_state_apply_request_batch(e, state, again)
    else:
        assert qe.assembly_state_apply_request_batch(e, state, again)["events"][0]["edge_id"] == 1


def test_external_and_identifier_application(world):
    e, state, t, root = world
    other = qe.assembly_state_append_occurrence(e, state, t["named"], ["N"])
    result = qe.assembly_state_apply_request_batch(e, state, [
        identifier("renamed", name="x"),  # the demand x of occurrence 1
        external(token=2**64 - 1),  # the only external binding, labelled by its effective name
        identifier("ww", name="w"),
    ])
    assert result == {"events": [
        {"kind": "identifier", "request_index": 0, "target_record": [1, 2], "overlay_id": 0, "source_label": "renamed"},
        {"kind": "external", "request_index": 1, "target_record": [0, 4], "overlay_id": 1, "source_label": "k",
         "value_token": 2**64 - 1},
        {"kind": "identifier", "request_index": 2, "target_record": [0, 5], "overlay_id": 2, "source_label": "ww"},
    ], "diagnostic_summary": {"candidate_count": 3, "request_count": 3}}
    snap = qe.assembly_state_snapshot(e, state)
    assert [(o["kind"], o["source_label"], o["target_record_id"]) for o in snap["overlays"]] == [
        ("identifier", "renamed", [1, 2]), ("external", "k", [0, 4]), ("identifier", "ww", [0, 5])]
    assert [r["record_id"] for r in snap["records"] if r["state"]["satisfied"]] == [[0, 4], [0, 5], [1, 2]]
    assert other.index == 1


def test_an_external_label_is_the_effective_name(world):
    e, state, t, root = world
    k = qe.assembly_state_record_handle(e, state, root, 4)
    qe.assembly_state_append_overlay(e, state, k, "identifier", "bound_k")
    (event,) = qe.assembly_state_apply_request_batch(e, state, [external(name="bound_k")])["events"]
    assert (event["target_record"], event["source_label"]) == ([0, 4], "bound_k")


def test_requests_see_the_effects_of_earlier_ones(world):
    e, state, t, root = world
    result = qe.assembly_state_apply_request_batch(e, state, [
        composable(t["slot"], name="body", instance="s1"),
        composable(t["block"], name="h", instance="b"),  # the hole the first request brought in
    ])
    assert [ev["source_build_path"] for ev in result["events"]] == [["Root", "s1"], ["Root", "s1", "b"]]
    assert result["events"][1]["target_record"] == [1, 0]


def test_an_empty_batch_changes_nothing_and_counts_zero(world):
    e, state, t, root = world
    before = frozen(e, state)
    for empty in ([], (), iter([])):
        assert qe.assembly_state_apply_request_batch(e, state, empty) == {
            "events": [], "diagnostic_summary": {"candidate_count": 0, "request_count": 0}}
    assert frozen(e, state) == before


# ---------------------------------------------------------------------------
# Effective names and owners


def test_an_identifier_binding_renames_every_record_of_its_occurrence(world):
    e, state, t, root = world
    a = qe.assembly_state_append_occurrence(e, state, t["named"], ["A"])
    b = qe.assembly_state_append_occurrence(e, state, t["named"], ["B"])
    # Bind x and f of occurrence A only.
    qe.assembly_state_apply_request_batch(e, state, [identifier("y", name="x", build_match=["A"]),
                                                     identifier("g", name="f", build_match=["A"])])
    blocks = ["hole.block"]
    assert targets(qe.assembly_state_query_demand_candidates(e, state, demand(blocks, name="x"))) == [[b.index, 1]]
    assert targets(qe.assembly_state_query_demand_candidates(e, state, demand(blocks, name="y"))) == [[a.index, 1]]
    # The owner ["f"] of A's records reads ["g"].
    by_owner = lambda sel: targets(qe.assembly_state_query_demand_candidates(e, state, demand(blocks, owner_match=sel)))  # noqa: E731,E501
    assert by_owner(["f"]) == [[b.index, 1]]
    assert by_owner(["g"]) == [[a.index, 1]]
    # A composable request follows the same names.
    with pytest.raises(SCHEMA, match="found 0$"):
        qe.assembly_state_apply_request_batch(e, state, [composable(t["block"], name="x"),
                                                         composable(t["block"], name="x", build_match=["A"])])
    snap = qe.assembly_state_snapshot(e, state)
    assert [ed["target_record_id"] for ed in snap["edges"]] == [[b.index, 1]]  # the first request stayed applied


@pytest.mark.parametrize(
    "overlays, name, found",
    [
        ([("x", "y")], "y", True),
        ([("x", "y")], "x", False),
        ([("x", "y"), ("x", "z")], "z", True),  # the later overlay wins
        ([("x", "y"), ("x", "z")], "y", False),
        ([("x", "")], "", True),  # an empty label is still a binding
        ([("x", "")], "x", False),
        ([("f", "x")], "x", True),  # binding another name leaves x alone
    ],
)
def test_effective_name_from_overlays(world, overlays, name, found):
    e, state, t, root = world
    occ = qe.assembly_state_append_occurrence(e, state, t["named"], ["N"])
    index_of = {"f": 0, "x": 2}
    for source, label in overlays:
        rec = qe.assembly_state_record_handle(e, state, occ, index_of[source])
        qe.assembly_state_append_overlay(e, state, rec, "identifier", label)
    got = targets(qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"], name=name)))
    assert got == ([[occ.index, 1]] if found else [])


def test_a_query_binding_renames_within_its_occurrence_only(world):
    e, state, t, root = world
    a = qe.assembly_state_append_occurrence(e, state, t["named"], ["A"])
    b = qe.assembly_state_append_occurrence(e, state, t["named"], ["B"])
    q = lambda name, bindings: targets(qe.assembly_state_query_demand_candidates(  # noqa: E731
        e, state, demand(["hole.block"], name=name, bindings=bindings)))
    assert q("y", [(a.index, "x", "y")]) == [[a.index, 1]]
    assert q("x", [(a.index, "x", "y")]) == [[b.index, 1]]
    assert q("z", [(a.index, "x", "y"), (a.index, "x", "z")]) == [[a.index, 1]]  # a later triple wins
    assert q("x", [(999, "x", "y")]) == [[a.index, 1], [b.index, 1]]  # the index is not checked
    assert q("x", None) == q("x", []) == [[a.index, 1], [b.index, 1]]
    # A triple replaces the state's own binding, and is forgotten afterwards.
    qe.assembly_state_append_overlay(e, state, qe.assembly_state_record_handle(e, state, a, 2), "identifier", "s")
    assert q("t", [(a.index, "x", "t")]) == [[a.index, 1]]
    assert q("s", None) == [[a.index, 1]]


def test_an_identifier_overlay_on_a_nameless_record_fails_every_search(world):
    e, state, t, root = world
    snap = qe.extract_template_snapshot(e, SLOT)
    snap["records"][1]["resource_name"] = ""
    nameless = qe.register_template_snapshot(e, snap)
    occ = qe.assembly_state_append_occurrence(e, state, nameless, ["X"])
    qe.assembly_state_append_overlay(e, state, qe.assembly_state_record_handle(e, state, occ, 1), "identifier", "l")
    before = frozen(e, state)
    message = "^native schema error: identifier overlay target record is missing a resource name$"
    with pytest.raises(SCHEMA, match=message):
        qe.assembly_state_apply_request_batch(e, state, [external()])
    with pytest.raises(SCHEMA, match=message):
        qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"]))
    with pytest.raises(SCHEMA, match=message):
        qe.assembly_state_query_composable_candidates(e, state, t["block"], demand(["hole.block"]))
    assert frozen(e, state) == before


# ---------------------------------------------------------------------------
# Path selectors, against the recursive definition


class SelectorError(Exception):
    pass


def quote(part):
    out = '"'
    for ch in part:
        if ch in '"\\':
            out += "\\" + ch
        elif ch == "\n":
            out += "\\n"
        elif ch == "\t":
            out += "\\t"
        elif ch == "\r":
            out += "\\r"
        elif ch == "\0":
            out += "\\0"
        elif not ch.isprintable():
            out += "\\u{%x}" % ord(ch)
        else:
            out += ch
    return out + '"'


def reference_match(parts, path):
    memo = {}

    def m(i, j):
        if (i, j) in memo:
            return memo[i, j]
        if i == len(parts):
            r = j == len(path)
        else:
            p = parts[i]
            if p == "":
                raise SelectorError("invalid path selector: empty path selector part")
            if p == "*":
                r = m(i + 1, j) or (j < len(path) and m(i, j + 1))
            elif p == "+":
                r = j < len(path) and (m(i + 1, j + 1) or m(i, j + 1))
            elif p == ".":
                r = j < len(path) and m(i + 1, j + 1)
            elif p == "?":
                r = m(i + 1, j) or (j < len(path) and m(i + 1, j + 1))
            else:
                if any(c in p for c in ".+?*/"):
                    raise SelectorError("invalid path selector: reserved path selector character in " + quote(p))
                r = j < len(path) and path[j] == p and m(i + 1, j + 1)
        memo[i, j] = r
        return r

    return m(0, 0)


PATHS = [[], ["a"], ["a", "b"], ["a", "b", "c"], ["x", "a"], ["a", "a"], ["b"], ["a.b"], ["a", "x", "b"]]


@pytest.fixture
def paths_state(registered_engine):
    e = registered_engine
    slot = register(e, SLOT)
    state = qe.assembly_state_create(e)
    for path in PATHS:
        qe.assembly_state_append_occurrence(e, state, slot, path)
    return e, state


def expected_for(selector):
    """What a search over PATHS in order gives: the matching occurrences, or the first error met."""
    found = []
    for o, path in enumerate(PATHS):
        try:
            if reference_match(list(selector), path):
                found.append([o, 0])
        except SelectorError as err:
            return str(err)
    return found


def native_for(e, state, selector, key="build_match"):
    query = demand(["hole.block"])
    query[key] = selector
    try:
        return targets(qe.assembly_state_query_demand_candidates(e, state, query))
    except ValueError as err:
        assert str(err).startswith("native schema error: ")
        return str(err)[len("native schema error: "):]


SELECTORS = [
    ["*"], ["+"], ["."], ["?"], [], ["a"], ["a", "+"], ["a", "*"], ["a", "?"], [".", "."], ["a", "*", "c"],
    ["?", "a"], ["*", "b"], ["+", "a"], ["*", "*", "c"], ["a", "?", "?"], ["x", "."],
    ["a.b"], [""], ["/"], ["a/b"], ["x", "a.b"], ["zz", "a.b"], ["a", ""], ["*", ""], ["b", "?", "q+"],
    "a.b",  # a string is a selector of characters: a, the one-element wildcard, b
    "*",
    ['say "hi"\n'],  # never reached as a match, only as a reserved-character-free literal
    ["tab\t.x"],  # reached and refused; the control character is escaped in the message
]


@pytest.mark.parametrize("selector", SELECTORS, ids=repr)
def test_selector_table(paths_state, selector):
    e, state = paths_state
    assert native_for(e, state, selector) == expected_for(selector)


def test_selector_examples_from_the_rules(paths_state):
    e, state = paths_state
    assert native_for(e, state, ["*"]) == [[o, 0] for o in range(len(PATHS))]
    assert native_for(e, state, ["a", "+"]) == [[2, 0], [3, 0], [5, 0], [8, 0]]  # ["a"] alone is not matched
    assert native_for(e, state, "a.b") == [[8, 0]]
    assert native_for(e, state, ["zz", "a.b"]) == []  # the malformed part behind a failing literal is never reached
    assert native_for(e, state, ["a.b"]).startswith("invalid path selector: reserved path selector character in")


def test_random_selectors_agree_with_the_definition(paths_state):
    e, state = paths_state
    rng = random.Random(6)
    alphabet = ["a", "b", "c", "x", "*", "+", ".", "?", "", "a.b", "q/"]
    for _ in range(400):
        selector = [rng.choice(alphabet) for _ in range(rng.randint(0, 6))]
        assert native_for(e, state, selector) == expected_for(selector), selector


def test_owner_selectors_use_the_same_matcher(world):
    e, state, t, root = world
    q = lambda sel: native_for(e, state, sel, key="owner_match")  # noqa: E731
    assert q(["main"]) == [[0, 0]]
    assert q(["main", "g"]) == []  # the parameter hole is not a block hole
    params = demand(["hole.params"], owner_match=["main", "."])
    assert targets(qe.assembly_state_query_demand_candidates(e, state, params)) == [[0, 7]]
    assert q(["*", "a.b"]).startswith("invalid path selector")


def test_long_selectors_and_paths_stay_cheap(registered_engine):
    e = registered_engine
    slot = register(e, SLOT)
    state = qe.assembly_state_create(e)
    deep = ["p%d" % i for i in range(30)]
    qe.assembly_state_append_occurrence(e, state, slot, deep)
    # Without memoization these would take exponential time; without an
    # explicit stack the long one would exhaust the native stack.
    assert native_for(e, state, ["*"] * 40 + ["zz"]) == []
    assert native_for(e, state, ["*"] * 40 + ["p29"]) == [[0, 0]]
    assert native_for(e, state, ["."] * 200_000) == []
    assert native_for(e, state, ["?"] * 200_000) == [[0, 0]]
    assert native_for(e, state, ["*"] * 200_000 + ["p29"]) == [[0, 0]]


# ---------------------------------------------------------------------------
# Surface compatibility


def bundle_with(rules):
    bundle = build_builtin_bundle()
    bundle["compatibility_rules"] = [
        {"target_surface_key": target, "production_surface_key": production,
         "predicate": {"target_expectations": [{"field_name": f, "expected_value": v} for f, v in te],
                       "production_expectations": [{"field_name": f, "expected_value": v} for f, v in pe]},
         "result_policy": {"policy_key": "p", "summary": ""}}
        for target, production, te, pe in rules
    ]
    return bundle


BLOCK_HOLE = "quorbin.surface.block.hole"
BLOCK_PROD = "quorbin.surface.block.production"
FUNCARGS_HOLE = "quorbin.surface.funcargs.hole"
EXPR_PROD = "quorbin.surface.expression.production"
FUNCARGS_PROD = "quorbin.surface.funcargs.production"
LIVE = ("state", "live")


@pytest.mark.parametrize(
    "rules, hole_kind, producer, productions",
    [
        ([(BLOCK_HOLE, BLOCK_PROD, [LIVE], [])], "hole.block", "block", [0]),
        ([(BLOCK_HOLE, BLOCK_PROD, [], [])], "hole.block", "block", [0]),  # no expectations at all
        ([(BLOCK_HOLE, BLOCK_PROD, [], [LIVE, LIVE])], "hole.block", "block", [0]),
        ([(BLOCK_HOLE, BLOCK_PROD, [("state", "dead")], [])], "hole.block", "block", []),
        ([(BLOCK_HOLE, BLOCK_PROD, [("kind", "live")], [])], "hole.block", "block", []),
        ([(BLOCK_HOLE, BLOCK_PROD, [LIVE], [("state", "Live")])], "hole.block", "block", []),
        ([(BLOCK_HOLE, BLOCK_PROD, [("x", "y")], []), (BLOCK_HOLE, BLOCK_PROD, [LIVE], [])], "hole.block", "block",
         [0]),  # a passed-over rule does not hide a later one
        ([(BLOCK_PROD, BLOCK_HOLE, [], [])], "hole.block", "block", []),  # the pair is ordered
        ([], "hole.block", "block", []),
        ([], "hole.positional_variadic", "expr", [0]),  # the fallback: expression into variadic arguments
        ([], "hole.named_variadic", "expr", [0]),
        ([], "hole.positional_variadic", "funcargs", []),  # a call-argument production needs a rule
        ([(FUNCARGS_HOLE, FUNCARGS_PROD, [LIVE], [])], "hole.named_variadic", "funcargs", [0]),
        ([(FUNCARGS_HOLE, BLOCK_PROD, [], [])], "hole.positional_variadic", "expr", [0, 1]),  # rule and fallback
        ([(FUNCARGS_HOLE, EXPR_PROD, [("state", "dead")], [])], "hole.positional_variadic", "expr", [0]),
    ],
)
def test_compatibility(rules, hole_kind, producer, productions):
    e = qe.engine_create()
    qe.register_surface_bundle(e, bundle_with(rules))
    host = register(e, HOST)
    source = register(e, PRODUCERS[producer])
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, host, ["Root"])
    got = qe.assembly_state_query_composable_candidates(e, state, source, demand([hole_kind]))
    assert got["candidates"] == ([{"target_record": [0, HOLE_KINDS_AT[hole_kind]], "production_records": productions}]
                                 if productions else [])
    assert got["diagnostic_summary"] == {"candidate_count": len(got["candidates"])}


HOLE_KINDS_AT = {"hole.block": 0, "hole.expr": 1, "hole.positional_variadic": 2, "hole.named_variadic": 3,
                 "hole.elif": 6, "hole.params": 7}


# ---------------------------------------------------------------------------
# Choosing one candidate; equivalent demand sites


def two_holes(e, state, first, second):
    """Two occurrences given as (template, build path)."""
    return [qe.assembly_state_append_occurrence(e, state, tmpl, path) for tmpl, path in (first, second)]


@pytest.mark.parametrize(
    "layout, request_name, allow, outcome",
    [
        (("slot", ["P"], "slot", ["P"]), "h", False, "found 2"),
        (("slot", ["P"], "slot", ["P"]), "h", True, [1, 0]),  # the earlier one is filled
        (("slot", ["P"], "slot", ["Q"]), "h", True, "found 2"),  # build paths differ
        (("slot", ["P"], "named", ["P"]), None, True, "found 2"),  # names differ
        (("named", ["P"], "named", ["P"]), "x", True, [1, 1]),
        (("named", ["P"], "named", ["P"]), None, True, [1, 1]),  # one hole each, same name and owner
        (("slot", ["P"], "slot", ["P"]), "zz", True, "found 0"),
    ],
)
def test_equivalent_demand_sites(world, layout, request_name, allow, outcome):
    e, state, t, root = world
    a_t, a_path, b_t, b_path = layout
    two_holes(e, state, (t[a_t], a_path), (t[b_t], b_path))
    # Keep the host's own block hole out of the way.
    selector = ["P"] if a_path == b_path else ["?"]
    request = composable(t["block"], name=request_name, allow=allow, build_match=selector)
    if isinstance(outcome, str):
        before = frozen(e, state)
        with pytest.raises(SCHEMA, match=f"^native schema error: expected exactly one candidate, {outcome}$"):
            qe.assembly_state_apply_request_batch(e, state, [request])
        assert frozen(e, state) == before
    else:
        (event,) = qe.assembly_state_apply_request_batch(e, state, [request])["events"]
        assert event["target_record"] == outcome


def test_equivalence_compares_effective_owners(world):
    e, state, t, root = world
    a, b = two_holes(e, state, (t["named"], ["P"]), (t["named"], ["P"]))
    # Rename f in occurrence a: its hole's owner reads ["g"], b's ["f"].
    qe.assembly_state_append_overlay(e, state, qe.assembly_state_record_handle(e, state, a, 0), "identifier", "g")
    with pytest.raises(SCHEMA, match="found 2$"):
        qe.assembly_state_apply_request_batch(e, state, [composable(t["block"], name="x", allow=True)])
    qe.assembly_state_append_overlay(e, state, qe.assembly_state_record_handle(e, state, b, 0), "identifier", "g")
    (event,) = qe.assembly_state_apply_request_batch(e, state, [composable(t["block"], name="x", allow=True)])["events"]
    assert event["target_record"] == [a.index, 1]


def test_the_name_index_and_the_kind_lists_give_their_own_order(world):
    e, state, t, root = world
    # Occurrence 1 has an expression hole named q and a block hole named q.
    snap = qe.extract_template_snapshot(e, "y = quorbin_hole(q)\nquorbin_hole(q)\n")
    both = qe.register_template_snapshot(e, snap)
    occ = qe.assembly_state_append_occurrence(e, state, both, ["B"])
    kinds = ["hole.block", "hole.expr"]
    by_name = targets(qe.assembly_state_query_demand_candidates(e, state, demand(kinds, name="q")))
    assert by_name == [[occ.index, 0], [occ.index, 1]]  # the name index: record order
    qe.assembly_state_append_overlay(e, state, qe.assembly_state_record_handle(e, state, root, 5), "identifier", "v")
    by_kind = targets(qe.assembly_state_query_demand_candidates(e, state, demand(kinds, name="q")))
    assert by_kind == [[occ.index, 1], [occ.index, 0]]  # with a binding: the kind lists, in the query's order


# ---------------------------------------------------------------------------
# Candidate queries


def test_query_results_and_what_is_a_candidate(world):
    e, state, t, root = world
    empty = qe.assembly_state_query_demand_candidates(e, state, demand(["no.such.kind"]))
    assert empty == {"candidates": [], "diagnostic_summary": {"candidate_count": 0}}
    twice = qe.assembly_state_query_demand_candidates(e, state, demand(["hole.expr", "hole.block", "hole.expr"]))
    assert twice == {"candidates": [{"target_record": [0, 1]}, {"target_record": [0, 0]}],
                     "diagnostic_summary": {"candidate_count": 2}}
    # An edge does not close a block hole; a satisfied mark closes anything.
    body = qe.assembly_state_record_handle(e, state, root, 0)
    qe.assembly_state_append_edge(e, state, body, root, "op", 0)
    assert targets(qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"]))) == [[0, 0]]
    qe.assembly_state_mark_satisfied(e, state, body)
    assert targets(qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"]))) == []
    comp = qe.assembly_state_query_composable_candidates(e, state, t["expr"], demand(HOLE_KINDS))
    assert comp == {"candidates": [
        {"target_record": [0, 1], "production_records": [0]},
        {"target_record": [0, 2], "production_records": [0]},
        {"target_record": [0, 3], "production_records": [0]},
    ], "diagnostic_summary": {"candidate_count": 3}}


def test_a_template_without_productions_has_no_candidates(world):
    e, state, t, root = world
    snap = qe.extract_template_snapshot(e, PRODUCERS["none"])
    snap["records"] = snap["records"][:1]
    snap["locators"] = snap["locators"][:1]
    snap["templates"][0]["record_count"] = 1
    hole_only = qe.register_template_snapshot(e, snap)
    assert qe.assembly_state_query_composable_candidates(e, state, hole_only, demand(HOLE_KINDS)) == {
        "candidates": [], "diagnostic_summary": {"candidate_count": 0}}
    with pytest.raises(SCHEMA, match="found 0$"):
        qe.assembly_state_apply_request_batch(e, state, [composable(hole_only)])


def test_queries_change_nothing(world):
    e, state, t, root = world
    before = frozen(e, state)
    qe.assembly_state_query_demand_candidates(e, state, demand(HOLE_KINDS, bindings=[(0, "body", "q")]))
    qe.assembly_state_query_composable_candidates(e, state, t["block"], demand(HOLE_KINDS, bindings=[(0, "x", "y")]))
    assert frozen(e, state) == before


def test_demand_queries_need_no_bundle():
    e = qe.engine_create()
    state = qe.assembly_state_create(e)
    assert qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"])) == {
        "candidates": [], "diagnostic_summary": {"candidate_count": 0}}


@pytest.mark.parametrize(
    "edit, error, message",
    [
        ({"name": 5}, SCHEMA, "name must be a string or None"),
        ({"build_match": [1]}, SCHEMA, "build_match entries must be strings"),
        ({"owner_match": ["a", None]}, SCHEMA, "owner_match entries must be strings"),
        ({"build_match": 5}, TypeError, None),
        ({"target_inventory_kinds": None}, TypeError, None),
        ({"target_inventory_kinds": [b"hole.block"]}, SCHEMA, "target_inventory_kinds entries must be strings"),
        ({"identifier_bindings": 5}, TypeError, None),
        ({"identifier_bindings": [(0, "x")]}, SCHEMA, "identifier_bindings entries must be triples"),
        ({"identifier_bindings": [(0, "x", "y", "z")]}, SCHEMA, "identifier_bindings entries must be triples"),
        ({"identifier_bindings": [5]}, SCHEMA, "identifier_bindings entries must be triples"),
        ({"identifier_bindings": [(-1, "x", "y")]}, SCHEMA,
         "identifier_bindings occurrence indexes must be unsigned integers"),
        ({"identifier_bindings": [(2**64, "x", "y")]}, SCHEMA,
         "identifier_bindings occurrence indexes must be unsigned integers"),
        ({"identifier_bindings": [("0", "x", "y")]}, SCHEMA,
         "identifier_bindings occurrence indexes must be unsigned integers"),
        ({"identifier_bindings": [(0, 1, "y")]}, SCHEMA, "identifier_bindings source names must be strings"),
        ({"identifier_bindings": [(0, "x", None)]}, SCHEMA, "identifier_bindings target names must be strings"),
        ({"identifier_bindings": [(0, "x", "y"), (0, 1)]}, SCHEMA, "identifier_bindings entries must be triples"),
        # Read in order: the first bad key is reported.
        ({"name": 5, "build_match": [1], "target_inventory_kinds": None}, SCHEMA, "name must be a string or None"),
        ({"owner_match": [1], "identifier_bindings": [5]}, SCHEMA, "owner_match entries must be strings"),
        ({"build_match": ["a.b"]}, None, None),  # never reached: there is no open record of the kind
    ],
)
def test_query_reading_errors(registered_engine, edit, error, message):
    e = registered_engine
    state = qe.assembly_state_create(e)
    block = register(e, PRODUCERS["block"])
    query = dict(demand(["hole.block"]), **edit)
    for call in (lambda: qe.assembly_state_query_demand_candidates(e, state, query),
                 lambda: qe.assembly_state_query_composable_candidates(e, state, block, query)):
        if error is None:
            assert call()["candidates"] == []
            continue
        with pytest.raises(error) as info:
            call()
        if message:
            assert str(info.value) == "native schema error: " + message
        assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("missing", ["name", "build_match", "owner_match", "target_inventory_kinds",
                                     "identifier_bindings"])
def test_query_keys_are_all_required(registered_engine, missing):
    e = registered_engine
    state = qe.assembly_state_create(e)
    query = demand(["hole.block"])
    del query[missing]
    with pytest.raises(SCHEMA, match=f"^native schema error: missing field: {missing}$"):
        qe.assembly_state_query_demand_candidates(e, state, query)


def test_endless_binding_entries_are_refused(registered_engine):
    e = registered_engine
    state = qe.assembly_state_create(e)
    import itertools
    with pytest.raises(SCHEMA, match="entries must be triples$"):
        qe.assembly_state_query_demand_candidates(e, state, demand(["hole.block"], bindings=[itertools.count()]))


def test_query_handle_checks(world, builtin_bundle):
    e, state, t, root = world
    f = qe.engine_create()
    qe.register_surface_bundle(f, builtin_bundle)
    foreign_t = register(f, PRODUCERS["block"])
    foreign_s = qe.assembly_state_create(f)
    bad = dict(demand(["hole.block"]), name=5)  # the handles are checked before the query is read
    cases = [
        (lambda: qe.assembly_state_query_demand_candidates(e, foreign_s, bad), "handle belongs to another native engine"),
        (lambda: qe.assembly_state_query_composable_candidates(e, foreign_s, foreign_t, bad),
         "handle belongs to another native engine"),
        (lambda: qe.assembly_state_query_composable_candidates(e, state, foreign_t, bad),
         "handle belongs to another native engine"),
    ]
    for call, detail in cases:
        with pytest.raises(STALE, match=f"^native stale handle: {detail}$"):
            call()
    with pytest.raises(TypeError) as info:
        qe.assembly_state_query_demand_candidates(e, state, [("name", None)])
    assert str(info.value) == "'list' object is not an instance of 'dict'"
    assert info.value.__notes__ == ["while processing 'request'"]
    qe.engine_close(e)
    with pytest.raises(STALE, match="^native stale handle: engine handle is already closed$"):
        qe.assembly_state_query_composable_candidates(e, foreign_s, foreign_t, bad)


# ---------------------------------------------------------------------------
# Batch errors: reading (phase A) changes nothing, not even for the valid
# requests before the bad one


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


READING_CASES = [
    ("not a dict", lambda t: 5, SCHEMA, "batch request entries must be dicts"),
    ("a list is not a dict", lambda t: [("resource_kind", "external")], SCHEMA, "batch request entries must be dicts"),
    ("no kind", lambda t: {}, SCHEMA, "missing field: resource_kind"),
    ("kind not a string", lambda t: {"resource_kind": 5}, SCHEMA, "resource_kind must be a string"),
    ("unknown kind", lambda t: {"resource_kind": "Composable"}, SCHEMA, "unsupported batch resource kind: Composable"),
    ("unknown kind before its keys", lambda t: {"resource_kind": "x.y", "name": 5}, SCHEMA,
     "unsupported batch resource kind: x.y"),
    ("no source template", lambda t: {"resource_kind": "composable"}, SCHEMA, "missing field: source_template"),
    ("source template of the wrong class", lambda t: dict(composable(t["block"]), source_template=t["state"]), SCHEMA,
     "source_template must be a native template handle"),
    ("source template of another engine", lambda t: composable(t["foreign"]), STALE,
     "handle belongs to another native engine"),
    ("instance name", lambda t: dict(composable(t["block"]), source_instance_name=None), SCHEMA,
     "source_instance_name must be a string"),
    ("order not an integer", lambda t: dict(composable(t["block"]), operation_order=1.0), SCHEMA,
     "operation_order must be an integer"),
    ("order too large", lambda t: dict(composable(t["block"]), operation_order=2**63), SCHEMA,
     "operation_order must be an integer"),
    ("order too small", lambda t: dict(composable(t["block"]), operation_order=-(2**63) - 1), SCHEMA,
     "operation_order must be an integer"),
    ("own keys before the target keys", lambda t: dict(composable(t["block"]), operation_order="1", name=5), SCHEMA,
     "operation_order must be an integer"),
    ("no value token", lambda t: {k: v for k, v in external().items() if k != "value_token"}, SCHEMA,
     "missing field: value_token"),
    ("negative value token", lambda t: external(token=-1), SCHEMA, "value_token must be an unsigned integer"),
    ("value token too large", lambda t: external(token=2**64), SCHEMA, "value_token must be an unsigned integer"),
    ("identifier not a string", lambda t: identifier(None), SCHEMA, "identifier must be a string"),
    ("no identifier", lambda t: {"resource_kind": "identifier"}, SCHEMA, "missing field: identifier"),
    ("name", lambda t: external(name=b"k"), SCHEMA, "name must be a string or None"),
    ("no name", lambda t: {k: v for k, v in external().items() if k != "name"}, SCHEMA, "missing field: name"),
    ("build match entries", lambda t: external(build_match=["a", 1]), SCHEMA, "build_match entries must be strings"),
    ("owner match entries", lambda t: external(owner_match=[None]), SCHEMA, "owner_match entries must be strings"),
    ("build match not iterable", lambda t: external(build_match=5), TypeError, None),
    ("no owner match", lambda t: {k: v for k, v in external().items() if k != "owner_match"}, SCHEMA,
     "missing field: owner_match"),
    ("allow not a bool", lambda t: external(allow=1), SCHEMA, "allow_equivalent_demand_sites must be a bool"),
    ("no allow", lambda t: {k: v for k, v in external().items() if k != "allow_equivalent_demand_sites"}, SCHEMA,
     "missing field: allow_equivalent_demand_sites"),
    ("a user __index__ that fails", lambda t: dict(composable(t["block"]), operation_order=Index("no")), TypeError,
     None),
    # Malformed selectors are read fine; they fail only when a search reaches them.
]


@pytest.mark.parametrize("make, error, message", [c[1:] for c in READING_CASES], ids=[c[0] for c in READING_CASES])
def test_reading_errors_change_nothing(world, builtin_bundle, make, error, message):
    e, state, t, root = world
    f = qe.engine_create()
    qe.register_surface_bundle(f, builtin_bundle)
    t = dict(t, foreign=register(f, PRODUCERS["block"]), state=state)
    before = frozen(e, state)
    good = [composable(t["block"], name="body"), external()]
    with pytest.raises(error) as info:
        qe.assembly_state_apply_request_batch(e, state, good + [make(t)])
    if message:
        prefix = "native schema error: " if error is SCHEMA else "native stale handle: "
        assert str(info.value) == prefix + message
    assert not getattr(info.value, "__notes__", None)
    assert frozen(e, state) == before


def test_keys_of_other_kinds_are_not_read(world):
    e, state, t, root = world
    # An external request needs no source template; unknown keys are ignored; a dict subclass is a dict.
    class Request(dict):
        def __getitem__(self, key):
            raise AssertionError("the dictionary's own lookup is used")

    request = Request(external(), source_template=None, identifier=5, extra=object())
    assert qe.assembly_state_apply_request_batch(e, state, [request])["events"][0]["kind"] == "external"
    ordered = dict(composable(t["block"], name="body"), operation_order=Index(-2))
    assert qe.assembly_state_apply_request_batch(e, state, (r for r in [ordered]))["events"][0]["order"] == -2


def test_applying_stops_at_the_failing_request_without_rollback(world):
    e, state, t, root = world
    batch = [
        composable(t["block"], name="body", instance="one"),
        external(name="k", token=7),
        identifier("v", name="w", build_match=["Root", "a.b"]),  # the bad part is reached: fails
        composable(t["block"], name="body", instance="never"),
    ]
    with pytest.raises(SCHEMA, match='reserved path selector character in "a.b"$'):
        qe.assembly_state_apply_request_batch(e, state, batch)
    snap = qe.assembly_state_snapshot(e, state)
    assert [o["build_path"] for o in snap["occurrences"]] == [["Root"], ["Root", "one"]]
    assert [(o["kind"], o["target_record_id"]) for o in snap["overlays"]] == [("external", [0, 4])]
    assert len(snap["edges"]) == 1


@pytest.mark.parametrize(
    "request_, message",
    [
        (lambda t: composable(t["block"], name="nope"), "expected exactly one candidate, found 0"),
        (lambda t: composable(t["funcargs"], name="body"), "expected exactly one candidate, found 0"),
        (lambda t: composable(t["funcargs"]), "expected exactly one candidate, found 2"),  # args and kw
        (lambda t: composable(t["expr"]), "expected exactly one candidate, found 4"),
        (lambda t: composable(t["expr"], allow=True), "expected exactly one candidate, found 4"),
        (lambda t: identifier("q", name="k"), "expected exactly one candidate, found 0"),  # k is not a demand
        (lambda t: composable(t["block"], build_match=[""]), "invalid path selector: empty path selector part"),
        (lambda t: composable(t["block"], owner_match=["/"]),
         'invalid path selector: reserved path selector character in "/"'),
    ],
)
def test_applying_errors(world, request_, message):
    e, state, t, root = world
    before = frozen(e, state)
    with pytest.raises(SCHEMA, match="^native schema error: " + message.replace("(", r"\(") + "$"):
        qe.assembly_state_apply_request_batch(e, state, [request_(t)])
    assert frozen(e, state) == before


def test_batch_handle_checks(world, builtin_bundle):
    e, state, t, root = world
    f = qe.engine_create()
    qe.register_surface_bundle(f, builtin_bundle)
    foreign_state = qe.assembly_state_create(f)
    with pytest.raises(STALE, match="^native stale handle: handle belongs to another native engine$"):
        qe.assembly_state_apply_request_batch(e, foreign_state, [5])  # before any request is read
    with pytest.raises(TypeError) as info:
        qe.assembly_state_apply_request_batch(e, root, [])
    assert info.value.__notes__ == ["while processing 'state'"]
    with pytest.raises(TypeError, match="not iterable"):
        qe.assembly_state_apply_request_batch(e, state, 5)
    qe.engine_close(e)
    with pytest.raises(STALE, match="^native stale handle: engine handle is already closed$"):
        qe.assembly_state_apply_request_batch(e, foreign_state, [])


def test_reentrant_requests_are_refused_and_change_nothing(world):
    e, state, t, root = world
    before = frozen(e, state)
    seen = []

    class Sneaky:
        def __index__(self):
            for call in (lambda: qe.assembly_state_apply_request_batch(e, state, [external()]),
                         lambda: qe.assembly_state_snapshot(e, state),
                         lambda: qe.engine_close(e)):
                try:
                    call()
                except RuntimeError as err:
                    seen.append(str(err))
            return 0

    def requests():
        yield composable(t["block"], name="body", order=Sneaky())
        yield external()
        raise LookupError("stop")

    with pytest.raises(LookupError):
        qe.assembly_state_apply_request_batch(e, state, requests())
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert frozen(e, state) == before
    assert not e.closed
    # The same request without the failing tail applies, re-entrancy and all.
    result = qe.assembly_state_apply_request_batch(e, state, [composable(t["block"], name="body", order=Sneaky())])
    assert result["events"][0]["order"] == 0


def test_a_reentrant_dictionary_key_is_refused_and_changes_nothing(world):
    e, state, t, root = world
    before = frozen(e, state)
    seen = []

    class Key(str):
        """Compares equal to "name" and runs engine calls (and edits the request) while being compared."""

        def __hash__(self):
            return hash("name")

        def __eq__(self, other):
            for call in (lambda: qe.assembly_state_create(e), lambda: qe.assembly_state_index_snapshot(e, state)):
                try:
                    call()
                except RuntimeError as err:
                    seen.append(str(err))
            request.clear()
            return False

    request = dict(external())
    del request["name"]
    request[Key("nam")] = None  # hashes like "name" without being it
    with pytest.raises(SCHEMA, match="^native schema error: missing field: name$"):
        qe.assembly_state_apply_request_batch(e, state, [request])
    assert seen[:2] == ["Already borrowed", "Already mutably borrowed"]
    assert frozen(e, state) == before
    query = demand(["hole.block"])
    del query["name"]
    request = query
    query[Key("nam")] = "body"
    with pytest.raises(SCHEMA, match="^native schema error: missing field: name$"):
        qe.assembly_state_query_demand_candidates(e, state, query)
    # A query holds the engine shared: another reader gets in, a writer is refused.
    assert seen[2:] == ["Already borrowed"]
    assert frozen(e, state) == before
