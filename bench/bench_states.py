"""Request batches as an assembly state grows.

Builds states of about 1,000 and 10,000 occurrences from request batches and
reports the time per request. The state is a root with one block hole per
group, a group template per hole with 100 block holes of its own, and a leaf
filling each of those: every request names its hole, and every name is
unique, so a search reads one entry of the name index however large the
state is.

Two variants:

- named: named composable requests and nothing else. The per-request time
  should not grow with the state (the figure to watch is the ratio of the
  10,000 and 1,000 rows).
- overlays: the same requests, but the root's identifier demand is bound
  first and every leaf carries an identifier demand that is bound right after
  the leaf arrives. With identifier bindings present a search may not use the
  name index (a binding could rename any record), so it walks the inventory
  kind lists and rebuilds the bindings from every identifier overlay: linear
  in the state by design, quadratic over the whole build.

The time of each batch is taken with gc off. A row's figure is the median
over the batches of a build (100 requests each), then over --runs builds.

    python bench/bench_states.py [--sizes 1000 10000] [--variants named overlays] [--runs 3]
"""

import argparse
import gc
import math
import statistics
import sys
import time
from pathlib import Path

import _quorbin_native_engine as native

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))
from builtin_bundle import build_builtin_bundle  # noqa: E402

SLOTS = 100  # block holes per group template


def register(engine, source):
    return native.register_template_snapshot(engine, native.extract_template_snapshot(engine, source))


def composable(template, name, instance):
    return {"resource_kind": "composable", "source_template": template, "source_instance_name": instance,
            "operation_order": 0, "name": name, "build_match": None, "owner_match": None,
            "allow_equivalent_demand_sites": False}


def identifier(label, name, build_match):
    return {"resource_kind": "identifier", "identifier": label, "name": name, "build_match": build_match,
            "owner_match": None, "allow_equivalent_demand_sites": False}


def groups_for(occurrences):
    """Groups so that 1 root + G groups + G * SLOTS leaves comes closest to `occurrences`."""
    return max(1, math.ceil((occurrences - 1) / (SLOTS + 1)))


class Timer:
    def __init__(self):
        self.samples = {}  # label -> list of (requests, seconds)

    def batch(self, engine, state, label, requests):
        start = time.perf_counter()
        native.assembly_state_apply_request_batch(engine, state, requests)
        elapsed = time.perf_counter() - start
        self.samples.setdefault(label, []).append((len(requests), elapsed))

    def per_request(self, label, tail=1.0):
        """Seconds per request over the last `tail` fraction of the batches:
        the median of the batches' own figures, so that a batch slowed down
        by another process on the machine does not move it."""
        batches = self.samples.get(label, [])
        batches = batches[len(batches) - max(1, round(len(batches) * tail)):]
        return statistics.median(s / n for n, s in batches) if batches else float("nan")


def build(occurrences, overlays):
    engine = native.engine_create()
    native.register_surface_bundle(engine, build_builtin_bundle())
    groups = groups_for(occurrences)
    root_source = "def main():\n" + "".join(f"    quorbin_hole(group_{g})\n" for g in range(groups))
    leaf_source = "x = 1\n"
    if overlays:
        root_source += "    r = root__quorbin_arg__\n"
        leaf_source += "y = x__quorbin_arg__\n"
    root = register(engine, root_source)
    group_templates = [
        register(engine, f"def group_{g}():\n" + "".join(f"    quorbin_hole(g{g}_s{i})\n" for i in range(SLOTS)))
        for g in range(groups)
    ]
    leaf = register(engine, leaf_source)

    state = native.assembly_state_create(engine)
    native.assembly_state_append_occurrence(engine, state, root, ["Root"])
    timer = Timer()
    gc.collect()
    gc.disable()
    try:
        if overlays:
            timer.batch(engine, state, "identifier", [identifier("bound_root", "root", None)])
        timer.batch(engine, state, "group", [composable(t, f"group_{g}", f"G{g}") for g, t in enumerate(group_templates)])
        for g in range(groups):
            timer.batch(engine, state, "leaf", [composable(leaf, f"g{g}_s{i}", f"L{i}") for i in range(SLOTS)])
            if overlays:
                timer.batch(engine, state, "identifier",
                            [identifier(f"x_{g}_{i}", "x", ["Root", f"G{g}", f"L{i}"]) for i in range(SLOTS)])
    finally:
        gc.enable()
    snap = native.assembly_state_snapshot(engine, state)
    return timer, len(snap["occurrences"]), len(snap["overlays"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000], help="target occurrence counts")
    parser.add_argument("--variants", nargs="+", default=["named", "overlays"], choices=["named", "overlays"])
    parser.add_argument("--runs", type=int, default=3, help="builds per row (default 3); the median is reported")
    args = parser.parse_args()

    print(f"{'variant':<9} {'occurrences':>11} {'overlays':>8} {'leaf µs/req':>12} {'last 10% µs/req':>16}"
          f" {'ident µs/req':>13}")
    for variant in args.variants:
        rows = []
        for size in args.sizes:
            figures = []
            for _ in range(args.runs):
                timer, occurrences, overlay_count = build(size, variant == "overlays")
                figures.append((timer.per_request("leaf"), timer.per_request("leaf", 0.1),
                                timer.per_request("identifier")))
            leaf_all, leaf_tail, ident = (statistics.median(f[i] for f in figures) for i in range(3))
            rows.append((size, leaf_all, leaf_tail))
            ident_text = f"{ident * 1e6:13.1f}" if variant == "overlays" else f"{'-':>13}"
            print(f"{variant:<9} {occurrences:>11} {overlay_count:>8} {leaf_all * 1e6:12.1f} {leaf_tail * 1e6:16.1f}"
                  f" {ident_text}", flush=True)
        if len(rows) > 1:
            (small, s_all, s_tail), (large, l_all, l_tail) = rows[0], rows[-1]
            print(f"{variant:<9} ratio {large}/{small}: {l_all / s_all:.2f} (all leaf requests),"
                  f" {l_tail / s_tail:.2f} (last 10%)", flush=True)


if __name__ == "__main__":
    main()
