"""A tour of the native engine: an engine with the built-in vocabulary, what
the build supports, and a parse of a small module."""

import ast
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import _quorbin_native_engine as native  # noqa: E402
from builtin_bundle import build_builtin_bundle  # noqa: E402

SAMPLE = '''\
def greet(name, *, punctuation="!"):
    return f"Hello, {name}{punctuation}"
'''


def show(title, value):
    print(f"== {title}")
    print(json.dumps(value, indent=2) if not isinstance(value, str) else value)
    print()


def main():
    engine = native.engine_create()
    bundle = native.register_surface_bundle(engine, build_builtin_bundle())

    show("capabilities", native.capabilities())
    show("engine snapshot", native.engine_snapshot(engine))
    show(
        "registered surface bundle",
        {
            "bundle_key": bundle["bundle_key"],
            "surfaces": [s["surface_key"] for s in bundle["surfaces"]],
            "operations": [o["operation_key"] for o in bundle["operations"]],
            "compatibility_rules": [
                f'{r["target_surface_key"]} <- {r["production_surface_key"]}' for r in bundle["compatibility_rules"]
            ],
        },
    )

    try:
        module = native.compile_composable(SAMPLE, "greet.py")
    except NotImplementedError as error:
        show("parse", f"skipped: {error}")
    else:
        show("parsed module", repr(module))
        show("node counts", module.node_counts())
        tree = module.copy_to_python_ast()
        show("ast (native positions)", ast.dump(tree.body[0].args, include_attributes=True, indent=2))
        show("source again", module.to_source())

    native.engine_close(engine)
    print("engine closed:", engine.closed, "generation:", engine.generation)
    print("self test:", native.self_test())


if __name__ == "__main__":
    main()
