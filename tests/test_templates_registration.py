"""register_template_snapshot: the shape checks, their order, and nothing half-registered."""

import copy

import pytest

import _quorbin_native_engine as qe


SOURCE = "def f(a__quorbin_arg__):\n    quorbin_hole(b)\n"  # three records


@pytest.fixture
def snapshot(registered_engine):
    snap = qe.extract_template_snapshot(registered_engine, SOURCE)
    assert len(snap["records"]) == 3
    return snap


def registered_count(engine):
    """How many templates the engine holds: the index the next registration gets."""
    probe = qe.extract_template_snapshot(engine, "")
    handle = qe.register_template_snapshot(engine, probe)
    return handle.index


def test_extracted_snapshot_registers(registered_engine, snapshot):
    first = qe.register_template_snapshot(registered_engine, snapshot)
    assert type(first) is qe.NativeTemplateHandle
    assert (first.kind, first.index) == ("template", 0)
    assert first.snapshot() == {
        "owner_id": qe.engine_snapshot(registered_engine)["owner_id"],
        "kind": "template",
        "index": 0,
        "generation": 0,
    }
    again = qe.register_template_snapshot(registered_engine, snapshot)
    assert again.index == 1
    assert again is not first


def test_only_the_named_keys_are_read(registered_engine, snapshot):
    snap = dict(snapshot)
    for key in ("surface_bundle", "occurrences", "edges", "overlays", "materialization", "diagnostics"):
        del snap[key]
    snap["templates"] = [dict(snapshot["templates"][0], template_id="ignored")]
    snap["locators"] = [dict(l, template_id=None) for l in snapshot["locators"]]
    for loc in snap["locators"]:
        del loc["template_id"]
    snap["records"] = [dict(r) for r in snapshot["records"]]
    for rec in snap["records"]:
        del rec["occurrence_id"], rec["state"]
    snap["unrelated"] = object()
    assert qe.register_template_snapshot(registered_engine, snap).index == 0


def edit(path, value):
    """A mutator setting snapshot[path...] = value (or deleting it when value is DELETE)."""

    def apply(snap):
        target = snap
        for step in path[:-1]:
            target = target[step]
        if value is DELETE:
            del target[path[-1]]
        else:
            target[path[-1]] = value(target[path[-1]]) if callable(value) else value

    return apply


DELETE = object()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise ArithmeticError("index refused")


def gen(items):
    return (item for item in items)


# (mutation, exception type, message); the schema messages carry the prefix
REFUSALS = [
    (edit(["schema"], DELETE), ValueError, "native schema error: missing field: schema"),
    (edit(["schema"], None), ValueError, "native schema error: schema must be a string"),
    (edit(["schema"], b"quorbin.structural-inventory.v1"), ValueError, "native schema error: schema must be a string"),
    (edit(["schema"], "quorbin.structural-inventory.v2"), ValueError, "native schema error: unsupported template snapshot schema"),
    (edit(["templates"], DELETE), ValueError, "native schema error: missing field: templates"),
    (edit(["templates"], []), ValueError, "native schema error: template snapshot must contain exactly one template"),
    (edit(["templates"], lambda t: t * 2), ValueError, "native schema error: template snapshot must contain exactly one template"),
    (edit(["templates"], lambda t: t + [5]), ValueError, "native schema error: templates entries must be dicts"),
    (edit(["templates"], "x"), ValueError, "native schema error: templates entries must be dicts"),
    (edit(["templates"], 7), TypeError, "'int' object is not iterable"),
    (edit(["templates"], None), TypeError, "'NoneType' object is not iterable"),
    # an empty template list is refused before any locator is read
    (lambda s: (s.__setitem__("templates", []), s.__setitem__("locators", 5)), ValueError,
     "native schema error: template snapshot must contain exactly one template"),
    (edit(["locators"], DELETE), ValueError, "native schema error: missing field: locators"),
    (edit(["locators"], "ab"), ValueError, "native schema error: locators entries must be dicts"),
    (edit(["locators", 1, "locator_id"], 2), ValueError, "native schema error: template locators must be ordered by local locator_id"),
    (edit(["locators", 0, "locator_id"], None), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["locators", 0, "locator_id"], -1), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["locators", 0, "locator_id"], 2**64), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["locators", 0, "locator_id"], 0.0), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["locators", 0, "locator_id"], "0"), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["locators", 0, "locator_id"], RaisingIndex()), ArithmeticError, "index refused"),
    (edit(["locators", 0, "ast_path"], DELETE), ValueError, "native schema error: missing field: ast_path"),
    (edit(["locators", 0, "authored_summary"], 1), ValueError, "native schema error: authored_summary must be a string"),
    (edit(["locators", 0, "materialization_anchor"], None), ValueError, "native schema error: materialization_anchor must be a string"),
    (edit(["locators", 0, "parent_locator_id"], DELETE), ValueError, "native schema error: missing field: parent_locator_id"),
    (edit(["locators", 0, "parent_locator_id"], -1), ValueError, "native schema error: parent_locator_id must be an unsigned integer or None"),
    (edit(["locators", 0, "parent_locator_id"], "1"), ValueError, "native schema error: parent_locator_id must be an unsigned integer or None"),
    (edit(["locators", 2, "role_key"], ["hole"]), ValueError, "native schema error: role_key must be a string"),
    (edit(["locators", 0, "ast_path"], "\ud800"), UnicodeEncodeError, None),
    # the first locator's faults come before the second's ordering
    (lambda s: (edit(["locators", 1, "locator_id"], 5)(s), edit(["locators", 0, "role_key"], 0)(s)), ValueError,
     "native schema error: role_key must be a string"),
    # locators are read before records
    (lambda s: (edit(["records", 0, "record_id"], [9, 9])(s), edit(["locators", 2, "ast_path"], 0)(s)), ValueError,
     "native schema error: ast_path must be a string"),
    (edit(["records"], DELETE), ValueError, "native schema error: missing field: records"),
    (edit(["records"], 3.5), TypeError, "'float' object is not iterable"),
    (edit(["records", 1, "record_id"], [0, 1, 0]), ValueError,
     "native schema error: template records must use local record ids [0, template_record_id]"),
    (edit(["records", 1, "record_id"], [1, 1]), ValueError,
     "native schema error: template records must use local record ids [0, template_record_id]"),
    (edit(["records", 1, "record_id"], [0]), ValueError,
     "native schema error: template records must use local record ids [0, template_record_id]"),
    (edit(["records", 1, "record_id"], []), ValueError,
     "native schema error: template records must use local record ids [0, template_record_id]"),
    (edit(["records", 1, "record_id"], [0, -1]), ValueError, "native schema error: record_id entries must be unsigned integers"),
    (edit(["records", 1, "record_id"], [0, 1, "x"]), ValueError, "native schema error: record_id entries must be unsigned integers"),
    (edit(["records", 1, "record_id"], 1), TypeError, "'int' object is not iterable"),
    (edit(["records", 1, "record_id"], DELETE), ValueError, "native schema error: missing field: record_id"),
    (edit(["records", 1, "template_record_id"], 0), ValueError,
     "native schema error: template records must be ordered by template_record_id"),
    (lambda s: (edit(["records", 1, "template_record_id"], 0)(s), edit(["records", 1, "record_id"], [0, 0])(s)), ValueError,
     "native schema error: template records must use local record ids [0, template_record_id]"),
    (edit(["records", 0, "template_record_id"], True), ValueError,
     "native schema error: template records must be ordered by template_record_id"),
    (edit(["records", 0, "code_owner"], [1]), ValueError, "native schema error: code_owner entries must be strings"),
    (edit(["records", 0, "code_owner"], None), TypeError, "'NoneType' object is not iterable"),
    (edit(["records", 0, "inventory_kind"], DELETE), ValueError, "native schema error: missing field: inventory_kind"),
    (edit(["records", 0, "locator_id"], -3), ValueError, "native schema error: locator_id must be an unsigned integer"),
    (edit(["records", 0, "resource_name"], None), ValueError, "native schema error: resource_name must be a string"),
    (edit(["records", 0, "semantic_summary"], 3), ValueError, "native schema error: semantic_summary must be a string"),
    (edit(["records", 2, "surface_key"], DELETE), ValueError, "native schema error: missing field: surface_key"),
    (edit(["templates", 0, "record_count"], 4), ValueError, "native schema error: template record_count does not match records length"),
    (edit(["templates", 0, "record_count"], DELETE), ValueError, "native schema error: missing field: record_count"),
    (edit(["templates", 0, "record_count"], "3"), ValueError, "native schema error: record_count must be an unsigned integer"),
    (edit(["templates", 0, "record_count"], 2**64 + 3), ValueError, "native schema error: record_count must be an unsigned integer"),
    (edit(["templates", 0, "record_count"], Index("3")), TypeError, None),
    (edit(["templates", 0, "record_count"], Index(-3)), ValueError, "native schema error: record_count must be an unsigned integer"),
    # the count is compared only after every locator and record has been read
    (lambda s: (edit(["templates", 0, "record_count"], 9)(s), edit(["records", 2, "surface_key"], 0)(s)), ValueError,
     "native schema error: surface_key must be a string"),
    (lambda s: (edit(["templates", 0, "record_count"], 9)(s), edit(["templates", 0, "template_key"], DELETE)(s)), ValueError,
     "native schema error: template record_count does not match records length"),
    (edit(["templates", 0, "template_key"], DELETE), ValueError, "native schema error: missing field: template_key"),
    (edit(["templates", 0, "source_summary"], 0), ValueError, "native schema error: source_summary must be a string"),
]


@pytest.mark.parametrize(("mutate", "error", "message"), REFUSALS)
def test_refusals(registered_engine, snapshot, mutate, error, message):
    snap = copy.deepcopy(snapshot)
    mutate(snap)
    with pytest.raises(error) as info:
        qe.register_template_snapshot(registered_engine, snap)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert registered_count(registered_engine) == 0


# Values that registration accepts in place of the extracted ones
ACCEPTED = [
    edit(["locators", 0, "parent_locator_id"], 0),
    edit(["locators", 0, "parent_locator_id"], 2**64 - 1),
    edit(["locators", 0, "parent_locator_id"], Index(7)),
    edit(["locators", 1, "locator_id"], True),
    edit(["locators", 1, "locator_id"], Index(1)),
    edit(["records", 0, "locator_id"], 2**64 - 1),
    edit(["records", 0, "code_owner"], "ab"),
    edit(["records", 0, "code_owner"], ()),
    edit(["records", 1, "code_owner"], lambda owner: gen(owner)),
    edit(["records", 1, "record_id"], lambda rid: gen(rid)),
    edit(["records", 1, "record_id"], (False, True)),
    edit(["templates"], lambda t: gen(t)),
    edit(["templates"], lambda t: tuple(t)),
    edit(["locators"], lambda l: gen(l)),
    edit(["records"], lambda r: iter(r)),
    edit(["records", 0, "inventory_kind"], "anything.at.all"),
    edit(["templates", 0, "record_count"], Index(3)),
    edit(["templates", 0, "template_key"], ""),
    edit(["schema"], type("S", (str,), {})("quorbin.structural-inventory.v1")),
]


@pytest.mark.parametrize("mutate", ACCEPTED)
def test_accepted_values(registered_engine, snapshot, mutate):
    snap = copy.deepcopy(snapshot)
    mutate(snap)
    assert qe.register_template_snapshot(registered_engine, snap).index == 0


def test_dict_subclass_lookups_bypass_getitem(registered_engine, snapshot):
    class Sneaky(dict):
        def __getitem__(self, key):
            raise AssertionError("not consulted")

    assert qe.register_template_snapshot(registered_engine, Sneaky(snapshot)).index == 0


def test_empty_template(registered_engine):
    snap = qe.extract_template_snapshot(registered_engine, "")
    snap["locators"] = []
    snap["records"] = []
    snap["templates"][0]["record_count"] = 0
    assert qe.register_template_snapshot(registered_engine, snap).index == 0


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (None, "'None' is not an instance of 'dict'"),
        ([], "'list' object is not an instance of 'dict'"),
        ("snapshot", "'str' object is not an instance of 'dict'"),
    ],
)
def test_snapshot_must_be_a_dict(registered_engine, value, message):
    with pytest.raises(TypeError) as info:
        qe.register_template_snapshot(registered_engine, value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'snapshot'"]


def test_engine_without_bundle_refuses_a_valid_snapshot(snapshot):
    bare = qe.engine_create()
    with pytest.raises(ValueError) as info:
        qe.register_template_snapshot(bare, snapshot)
    assert str(info.value) == "native schema error: surface bundle has not been registered"
    # the check precedes reading: a broken snapshot reports the same
    with pytest.raises(ValueError, match="surface bundle has not been registered"):
        qe.register_template_snapshot(bare, {})


def test_closed_engine(registered_engine, snapshot):
    qe.engine_close(registered_engine)
    with pytest.raises(RuntimeError) as info:
        qe.register_template_snapshot(registered_engine, snapshot)
    assert str(info.value) == "native stale handle: engine handle is already closed"


def test_reentrant_calls_are_refused_and_nothing_is_registered(registered_engine, snapshot):
    calls = []

    class Reentrant:
        def __init__(self, call):
            self.call = call

        def __index__(self):
            try:
                self.call()
            except RuntimeError as exc:
                calls.append(str(exc))
                raise
            return 0

    for call, message in [
        (lambda: qe.engine_snapshot(registered_engine), "Already mutably borrowed"),
        (lambda: qe.extract_template_snapshot(registered_engine, "x = 1"), "Already mutably borrowed"),
        (lambda: qe.register_template_snapshot(registered_engine, snapshot), "Already borrowed"),
        (lambda: qe.engine_close(registered_engine), "Already borrowed"),
    ]:
        snap = copy.deepcopy(snapshot)
        snap["locators"][0]["locator_id"] = Reentrant(call)
        with pytest.raises(RuntimeError) as info:
            qe.register_template_snapshot(registered_engine, snap)
        assert str(info.value) == message
        assert calls.pop() == message
    assert not qe.engine_snapshot(registered_engine)["closed"]
    assert registered_count(registered_engine) == 0


def test_user_code_may_change_the_snapshot_while_it_is_read(registered_engine, snapshot):
    snap = copy.deepcopy(snapshot)

    def records():
        # Emptying the snapshot under the reader must not disturb it.
        snap.clear()
        yield from snapshot["records"]

    snap["records"] = records()
    assert qe.register_template_snapshot(registered_engine, snap).index == 0
    assert snap == {}


def test_generator_errors_pass_through(registered_engine, snapshot):
    def broken():
        yield snapshot["records"][0]
        raise KeyError("from the generator")

    snap = copy.deepcopy(snapshot)
    snap["records"] = broken()
    with pytest.raises(KeyError, match="from the generator"):
        qe.register_template_snapshot(registered_engine, snap)
    assert registered_count(registered_engine) == 0


def test_each_registration_adds_one_template(registered_engine, builtin_bundle):
    handles = [qe.register_template_snapshot(registered_engine, qe.extract_template_snapshot(registered_engine, src)) for src in ("a", "b", "c")]
    assert [h.index for h in handles] == [0, 1, 2]
    other = qe.engine_create()
    qe.register_surface_bundle(other, builtin_bundle)
    assert qe.register_template_snapshot(other, qe.extract_template_snapshot(registered_engine, "a")).index == 0
    assert handles[0].snapshot()["owner_id"] != qe.engine_snapshot(other)["owner_id"]


def test_a_refused_snapshot_takes_no_locator_ids(registered_engine, snapshot):
    e = registered_engine
    qe.register_template_snapshot(e, qe.extract_template_snapshot(e, "f(quorbin_hole(a))"))  # 3 locators
    broken = copy.deepcopy(snapshot)
    broken["templates"][0]["record_count"] = 99  # refused after every locator was read
    with pytest.raises(ValueError):
        qe.register_template_snapshot(e, broken)
    stored = copy.deepcopy(snapshot)
    stored["records"][0]["code_owner"] = "ab"
    assert qe.register_template_snapshot(e, stored).index == 1
    inventory = qe.assembly_state_snapshot(e, qe.assembly_state_create(e))
    assert [(loc["template_id"], loc["locator_id"]) for loc in inventory["locators"]] == [
        (0, 0), (0, 1), (0, 2), (1, 3), (1, 4), (1, 5),
    ]
    state = qe.assembly_state_create(e)
    qe.assembly_state_append_occurrence(e, state, qe.register_template_snapshot(e, stored), ["Root"])
    records = qe.assembly_state_snapshot(e, state)["records"]
    assert records[0]["code_owner"] == ["a", "b"]
    assert [r["locator_id"] for r in records] == [6, 7, 8]
