"""Surface bundles: reading, validation, registration and snapshots."""

import unicodedata

import pytest

import _quorbin_native_engine as native
from builtin_bundle import HOLE_PRODUCTION_PAIRS, OPERATIONS, SURFACES

SCHEMA = "native schema error: "


def small_bundle():
    return {
        "schema_version": 1,
        "bundle_key": "k",
        "bundle_signature": "sig",
        "surfaces": [
            {"surface_key": "s.hole", "version": 1, "summary": "hole"},
            {"surface_key": "s.prod", "version": 2, "summary": "production"},
        ],
        "operations": [{"operation_key": "op", "version": 3, "summary": "joins"}],
        "patterns": [
            {
                "template_key": "alpha+beta+gamma",
                "pattern_key": "p",
                "version": 4,
                "surface_key": "s.prod",
                "operation_key": "op",
                "summary": "a pattern",
                "enabled": True,
                "diagnostic_only": False,
            }
        ],
        "compatibility_rules": [
            {
                "predicate": {
                    "target_expectations": [{"field_name": "state", "expected_value": "live"}],
                    "production_expectations": [{"field_name": "f", "expected_value": "v"}],
                },
                "result_policy": {"policy_key": "pk", "summary": "ps"},
                "target_surface_key": "s.hole",
                "production_surface_key": "s.prod",
            }
        ],
    }


SMALL_SNAPSHOT = {
    "bundle_key": "k",
    "bundle_signature": "sig",
    "compatibility_rules": [
        {
            "predicate": {
                "production_expectations": [{"expected_value": "v", "field_name": "f"}],
                "target_expectations": [{"expected_value": "live", "field_name": "state"}],
            },
            "production_surface_key": "s.prod",
            "result_policy": {"policy_key": "pk", "summary": "ps"},
            "target_surface_key": "s.hole",
        }
    ],
    "operations": [{"operation_key": "op", "summary": "joins", "version": 3}],
    "patterns": [
        {
            "diagnostic_only": False,
            "enabled": True,
            "operation_key": "op",
            "pattern_key": "p",
            "summary": "a pattern",
            "surface_key": "s.prod",
            "template_key": "alpha+beta+gamma",
            "version": 4,
        }
    ],
    "schema_version": 1,
    "surfaces": [
        {"summary": "hole", "surface_key": "s.hole", "version": 1},
        {"summary": "production", "surface_key": "s.prod", "version": 2},
    ],
}


def ordered(value):
    """Dicts as lists of items, recursively: equality then checks key order."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


def schema_error(engine, bundle):
    with pytest.raises(ValueError) as info:
        native.register_surface_bundle(engine, bundle)
    message = str(info.value)
    assert message.startswith(SCHEMA), message
    assert getattr(info.value, "__notes__", []) == []
    assert engine.snapshot()["surface_bundle_registered"] is False
    return message[len(SCHEMA):]


# ---------------------------------------------------------------------------
# Successful registration


def test_snapshot_writes_every_key_in_order(engine):
    result = native.register_surface_bundle(engine, small_bundle())
    assert ordered(result) == ordered(SMALL_SNAPSHOT)
    assert ordered(native.surface_bundle_snapshot(engine)) == ordered(SMALL_SNAPSHOT)


def test_snapshot_is_new_every_time(engine):
    first = native.register_surface_bundle(engine, small_bundle())
    first["surfaces"].clear()
    first["patterns"][0]["enabled"] = "changed"
    second = native.surface_bundle_snapshot(engine)
    assert second == SMALL_SNAPSHOT
    assert second is not native.surface_bundle_snapshot(engine)


def test_the_engine_keeps_a_copy_not_the_dictionary(engine):
    bundle = small_bundle()
    native.register_surface_bundle(engine, bundle)
    bundle["surfaces"][0]["surface_key"] = "edited"
    bundle["bundle_key"] = "edited"
    assert native.surface_bundle_snapshot(engine) == SMALL_SNAPSHOT


def test_builtin_bundle(engine, builtin_bundle):
    result = native.register_surface_bundle(engine, builtin_bundle)
    assert result == native.surface_bundle_snapshot(engine)
    assert [s["surface_key"] for s in result["surfaces"]] == [key for key, _ in SURFACES]
    assert [o["operation_key"] for o in result["operations"]] == [key for key, _ in OPERATIONS]
    assert len(result["surfaces"]) == 13
    rules = [(r["target_surface_key"], r["production_surface_key"]) for r in result["compatibility_rules"]]
    assert rules == HOLE_PRODUCTION_PAIRS
    for rule in result["compatibility_rules"]:
        assert rule["predicate"]["target_expectations"] == [{"expected_value": "live", "field_name": "state"}]
    snapshot = native.engine_snapshot(engine)
    assert snapshot["surface_bundle_registered"] is True
    assert (snapshot["surface_count"], snapshot["operation_count"], snapshot["pattern_count"]) == (13, 13, 0)


def test_empty_sections_register(engine):
    bundle = {
        "schema_version": 1,
        "bundle_key": "",
        "bundle_signature": "",
        "surfaces": [],
        "operations": (),
        "patterns": iter([]),
        "compatibility_rules": "",
    }
    result = native.register_surface_bundle(engine, bundle)
    assert result == {
        "bundle_key": "",
        "bundle_signature": "",
        "compatibility_rules": [],
        "operations": [],
        "patterns": [],
        "schema_version": 1,
        "surfaces": [],
    }


def test_list_sections_accept_any_iterable(engine):
    bundle = small_bundle()
    surfaces = bundle["surfaces"]
    bundle["surfaces"] = (s for s in surfaces)
    bundle["operations"] = tuple(bundle["operations"])
    bundle["compatibility_rules"][0]["predicate"]["target_expectations"] = iter(
        bundle["compatibility_rules"][0]["predicate"]["target_expectations"]
    )
    assert native.register_surface_bundle(engine, bundle) == SMALL_SNAPSHOT


def test_unnamed_keys_are_ignored_at_every_level(engine):
    bundle = small_bundle()
    bundle["extra"] = object()
    bundle["surfaces"][0]["extra"] = None
    bundle["patterns"][0][1] = 2
    bundle["compatibility_rules"][0]["predicate"]["extra"] = []
    bundle["compatibility_rules"][0]["result_policy"]["extra"] = {}
    bundle["compatibility_rules"][0]["predicate"]["target_expectations"][0]["extra"] = 5
    assert native.register_surface_bundle(engine, bundle) == SMALL_SNAPSHOT


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "value, stored",
    [(True, 1), (False, 0), (Index(7), 7), (MyInt(9), 9), (0, 0), (2**32 - 1, 2**32 - 1)],
)
def test_unsigned_values_accept_ints_bools_and_index_objects(engine, value, stored):
    bundle = small_bundle()
    bundle["surfaces"][0]["version"] = value
    result = native.register_surface_bundle(engine, bundle)
    assert result["surfaces"][0]["version"] == stored
    assert type(result["surfaces"][0]["version"]) is int


def test_schema_version_true_is_one(engine):
    bundle = small_bundle()
    bundle["schema_version"] = True
    assert native.register_surface_bundle(engine, bundle)["schema_version"] == 1


def test_text_subclasses_are_copied_as_text(engine):
    bundle = small_bundle()
    bundle["bundle_key"] = MyStr("k")
    bundle["surfaces"][0]["summary"] = MyStr("hole")
    result = native.register_surface_bundle(engine, bundle)
    assert result == SMALL_SNAPSHOT
    assert type(result["bundle_key"]) is str


class LoudDict(dict):
    """A dict subclass whose own lookup methods must never be used."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ consulted")

    def get(self, key, default=None):
        raise AssertionError("get consulted")

    def __missing__(self, key):
        raise AssertionError("__missing__ consulted")


def test_dict_subclasses_are_read_by_exact_lookup(engine):
    bundle = small_bundle()
    bundle["surfaces"] = [LoudDict(s) for s in bundle["surfaces"]]
    bundle["compatibility_rules"][0]["predicate"] = LoudDict(bundle["compatibility_rules"][0]["predicate"])
    assert native.register_surface_bundle(engine, LoudDict(bundle)) == SMALL_SNAPSHOT


def test_missing_key_in_a_subclass_is_missing_not_its___missing__(engine):
    bundle = LoudDict(small_bundle())
    del bundle["bundle_signature"]
    assert schema_error(engine, bundle) == "missing field: bundle_signature"


def test_utf8_text_round_trips(engine):
    bundle = small_bundle()
    bundle["surfaces"][0]["summary"] = "é \U0001f600 \x00 \u2028"
    result = native.register_surface_bundle(engine, bundle)
    assert result["surfaces"][0]["summary"] == "é \U0001f600 \x00 \u2028"


# ---------------------------------------------------------------------------
# Validation, in reading order


def without(key):
    def edit(b):
        del b[key]

    return edit


def setting(path, value):
    """An edit that sets b[path[0]][path[1]]... = value."""

    def edit(b):
        target = b
        for step in path[:-1]:
            target = target[step]
        target[path[-1]] = value

    return edit


def deleting(path):
    def edit(b):
        target = b
        for step in path[:-1]:
            target = target[step]
        del target[path[-1]]

    return edit


def several(*edits):
    def edit(b):
        for e in edits:
            e(b)

    return edit


RULE = ("compatibility_rules", 0)
PREDICATE = RULE + ("predicate",)
PATTERN = ("patterns", 0)

VALIDATION_CASES = [
    ("schema 2", setting(("schema_version",), 2), "unsupported surface bundle schema"),
    ("schema 0", setting(("schema_version",), 0), "unsupported surface bundle schema"),
    ("schema missing", without("schema_version"), "missing field: schema_version"),
    ("schema -1", setting(("schema_version",), -1), "schema_version must be an unsigned integer"),
    ("schema 2**32", setting(("schema_version",), 2**32), "schema_version must be an unsigned integer"),
    ("schema huge", setting(("schema_version",), 10**40), "schema_version must be an unsigned integer"),
    ("schema huge negative", setting(("schema_version",), -(10**40)), "schema_version must be an unsigned integer"),
    ("schema None", setting(("schema_version",), None), "schema_version must be an unsigned integer"),
    ("schema str", setting(("schema_version",), "1"), "schema_version must be an unsigned integer"),
    ("schema float", setting(("schema_version",), 1.0), "schema_version must be an unsigned integer"),
    ("schema negative index", setting(("schema_version",), Index(-1)), "schema_version must be an unsigned integer"),
    # Sections come in order: a missing later section is reported only when
    # the earlier ones read.
    ("surfaces missing", without("surfaces"), "missing field: surfaces"),
    ("no rules", without("compatibility_rules"), "missing field: compatibility_rules"),
    ("surfaces str", setting(("surfaces",), "abc"), "surfaces entries must be dicts"),
    ("surfaces of ints", setting(("surfaces",), [1]), "surfaces entries must be dicts"),
    ("surfaces of None", setting(("surfaces",), [None]), "surfaces entries must be dicts"),
    ("surfaces a dict", setting(("surfaces",), {"surface_key": "x"}), "surfaces entries must be dicts"),
    ("operations str", setting(("operations",), "x"), "operations entries must be dicts"),
    ("surface key missing", deleting(("surfaces", 1, "surface_key")), "missing field: surface_key"),
    ("surface key None", setting(("surfaces", 0, "surface_key"), None), "surface_key must be a string"),
    ("surface key bytes", setting(("surfaces", 0, "surface_key"), b"x"), "surface_key must be a string"),
    ("surface version str", setting(("surfaces", 0, "version"), "1"), "version must be an unsigned integer"),
    ("surface version 2**32", setting(("surfaces", 0, "version"), 2**32), "version must be an unsigned integer"),
    ("surface summary int", setting(("surfaces", 0, "summary"), 5), "summary must be a string"),
    (
        "surface fields in order",
        several(deleting(("surfaces", 0, "summary")), setting(("surfaces", 0, "version"), None)),
        "version must be an unsigned integer",
    ),
    ("operation key missing", deleting(("operations", 0, "operation_key")), "missing field: operation_key"),
    ("operation version -1", setting(("operations", 0, "version"), -1), "version must be an unsigned integer"),
    (
        "pattern fields in order",
        several(deleting(PATTERN + ("pattern_key",)), deleting(PATTERN + ("template_key",))),
        "missing field: template_key",
    ),
    ("pattern enabled int", setting(PATTERN + ("enabled",), 1), "enabled must be a bool"),
    ("pattern enabled None", setting(PATTERN + ("enabled",), None), "enabled must be a bool"),
    ("pattern diagnostic str", setting(PATTERN + ("diagnostic_only",), "no"), "diagnostic_only must be a bool"),
    ("pattern empty template key", setting(PATTERN + ("template_key",), ""), "pattern template_key must not be empty"),
    (
        "missing enabled before empty template key",
        several(setting(PATTERN + ("template_key",), ""), deleting(PATTERN + ("enabled",))),
        "missing field: enabled",
    ),
    ("rule predicate missing", deleting(RULE + ("predicate",)), "missing field: predicate"),
    ("rule predicate list", setting(RULE + ("predicate",), []), "predicate must be a dict"),
    ("rule predicate None", setting(RULE + ("predicate",), None), "predicate must be a dict"),
    ("rule policy int", setting(RULE + ("result_policy",), 5), "result_policy must be a dict"),
    (
        "rule keys before expectations",
        several(deleting(RULE + ("target_surface_key",)), deleting(PREDICATE + ("target_expectations",))),
        "missing field: target_surface_key",
    ),
    (
        "target expectations missing",
        deleting(PREDICATE + ("target_expectations",)),
        "missing field: target_expectations",
    ),
    (
        "target expectations before production",
        several(
            setting(PREDICATE + ("target_expectations",), [5]), deleting(PREDICATE + ("production_expectations",))
        ),
        "target_expectations entries must be dicts",
    ),
    (
        "production expectations missing",
        deleting(PREDICATE + ("production_expectations",)),
        "missing field: production_expectations",
    ),
    (
        "expectation field order",
        several(
            deleting(PREDICATE + ("target_expectations", 0, "expected_value")),
            setting(PREDICATE + ("target_expectations", 0, "field_name"), 1),
        ),
        "field_name must be a string",
    ),
    (
        "expectations before policy",
        several(
            deleting(PREDICATE + ("production_expectations", 0, "expected_value")),
            deleting(RULE + ("result_policy", "policy_key")),
        ),
        "missing field: expected_value",
    ),
    ("policy key missing", deleting(RULE + ("result_policy", "policy_key")), "missing field: policy_key"),
    ("policy summary None", setting(RULE + ("result_policy", "summary"), None), "summary must be a string"),
    # Uniqueness, after every section has been read.
    (
        "duplicate surfaces",
        setting(
            ("surfaces",),
            [{"surface_key": k, "version": 1, "summary": ""} for k in ("a", "b", "a", "b", "a")],
        ),
        'duplicate surface keys: ["a", "b"]',
    ),
    (
        "duplicates in order of the second occurrence",
        setting(
            ("surfaces",),
            [{"surface_key": k, "version": 1, "summary": ""} for k in ("a", "b", "c", "c", "b", "a")],
        ),
        'duplicate surface keys: ["c", "b", "a"]',
    ),
    (
        "duplicate operations",
        setting(("operations",), [{"operation_key": "op", "version": 1, "summary": ""}] * 2),
        'duplicate operation keys: ["op"]',
    ),
    (
        "duplicate patterns",
        lambda b: b["patterns"].append(dict(b["patterns"][0])),
        'duplicate pattern keys: ["p"]',
    ),
    (
        "surfaces checked before operations",
        several(
            lambda b: b["surfaces"].append(dict(b["surfaces"][0])),
            lambda b: b["operations"].append(dict(b["operations"][0])),
        ),
        'duplicate surface keys: ["s.hole"]',
    ),
    (
        "duplicate key escaped",
        setting(("surfaces",), [{"surface_key": 'q"\\\t\n', "version": 1, "summary": ""}] * 2),
        'duplicate surface keys: ["q\\"\\\\\\t\\n"]',
    ),
    (
        "uniqueness before references",
        several(
            lambda b: b["operations"].append(dict(b["operations"][0])),
            setting(PATTERN + ("surface_key",), "nowhere"),
        ),
        'duplicate operation keys: ["op"]',
    ),
    # References.
    (
        "pattern surface before operation",
        several(setting(PATTERN + ("surface_key",), "nowhere"), setting(PATTERN + ("operation_key",), "none")),
        "pattern references unknown surface: nowhere",
    ),
    ("pattern operation", setting(PATTERN + ("operation_key",), "none"), "pattern references unknown operation: none"),
    (
        "patterns before rules",
        several(setting(PATTERN + ("operation_key",), "none"), setting(RULE + ("target_surface_key",), "t")),
        "pattern references unknown operation: none",
    ),
    (
        "rule target before production",
        several(setting(RULE + ("target_surface_key",), "t"), setting(RULE + ("production_surface_key",), "p")),
        "rule references unknown target surface: t",
    ),
    (
        "rule production",
        setting(RULE + ("production_surface_key",), "p"),
        "rule references unknown production surface: p",
    ),
    (
        "references are exact",
        setting(RULE + ("production_surface_key",), "s.prod "),
        "rule references unknown production surface: s.prod ",
    ),
    # Key and signature last.
    ("bundle key missing", without("bundle_key"), "missing field: bundle_key"),
    (
        "references before bundle key",
        several(without("bundle_key"), setting(RULE + ("target_surface_key",), "t")),
        "rule references unknown target surface: t",
    ),
    ("bundle key int", setting(("bundle_key",), 5), "bundle_key must be a string"),
    ("signature missing", without("bundle_signature"), "missing field: bundle_signature"),
    (
        "key before signature",
        several(without("bundle_signature"), setting(("bundle_key",), None)),
        "bundle_key must be a string",
    ),
]


@pytest.mark.parametrize("name, edit, detail", VALIDATION_CASES, ids=[c[0] for c in VALIDATION_CASES])
def test_validation(engine, name, edit, detail):
    bundle = small_bundle()
    edit(bundle)
    assert schema_error(engine, bundle) == detail
    # A failed registration leaves nothing behind: a good bundle still fits.
    assert native.register_surface_bundle(engine, small_bundle()) == SMALL_SNAPSHOT


@pytest.mark.parametrize(
    "section, kind",
    [(None, TypeError), (5, TypeError), (1.5, TypeError), (object(), TypeError)],
)
def test_uniterable_sections_raise_the_interpreters_error(engine, section, kind):
    bundle = small_bundle()
    bundle["operations"] = section
    with pytest.raises(kind, match="not iterable"):
        native.register_surface_bundle(engine, bundle)
    assert engine.snapshot()["surface_bundle_registered"] is False


def test_lone_surrogates_raise_the_encoding_error(engine):
    bundle = small_bundle()
    bundle["surfaces"][0]["summary"] = "\ud800"
    with pytest.raises(UnicodeEncodeError):
        native.register_surface_bundle(engine, bundle)
    assert engine.snapshot()["surface_bundle_registered"] is False


# ---------------------------------------------------------------------------
# Registration lifecycle


def test_second_registration(engine):
    native.register_surface_bundle(engine, small_bundle())
    other = small_bundle()
    other["bundle_key"] = "other"
    assert schema_error_registered(engine, other) == "surface bundle is already registered"
    invalid = small_bundle()
    invalid["schema_version"] = 2
    assert schema_error_registered(engine, invalid) == "unsupported surface bundle schema"
    missing_key = small_bundle()
    del missing_key["bundle_key"]
    assert schema_error_registered(engine, missing_key) == "missing field: bundle_key"
    assert native.surface_bundle_snapshot(engine) == SMALL_SNAPSHOT


def schema_error_registered(engine, bundle):
    with pytest.raises(ValueError) as info:
        native.register_surface_bundle(engine, bundle)
    return str(info.value)[len(SCHEMA):]


def test_snapshot_without_bundle(engine):
    with pytest.raises(ValueError) as info:
        native.surface_bundle_snapshot(engine)
    assert str(info.value) == SCHEMA + "surface bundle has not been registered"


def test_closed_engine_refuses_both(engine):
    native.register_surface_bundle(engine, small_bundle())
    native.engine_close(engine)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        native.surface_bundle_snapshot(engine)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        native.register_surface_bundle(engine, small_bundle())
    # The closed check comes first, before the bundle is read.
    fresh = native.engine_create()
    native.engine_close(fresh)
    with pytest.raises(RuntimeError, match="already closed"):
        native.register_surface_bundle(fresh, {})
    assert engine.snapshot()["surface_count"] == 2


def test_registration_is_per_engine(engine):
    other = native.engine_create()
    native.register_surface_bundle(engine, small_bundle())
    assert other.snapshot()["surface_bundle_registered"] is False
    native.register_surface_bundle(other, small_bundle())


# ---------------------------------------------------------------------------
# User code running while a bundle is read


class Boom(Exception):
    pass


def raising_generator(items):
    yield from items
    raise Boom("from the generator")


def assert_unregistered_then_usable(engine):
    assert engine.snapshot()["surface_bundle_registered"] is False
    assert native.register_surface_bundle(engine, small_bundle()) == SMALL_SNAPSHOT


def test_generator_that_raises(engine):
    bundle = small_bundle()
    bundle["operations"] = raising_generator(bundle["operations"])
    with pytest.raises(Boom, match="from the generator") as info:
        native.register_surface_bundle(engine, bundle)
    assert getattr(info.value, "__notes__", []) == []
    assert_unregistered_then_usable(engine)


def test_generator_that_yields_junk(engine):
    bundle = small_bundle()
    bundle["surfaces"] = (x for x in [bundle["surfaces"][0], "junk"])
    assert schema_error(engine, bundle) == "surfaces entries must be dicts"
    assert_unregistered_then_usable(engine)


def reentering(engine, call, items=()):
    yield from items
    call(engine)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: native.engine_snapshot(e), "Already mutably borrowed"),
        (lambda e: native.surface_bundle_snapshot(e), "Already mutably borrowed"),
        (lambda e: e.snapshot(), "Already mutably borrowed"),
        (lambda e: native.register_surface_bundle(e, small_bundle()), "Already borrowed"),
        (lambda e: native.engine_close(e), "Already borrowed"),
    ],
)
def test_generator_that_calls_back_into_the_engine(engine, call, message):
    bundle = small_bundle()
    bundle["patterns"] = reentering(engine, call, bundle["patterns"])
    with pytest.raises(RuntimeError) as info:
        native.register_surface_bundle(engine, bundle)
    assert str(info.value) == message
    assert engine.closed is False
    assert_unregistered_then_usable(engine)


def test_generator_that_mutates_the_bundle(engine):
    bundle = small_bundle()

    def surfaces():
        yield from small_bundle()["surfaces"]
        bundle.clear()  # the reader holds its own references

    bundle["surfaces"] = surfaces()
    assert schema_error(engine, bundle) == "missing field: operations"
    assert_unregistered_then_usable(engine)


def test_generator_that_mutates_the_item_it_yielded(engine):
    bundle = small_bundle()
    item = bundle["surfaces"][0]

    def surfaces():
        yield item
        item.clear()
        item["junk"] = 1
        yield from small_bundle()["surfaces"][1:]

    bundle["surfaces"] = surfaces()
    assert native.register_surface_bundle(engine, bundle) == SMALL_SNAPSHOT


class IndexCallsBack:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


@pytest.mark.parametrize(
    "action, kind, message",
    [
        (lambda e: (_ for _ in ()).throw(Boom("index")), Boom, "index"),
        (lambda e: "junk", TypeError, "__index__ returned non-int (type str)"),
        (lambda e: None, TypeError, "__index__ returned non-int (type NoneType)"),
        (lambda e: native.engine_snapshot(e), RuntimeError, "Already mutably borrowed"),
        (lambda e: native.engine_close(e), RuntimeError, "Already borrowed"),
    ],
)
def test_index_objects_that_misbehave(engine, action, kind, message):
    bundle = small_bundle()
    bundle["surfaces"][1]["version"] = IndexCallsBack(lambda: action(engine))
    with pytest.raises(kind) as info:
        native.register_surface_bundle(engine, bundle)
    assert str(info.value) == message
    assert_unregistered_then_usable(engine)


def test_index_object_that_mutates_the_dict_it_is_read_from(engine):
    bundle = small_bundle()
    surface = bundle["surfaces"][0]

    def version():
        surface.clear()  # drops the last other reference to this very object
        return 3

    surface["version"] = IndexCallsBack(version)
    assert schema_error(engine, bundle) == "missing field: summary"
    assert_unregistered_then_usable(engine)


class ProbingKey:
    """A key that collides with a field name, so lookups call its __eq__."""

    def __init__(self, name, on_eq):
        self.name = name
        self.on_eq = on_eq

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.on_eq()


class BadBool:
    def __bool__(self):
        raise Boom("bool")


@pytest.mark.parametrize(
    "on_eq, kind, message",
    [
        (lambda e: (_ for _ in ()).throw(Boom("eq")), Boom, "eq"),
        (lambda e: BadBool(), Boom, "bool"),
        (lambda e: native.engine_snapshot(e), RuntimeError, "Already mutably borrowed"),
        (lambda e: native.register_surface_bundle(e, {}), RuntimeError, "Already borrowed"),
    ],
)
def test_keys_whose_eq_misbehaves(engine, on_eq, kind, message):
    bundle = small_bundle()
    del bundle["schema_version"]
    bundle[ProbingKey("schema_version", lambda: on_eq(engine))] = 1
    with pytest.raises(kind) as info:
        native.register_surface_bundle(engine, bundle)
    assert str(info.value) == message
    assert_unregistered_then_usable(engine)


def test_key_whose_eq_says_no_means_missing(engine):
    bundle = small_bundle()
    del bundle["bundle_key"]
    bundle[ProbingKey("bundle_key", lambda: False)] = "k"
    assert schema_error(engine, bundle) == "missing field: bundle_key"


def test_key_whose_eq_empties_the_dict(engine):
    bundle = small_bundle()
    item = bundle["surfaces"][0]
    del item["summary"]
    item[ProbingKey("summary", lambda: item.clear() or False)] = "hole"
    assert schema_error(engine, bundle) == "missing field: summary"
    assert_unregistered_then_usable(engine)


def test_registration_holds_no_reference_to_the_input(engine):
    import sys

    bundle = small_bundle()
    before = sys.getrefcount(bundle)
    native.register_surface_bundle(engine, bundle)
    assert sys.getrefcount(bundle) == before


# ---------------------------------------------------------------------------
# Quoting of keys in messages


def reference_quote(text):
    """The quoting rule written out in Python."""
    out = []
    for c in text:
        if c in '"\\':
            out.append("\\" + c)
        elif c in "\t\r\n\0":
            out.append({"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}[c])
        elif c.isprintable():
            out.append(c)
        else:
            out.append("\\u{%x}" % ord(c))
    return '"' + "".join(out) + '"'


def duplicate_message(engine, key):
    bundle = small_bundle()
    bundle["operations"] = [{"operation_key": key, "version": 1, "summary": ""}] * 2
    return schema_error(engine, bundle)


@pytest.mark.parametrize(
    "key, shown",
    [
        ("plain.key", '"plain.key"'),
        ("'single'", "\"'single'\""),
        ('"', '"\\""'),
        ("\\", '"\\\\"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x01\x1b\x7f", '"\\u{1}\\u{1b}\\u{7f}"'),
        ("\x85\xa0", '"\\u{85}\\u{a0}"'),
        ("\u200b\u2028\u2029\ufeff", '"\\u{200b}\\u{2028}\\u{2029}\\u{feff}"'),
        ("\ue000\U000f0000", '"\\u{e000}\\u{f0000}"'),
        ("\u0378", '"\\u{378}"'),
        ("a b", '"a b"'),
        ("é€\U0001f600中", '"é€\U0001f600中"'),
        ("e\u0301", '"e\u0301"'),
    ],
)
def test_quoting_of_keys(engine, key, shown):
    assert duplicate_message(engine, key) == f"duplicate operation keys: [{shown}]"


@pytest.mark.skipif(
    unicodedata.unidata_version != "15.0.0", reason="the engine's character tables are Unicode 15.0"
)
def test_quoting_agrees_with_isprintable_on_every_code_point(engine):
    text = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)
    assert duplicate_message(engine, text) == f"duplicate operation keys: [{reference_quote(text)}]"
