"""Assembly states: appending occurrences, edges, overlays and satisfied marks,
the checks in their order and family, and the two descriptions of a state
(the structural inventory and the six record indexes)."""

import copy

import pytest

import _quorbin_native_engine as qe

STALE = RuntimeError
SCHEMA = ValueError

# def main: a block hole `body` and an expression hole `val` owned by
# ["main"], then the template's block production.
HOLES = "def main():\n    quorbin_hole(body)\n    y = quorbin_hole(val)\n"
LEAF = "x = 1\n"  # one block production


def register(engine, source):
    return qe.register_template_snapshot(engine, qe.extract_template_snapshot(engine, source))


def register_edited(engine, source, edit):
    snap = copy.deepcopy(qe.extract_template_snapshot(engine, source))
    edit(snap)
    return qe.register_template_snapshot(engine, snap)


def no_records(snap):
    snap["records"] = []
    snap["locators"] = []
    snap["templates"][0]["record_count"] = 0


def stale(detail):
    return pytest.raises(STALE, match="^native stale handle: " + detail + "$")


def schema(detail):
    return pytest.raises(SCHEMA, match="^native schema error: " + detail + "$")


@pytest.fixture
def world(registered_engine):
    """An engine with two templates and a state holding one HOLES occurrence."""
    e = registered_engine
    holes = register(e, HOLES)
    leaf = register(e, LEAF)
    state = qe.assembly_state_create(e)
    root = qe.assembly_state_append_occurrence(e, state, holes, ["Root"])
    return e, state, holes, leaf, root


def frozen(engine, state):
    """Everything Python can observe of a state."""
    return qe.assembly_state_snapshot(engine, state), qe.assembly_state_index_snapshot(engine, state)


# ---------------------------------------------------------------------------
# Creating and appending


def test_states_are_numbered_and_every_handle_is_new(registered_engine):
    e = registered_engine
    first = qe.assembly_state_create(e)
    second = qe.assembly_state_create(e)
    assert (type(first), first.kind, first.index, second.index) == (qe.NativeAssemblyStateHandle, "assembly-state", 0, 1)
    assert first.snapshot() == {"owner_id": qe.engine_snapshot(e)["owner_id"], "kind": "assembly-state", "index": 0,
                                "generation": 0}


def test_occurrence_record_edge_and_overlay_handles(world):
    e, state, holes, leaf, root = world
    owner = qe.engine_snapshot(e)["owner_id"]
    child = qe.assembly_state_append_occurrence(e, state, leaf, ["Root", "c"], parent_occurrence=root)
    assert child.snapshot() == {"owner_id": owner, "kind": "occurrence", "state_index": 0, "index": 1, "generation": 0}
    rec = qe.assembly_state_record_handle(e, state, root, 1)
    assert rec.snapshot() == {"owner_id": owner, "kind": "record", "state_index": 0, "occurrence_index": 0,
                              "template_record_index": 1, "generation": 0}
    edge = qe.assembly_state_append_edge(e, state, rec, child, "op", -7)
    again = qe.assembly_state_append_edge(e, state, rec, child, "op", -7)
    overlay = qe.assembly_state_append_overlay(e, state, rec, "whatever", "lbl")
    assert (edge.kind, edge.index, again.index, overlay.kind, overlay.index) == ("edge", 0, 1, "overlay", 0)
    snap = qe.assembly_state_snapshot(e, state)
    # The same edge twice is kept twice; a negative order is kept as given;
    # neither an edge nor an overlay marks its target.
    assert snap["edges"] == [
        {"edge_id": i, "operation_key": "op", "order": -7, "source_occurrence_id": 1, "target_record_id": [0, 1]}
        for i in (0, 1)
    ]
    assert snap["overlays"] == [{"kind": "whatever", "overlay_id": 0, "source_label": "lbl", "target_record_id": [0, 1]}]
    assert all(r["state"] == {"satisfied": False, "visible": True} for r in snap["records"])
    assert snap["occurrences"][1] == {"build_path": ["Root", "c"], "occurrence_id": 1, "parent_occurrence_id": 0,
                                      "template_id": 1}


@pytest.mark.parametrize(
    "build_path, expected",
    [
        (["a", "b"], ["a", "b"]),
        ("ab", ["a", "b"]),  # a string is an iterable like any other
        ((), []),
        (iter(["x"]), ["x"]),
        ({"k": 1}, ["k"]),
        (["é", ""], ["é", ""]),
    ],
)
def test_build_path_is_any_iterable_of_strings(world, build_path, expected):
    e, state, holes, leaf, root = world
    occ = qe.assembly_state_append_occurrence(e, state, leaf, build_path)
    assert qe.assembly_state_snapshot(e, state)["occurrences"][occ.index]["build_path"] == expected


def test_parent_none_and_omitted_behave_alike(world):
    e, state, holes, leaf, root = world
    a = qe.assembly_state_append_occurrence(e, state, leaf, ["a"], None)
    b = qe.assembly_state_append_occurrence(e, state, leaf, ["a"])
    occs = qe.assembly_state_snapshot(e, state)["occurrences"]
    assert occs[a.index]["parent_occurrence_id"] is None and occs[b.index]["parent_occurrence_id"] is None


def test_mark_satisfied_twice_and_the_record_state(world):
    e, state, holes, leaf, root = world
    rec = qe.assembly_state_record_handle(e, state, root, 0)
    assert qe.assembly_state_mark_satisfied(e, state, rec) is None
    assert qe.assembly_state_mark_satisfied(e, state, rec) is None
    states = [r["state"] for r in qe.assembly_state_snapshot(e, state)["records"]]
    assert states == [{"satisfied": True, "visible": False}] + [{"satisfied": False, "visible": True}] * 2


def test_a_template_without_records_adds_an_occurrence_and_no_index_key(registered_engine):
    e = registered_engine
    empty = register_edited(e, LEAF, no_records)
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, empty, ["E"])
    snap = qe.assembly_state_snapshot(e, state)
    assert [o["build_path"] for o in snap["occurrences"]] == [["E"]] and snap["records"] == []
    assert all(v == [] for v in qe.assembly_state_index_snapshot(e, state).values())


# ---------------------------------------------------------------------------
# Checks: order and family. Each case starts from a fresh world and breaks
# one thing; where several things are wrong, the expected one is reported.


@pytest.fixture
def other(builtin_bundle):
    """A second engine with the same shape as the world's, for foreign handles."""
    e = qe.engine_create()
    qe.register_surface_bundle(e, builtin_bundle)
    holes = register(e, HOLES)
    state = qe.assembly_state_create(e)
    root = qe.assembly_state_append_occurrence(e, state, holes, ["Root"])
    return {"engine": e, "template": holes, "state": state, "occurrence": root,
            "record": qe.assembly_state_record_handle(e, state, root, 0)}


def second_state(e, holes):
    """A second state of the world's engine holding one occurrence."""
    s2 = qe.assembly_state_create(e)
    occ = qe.assembly_state_append_occurrence(e, s2, holes, ["S2"])
    return s2, occ, qe.assembly_state_record_handle(e, s2, occ, 0)


CHECK_CASES = [
    # append_occurrence
    ("occ: closed engine before everything", "occ", dict(close=True, state="other", build_path=[1]),
     STALE, "engine handle is already closed"),
    ("occ: foreign state before foreign template", "occ", dict(state="other", template="other"),
     STALE, "handle belongs to another native engine"),
    ("occ: foreign template before a bad build path", "occ", dict(template="other", build_path=[1]),
     STALE, "handle belongs to another native engine"),
    ("occ: bad build path before a foreign parent", "occ", dict(build_path=["a", 3], parent="other"),
     SCHEMA, "build_path entries must be strings"),
    ("occ: foreign parent", "occ", dict(parent="other"), STALE, "handle belongs to another native engine"),
    ("occ: parent from another state", "occ", dict(parent="second"),
     STALE, "parent occurrence belongs to another native assembly state"),
    # record_handle
    ("rec: closed", "rec", dict(close=True, occurrence="other"), STALE, "engine handle is already closed"),
    ("rec: foreign state first", "rec", dict(state="other", occurrence="second"), STALE,
     "handle belongs to another native engine"),
    ("rec: foreign occurrence", "rec", dict(occurrence="other"), STALE, "handle belongs to another native engine"),
    ("rec: occurrence of another state", "rec", dict(occurrence="second"), STALE,
     "occurrence belongs to another native assembly state"),
    ("rec: index equal to the record count", "rec", dict(index=3), STALE, "unknown native template record handle"),
    # append_edge
    ("edge: closed", "edge", dict(close=True, target="other"), STALE, "engine handle is already closed"),
    ("edge: foreign source after state and target", "edge", dict(source="other"), STALE,
     "handle belongs to another native engine"),
    ("edge: foreign target before a target of another state", "edge", dict(target="other", source="second"), STALE,
     "handle belongs to another native engine"),
    ("edge: target of another state", "edge", dict(target="second"), SCHEMA,
     "edge handles must belong to the target assembly state"),
    ("edge: source of another state", "edge", dict(source="second"), SCHEMA,
     "edge handles must belong to the target assembly state"),
    # append_overlay
    ("overlay: closed", "overlay", dict(close=True), STALE, "engine handle is already closed"),
    ("overlay: foreign state", "overlay", dict(state="other", target="second"), STALE,
     "handle belongs to another native engine"),
    ("overlay: foreign target", "overlay", dict(target="other"), STALE, "handle belongs to another native engine"),
    ("overlay: target of another state", "overlay", dict(target="second"), SCHEMA,
     "overlay target belongs to another native assembly state"),
    # mark_satisfied
    ("mark: closed", "mark", dict(close=True), STALE, "engine handle is already closed"),
    ("mark: foreign record", "mark", dict(target="other"), STALE, "handle belongs to another native engine"),
    ("mark: record of another state", "mark", dict(target="second"), SCHEMA,
     "record belongs to another native assembly state"),
    # snapshots
    ("snapshot: closed", "snapshot", dict(close=True), STALE, "engine handle is already closed"),
    ("snapshot: foreign state", "snapshot", dict(state="other"), STALE, "handle belongs to another native engine"),
    ("index snapshot: closed", "index", dict(close=True), STALE, "engine handle is already closed"),
    ("index snapshot: foreign state", "index", dict(state="other"), STALE, "handle belongs to another native engine"),
    # create
    ("create: closed", "create", dict(close=True), STALE, "engine handle is already closed"),
]


@pytest.mark.parametrize("call, breaks, error, detail", [c[1:] for c in CHECK_CASES], ids=[c[0] for c in CHECK_CASES])
def test_checks_in_order(world, other, call, breaks, error, detail):
    e, state, holes, leaf, root = world
    s2, occ2, rec2 = second_state(e, holes)
    own = {"state": state, "template": leaf, "occurrence": root, "record": qe.assembly_state_record_handle(e, state, root, 0)}

    def pick(role, default_role=None):
        which = breaks.get(role)
        key = default_role or role
        if which == "other":
            return other[key]
        if which == "second":
            return {"state": s2, "occurrence": occ2, "record": rec2}[key]
        return own[key]

    before = frozen(e, state)
    if breaks.get("close"):
        qe.engine_close(e)
    with pytest.raises(error) as info:
        if call == "occ":
            parent = pick("parent", "occurrence") if "parent" in breaks else None
            qe.assembly_state_append_occurrence(e, pick("state"), pick("template"), breaks.get("build_path", ["p"]),
                                                parent)
        elif call == "rec":
            qe.assembly_state_record_handle(e, pick("state"), pick("occurrence"), breaks.get("index", 0))
        elif call == "edge":
            qe.assembly_state_append_edge(e, pick("state"), pick("target", "record"), pick("source", "occurrence"),
                                          "op", 0)
        elif call == "overlay":
            qe.assembly_state_append_overlay(e, pick("state"), pick("target", "record"), "k", "l")
        elif call == "mark":
            qe.assembly_state_mark_satisfied(e, pick("state"), pick("target", "record"))
        elif call == "snapshot":
            qe.assembly_state_snapshot(e, pick("state"))
        elif call == "index":
            qe.assembly_state_index_snapshot(e, pick("state"))
        elif call == "create":
            qe.assembly_state_create(e)
    prefix = "native stale handle: " if error is STALE else "native schema error: "
    assert str(info.value) == prefix + detail
    assert not getattr(info.value, "__notes__", None)  # raised by the operation, not by conversion
    if not breaks.get("close"):
        assert frozen(e, state) == before


@pytest.mark.parametrize(
    "call, error, message, note",
    [
        (lambda e, s, t, o, r: qe.assembly_state_append_occurrence(e, s, t, ["a"], parent_occurrence=r), TypeError,
         "'NativeRecordHandle' object is not an instance of 'NativeOccurrenceHandle'", "parent_occurrence"),
        (lambda e, s, t, o, r: qe.assembly_state_append_occurrence(e, o, t, ["a"]), TypeError,
         "'NativeOccurrenceHandle' object is not an instance of 'NativeAssemblyStateHandle'", "state"),
        (lambda e, s, t, o, r: qe.assembly_state_append_edge(e, s, r, o, "op", 2**63), OverflowError, None, "order"),
        (lambda e, s, t, o, r: qe.assembly_state_append_edge(e, s, r, o, "op", "1"), TypeError, None, "order"),
        (lambda e, s, t, o, r: qe.assembly_state_append_edge(e, s, r, o, 5, 0), TypeError,
         "'int' object is not an instance of 'str'", "operation_key"),
        (lambda e, s, t, o, r: qe.assembly_state_record_handle(e, s, o, -1), OverflowError, None,
         "template_record_index"),
        (lambda e, s, t, o, r: qe.assembly_state_append_overlay(e, s, o, "k", "l"), TypeError,
         "'NativeOccurrenceHandle' object is not an instance of 'NativeRecordHandle'", "target"),
        (lambda e, s, t, o, r: qe.assembly_state_append_overlay(e, s, r, "k", "\ud800"), UnicodeEncodeError, None,
         "source_label"),
    ],
)
def test_argument_conversion_comes_first(world, call, error, message, note):
    e, state, holes, leaf, root = world
    rec = qe.assembly_state_record_handle(e, state, root, 0)
    qe.engine_close(e)  # conversion errors are reported even on a closed engine
    with pytest.raises(error) as info:
        call(e, state, leaf, root, rec)
    if message:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_a_build_path_that_is_not_iterable_fails_with_the_interpreters_error(world):
    e, state, holes, leaf, root = world
    before = frozen(e, state)
    with pytest.raises(TypeError, match="not iterable") as info:
        qe.assembly_state_append_occurrence(e, state, leaf, 5)
    assert not getattr(info.value, "__notes__", None)
    assert frozen(e, state) == before


def test_edge_order_extremes_are_kept(world):
    e, state, holes, leaf, root = world
    rec = qe.assembly_state_record_handle(e, state, root, 0)
    for order in (-(2**63), 2**63 - 1, True):
        qe.assembly_state_append_edge(e, state, rec, root, "op", order)
    assert [x["order"] for x in qe.assembly_state_snapshot(e, state)["edges"]] == [-(2**63), 2**63 - 1, 1]


def test_a_reentrant_build_path_is_refused_and_changes_nothing(world):
    e, state, holes, leaf, root = world
    before = frozen(e, state)
    seen = []

    def path():
        yield "a"
        try:
            qe.assembly_state_append_occurrence(e, state, leaf, ["nested"])
        except RuntimeError as err:
            seen.append(str(err))
        try:
            qe.assembly_state_index_snapshot(e, state)
        except RuntimeError as err:
            seen.append(str(err))
        raise KeyError("stop")

    with pytest.raises(KeyError):
        qe.assembly_state_append_occurrence(e, state, leaf, path())
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert frozen(e, state) == before
    # The borrow ended with the call.
    qe.assembly_state_append_occurrence(e, state, leaf, ["after"])


# ---------------------------------------------------------------------------
# The structural inventory


def test_new_state_lists_every_template_and_locator(registered_engine, builtin_bundle):
    e = registered_engine
    t0 = register(e, HOLES)
    register_edited(e, LEAF, no_records)
    t2 = register(e, LEAF)
    state = qe.assembly_state_create(e)
    snap = qe.assembly_state_snapshot(e, state)
    assert list(snap) == ["schema", "surface_bundle", "templates", "locators", "occurrences", "records", "edges",
                          "overlays", "materialization", "diagnostics"]
    assert snap["schema"] == "quorbin.structural-inventory.v1"
    assert snap["surface_bundle"] == qe.surface_bundle_snapshot(e)
    assert [t["template_id"] for t in snap["templates"]] == [0, 1, 2]
    assert [t["record_count"] for t in snap["templates"]] == [3, 0, 1]
    # Locator ids run on over all templates; the recordless template has none.
    assert [(loc["template_id"], loc["locator_id"]) for loc in snap["locators"]] == [(0, 0), (0, 1), (0, 2), (2, 3)]
    assert all(loc["parent_locator_id"] is None for loc in snap["locators"])
    assert (snap["occurrences"], snap["records"], snap["edges"], snap["overlays"], snap["diagnostics"]) == ([],) * 5
    assert snap["materialization"] == {"artifact_requests": [], "debug_views": {}, "hygiene_stream": [],
                                       "operation_stream": [], "root_occurrence_id": None}
    assert t0.index == 0 and t2.index == 2


@pytest.mark.parametrize("source", [HOLES, LEAF, "def f__quorbin_arg__(a__quorbin_arg__):\n    quorbin_hole(b)\n",
                                    "quorbin_bind_external(k)\n", "import os\nquorbin_export(v)\n"])
def test_round_trip_finds_records_and_locators_again(registered_engine, source):
    e = registered_engine
    register(e, LEAF)  # shifts the engine-wide locator ids of what follows by one
    extracted = qe.extract_template_snapshot(e, source)
    n = len(extracted["locators"])
    from_snapshot = qe.register_template_snapshot(e, extracted)
    from_source = qe.register_template_package_v2_source(e, source)
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, from_snapshot, ["Template"])
    qe.assembly_state_append_occurrence(e, state, from_source, ["Template"])
    snap = qe.assembly_state_snapshot(e, state)
    for template_id, first_locator in ((1, 1), (2, 1 + n)):
        assert snap["templates"][template_id] == dict(extracted["templates"][0], template_id=template_id)
        assert snap["locators"][first_locator:first_locator + n] == [
            dict(loc, locator_id=loc["locator_id"] + first_locator, template_id=template_id)
            for loc in extracted["locators"]]
    assert snap["records"] == [
        dict(r, locator_id=r["locator_id"] + first_locator, occurrence_id=o, record_id=[o, r["template_record_id"]])
        for o, first_locator in ((0, 1), (1, 1 + n)) for r in extracted["records"]]
    assert snap["occurrences"] == [dict(extracted["occurrences"][0], occurrence_id=o, template_id=t)
                                   for o, t in ((0, 1), (1, 2))]


def test_parent_locator_ids_are_offset_like_locator_ids(registered_engine):
    e = registered_engine
    register(e, LEAF)

    def parents(snap):
        snap["locators"][0]["parent_locator_id"] = 2
        snap["locators"][1]["parent_locator_id"] = 99  # never checked, only offset

    register_edited(e, HOLES, parents)
    locs = qe.assembly_state_snapshot(e, qe.assembly_state_create(e))["locators"]
    assert [loc["parent_locator_id"] for loc in locs] == [None, 3, 100, None]


def test_no_bundle_gives_an_index_snapshot_but_no_inventory():
    e = qe.engine_create()
    state = qe.assembly_state_create(e)
    assert qe.assembly_state_index_snapshot(e, state) == {k: [] for k in (
        "by_build_path", "by_surface", "by_resource_name", "by_inventory_kind", "by_owner", "by_name_and_kind")}
    with schema("surface bundle has not been registered"):
        qe.assembly_state_snapshot(e, state)


# ---------------------------------------------------------------------------
# The record indexes


def records_named(names_kinds_owners):
    """A snapshot editor giving the template records with these fields."""
    def edit(snap):
        base = snap["records"][0]
        loc = snap["locators"][0]
        snap["records"] = [dict(base, record_id=[0, k], template_record_id=k, locator_id=k, resource_name=n,
                                inventory_kind=kind, code_owner=owner, surface_key=surface)
                           for k, (n, kind, owner, surface) in enumerate(names_kinds_owners)]
        snap["locators"] = [dict(loc, locator_id=k) for k in range(len(names_kinds_owners))]
        snap["templates"][0]["record_count"] = len(names_kinds_owners)
    return edit


def test_index_keys_order_by_bytes_and_lists_keep_append_order(registered_engine):
    e = registered_engine
    rows = [
        ("b", "hole.block", ["m", "n"], "s.b"),
        ("", "hole.expr", [], ""),           # no name: not under by_resource_name or by_name_and_kind
        ("a", "", ["m"], "s.a"),             # no kind: not under by_inventory_kind or by_name_and_kind
        ("é", "hole.block", ["m", ""], "s.b"),
        ("ab", "hole.block", ["M"], "s.b"),
        ("B", "hole.block", ["m", "n"], "s.a"),
    ]
    tmpl = register_edited(e, LEAF, records_named(rows))
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, tmpl, ["p", "q"])
    qe.assembly_state_append_occurrence(e, state, tmpl, ["p"])
    qe.assembly_state_append_occurrence(e, state, tmpl, ["p", "q"])  # same path: both kept, first first
    ix = qe.assembly_state_index_snapshot(e, state)
    assert list(ix) == ["by_build_path", "by_surface", "by_resource_name", "by_inventory_kind", "by_owner",
                        "by_name_and_kind"]

    def keys(name):
        return [entry["key"] for entry in ix[name]]

    def under(name, key):
        return next(entry["records"] for entry in ix[name] if entry["key"] == key)

    every = lambda o: [[o, k] for k in range(6)]  # noqa: E731
    assert keys("by_build_path") == [["p"], ["p", "q"]]
    assert under("by_build_path", ["p", "q"]) == every(0) + every(2)
    assert keys("by_surface") == ["", "s.a", "s.b"]
    assert under("by_surface", "s.a") == [[o, k] for o in range(3) for k in (2, 5)]
    assert keys("by_resource_name") == ["B", "a", "ab", "b", "é"]  # bytes: upper case first, UTF-8 last
    assert keys("by_inventory_kind") == ["hole.block", "hole.expr"]
    assert under("by_inventory_kind", "hole.block") == [[o, k] for o in range(3) for k in (0, 3, 4, 5)]
    assert keys("by_owner") == [[], ["M"], ["m"], ["m", ""], ["m", "n"]]  # a prefix first
    assert keys("by_name_and_kind") == [["B", "hole.block"], ["ab", "hole.block"], ["b", "hole.block"],
                                        ["é", "hole.block"]]
    assert all(entry["records"] and list(entry) == ["key", "records"] for v in ix.values() for entry in v)
