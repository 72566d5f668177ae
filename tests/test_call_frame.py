"""The call frame: argument binding, conversion errors and their notes, the
error families, and internal faults."""

import os
import subprocess
import sys
import textwrap

import pytest

import _quorbin_native_engine as native


def notes(error):
    return getattr(error, "__notes__", [])


# (call, expected TypeError message)
BINDING_ERRORS = [
    (lambda: native.engine_snapshot(), "engine_snapshot() missing 1 required positional argument: 'handle'"),
    (
        lambda: native.engine_assert_same_owner(),
        "engine_assert_same_owner() missing 2 required positional arguments: 'left' and 'right'",
    ),
    (
        lambda: native.materialization_workspace_apply_block_edge(),
        "materialization_workspace_apply_block_edge() missing 4 required positional arguments: "
        "'engine', 'workspace', 'state', and 'edge'",
    ),
    (
        lambda: native.materialization_workspace_apply_block_edge(1, state=2),
        "materialization_workspace_apply_block_edge() missing 2 required positional arguments: "
        "'workspace' and 'edge'",
    ),
    (
        lambda: native.materialization_workspace_apply_external_overlay_literal(1, 2),
        "materialization_workspace_apply_external_overlay_literal() missing 3 required positional arguments: "
        "'state', 'overlay', and 'expression_source'",
    ),
    (lambda: native.engine_close(1, 2), "engine_close() takes 1 positional arguments but 2 were given"),
    (
        lambda: native.engine_assert_same_owner(1, 2, 3),
        "engine_assert_same_owner() takes 2 positional arguments but 3 were given",
    ),
    (lambda: native.engine_create(1, 2), "engine_create() takes from 0 to 1 positional arguments but 2 were given"),
    (
        lambda: native.parse_module("", None, "native", 4, 5),
        "parse_module() takes from 1 to 3 positional arguments but 5 were given",
    ),
    (
        lambda: native.compile_composable(),
        "compile_composable() missing 1 required positional argument: 'source'",
    ),
    (lambda: native.engine_snapshot(handle=1, other=2), "engine_snapshot() got an unexpected keyword argument 'other'"),
    (lambda: native.engine_create(requests=None), "engine_create() got an unexpected keyword argument 'requests'"),
    (
        lambda: native.engine_snapshot(1, handle=1),
        "engine_snapshot() got multiple values for argument 'handle'",
    ),
    (
        lambda: native.bench_parse_convert("", 1, None, "native", filename="x"),
        "bench_parse_convert() got multiple values for argument 'filename'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert notes(info.value) == []


def test_too_many_positional_is_reported_before_keywords():
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        native.engine_close(1, 2, bogus=3)


def test_functions_without_parameters_refuse_arguments_like_the_interpreter():
    for function in (native.version, native.capabilities, native.self_test, native.parser_backend):
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            function(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            function(x=1)


def test_keywords_bind_like_positionals():
    engine = native.engine_create(request=None)
    assert native.engine_snapshot(handle=engine)["kind"] == "engine"
    assert native.engine_assert_same_owner(right=engine, left=engine) is True


class IndexRaises:
    def __index__(self):
        raise LookupError("index failed")


class NoteRefusingError(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes here")


class IndexRaisesUnnoteable:
    def __index__(self):
        raise NoteRefusingError("unnoteable")


# (call, exception type, message, parameter named by the note)
CONVERSION_ERRORS = [
    (lambda: native.engine_snapshot(None), TypeError, "'None' is not an instance of 'EngineHandle'", "handle"),
    (lambda: native.engine_snapshot(5), TypeError, "'int' object is not an instance of 'EngineHandle'", "handle"),
    (
        lambda: native.engine_close(native.capabilities()),
        TypeError,
        "'dict' object is not an instance of 'EngineHandle'",
        "handle",
    ),
    (lambda: native.compile_composable(5), TypeError, "'int' object is not an instance of 'str'", "source"),
    (lambda: native.compile_composable(None), TypeError, "'None' is not an instance of 'str'", "source"),
    (lambda: native.compile_composable(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "source"),
    (lambda: native.compile_composable("", 7), TypeError, "'int' object is not an instance of 'str'", "filename"),
    (
        lambda: native.parse_module("", None, None),
        TypeError,
        "'None' is not an instance of 'str'",
        "location_policy",
    ),
    (
        lambda: native.copy_to_python_ast(native.engine_create()),
        TypeError,
        "'EngineHandle' object is not an instance of 'NativeModule'",
        "composable",
    ),
    (
        lambda: native.register_surface_bundle(native.engine_create(), 5),
        TypeError,
        "'int' object is not an instance of 'dict'",
        "bundle",
    ),
    (
        lambda: native.register_surface_bundle(native.engine_create(), None),
        TypeError,
        "'None' is not an instance of 'dict'",
        "bundle",
    ),
    (
        lambda: native.register_surface_bundle(native.engine_create(), [("schema_version", 1)]),
        TypeError,
        "'list' object is not an instance of 'dict'",
        "bundle",
    ),
    (lambda: native.bench_parse_convert("", -1), OverflowError, None, "iterations"),
    (lambda: native.bench_parse_convert("", 2**64), OverflowError, None, "iterations"),
    (lambda: native.bench_parse_convert("", "1"), TypeError, None, "iterations"),
    (lambda: native.bench_parse_convert("", 1.0), TypeError, None, "iterations"),
    (lambda: native.bench_parse_convert("", IndexRaises()), LookupError, "index failed", "iterations"),
    (lambda: native.compile_composable("\ud800"), UnicodeEncodeError, None, "source"),
    (lambda: native.compile_composable("", "\udcff"), UnicodeEncodeError, None, "filename"),
    # The first failing parameter is the one reported.
    (lambda: native.engine_assert_same_owner(None, 5), TypeError, "'None' is not an instance of 'EngineHandle'", "left"),
    (
        lambda: native.engine_assert_same_owner(native.engine_create(), 5),
        TypeError,
        "'int' object is not an instance of 'EngineHandle'",
        "right",
    ),
]


@pytest.mark.parametrize("call, kind, message, parameter", CONVERSION_ERRORS)
def test_conversion_errors_keep_their_type_and_gain_a_note(call, kind, message, parameter):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == [f"while processing '{parameter}'"]


def test_a_note_that_cannot_be_added_is_left_out():
    with pytest.raises(NoteRefusingError) as info:
        native.bench_parse_convert("", IndexRaisesUnnoteable())
    assert str(info.value) == "unnoteable"
    assert notes(info.value) == []


def test_operation_errors_carry_no_note():
    with pytest.raises(ValueError) as info:
        native.engine_create(request=[])
    assert str(info.value) == "native schema error: engine_create request must be a dict or None"
    assert notes(info.value) == []


def test_error_families():
    engine = native.engine_create()
    native.engine_close(engine)
    with pytest.raises(RuntimeError) as stale:
        native.engine_close(engine)
    assert type(stale.value) is RuntimeError
    assert stale.value.args == ("native stale handle: engine handle is already closed",)
    with pytest.raises(ValueError) as schema:
        native.surface_bundle_snapshot(native.engine_create())
    assert type(schema.value) is ValueError
    assert schema.value.args == ("native schema error: surface bundle has not been registered",)


def test_bench_iterations_zero_is_a_plain_value_error():
    with pytest.raises(ValueError) as info:
        native.bench_parse_convert("", 0)
    assert info.value.args == ("iterations must be greater than zero",)
    assert notes(info.value) == []


def run_isolated(code, **environment):
    env = dict(os.environ, **environment)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=60
    )


FAULT_PROBE = """
    import _quorbin_native_engine as native
    engine = native.engine_create()
    caught = []
    for _ in range(2):
        try:
            native.engine_snapshot(engine)
        except Exception as error:
            print("caught as Exception:", type(error).__name__)
        except BaseException as error:
            caught.append(error)
    first, second = caught
    cls = type(first)
    assert cls is type(second), "one class for every fault"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__module__ == "_quorbin_native_engine"
    assert cls not in vars(native).values(), "not exported"
    assert len(first.args) == 1
    print("message:", first.args[0])
    # The borrow taken by the failed call was released.
    native.engine_close(engine)
    print("closed:", engine.closed)
"""


def test_internal_fault_becomes_the_internal_fault_exception():
    result = run_isolated(FAULT_PROBE, QUORBIN_NATIVE_INJECT_FAULT="engine_snapshot")
    assert result.returncode == 0, result.stderr
    assert "caught as Exception" not in result.stdout
    assert "message: injected fault in engine_snapshot" in result.stdout
    assert "closed: True" in result.stdout


def test_internal_fault_without_text_gets_a_generic_message():
    result = run_isolated(FAULT_PROBE, QUORBIN_NATIVE_INJECT_FAULT="engine_snapshot:untexted")
    assert result.returncode == 0, result.stderr
    assert "message: internal fault in the native engine" in result.stdout


def test_allocation_failure_is_the_interpreters_memory_error():
    result = run_isolated(
        """
        import _quorbin_native_engine as native
        engine = native.engine_create()
        try:
            native.engine_snapshot(engine)
        except MemoryError:
            print("memory error")
        print(native.engine_snapshot is not None, engine.snapshot()["kind"])
        """,
        QUORBIN_NATIVE_INJECT_FAULT="engine_snapshot:nomem",
    )
    assert result.returncode == 0, result.stderr
    assert "memory error" in result.stdout


def test_fault_while_reporting_a_fault_aborts_the_process():
    result = run_isolated(
        """
        import _quorbin_native_engine as native
        native.engine_snapshot(native.engine_create())
        print("survived")
        """,
        QUORBIN_NATIVE_INJECT_FAULT="engine_snapshot:nested",
    )
    assert result.returncode != 0
    assert "survived" not in result.stdout
    assert "fatal internal fault while reporting an internal fault" in result.stderr


def test_fault_injection_is_off_for_other_functions():
    result = run_isolated(
        """
        import _quorbin_native_engine as native
        print(native.engine_snapshot(native.engine_create())["kind"])
        """,
        QUORBIN_NATIVE_INJECT_FAULT="engine_close",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "engine"
