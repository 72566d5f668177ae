"""The materialization plan: the operation-key check, the root, the operation
stream, the hygiene stream (root imports, edge collisions with the target
scope, boundary markers, the gate) and the counters."""

import pytest

import _quorbin_native_engine as qe

STALE = RuntimeError
SCHEMA = ValueError

FIXED_KEYS = ["quorbin.operation.gate_no_unresolved", "quorbin.operation.keep_name",
              "quorbin.operation.managed_import_request", "quorbin.operation.rename_if_collides",
              "quorbin.operation.strip_marker"]

# Module scope binds join and main; main's scope binds a. Record 0 is the
# block hole `body` inside main, record 1 the block production. Managed
# imports: join and sep from os.path, re; `a.b` alone makes no row.
ROOT = (
    "quorbin_pyimport(module=os.path, names=(join, sep))\n"
    "quorbin_pyimport(module=re)\n"
    "quorbin_pyimport(module=a.b)\n"
    "join = 1\n"
    "def main():\n"
    "    a = 1\n"
    "    quorbin_hole(body)\n"
    "    quorbin_keep(a)\n"
)
# Module scope binds a and b; one export marker.
LEAF = "a = 2\nb = 3\nquorbin_export(b)\n"
# A block hole at module level, an expression hole, a demand and an external binding.
HOLES = "quorbin_hole(top)\nv = quorbin_hole(val)\nw = x__quorbin_arg__\nquorbin_bind_external(k)\n"


def from_source(engine, source):
    return qe.register_template_package_v2_source(engine, source)


def from_snapshot(engine, source):
    return qe.register_template_snapshot(engine, qe.extract_template_snapshot(engine, source))


def composable(template, name, instance="c", order=0):
    return {"resource_kind": "composable", "source_template": template, "source_instance_name": instance,
            "operation_order": order, "name": name, "build_match": None, "owner_match": None,
            "allow_equivalent_demand_sites": False}


def bundle_without(builtin_bundle, *keys, extra=()):
    bundle = dict(builtin_bundle)
    bundle["operations"] = [op for op in builtin_bundle["operations"] if op["operation_key"] not in keys]
    bundle["operations"] += [{"operation_key": k, "version": 1, "summary": ""} for k in extra]
    return bundle


def gate(live=0, root=None, satisfied=0, capable=0, unresolved=0):
    return {"captures": {"live_record_count": live, "root_occurrence_id": root, "satisfied_record_count": satisfied,
                         "unresolved_capable_record_count": capable, "unresolved_live_record_count": unresolved},
            "operation_key": "quorbin.operation.gate_no_unresolved", "record_id": None, "target_scope_id": 0}


def plan(engine, state, root=None):
    return qe.assembly_state_materialization_plan_snapshot(engine, state, root)


def test_an_empty_state(registered_engine):
    e = registered_engine
    state = qe.assembly_state_create(e)
    assert plan(e, state) == {"artifact_requests": ["python_ast"], "debug_views": {"edge_count": 0, "overlay_count": 0},
                              "hygiene_stream": [gate()], "operation_stream": [], "root_occurrence_id": None}
    assert list(plan(e, state)) == ["artifact_requests", "debug_views", "hygiene_stream", "operation_stream",
                                    "root_occurrence_id"]


@pytest.mark.parametrize(
    "missing, edge_key, overlay_kinds, expected",
    [
        (["quorbin.operation.keep_name"], None, [], ["quorbin.operation.keep_name"]),  # even with no keep marker
        (FIXED_KEYS[::-1], None, [], FIXED_KEYS),
        ([], "custom.op", [], ["custom.op"]),
        ([], "quorbin.operation.splice_body_at_marker", ["identifier", "external", "zeta", "alpha", "zeta"],
         ["quorbin.operation.overlay.alpha", "quorbin.operation.overlay.zeta"]),
        (["quorbin.operation.rewrite_identifier", "quorbin.operation.strip_marker"], "b.op", ["identifier"],
         ["b.op", "quorbin.operation.rewrite_identifier", "quorbin.operation.strip_marker"]),
        (["quorbin.operation.lower_external_ref"], None, ["external"], ["quorbin.operation.lower_external_ref"]),
        (["quorbin.operation.overlay.identifier_suffix"], None, ["identifier_suffix"],
         ["quorbin.operation.overlay.identifier_suffix"]),
    ],
)
def test_unregistered_operation_keys(builtin_bundle, missing, edge_key, overlay_kinds, expected):
    e = qe.engine_create()
    qe.register_surface_bundle(e, bundle_without(builtin_bundle, *missing))
    state = qe.assembly_state_create(e)
    if edge_key or overlay_kinds:
        t = from_snapshot(e, HOLES)
        occ = qe.assembly_state_append_occurrence(e, state, t, ["R"])
        rec = qe.assembly_state_record_handle(e, state, occ, 0)
        if edge_key:
            qe.assembly_state_append_edge(e, state, rec, occ, edge_key, 0)
        for kind in overlay_kinds:
            qe.assembly_state_append_overlay(e, state, rec, kind, "l")
    listed = ", ".join(f'"{k}"' for k in expected)
    with pytest.raises(SCHEMA) as info:
        plan(e, state)
    assert str(info.value) == f"native schema error: unregistered materialization operation keys: [{listed}]"


def test_the_operation_stream(registered_engine, builtin_bundle):
    e = qe.engine_create()
    qe.register_surface_bundle(e, bundle_without(builtin_bundle, extra=["op.x", "quorbin.operation.overlay.tag"]))
    t = from_snapshot(e, HOLES)
    state = qe.assembly_state_create(e)
    root = qe.assembly_state_append_occurrence(e, state, t, ["R"])
    child = qe.assembly_state_append_occurrence(e, state, t, ["R", "c"], root)
    top, val = (qe.assembly_state_record_handle(e, state, root, k) for k in (0, 1))
    qe.assembly_state_append_edge(e, state, top, child, "op.x", -4)
    qe.assembly_state_append_edge(e, state, val, child, "quorbin.operation.replace_expression", 9)
    qe.assembly_state_mark_satisfied(e, state, val)
    for kind, label in (("identifier", "i"), ("external", "x"), ("tag", "t")):
        qe.assembly_state_append_overlay(e, state, val if kind == "tag" else top, kind, label)
    got = plan(e, state)
    assert got["operation_stream"] == [
        {"captures": {"edge_id": 0, "target_state": "live"}, "operation_key": "op.x", "order": -4, "overlay_id": None,
         "source_occurrence_id": 1, "target_record_id": [0, 0]},
        {"captures": {"edge_id": 1, "target_state": "satisfied"}, "operation_key": "quorbin.operation.replace_expression",
         "order": 9, "overlay_id": None, "source_occurrence_id": 1, "target_record_id": [0, 1]},
        {"captures": {"overlay_id": 0, "overlay_kind": "identifier", "source_label": "i", "target_state": "live"},
         "operation_key": "quorbin.operation.rewrite_identifier", "order": 0, "overlay_id": 0,
         "source_occurrence_id": None, "target_record_id": [0, 0]},
        {"captures": {"overlay_id": 1, "overlay_kind": "external", "source_label": "x", "target_state": "live"},
         "operation_key": "quorbin.operation.lower_external_ref", "order": 0, "overlay_id": 1,
         "source_occurrence_id": None, "target_record_id": [0, 0]},
        {"captures": {"overlay_id": 2, "overlay_kind": "tag", "source_label": "t", "target_state": "satisfied"},
         "operation_key": "quorbin.operation.overlay.tag", "order": 0, "overlay_id": 2, "source_occurrence_id": None,
         "target_record_id": [0, 1]},
    ]
    assert got["debug_views"] == {"edge_count": 2, "overlay_count": 3}
    # Templates from snapshots have no package: no hygiene but the gate. Each
    # occurrence has 5 records, 4 of them holes, demands or external bindings;
    # the satisfied expression hole counts as capable but not as unresolved.
    assert got["hygiene_stream"] == [gate(live=9, root=0, satisfied=1, capable=8, unresolved=7)]
    assert got["root_occurrence_id"] == 0


@pytest.mark.parametrize(
    "layout, root, expected",
    [
        ([], None, None),
        ([None], None, 0),
        ([None, 0, None], None, 0),
        ([None, 0], 1, 1),  # an explicit root may have a parent
        ([None, None], 1, 1),
    ],
)
def test_the_root(registered_engine, layout, root, expected):
    e = registered_engine
    t = from_snapshot(e, "x = 1\n")
    state = qe.assembly_state_create(e)
    occs = []
    for parent in layout:
        occs.append(qe.assembly_state_append_occurrence(e, state, t, ["o"], None if parent is None else occs[parent]))
    got = plan(e, state, root)
    assert got["root_occurrence_id"] == expected
    assert got["hygiene_stream"][-1]["captures"]["root_occurrence_id"] == expected


def test_checks_in_order(registered_engine, builtin_bundle):
    e = registered_engine
    state = qe.assembly_state_create(e)
    bare = qe.engine_create()
    bare_state = qe.assembly_state_create(bare)
    with pytest.raises(STALE, match="^native stale handle: unknown native occurrence handle$"):
        plan(bare, bare_state, 0)  # the root's range comes before the bundle
    with pytest.raises(SCHEMA, match="^native schema error: surface bundle has not been registered$"):
        plan(bare, bare_state, None)
    with pytest.raises(STALE, match="^native stale handle: handle belongs to another native engine$"):
        plan(e, bare_state, 7)
    with pytest.raises(TypeError) as info:
        qe.assembly_state_materialization_plan_snapshot(e, state)
    assert str(info.value) == ("assembly_state_materialization_plan_snapshot() missing 1 required positional "
                               "argument: 'root_occurrence_index'")
    with pytest.raises(OverflowError) as info:
        plan(e, state, -1)
    assert info.value.__notes__ == ["while processing 'root_occurrence_index'"]
    qe.engine_close(e)
    with pytest.raises(STALE, match="^native stale handle: engine handle is already closed$"):
        plan(e, bare_state, 7)


# ---------------------------------------------------------------------------
# Hygiene from template packages


@pytest.fixture
def hygiene(registered_engine):
    e = registered_engine
    root_t = from_source(e, ROOT)
    leaf_t = from_source(e, LEAF)
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, root_t, ["Root"])
    qe.assembly_state_apply_request_batch(e, state, [composable(leaf_t, "body", "leaf")])
    return e, state, root_t, leaf_t


def test_root_imports_edge_collisions_markers_and_the_gate(hygiene):
    e, state, root_t, leaf_t = hygiene
    got = plan(e, state)
    imports = [("join", "os.path", "join"), ("sep", "os.path", "sep"), ("re", "re", None)]
    assert got["hygiene_stream"] == [
        {"captures": {"colliding_names": ["join"], "root_occurrence_id": 0},
         "operation_key": "quorbin.operation.rename_if_collides", "record_id": None, "target_scope_id": 0},
        *[{"captures": {"final_local_name": f, "module_path": m, "original_symbol": o, "root_occurrence_id": 0},
           "operation_key": "quorbin.operation.managed_import_request", "record_id": None, "target_scope_id": 0}
          for f, m, o in imports],
        # The hole stands in main, whose scope binds `a`, as the leaf does.
        {"captures": {"colliding_names": ["a"], "source_occurrence_id": 1},
         "operation_key": "quorbin.operation.rename_if_collides", "record_id": [0, 0], "target_scope_id": 1},
        {"captures": {"marker": "quorbin_keep", "name": "a", "occurrence_id": 0},
         "operation_key": "quorbin.operation.keep_name", "record_id": None, "target_scope_id": 1},
        {"captures": {"marker": "quorbin_export", "name": "b", "occurrence_id": 1},
         "operation_key": "quorbin.operation.strip_marker", "record_id": None, "target_scope_id": 0},
        gate(live=4, root=0, capable=1, unresolved=1),
    ]
    assert got["debug_views"] == {"edge_count": 1, "overlay_count": 0, "boundary_marker_count": 3,
                                  "managed_import_request_count": 3}
    assert plan(e, state) == got  # nothing is stored between calls


def test_imports_belong_to_the_root_only(hygiene):
    e, state, root_t, leaf_t = hygiene
    got = plan(e, state, 1)  # the leaf as root: no imports, so no root rename either
    keys = [h["operation_key"] for h in got["hygiene_stream"]]
    assert "quorbin.operation.managed_import_request" not in keys
    assert keys.count("quorbin.operation.rename_if_collides") == 1  # the edge's
    assert got["debug_views"] == {"edge_count": 1, "overlay_count": 0, "boundary_marker_count": 3}


@pytest.mark.parametrize(
    "root_source, leaf_source, expected",
    [
        # No names shared: no rename.
        ("def main():\n    q = 1\n    quorbin_hole(body)\n", "a = 1\n", None),
        # A hole at module level meets the module scope.
        ("a = 0\nquorbin_hole(body)\n", "a = 1\nb = 2\n", (["a"], 0)),
        # The deepest covering scope wins: the hole in g inside f sees g's bindings only.
        ("def f():\n    a = 1\n    def g():\n        b = 1\n        quorbin_hole(body)\n", "a = 1\nb = 2\n", (["b"], 2)),
        # An expression-statement hole's path ends in /value; a defaulted hole stands on the with statement.
        ("def f():\n    a = 1\n    with quorbin_hole(body) as quorbin_fallback:\n        pass\n", "a = 1\n",
         (["a"], 1)),
        # Several shared names, sorted.
        ("z = 1\ny = 2\nquorbin_hole(body)\n", "y = 0\nz = 0\n", (["y", "z"], 0)),
    ],
)
def test_edge_collisions_find_the_target_scope(registered_engine, root_source, leaf_source, expected):
    e = registered_engine
    root_t = from_source(e, root_source)
    leaf_t = from_source(e, leaf_source)
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, root_t, ["Root"])
    qe.assembly_state_apply_request_batch(e, state, [composable(leaf_t, "body")])
    renames = [h for h in plan(e, state)["hygiene_stream"] if h["operation_key"] == "quorbin.operation.rename_if_collides"]
    if expected is None:
        assert renames == []
    else:
        names, scope = expected
        assert renames == [{"captures": {"colliding_names": names, "source_occurrence_id": 1},
                            "operation_key": "quorbin.operation.rename_if_collides", "record_id": [0, 0],
                            "target_scope_id": scope}]


def test_only_block_splices_between_packaged_templates_are_checked(registered_engine):
    e = registered_engine
    root_t = from_source(e, "a = 0\nquorbin_hole(body)\n")
    leaf_t = from_source(e, "a = 1\n")
    bare_leaf = from_snapshot(e, "a = 1\n")
    state = qe.assembly_state_create(e)
    root = qe.assembly_state_append_occurrence(e, state, root_t, ["Root"])
    body = qe.assembly_state_record_handle(e, state, root, 0)
    leaf = qe.assembly_state_append_occurrence(e, state, leaf_t, ["Root", "l"], root)
    bare = qe.assembly_state_append_occurrence(e, state, bare_leaf, ["Root", "b"], root)
    qe.assembly_state_append_edge(e, state, body, leaf, "quorbin.operation.replace_expression", 0)  # not a splice
    qe.assembly_state_append_edge(e, state, body, bare, "quorbin.operation.splice_body_at_marker", 0)  # no package
    assert [h["operation_key"] for h in plan(e, state)["hygiene_stream"]] == ["quorbin.operation.gate_no_unresolved"]
    qe.assembly_state_append_edge(e, state, body, leaf, "quorbin.operation.splice_body_at_marker", 0)
    renames = [h for h in plan(e, state)["hygiene_stream"] if h["record_id"] == [0, 0]]
    assert [h["captures"] for h in renames] == [{"colliding_names": ["a"], "source_occurrence_id": leaf.index}]


def test_markers_and_the_gate_read_the_package(registered_engine):
    e = registered_engine
    t = from_source(e, "quorbin_keep(k)\nquorbin_pass(p)\nquorbin_import(i)\n" + HOLES)
    state = qe.assembly_state_create(e)
    occ = qe.assembly_state_append_occurrence(e, state, t, ["R"])
    qe.assembly_state_mark_satisfied(e, state, qe.assembly_state_record_handle(e, state, occ, 0))
    got = plan(e, state)
    markers = [(h["operation_key"].rsplit(".", 1)[1], h["captures"]["marker"], h["captures"]["name"])
               for h in got["hygiene_stream"] if h["captures"].get("marker")]
    assert markers == [("keep_name", "quorbin_keep", "k"), ("strip_marker", "quorbin_pass", "p"),
                       ("strip_marker", "quorbin_import", "i")]
    records = qe.assembly_state_snapshot(e, state)["records"]
    capable = [r for r in records
               if r["inventory_kind"].startswith("hole.") or r["inventory_kind"].endswith(".demand")
               or r["inventory_kind"] == "external.bind"]
    assert got["hygiene_stream"][-1] == gate(live=len(records) - 1, root=0, satisfied=1, capable=len(capable),
                                             unresolved=len(capable) - 1)
    assert got["debug_views"]["boundary_marker_count"] == 3
