"""Engines, handle classes and borrows."""

import subprocess
import sys
import textwrap
import threading

import pytest

import _quorbin_native_engine as native

STALE_CLOSED = "native stale handle: engine handle is already closed"


def fresh_snapshot(owner_id, **changes):
    snapshot = {
        "engine_epoch": 1,
        "owner_id": owner_id,
        "kind": "engine",
        "index": 0,
        "generation": 0,
        "closed": False,
        "surface_bundle_registered": False,
        "surface_count": 0,
        "operation_count": 0,
        "pattern_count": 0,
    }
    snapshot.update(changes)
    return snapshot


def run_isolated(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_owner_ids_count_from_one_in_a_fresh_process():
    out = run_isolated(
        """
        import gc
        import _quorbin_native_engine as native
        first = native.engine_create()
        print(native.engine_snapshot(first)["owner_id"])
        native.engine_close(first)
        del first
        gc.collect()
        second = native.engine_create()
        print(second.snapshot()["owner_id"])
        print(native.engine_create().snapshot()["owner_id"])
        """
    )
    assert out == ["1", "2", "3"]


def test_self_test_takes_an_owner_id():
    n = native.engine_create().snapshot()["owner_id"]
    assert native.self_test() is True
    assert native.engine_create().snapshot()["owner_id"] == n + 2


def test_new_engine_snapshot(engine):
    snapshot = native.engine_snapshot(engine)
    assert snapshot == fresh_snapshot(snapshot["owner_id"])
    assert list(snapshot) == list(fresh_snapshot(0))
    assert engine.snapshot() == snapshot
    assert engine.snapshot() is not engine.snapshot()


@pytest.mark.parametrize("request_", [None, {}, {1: 2}, type("D", (dict,), {})(a=1)])
def test_engine_create_accepts_none_and_dicts(request_):
    assert native.engine_create(request_).kind == "engine"
    assert native.engine_create(request=request_).closed is False


@pytest.mark.parametrize("request_", [5, [], "", (), b"", {1}])
def test_engine_create_refuses_other_requests_without_taking_an_id(request_):
    before = native.engine_create().snapshot()["owner_id"]
    with pytest.raises(ValueError) as info:
        native.engine_create(request_)
    assert str(info.value) == "native schema error: engine_create request must be a dict or None"
    assert native.engine_create().snapshot()["owner_id"] == before + 1


def test_close(engine):
    owner = engine.snapshot()["owner_id"]
    assert native.engine_close(engine) is None
    assert engine.closed is True
    assert engine.generation == 1
    assert engine.engine_epoch == 1
    assert engine.snapshot() == fresh_snapshot(owner, closed=True, generation=1)
    for call in (native.engine_snapshot, native.engine_close, lambda e: native.engine_assert_same_owner(e, e)):
        with pytest.raises(RuntimeError) as info:
            call(engine)
        assert str(info.value) == STALE_CLOSED
    assert engine.generation == 1  # a refused close changes nothing


def test_assert_same_owner(engine):
    assert native.engine_assert_same_owner(engine, engine) is True
    other = native.engine_create()
    with pytest.raises(RuntimeError) as info:
        native.engine_assert_same_owner(engine, other)
    assert str(info.value) == "native stale handle: handle belongs to another native engine"
    native.engine_close(other)
    for left, right in ((engine, other), (other, engine)):
        with pytest.raises(RuntimeError, match="engine handle is already closed"):
            native.engine_assert_same_owner(left, right)


def test_engine_attributes(engine):
    assert (engine.engine_epoch, engine.kind, engine.generation, engine.closed) == (1, "engine", 0, False)
    for name in ("engine_epoch", "kind", "generation", "closed"):
        with pytest.raises(AttributeError):
            setattr(engine, name, 1)
    for name in ("owner_id", "index", "surface_count"):
        assert not hasattr(engine, name)


# The public attributes and methods of each handle class, exactly.
HANDLE_ATTRIBUTES = {
    "EngineHandle": {"engine_epoch", "kind", "generation", "closed", "snapshot"},
    "NativeTemplateHandle": {"kind", "index", "snapshot"},
    "NativeAssemblyStateHandle": {"kind", "index", "snapshot"},
    "NativeOccurrenceHandle": {"kind", "index", "state_index", "snapshot"},
    "NativeRecordHandle": {"kind", "occurrence_index", "template_record_index", "snapshot"},
    "NativeEdgeHandle": {"kind", "index", "state_index", "snapshot"},
    "NativeOverlayHandle": {"kind", "index", "state_index", "snapshot"},
    "NativeMaterializationWorkspaceHandle": {"kind", "generation"},
}


@pytest.mark.parametrize("name, attributes", HANDLE_ATTRIBUTES.items())
def test_handle_class_attribute_sets(name, attributes):
    cls = getattr(native, name)
    assert {a for a in dir(cls) if not a.startswith("_")} == attributes


def test_handles_have_identity_equality_only(engine):
    other = native.engine_create()
    assert engine == engine and engine != other
    assert hash(engine) == hash(engine)
    assert repr(engine).startswith("<_quorbin_native_engine.EngineHandle object at ")


def test_owner_ids_are_unique_across_threads():
    ids = []
    lock = threading.Lock()

    def create():
        mine = [native.engine_create().snapshot()["owner_id"] for _ in range(200)]
        with lock:
            ids.extend(mine)

    threads = [threading.Thread(target=create) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(ids)) == len(ids) == 800


class CallsBack:
    """An iterable that runs `action` when iterated and then yields nothing."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __iter__(self):
        try:
            self.outcome = self.action()
        except BaseException as error:  # recorded, then the iteration goes on
            self.outcome = error
        return iter(())


def bundle_with_section(section):
    return {"schema_version": 1, "surfaces": section}


@pytest.mark.parametrize(
    "action, message, parameter",
    [
        (lambda e: native.engine_snapshot(e), "Already mutably borrowed", "handle"),
        (lambda e: native.surface_bundle_snapshot(e), "Already mutably borrowed", "engine"),
        (lambda e: native.engine_assert_same_owner(native.engine_create(), e), "Already mutably borrowed", "right"),
        (lambda e: native.engine_close(e), "Already borrowed", "handle"),
        (lambda e: native.register_surface_bundle(e, {}), "Already borrowed", "engine"),
    ],
)
def test_an_exclusively_borrowed_engine_refuses_reentrant_calls(engine, action, message, parameter):
    probe = CallsBack(lambda: action(engine))
    with pytest.raises(ValueError):  # the rest of the bundle is missing
        native.register_surface_bundle(engine, bundle_with_section(probe))
    error = probe.outcome
    assert type(error) is RuntimeError
    assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]
    # Once the call is over the engine is free again.
    assert native.engine_snapshot(engine)["closed"] is False


@pytest.mark.parametrize(
    "read", [lambda e: e.kind, lambda e: e.closed, lambda e: e.generation, lambda e: e.engine_epoch, lambda e: e.snapshot()]
)
def test_attributes_refuse_while_the_engine_is_held_exclusively(engine, read):
    probe = CallsBack(lambda: read(engine))
    with pytest.raises(ValueError):
        native.register_surface_bundle(engine, bundle_with_section(probe))
    assert type(probe.outcome) is RuntimeError
    assert str(probe.outcome) == "Already mutably borrowed"
    read(engine)  # and work again afterwards
