import pathlib
import sys

import pytest

# The canonical built-in bundle lives with the demo; the tests use the same one.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "demo"))

import _quorbin_native_engine as native  # noqa: E402
from builtin_bundle import build_builtin_bundle  # noqa: E402


@pytest.fixture
def engine():
    return native.engine_create()


@pytest.fixture
def builtin_bundle():
    return build_builtin_bundle()


@pytest.fixture
def registered_engine(engine, builtin_bundle):
    native.register_surface_bundle(engine, builtin_bundle)
    return engine
