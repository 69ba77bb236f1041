"""Growth of the work with the size of the input: each case runs at size n and at 4n, and the ratio of the
two times is printed. Linear work grows about 4x, work quadratic in the size about 16x.

On a loaded machine, or once the data outgrow the caches, even linear work grows more than 4x: the same
run therefore times a reference job that is linear by construction (Python building and writing a dict of
the same number of members) at both sizes, and each case's growth is also given adjusted by the reference's
(growth x 4 / reference growth). The run fails (exit status 1) when an adjusted growth passes 6.

Run: PYTHONPATH=build/python python3 benchmarks/bench_scaling.py [--scale K] [--only NAME]
(--scale multiplies every base size; the cases are meant to stay linear at --scale 10 too).
"""

import argparse
import gc
import json
import sys
import time

import zarnu

LIMIT = 6.0


def json_object(n):
    """The identity query over JSON text of an object with n members."""
    text = json.dumps({f"k{i}": i for i in range(n)})
    expr = zarnu.Expression("$")
    return lambda: expr.evaluate_json(text)


def lookups(n):
    """One $lookup per member of a dict of n members given in the bindings."""
    keys = [f"k{i}" for i in range(n)]
    bindings = {"b": {key: i for i, key in enumerate(keys)}, "k": keys}
    expr = zarnu.Expression("$count($k.$lookup($b, $))")
    return lambda: expr.evaluate(None, bindings)


class Name(str):
    pass


def subclass_keys(n):
    """A bound dict of n members whose keys are a str subclass (such keys could repeat once converted)."""
    values = {"b": {Name(f"k{i}"): i for i in range(n)}}
    expr = zarnu.Expression("$count($keys($b))")
    return lambda: expr.evaluate(None, values)


def bindings(n):
    """n bindings, one of them read."""
    values = {f"v{i}": i for i in range(n)}
    expr = zarnu.Expression("$v0 + 1")
    return lambda: expr.evaluate(None, values)


def nested_lists(n):
    """$keys over a Python list nested n deep."""
    data = []
    for _ in range(n):
        data = [data]
    expr = zarnu.Expression("$keys($)")
    return lambda: expr.evaluate(data)


def distinct_objects(n):
    """$distinct over n distinct objects."""
    data = [{"a": i, "b": [i, str(i)]} for i in range(n)]
    expr = zarnu.Expression("$count($distinct($))")
    return lambda: expr.evaluate(data)


def distinct_equal_objects(n):
    """$distinct over n objects, each equal to one other with its keys in another order."""
    data = [{"a": i // 2, "b": -1} if i % 2 else {"b": -1, "a": i // 2} for i in range(n)]
    expr = zarnu.Expression("$count($distinct($))")
    return lambda: expr.evaluate(data)


def regex_alternatives(n):
    """Compiling a regular expression of n alternatives."""
    source = "$contains('xa', /" + "|".join(["a[]"] * (n - 1) + ["(a)"]) + "/)"
    return lambda: zarnu.Expression(source).evaluate(None)


def error_detail(n):
    """An error whose value detail is an object with n members."""
    data = {f"k{i}": i for i in range(n)}
    expr = zarnu.Expression("$ + 1")

    def run():
        try:
            expr.evaluate(data)
        except zarnu.ZarnuError:
            pass

    return run


# name, builder, base size
CASES = [
    ("json object members", json_object, 20_000),
    ("$lookup in a bound dict", lookups, 10_000),
    ("bindings", bindings, 10_000),
    ("bound dict with str subclass keys", subclass_keys, 10_000),
    ("$keys of nested lists", nested_lists, 10_000),
    ("$distinct of objects", distinct_objects, 5_000),
    ("$distinct of reordered objects", distinct_equal_objects, 5_000),
    # Past the sizes where the compiled program outgrows the caches, so that growth measures the work.
    ("regex alternatives", regex_alternatives, 50_000),
    ("error value detail", error_detail, 20_000),
]


def best_time(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every base size")
    parser.add_argument("--repeat", type=int, default=3, help="runs per size; the best counts")
    parser.add_argument("--only", default=None, help="run the cases whose name contains this text")
    args = parser.parse_args()

    failed = []
    print(f"{'case':34} {'n':>9} {'time at n':>11} {'at 4n':>11} {'growth':>7} {'reference':>9} {'adjusted':>8}")
    for name, build, base in CASES:
        if args.only and args.only not in name:
            continue
        n = max(2, int(base * args.scale))
        times, references = [], []
        for size in (n, 4 * n):
            run = build(size)
            run()  # warm-up
            times.append(best_time(run, args.repeat))
            references.append(best_time(lambda: json.dumps({f"k{i}": i for i in range(size)}), args.repeat))
            del run
        growth = times[1] / times[0] if times[0] > 0 else float("inf")
        reference = references[1] / references[0]
        adjusted = growth * 4 / max(reference, 4)
        mark = "" if adjusted <= LIMIT else "  over the limit"
        print(
            f"{name:34} {n:>9,} {times[0]:>10.4f}s {times[1]:>10.4f}s {growth:>6.1f}x {reference:>8.1f}x"
            f" {adjusted:>7.1f}x{mark}",
            flush=True,
        )
        if adjusted > LIMIT:
            failed.append(name)
    if failed:
        print(f"grew more than {LIMIT:g}x from n to 4n: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
